// The snapshot's class listing from VM structures on synthetic VM images: the walk's first
// callback writes every entry not written yet (a class with its fields and methods, Throwable
// without its second field, a class without details) with the summary counters.
#include <gtest/gtest.h>

#include "vmstructs/class_size.h"
#include "platform/fileops.h"
#include "core/hashmap.h"
#include "core/log.h"
#include "snapshot/oom_classes.h"
#include "snapshot/oom_dump.h"
#include "test_util.h"
#include "vm_image.h"
#include "vmstructs/vm_structs.h"

namespace {

std::string member(const std::string &text) { return std::string(13, ' ') + "  " + text + "\n"; }
std::string id_text(jmethodID id) { return std::to_string((long long)(intptr_t)id); }

// The class blocks of a listing: each class line with its member lines.
std::vector<std::string> split_classes(const std::string &text) {
  std::vector<std::string> blocks;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    do {
      end = text.find('\n', end) + 1;
    } while (end < text.size() && text.compare(end, 15, std::string(15, ' ')) == 0);
    blocks.push_back(text.substr(start, end - start));
    start = end;
  }
  return blocks;
}

TEST(ClassesFromVmStructures, LinesAndCountsOfEachGeneration) {
  vt::TempDir dir;
  ASSERT_TRUE(log_use_directory("unit", (dir / "logs").c_str()));
  for (int major : {20, 24, 25}) {
    SCOPED_TRACE("major " + std::to_string(major));
    vm_structs_reset();
    vt::VmImage image({major});
    vt::VmSampleClass sample = vt::build_sample_class(image);
    vt::VmSampleClass throwable = vt::build_sample_class(image);
    image.install();
    EXPECT_STREQ(oom_classes_size_type(), "partial");
    ASSERT_TRUE(init_class_size_symbols(nullptr, true));
    EXPECT_STREQ(oom_classes_size_type(), "full");

    snapshot_record snapshot;
    snapshot_reset(&snapshot);
    snapshot.start_time = major;
    ASSERT_TRUE(snapshot_build_paths(&snapshot, dir.path().c_str()));
    ASSERT_TRUE(create_directory(snapshot.dump_directory));
    ASSERT_TRUE(oom_text_open(&snapshot));
    hashmap *map = hashmapCreateDefault(16, CLASS_MAP_ENTRY_SIZE);
    ASSERT_NE(map, nullptr);
    char sample_signature[] = "Lvorkel/Sample;", throwable_signature[] = "Ljava/lang/Throwable;";
    class_info_entry *entry = create_class_info_entry(map, 7, sample.klass);
    entry->signature = sample_signature;
    entry->methods = sample.method_ids;
    entry->method_count = 3;
    create_class_info_entry(map, 8, throwable.klass)->signature = throwable_signature;
    create_class_info_entry(map, 9, sample.klass);
    create_class_info_entry(map, 10, sample.klass)->written = 1;
    snapshot_dump dump{};
    dump.snapshot = &snapshot;
    dump.class_map = map;
    oom_classes_at_walk_start(&dump);
    oom_classes_at_walk_start(&dump);  // every entry is written once
    oom_text_close(&snapshot);
    EXPECT_EQ(snapshot.classes_listed_in_walk, 1);
    hashmapFree(map);

    // Three fields in the array (a static one last), of which the VM counts two as Java fields from 23 on.
    std::string fields = member(". 2 I count") + member(". 1025 ___internal ___internal");
    if (major < 23) fields += member(". 8 ()V run");
    std::string expected =
        "            7 Lvorkel/Sample;\n" + fields + member("#" + id_text(sample.method_ids[0]) + " 9 ()V run") +
        member("#" + id_text(sample.method_ids[1]) + " 1 (" + std::string(2046, 's') + " " + std::string(511, 'n')) +
        member("#" + id_text(sample.method_ids[2]) + " 0 ___obsolete ___obsolete") +
        "            8 Ljava/lang/Throwable;\n" + member(". 2 I count") + (major < 23 ? member(". 8 ()V run") : "") +
        "            9 UNKNOWN_CLASS\n" + fields;
    // The map's order is not the id order: each class's lines are compared as a block.
    std::string text = vt::read_file(snapshot.info_path);
    size_t at = 0;
    for (const std::string &block : split_classes(expected)) {
      EXPECT_TRUE(vt::contains(text, block)) << block.substr(0, 40);
      at += block.size();
    }
    EXPECT_EQ(text.size(), at) << text.substr(0, 2000);
    int64_t field_lines = major < 23 ? 3 + 2 + 3 : 2 + 1 + 2;
    EXPECT_EQ(snapshot.field_count, field_lines);
    EXPECT_EQ(snapshot.method_count, 3);
    EXPECT_EQ(snapshot.class_strings_length, 16 + 24 + 16);
    // Names and signatures of 8 bytes or less count 8 each, "___internal" 16; two fields are internal.
    EXPECT_EQ(snapshot.field_strings_length, (field_lines - 2) * 16 + 2 * 32);
    EXPECT_EQ(snapshot.method_strings_length, 8 + 8 + 512 + 2048 + 16 + 16);
  }
  vm_structs_reset();
}

}  // namespace
