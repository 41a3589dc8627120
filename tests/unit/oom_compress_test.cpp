// The snapshot archive: tar headers, the stream read back by the system's tar and bzip2, missing
// files, the disk checks (injected readings and a real full tmpfs) and bad arguments.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <regex>
#include <vector>

#include "core/log.h"
#include "snapshot/oom_compress.h"
#include "test_util.h"

namespace {

using Block = std::vector<unsigned char>;

Block header(const char *name, uint64_t size, uint32_t time) {
  Block block(OOM_TAR_BLOCK_SIZE, 0xee);
  oom_compress_fill_tar_header(block.data(), name, size, time);
  return block;
}

std::string field(const unsigned char *block, size_t offset, size_t length) {
  return std::string(reinterpret_cast<const char *>(block) + offset, length);
}

bool all_zero(const unsigned char *bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// The checksum a tar reader computes: every byte, with the checksum field counted as spaces.
unsigned reader_checksum(const unsigned char *block) {
  unsigned sum = 0;
  for (size_t i = 0; i < OOM_TAR_BLOCK_SIZE; ++i) sum += (i >= 148 && i < 156) ? ' ' : block[i];
  return sum;
}

unsigned stored_checksum(const unsigned char *block) { return (unsigned)std::stoul(field(block, 148, 6), nullptr, 8); }

TEST(TarHeader, HoldsNameModeIdsTimeTypeAndChecksum) {
  Block block = header("oom_info.txt", 1000, 1000000);
  const unsigned char *b = block.data();
  EXPECT_EQ(field(b, 0, 13), std::string("oom_info.txt\0", 13));
  EXPECT_TRUE(all_zero(b + 13, 87));
  EXPECT_EQ(field(b, 100, 8), std::string("100777 \0", 8));
  EXPECT_EQ(field(b, 108, 8), std::string("     0 \0", 8));
  EXPECT_EQ(field(b, 116, 8), std::string("     0 \0", 8));
  const unsigned char size[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0xe8};
  EXPECT_EQ(memcmp(b + 124, size, 12), 0);
  EXPECT_EQ(field(b, 136, 12), "    3641100 ");  // 1000000 in octal, right-aligned, no NUL
  EXPECT_EQ(b[154], ' ');
  EXPECT_EQ(b[155], 0);
  EXPECT_EQ(b[156], '0');
  EXPECT_TRUE(all_zero(b + 157, OOM_TAR_BLOCK_SIZE - 157));
  EXPECT_EQ(stored_checksum(b), reader_checksum(b));
  EXPECT_EQ(field(b, 148, 1), " ");  // right-aligned in six columns

  // The modification time keeps its low 32 bits and fills all eleven columns when it needs them.
  Block late = header("oom_graph.bin", 0, 0xffffffffu);
  EXPECT_EQ(field(late.data(), 136, 12), "37777777777 ");
  EXPECT_EQ(stored_checksum(late.data()), reader_checksum(late.data()));
}

TEST(TarHeader, StoresLargeSizesInBase256) {
  Block block = header("oom_graph.bin", 5000000000ull, 0);
  const unsigned char expected[12] = {0x80, 0, 0, 0, 0x00, 0x00, 0x00, 0x01, 0x2a, 0x05, 0xf2, 0x00};
  EXPECT_EQ(memcmp(block.data() + 124, expected, 12), 0);
  EXPECT_EQ(stored_checksum(block.data()), reader_checksum(block.data()));

  Block largest = header("x", UINT64_MAX, 0);
  for (int i = 128; i < 136; ++i) EXPECT_EQ(largest[i], 0xff);
}

TEST(TarHeader, CutsNamesToNinetyNineCharacters) {
  std::string name(150, 'n');
  Block block = header(name.c_str(), 1, 0);
  EXPECT_EQ(field(block.data(), 0, 99), std::string(99, 'n'));
  EXPECT_EQ(block[99], 0);
  EXPECT_EQ(field(block.data(), 100, 8), std::string("100777 \0", 8));
}

class Archive : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_use_directory("unit", (dir_.path() + "/logs").c_str()));
    archive_ = dir_ / "oom_1.tar.bz2";
  }
  void TearDown() override { oom_compress_set_free_space_source(nullptr); }

  std::string log() { return vt::NativeLog::read(dir_ / "logs").text(); }
  // The tar stream inside the archive, as the system's bzip2 reads it.
  std::string tar_stream(const std::string &archive) {
    vt::ProcessResult run = vt::run_process("/bin/bzip2", {"bzip2", "-dc", archive});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return run.out;
  }
  vt::ProcessResult tar(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv{"tar"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return vt::run_process("/bin/tar", argv);
  }
  static const unsigned char *bytes(const std::string &text, size_t offset = 0) {
    return reinterpret_cast<const unsigned char *>(text.data()) + offset;
  }

  vt::TempDir dir_{"vorkel-archive"};
  std::string archive_;
};

