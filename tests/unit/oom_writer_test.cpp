// The snapshot's files and its graph records: the encoder byte for byte, the buffered graph writer,
// the status and info files, and the disk check with a real full file system.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "snapshot/oom_writer.h"
#include "snapshot_reader.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> bytes(const uint8_t *data, size_t size) { return std::vector<uint8_t>(data, data + size); }

std::vector<uint8_t> packed(uint64_t id) {
  uint8_t out[GRAPH_PACKED_ID_MAX];
  return bytes(out, oom_graph_encode_packed_id(out, id));
}

TEST(GraphRecords, PackedIdsUseFourBytesBelowTwoToTheThirtyOneAndFiveAbove) {
  EXPECT_EQ(packed(0), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(packed(0x12345678), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(packed(0x7FFFFFFF), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(packed(1ULL << 31), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x80, 0x01}));
  EXPECT_EQ(packed((1ULL << 39) - 1), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(packed((5ULL << 31) + 7), (std::vector<uint8_t>{0x07, 0x00, 0x00, 0x80, 0x05}));
}

TEST(GraphRecords, IndexWidthFollowsTheValueAndOnlyIndexedKindsCarryOne) {
  uint8_t out[GRAPH_REFERENCE_MAX];
  // Field index 0: width code 0, no index bytes.
  size_t length = oom_graph_encode_reference(out, 2, 0, 5, 6, false);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x02, 5, 0, 0, 0, 6, 0, 0, 0}));
  // Field index 300: width code 2, two bytes.
  length = oom_graph_encode_reference(out, 2, 300, 5, 6, true);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x80 | 0x40 | 0x02, 0x2C, 0x01, 5, 0, 0, 0, 6, 0, 0, 0}));
  // Array element 255: one byte; static field 65536: four bytes.
  length = oom_graph_encode_reference(out, 3, 255, 1, 2, false);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x23, 0xFF, 1, 0, 0, 0, 2, 0, 0, 0}));
  length = oom_graph_encode_reference(out, 8, 65536, 1, 2, false);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x68, 0, 0, 1, 0, 1, 0, 0, 0, 2, 0, 0, 0}));
  // A constant pool reference has an index in JVMTI but none in the file.
  length = oom_graph_encode_reference(out, 9, 17, 1, 2, false);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x09, 1, 0, 0, 0, 2, 0, 0, 0}));
  EXPECT_EQ(oom_graph_index_width(0), 0u);
  EXPECT_EQ(oom_graph_index_width(65535), 2u);
  EXPECT_EQ(oom_graph_index_width(0xFFFFFFFFu), 3u);
}

TEST(GraphRecords, ARootHasAZeroReferrerAndLargeIdsArePacked) {
  uint8_t out[GRAPH_REFERENCE_MAX];
  size_t length = oom_graph_encode_reference(out, 22, 0, 0, 1ULL << 31, true);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x80 | 22, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x01}));
}

TEST(GraphRecords, StackLocalsCarryFrameAndThreadIdInThreeWidths) {
  uint8_t out[GRAPH_STACK_LOCAL_MAX];
  size_t length = oom_graph_encode_stack_local(out, 0x1122334455667788ULL, 3, -1, 65535, 0, 9, false);
  EXPECT_EQ(bytes(out, length),
            (std::vector<uint8_t>{0x18, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 3, 0, 0, 0, 0xFF,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    9, 0, 0, 0}));
  length = oom_graph_encode_stack_local(out, 1, 0, 0, 65536, 0, 9, true);
  EXPECT_EQ(length, 1u + 8 + 4 + 4 + 4 + 4 + 4);
  EXPECT_EQ(out[0], 0x80 | 0x20 | 0x18);
  length = oom_graph_encode_stack_local(out, 1, 0, 0, 1ULL << 32, 0, 1ULL << 31, false);
  EXPECT_EQ(length, 1u + 8 + 4 + 4 + 8 + 4 + 5);
  EXPECT_EQ(out[0], 0x40 | 0x18);
}

