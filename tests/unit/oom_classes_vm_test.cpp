// The snapshot's class lines from VM structures on synthetic VM images: a class with its fields
// and methods, Throwable's left-out field, a class without details, and the summary counters.
#include <gtest/gtest.h>

#include "class_size.h"
#include "fileops.h"
#include "log.h"
#include "oom_classes_vm.h"
#include "test_util.h"
#include "vm_image.h"
#include "vm_structs.h"

namespace {

std::string member(const std::string &text) { return std::string(13, ' ') + "  " + text + "\n"; }
std::string id_text(jmethodID id) { return std::to_string((long long)(intptr_t)id); }

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
    ASSERT_TRUE(init_class_size_symbols(nullptr, true));

    snapshot_record snapshot;
    snapshot_reset(&snapshot);
    snapshot.start_time = major;
    ASSERT_TRUE(snapshot_build_paths(&snapshot, dir.path().c_str()));
    ASSERT_TRUE(create_directory(snapshot.dump_directory));
    ASSERT_TRUE(oom_text_open(&snapshot));
    dump_class_via_sa(&snapshot, 7, sample.klass, "Lvorkel/Sample;", sample.method_ids, 3);
    dump_class_via_sa(&snapshot, 8, throwable.klass, "Ljava/lang/Throwable;", nullptr, 0);
    dump_class_via_sa(&snapshot, 9, sample.klass, nullptr, nullptr, 0);
    oom_text_close(&snapshot);

    // Three fields in the array (a static one last), of which the VM counts two as Java fields from 23 on.
    std::string fields = member(". 2 I count") + member(". 1025 ___internal ___internal");
    if (major < 23) fields += member(". 8 ()V run");
    std::string expected =
        "            7 Lvorkel/Sample;\n" + fields + member("#" + id_text(sample.method_ids[0]) + " 9 ()V run") +
        member("#" + id_text(sample.method_ids[1]) + " 1 (" + std::string(2046, 's') + " " + std::string(511, 'n')) +
        member("#" + id_text(sample.method_ids[2]) + " 0 ___obsolete ___obsolete") +
        "            8 Ljava/lang/Throwable;\n" + member(". 2 I count") + (major < 23 ? member(". 8 ()V run") : "") +
        "            9 UNKNOWN_CLASS\n" + fields;
    EXPECT_EQ(vt::read_file(snapshot.info_path), expected);
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