std::string text_like_info(size_t lines) {
  std::string text = "Metadata\nversion=5\n";
  for (size_t i = 0; i < lines; ++i) {
    text += "class " + std::to_string(i) + " com.example.shop.Order$Line" + std::to_string(i % 97) +
            " size=" + std::to_string(24 + i % 40) + " fields=quantity:I,price:J,item:Lcom/example/Item;\n";
  }
  return text;
}

std::string random_bytes(size_t count, uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::string data(count, '\0');
  for (size_t i = 0; i + 8 <= count; i += 8) {
    uint64_t value = generator();
    memcpy(&data[i], &value, 8);
  }
  return data;
}

class SystemArchive : public Archive {};

TEST_F(SystemArchive, RealFilesAreReadBackByTarAndBzip2) {
  std::string info = text_like_info(3000);
  std::string graph = random_bytes(9 * 1024 * 1024 + 777, 7);  // crosses the 4 MiB input buffer twice
  ASSERT_TRUE(vt::write_file(dir_ / "oom_info.txt", info));
  ASSERT_TRUE(vt::write_file(dir_ / "oom_graph.bin", graph));
  std::string info_path = dir_ / "oom_info.txt", graph_path = dir_ / "oom_graph.bin";

  ASSERT_TRUE(oom_archive_create(info_path.c_str(), graph_path.c_str(), archive_.c_str())) << log();

  vt::ProcessResult test = vt::run_process("/bin/bzip2", {"bzip2", "-t", archive_});
  EXPECT_EQ(test.exit_code, 0) << test.err;
  ASSERT_TRUE(vt::make_directories({dir_ / "out"}));
  vt::ProcessResult extract = tar({"-xjf", archive_, "-C", dir_ / "out"});
  ASSERT_EQ(extract.exit_code, 0) << extract.err;
  EXPECT_EQ(extract.err, "");
  EXPECT_EQ(vt::list_directory(dir_ / "out"), (std::vector<std::string>{"oom_graph.bin", "oom_info.txt"}));
  EXPECT_TRUE(vt::read_file(dir_ / "out/oom_info.txt") == info);
  EXPECT_TRUE(vt::read_file(dir_ / "out/oom_graph.bin") == graph);

  // Entries in order, with their sizes and the mode.
  vt::ProcessResult list = tar({"-tvjf", archive_});
  ASSERT_EQ(list.exit_code, 0) << list.err;
  std::vector<std::string> lines = vt::split_lines(list.out);
  ASSERT_EQ(lines.size(), 2u) << list.out;
  EXPECT_TRUE(std::regex_search(lines[0],
                                std::regex("^-rwxrwxrwx 0/0 +" + std::to_string(info.size()) + " .* oom_info\\.txt$")))
      << lines[0];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex(" " + std::to_string(graph.size()) + " .* oom_graph\\.bin$")))
      << lines[1];

  std::string text = log();
  EXPECT_TRUE(vt::contains(
      text, "INFO  - Starting to compress files " + info_path + " and " + graph_path + " to " + archive_ + "."))
      << text;
  EXPECT_TRUE(vt::contains(text, "INFO  - Finished compression to " + archive_ + ".")) << text;
  EXPECT_FALSE(vt::contains(text, "ERROR")) << text;

  // A second archive to the same path replaces the first.
  ASSERT_TRUE(vt::write_file(dir_ / "oom_graph.bin", "small"));
  ASSERT_TRUE(oom_archive_create(info_path.c_str(), graph_path.c_str(), archive_.c_str()));
  EXPECT_EQ(tar_stream(archive_).size(), 512 + (info.size() + 511) / 512 * 512 + 512 + 512 + 1024);
}