TEST(GraphRecords, ObjectRecordsLeaveOutZeroTagsAndSizes) {
  uint8_t out[GRAPH_OBJECT_MAX];
  // An untracked object (previous tag 0, or low word 0), class 3, 24 bytes.
  size_t length = oom_graph_encode_object(out, 0, 3, 24);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x08, 3, 24}));
  length = oom_graph_encode_object(out, 0x500000000ULL, 3, 0);
  EXPECT_EQ(bytes(out, length), (std::vector<uint8_t>{0x00, 3}));
  // A statistics tag keeps its low word; class 300 takes two bytes; 70000 bytes take four.
  length = oom_graph_encode_object(out, 0x0000100001000007ULL, 300, 70000);
  EXPECT_EQ(bytes(out, length),
            (std::vector<uint8_t>{0x01 | 0x02 | 0x18, 0x07, 0x00, 0x00, 0x01, 0x2C, 0x01, 0x70, 0x11, 0x01, 0x00}));
  length = oom_graph_encode_object(out, 0x180000, 70000, 300);
  EXPECT_EQ(bytes(out, length),
            (std::vector<uint8_t>{0x01 | 0x04 | 0x10, 0x00, 0x00, 0x18, 0x00, 0x70, 0x11, 0x01, 0x00, 0x2C, 0x01}));
}

// ---------------------------------------------------------------------------------------------

class SnapshotFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    log_use_directory("unit", (dir_.path() + "/logs").c_str());
    snapshot_reset(&snapshot_);
    snapshot_.start_time = 1700000000123LL;
    ASSERT_TRUE(snapshot_build_paths(&snapshot_, dir_.path().c_str()));
    ASSERT_TRUE(vt::make_directories({snapshot_.dump_directory}));
  }
  void TearDown() override { snapshot_set_disk_source(nullptr); }
  std::string log() { return vt::NativeLog::read(dir_ / "logs").text(); }
  vt::TempDir dir_{"vorkel-writer"};
  snapshot_record snapshot_;
};

TEST_F(SnapshotFiles, PathsAreNamedAfterTheStartTime) {
  EXPECT_EQ(std::string(snapshot_.dump_directory), dir_.path() + "/oom_1700000000123");
  EXPECT_EQ(std::string(snapshot_.status_path), dir_.path() + "/oom_1700000000123/status.txt");
  EXPECT_EQ(std::string(snapshot_.graph_path), dir_.path() + "/oom_1700000000123/oom_graph.bin");
  EXPECT_EQ(std::string(snapshot_.info_path), dir_.path() + "/oom_1700000000123/oom_info.txt");
  EXPECT_EQ(std::string(snapshot_.parameters_path), dir_.path() + "/oom_1700000000123/parameters.txt");
  EXPECT_EQ(snapshot_.lock_handle, INVALID_LOCKED_FILE);
  snapshot_record too_long;
  snapshot_reset(&too_long);
  EXPECT_FALSE(snapshot_build_paths(&too_long, std::string(1010, 'd').c_str()));
}

TEST_F(SnapshotFiles, StatusIsRewrittenWholeWithoutNewline) {
  EXPECT_TRUE(oom_write_status_file(&snapshot_, "dumping"));
  EXPECT_TRUE(oom_write_status_file(&snapshot_, "compressing 0"));
  EXPECT_EQ(vt::read_file(snapshot_.status_path), "compressing 0");
  vt::remove_tree(snapshot_.dump_directory);
  EXPECT_FALSE(oom_write_status_file(&snapshot_, "cleanup 0"));
  EXPECT_TRUE(vt::contains(log(), "ERROR - Could not open OOM status file for writing."));
}

TEST_F(SnapshotFiles, TextAndGraphCountTheirBytesAndRefuseWhenClosed) {
  EXPECT_FALSE(oom_text_print(&snapshot_, "x"));
  EXPECT_FALSE(oom_graph_write(&snapshot_, "x", 1));
  EXPECT_TRUE(vt::contains(log(), "OOM info file not opened, cannot write to it."));
  EXPECT_TRUE(vt::contains(log(), "OOM graph file not opened, cannot write to it."));
  EXPECT_EQ(snapshot_get_fatal_error(&snapshot_), nullptr);

  ASSERT_TRUE(oom_text_open(&snapshot_));
  ASSERT_TRUE(oom_graph_open(&snapshot_));
  EXPECT_TRUE(oom_text_print(&snapshot_, "Dump version: %s\n", "5"));
  // Past the writer's buffer: 3 MiB in uneven pieces arrive in order.
  std::string expected;
  for (int i = 0; expected.size() < 3u << 20; ++i) {
    std::string piece(1 + i % 4099, (char)('a' + i % 26));
    ASSERT_TRUE(oom_graph_write(&snapshot_, piece.data(), piece.size()));
    expected += piece;
  }
  oom_graph_close(&snapshot_);
  oom_text_close(&snapshot_);
  EXPECT_EQ(snapshot_.bytes_written, expected.size() + 16);
  EXPECT_EQ(vt::read_file(snapshot_.graph_path), expected);
  EXPECT_EQ(vt::read_file(snapshot_.info_path), "Dump version: 5\n");
  EXPECT_EQ(snapshot_get_fatal_error(&snapshot_), nullptr);
}