TEST_F(SystemArchive, DataIsPaddedToWholeBlocksAndEndsWithTwoZeroBlocks) {
  std::string info(1000, 'i');
  info[0] = 'A';
  info[999] = 'Z';
  ASSERT_TRUE(vt::write_file(dir_ / "info", info));
  ASSERT_TRUE(vt::write_file(dir_ / "graph", ""));
  ASSERT_TRUE(oom_archive_create((dir_ / "info").c_str(), (dir_ / "graph").c_str(), archive_.c_str()));

  std::string stream = tar_stream(archive_);
  ASSERT_EQ(stream.size(), 512u + 1024 + 512 + 1024);
  EXPECT_EQ(field(bytes(stream), 0, 13), std::string("oom_info.txt\0", 13));
  EXPECT_EQ(stream.substr(512, 1000), info);
  EXPECT_TRUE(all_zero(bytes(stream, 1512), 24));  // 1000 bytes are followed by 24 zero bytes
  // The empty graph: a header of size 0 directly followed by the end blocks.
  EXPECT_EQ(field(bytes(stream), 1536, 14), std::string("oom_graph.bin\0", 14));
  EXPECT_TRUE(all_zero(bytes(stream, 1536 + 125), 11));
  EXPECT_EQ(stored_checksum(bytes(stream, 1536)), reader_checksum(bytes(stream, 1536)));
  EXPECT_TRUE(all_zero(bytes(stream, 2048), 1024));

  // An empty info file: its header is followed directly by the graph's header.
  ASSERT_TRUE(vt::write_file(dir_ / "info", ""));
  ASSERT_TRUE(vt::write_file(dir_ / "graph", std::string(512, 'g')));
  ASSERT_TRUE(oom_archive_create((dir_ / "info").c_str(), (dir_ / "graph").c_str(), archive_.c_str()));
  stream = tar_stream(archive_);
  ASSERT_EQ(stream.size(), 512u + 512 + 512 + 1024);
  EXPECT_EQ(field(bytes(stream), 512, 14), std::string("oom_graph.bin\0", 14));
  EXPECT_EQ(stream.substr(1024, 512), std::string(512, 'g'));
}

TEST_F(SystemArchive, MissingFilesBecomeEmptyEntries) {
  std::string info = dir_ / "gone/oom_info.txt", graph = dir_ / "gone/oom_graph.bin";
  ASSERT_TRUE(oom_archive_create(info.c_str(), graph.c_str(), archive_.c_str()));

  std::string stream = tar_stream(archive_);
  ASSERT_EQ(stream.size(), 2048u);
  EXPECT_EQ(field(bytes(stream), 0, 13), std::string("oom_info.txt\0", 13));
  EXPECT_EQ(field(bytes(stream), 512, 14), std::string("oom_graph.bin\0", 14));
  for (size_t offset : {0, 512}) {
    EXPECT_EQ(bytes(stream, offset)[124], 0x80);
    EXPECT_TRUE(all_zero(bytes(stream, offset + 125), 11));
    EXPECT_EQ(stored_checksum(bytes(stream, offset)), reader_checksum(bytes(stream, offset)));
  }
  EXPECT_TRUE(all_zero(bytes(stream, 1024), 1024));
  vt::ProcessResult list = tar({"-tjf", archive_});
  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_EQ(list.out, "oom_info.txt\noom_graph.bin\n");

  std::string text = log();
  EXPECT_TRUE(vt::contains(
      text, "ERROR - Failed to open " + info + " file for adding to archive, inserting empty file instead."))
      << text;
  EXPECT_TRUE(vt::contains(
      text, "ERROR - Failed to open " + graph + " file for adding to archive, inserting empty file instead."))
      << text;
}

// A file whose size reads as 0 but that has content (as files under /proc do) still gives an
// entry that matches its header: the content read beyond the stated size is left out.
TEST_F(SystemArchive, EntriesHoldExactlyTheSizeInTheirHeader) {
  ASSERT_TRUE(vt::write_file(dir_ / "graph", "graph"));
  ASSERT_TRUE(oom_archive_create("/proc/self/status", (dir_ / "graph").c_str(), archive_.c_str()));
  vt::ProcessResult list = tar({"-tvjf", archive_});
  ASSERT_EQ(list.exit_code, 0) << list.err;
  EXPECT_EQ(list.err, "");
  std::vector<std::string> lines = vt::split_lines(list.out);
  ASSERT_EQ(lines.size(), 2u) << list.out;
  EXPECT_TRUE(std::regex_search(lines[0], std::regex(" 0 .* oom_info\\.txt$"))) << lines[0];
  EXPECT_EQ(tar_stream(archive_).size(), 512u + 512 + 512 + 1024);
}

TEST_F(Archive, BadPathsFailWithAClearLogLine) {
  ASSERT_TRUE(vt::write_file(dir_ / "info", "info"));
  std::string info = dir_ / "info";
  EXPECT_FALSE(oom_archive_create(nullptr, info.c_str(), archive_.c_str()));
  EXPECT_FALSE(oom_archive_create(info.c_str(), nullptr, archive_.c_str()));
  EXPECT_FALSE(oom_archive_create(info.c_str(), info.c_str(), nullptr));
  EXPECT_FALSE(vt::file_exists(archive_));

  std::string missing_directory = dir_ / "missing/oom_1.tar.bz2";
  EXPECT_FALSE(oom_archive_create(info.c_str(), info.c_str(), missing_directory.c_str()));
  EXPECT_FALSE(oom_archive_create(info.c_str(), info.c_str(), dir_.path().c_str()));  // a directory

  std::string text = log();
  EXPECT_TRUE(vt::contains(text, "ERROR - Cannot compress the snapshot: the info path is null.")) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - Cannot compress the snapshot: the graph path is null.")) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - Cannot compress the snapshot: the archive path is null.")) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - Failed to open archive file for writing (2).")) << text;
  EXPECT_TRUE(vt::contains(text, "ERROR - Failed to open archive file for writing (21).")) << text;
  EXPECT_EQ(vt::count_occurrences(text, "Finished compression"), 0u) << text;
}