TEST_F(SnapshotFiles, GraphThatCannotBeOpenedIsFatal) {
  vt::remove_tree(snapshot_.dump_directory);
  EXPECT_FALSE(oom_graph_open(&snapshot_));
  EXPECT_STREQ(snapshot_get_fatal_error(&snapshot_), "graph_open");
  EXPECT_FALSE(oom_text_open(&snapshot_));
  EXPECT_TRUE(vt::contains(log(), "Failed to open OOM graph file for writing: 2"));
  EXPECT_TRUE(vt::contains(log(), "Failed to open OOM info file for writing: 2"));
  EXPECT_FALSE(snapshot_in_valid_state(&snapshot_));
}

uint64_t g_free_space = 0;
int g_disk_reads = 0;
uint64_t fake_free_space(const char *) {
  ++g_disk_reads;
  return g_free_space;
}

TEST_F(SnapshotFiles, DiskIsCheckedEveryFiftyMillionBytesAndExactlyTheMinimumFails) {
  snapshot_set_disk_source(fake_free_space);
  g_disk_reads = 0;
  g_free_space = 1000000001;
  EXPECT_TRUE(snapshot_in_valid_state(&snapshot_));  // the first call always checks
  EXPECT_EQ(g_disk_reads, 1);
  EXPECT_TRUE(
      vt::contains(log(), "DEBUG - Disk space check passed (1000000001 available, 1000000000 required, 0 written)"));
  snapshot_.bytes_written = 49999999;
  EXPECT_TRUE(snapshot_in_valid_state(&snapshot_));
  EXPECT_EQ(g_disk_reads, 1);
  // 120 MB later the mark catches up one step per call.
  snapshot_.bytes_written = 170000000;
  EXPECT_TRUE(snapshot_in_valid_state(&snapshot_));
  EXPECT_TRUE(snapshot_in_valid_state(&snapshot_));
  EXPECT_TRUE(snapshot_in_valid_state(&snapshot_));
  EXPECT_EQ(g_disk_reads, 4);
  EXPECT_TRUE(snapshot_in_valid_state(&snapshot_));
  EXPECT_EQ(g_disk_reads, 4);
  g_free_space = 1000000000;
  snapshot_.bytes_written = 200000000;
  EXPECT_FALSE(snapshot_in_valid_state(&snapshot_));
  EXPECT_STREQ(snapshot_get_fatal_error(&snapshot_), "disk is too full to continue");
  EXPECT_TRUE(vt::contains(log(),
                           "WARN  - Disk is too full to continue snapshot (1000000000 available, 1000000000 "
                           "required, 200000000 written)"));
  // Invalid for good: no further reads.
  g_free_space = 1ULL << 40;
  EXPECT_FALSE(snapshot_in_valid_state(&snapshot_));
  EXPECT_EQ(g_disk_reads, 5);
}

// A tmpfs of 1 MiB: the disk check fails on the real free space, and writes that do not fit are
// reported as the fatal errors of the file they went to.
class SystemSnapshotFiles : public SnapshotFiles {};

TEST_F(SystemSnapshotFiles, AFullFileSystemFailsTheChecksAndTheWrites) {
  VT_REQUIRE_TMPFS(mount_point, "1m");

  snapshot_record small;
  snapshot_reset(&small);
  small.start_time = 42;
  ASSERT_TRUE(snapshot_build_paths(&small, mount_point.path().c_str()));
  ASSERT_TRUE(vt::make_directories({small.dump_directory}));
  EXPECT_FALSE(snapshot_in_valid_state(&small));
  EXPECT_STREQ(snapshot_get_fatal_error(&small), "disk is too full to continue");

  snapshot_reset(&small);
  small.start_time = 42;
  ASSERT_TRUE(snapshot_build_paths(&small, mount_point.path().c_str()));
  ASSERT_TRUE(oom_graph_open(&small));
  std::string chunk(64 * 1024, 'g');
  bool all_written = true;
  for (int i = 0; i < 64 && all_written; ++i) all_written = oom_graph_write(&small, chunk.data(), chunk.size());
  oom_graph_close(&small);
  EXPECT_FALSE(all_written);
  EXPECT_STREQ(snapshot_get_fatal_error(&small), "oom_graph_write");
  EXPECT_TRUE(vt::contains(log(), "Failed to write OOM graph: 28 (1048576 size)")) << log();
  ASSERT_EQ(unlink(small.graph_path), 0);

  snapshot_reset(&small);
  small.start_time = 42;
  ASSERT_TRUE(snapshot_build_paths(&small, mount_point.path().c_str()));
  ASSERT_TRUE(oom_text_open(&small));
  bool printed = true;
  for (int i = 0; i < 40000 && printed; ++i) printed = oom_text_print(&small, "%13d %s\n", i, chunk.c_str() + 60000);
  oom_text_close(&small);
  EXPECT_FALSE(printed);
  EXPECT_STREQ(snapshot_get_fatal_error(&small), "oom_text_write");
  EXPECT_TRUE(vt::contains(log(), "Failed to write OOM info: 28"));
}

// ---------------------------------------------------------------------------------------------
// The records as the reader sees them: what the agent writes, the reader parses back.

TEST(GraphRecords, ReaderParsesWhatTheEncoderWrites) {
  std::string graph;
  auto add = [&](size_t length, const uint8_t *out) { graph.append(reinterpret_cast<const char *>(out), length); };
  uint8_t out[GRAPH_STACK_LOCAL_MAX];
  add(oom_graph_encode_reference(out, 22, 0, 0, 1, true), out);  // system class 1
  add(oom_graph_encode_object(out, 0, 7, 96), out);
  add(oom_graph_encode_reference(out, 2, 300, 1, 1ULL << 31, true), out);
  add(oom_graph_encode_object(out, 0x0000300001000005ULL, 70000, 1 << 20), out);
  add(oom_graph_encode_stack_local(out, 0xABCDEF, 2, 7, 1ULL << 33, 0, 1ULL << 31, false), out);
  add(oom_graph_encode_reference(out, 3, 0, 1ULL << 31, 1, false), out);

  std::vector<snapshot_reader::Reference> references;
  std::vector<snapshot_reader::Object> objects;
  std::string error;
  ASSERT_TRUE(snapshot_reader::parse_graph(
      reinterpret_cast<const uint8_t *>(graph.data()), graph.size(),
      [&](const snapshot_reader::Reference &reference, const snapshot_reader::Object *object) {
        references.push_back(reference);
        if (object != nullptr) objects.push_back(*object);
      },
      &error))
      << error;
  ASSERT_EQ(references.size(), 4u);
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(references[1].kind, 2u);
  EXPECT_EQ(references[1].index, 300u);
  EXPECT_EQ(references[1].referee, 1ULL << 31);
  EXPECT_EQ(objects[1].id, 1ULL << 31);
  EXPECT_EQ(objects[1].previous_tag, 0x01000005u);
  EXPECT_EQ(objects[1].class_id, 70000u);
  EXPECT_EQ(objects[1].size, 1u << 20);
  EXPECT_FALSE(objects[0].has_previous_tag);
  EXPECT_EQ(references[2].method, 0xABCDEFu);
  EXPECT_EQ(references[2].depth, 7);
  EXPECT_EQ(references[2].thread_id, 1ULL << 33);
  EXPECT_EQ(references[3].referrer, 1ULL << 31);

  // Every cut inside a record is found; cuts between records parse.
  size_t whole_records = 0;
  for (size_t cut = 0; cut < graph.size(); ++cut) {
    bool parsed = snapshot_reader::parse_graph(
        reinterpret_cast<const uint8_t *>(graph.data()), cut, [](const auto &, const auto *) {}, &error);
    if (parsed) ++whole_records;
  }
  EXPECT_EQ(whole_records, 4u);  // 0 bytes and the three record boundaries before the end
}

}  // namespace