// The two 4 MiB buffers exist only while an archive is written; when they cannot be had the
// archive is refused with a clear message and no file is made.
TEST_F(SystemArchive, BuffersThatCannotBeAllocatedRefuseTheArchive) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address space limit cannot be used under AddressSanitizer";
#else
  ASSERT_TRUE(vt::write_file(dir_ / "info", "info"));
  std::string info = dir_ / "info";
  EXPECT_EXIT(
      {
        // Room for one buffer but not for both.
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) exit(3);
        fclose(statm);
        rlim_t limit = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + 6 * 1024 * 1024;
        struct rlimit address_space;
        address_space.rlim_cur = limit;
        address_space.rlim_max = limit;
        if (setrlimit(RLIMIT_AS, &address_space) != 0) exit(4);
        bool created = oom_archive_create(info.c_str(), info.c_str(), archive_.c_str());
        exit(!created && !vt::file_exists(archive_) ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(vt::contains(log(),
                           "ERROR - Failed to allocate the compression buffers (2 x 4194304 bytes), no archive "
                           "is written."))
      << log();
  // With memory to spare the same archive is written.
  EXPECT_TRUE(oom_archive_create(info.c_str(), info.c_str(), archive_.c_str()));
#endif
}

struct FreeSpaceReadings {
  std::vector<uint64_t> answers;  // the last one repeats
  std::vector<std::string> paths;
  std::vector<long long> archive_sizes;  // the archive's size on disk at each reading
  std::string archive;
};
FreeSpaceReadings *readings;

uint64_t injected_free_space(const char *path) {
  readings->paths.push_back(path);
  struct stat info {};
  readings->archive_sizes.push_back(stat(readings->archive.c_str(), &info) == 0 ? (long long)info.st_size : -1);
  size_t index = std::min(readings->paths.size(), readings->answers.size()) - 1;
  return readings->answers[index];
}

TEST_F(SystemArchive, FreeSpaceOfExactlyOneBillionBytesLetsItGoOn) {
  ASSERT_TRUE(vt::write_file(dir_ / "info", text_like_info(100)));
  FreeSpaceReadings exact{{1000000000}, {}, {}, archive_};
  readings = &exact;
  oom_compress_set_free_space_source(injected_free_space);
  EXPECT_TRUE(oom_archive_create((dir_ / "info").c_str(), (dir_ / "info").c_str(), archive_.c_str())) << log();
  // A small archive is checked once, before its first bytes, on the archive's directory.
  ASSERT_EQ(exact.paths.size(), 1u);
  EXPECT_EQ(exact.paths[0], dir_.path() + "/");
  EXPECT_EQ(exact.archive_sizes[0], 0);
  EXPECT_EQ(vt::run_process("/bin/bzip2", {"bzip2", "-t", archive_}).exit_code, 0);

  FreeSpaceReadings below{{999999999}, {}, {}, archive_};
  readings = &below;
  EXPECT_FALSE(oom_archive_create((dir_ / "info").c_str(), (dir_ / "info").c_str(), archive_.c_str()));
  EXPECT_EQ(below.paths.size(), 1u);
  EXPECT_TRUE(vt::contains(log(),
                           "ERROR - Aborting archive writing because available disk space is below 999999999 "
                           "(below 1000000000).\n"))
      << log();
  EXPECT_TRUE(vt::file_exists(archive_));  // left as far as it was written

  // An archive without a directory part is checked on its own path.
  FreeSpaceReadings relative{{1000000000}, {}, {}, "oom_relative.tar.bz2"};
  readings = &relative;
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_TRUE(oom_archive_create((dir_ / "info").c_str(), (dir_ / "info").c_str(), "oom_relative.tar.bz2"));
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(relative.paths, std::vector<std::string>{"oom_relative.tar.bz2"});
}

TEST_F(Archive, DiskIsCheckedAgainAfterEveryFiftyMillionCompressedBytes) {
  // Random bytes do not compress: about 53 MB of output, so the second check comes after 50000000 bytes.
  ASSERT_TRUE(vt::write_file(dir_ / "graph", random_bytes(53 * 1000 * 1000, 11)));
  FreeSpaceReadings shrinking{{2000000000, 999999999}, {}, {}, archive_};
  readings = &shrinking;
  oom_compress_set_free_space_source(injected_free_space);
  EXPECT_FALSE(oom_archive_create((dir_ / "missing").c_str(), (dir_ / "graph").c_str(), archive_.c_str()));
  ASSERT_EQ(shrinking.paths.size(), 2u);
  EXPECT_EQ(shrinking.archive_sizes[0], 0);
  // Written bytes reach the file except for at most a stdio buffer's worth.
  EXPECT_GE(shrinking.archive_sizes[1], 50000000 - 8192);
  EXPECT_LE(shrinking.archive_sizes[1], 50000000 + (long long)OOM_COMPRESS_BUFFER_SIZE);
  EXPECT_TRUE(vt::contains(log(),
                           "Aborting archive writing because available disk space is below 999999999 "
                           "(below 1000000000)."));
}

// A real full disk: a small tmpfs, mounted for the test.
class SystemFullDisk : public Archive {
 protected:
  void SetUp() override {
    Archive::SetUp();
    if (!small_.mounted()) GTEST_SKIP() << "no tmpfs here: " << small_.error();
  }
  vt::TmpfsMount small_{"4m"};
  const std::string mount_ = small_.path();
};

TEST_F(SystemFullDisk, TooLittleFreeSpaceStopsTheArchive) {
  ASSERT_TRUE(vt::write_file(dir_ / "info", text_like_info(100)));
  std::string archive = mount_ + "/oom_1.tar.bz2";
  EXPECT_FALSE(oom_archive_create((dir_ / "info").c_str(), (dir_ / "info").c_str(), archive.c_str()));
  std::smatch match;
  std::string text = log();
  ASSERT_TRUE(std::regex_search(text, match,
                                std::regex("ERROR - Aborting archive writing because available disk space is below "
                                           "(\\d+) \\(below 1000000000\\)\\.\n")))
      << text;
  EXPECT_LE(std::stoull(match[1]), 4u * 1024 * 1024);
  EXPECT_TRUE(vt::contains(text, "INFO  - Finished compression to " + archive + "."));
}

TEST_F(SystemFullDisk, AWriteThatDoesNotFitFailsTheArchive) {
  // The reading claims room; the volume has 4 MiB for 6 MB of output.
  ASSERT_TRUE(vt::write_file(dir_ / "graph", random_bytes(6 * 1000 * 1000, 3)));
  FreeSpaceReadings plenty{{5000000000ull}, {}, {}, mount_ + "/oom_1.tar.bz2"};
  readings = &plenty;
  oom_compress_set_free_space_source(injected_free_space);
  std::string archive = mount_ + "/oom_1.tar.bz2";
  EXPECT_FALSE(oom_archive_create((dir_ / "missing").c_str(), (dir_ / "graph").c_str(), archive.c_str()));
  std::string text = log();
  EXPECT_TRUE(vt::contains(text, "ERROR - Could not write ") || vt::contains(text, "ERROR - Failed to close archive"))
      << text;
}

}  // namespace
