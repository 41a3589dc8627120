// The VM structure reader on the JVMs that run it: the agent's own load recognises current
// HotSpot and says what it derived, the lower functions, driven from the test kit, find the loaded
// JVM library's tables, its layout variables and virtual tables, walk the real struct table and
// read real class metadata; the class listing from VM structures equals JVMTI's; safe reads of
// missing memory fail without harming the JVM.
#include <gtest/gtest.h>

#include <set>

#include "jvm_test.h"
#include "snapshot_reader.h"

namespace {

using vt::AgentHome;

class VmStructsJvm : public vt::JvmTest {};
VT_JDK_TEST_SUITE(VmStructsJvm);

TEST_P(VmStructsJvm, TheLoadedLibrarysTablesLayoutVirtualTablesAndClassMetadataRead) {
  AgentHome home(true);
  // Without the class data archive: archived metadata point at copies of the virtual tables in the
  // archive, not at the library's own.
  auto results = run(home, "VmStructs.reader", {.jvm_flags = {"-Xshare:off"}});
  EXPECT_RESULTS(results, {{"exports", "true"},
                           {"symbol_error", "0"},
                           {"tables", "3"},
                           {"gHotSpotVMStructEntryTypeNameOffset", "0"},
                           {"gHotSpotVMStructEntryFieldNameOffset", "8"},
                           {"gHotSpotVMStructEntryTypeStringOffset", "16"},
                           {"gHotSpotVMStructEntryIsStaticOffset", "24"},
                           {"gHotSpotVMStructEntryOffsetOffset", "32"},
                           {"gHotSpotVMStructEntryAddressOffset", "40"},
                           {"gHotSpotVMStructEntryArrayStride", "48"},
                           {"gHotSpotVMTypeEntryTypeNameOffset", "0"},
                           {"gHotSpotVMTypeEntrySuperclassNameOffset", "8"},
                           {"gHotSpotVMTypeEntryIsOopTypeOffset", "16"},
                           {"gHotSpotVMTypeEntryIsIntegerTypeOffset", "20"},
                           {"gHotSpotVMTypeEntryIsUnsignedOffset", "24"},
                           {"gHotSpotVMTypeEntrySizeOffset", "32"},
                           {"gHotSpotVMTypeEntryArrayStride", "40"},
                           {"gHotSpotVMIntConstantEntryNameOffset", "0"},
                           {"gHotSpotVMIntConstantEntryValueOffset", "8"},
                           {"gHotSpotVMIntConstantEntryArrayStride", "16"}});
  // The five virtual tables come from the library's full symbol table; each kind of metadata
  // points 16 bytes into its own.
  EXPECT_RESULTS(results, {{"vtables", "0"},
                           {"version_fields", "true"},
                           {"major", std::to_string(jdk().major)},
                           {"fields", "true"},
                           {"class0_name", "java/lang/String"},
                           {"class0_kind", "InstanceKlass"},
                           {"class0_pool", "ConstantPool"},
                           {"class1_name", "java/lang/Class"},
                           {"class1_kind", "InstanceMirrorKlass"},
                           {"class2_name", "java/lang/ref/SoftReference"},
                           {"class2_kind", "InstanceRefKlass"},
                           {"class3_name", "java/net/URLClassLoader"},
                           {"class3_kind", "InstanceClassLoaderKlass"},
                           {"class4_name", "[I"},
                           {"class4_kind", "other"},
                           {"class5_name", "[Ljava/lang/Object;"},
                           {"class5_kind", "other"}});
  EXPECT_TRUE(vt::contains(results["version"], "Server VM")) << results["version"];
  EXPECT_EQ(results.count("class4_pool"), 0u) << "array klasses are not instance klasses";

  // Fields (injected ones left out, generic, constant and contended ones) and methods in JVMTI's
  // order with JVMTI's modifiers.
  for (int i = 0; i < 7; ++i) {
    std::string verdict = results["members" + std::to_string(i)];
    EXPECT_EQ(verdict.rfind("ok (", 0), 0u) << "class " << i << ": " << verdict;
  }

  EXPECT_RESULTS(
      results,
      {{"mapped", "mapped!"}, {"unmapped", "false"}, {"freed", "false"}, {"destination", "before"}, {"alive", "true"}});
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - Failed to read 8 bytes at 0x10 (probe_unmapped:4711)."), 1u) << log;
  EXPECT_EQ(log.count("ERROR - Failed to read 8 bytes at " + results["freed_address"] + " (probe_freed:4712)."), 1u)
      << log;
  // The agent's own load: current HotSpot, and what its tables do not export.
  EXPECT_EQ(log.count("INFO  - Status of loading Serviceability API symbols: available"), 1u) << log;
  const std::string derived =
      jdk().major == 17
          ? "nest members, permitted subclasses and record components, annotation arrays, record component"
          : "permitted subclasses and record components, field status, field search table, record component";
  EXPECT_EQ(log.count("INFO  - Class size calculator: HotSpot of JDK " + std::to_string(jdk().major) + " ("), 1u)
      << log;
  if (jdk().major == 17 || jdk().major == 25) EXPECT_EQ(log.count("), derived: " + derived + "."), 1u) << log;
  EXPECT_EQ(log.agent_errors().size(), 2u) << log;
}

// Listed from VM structures, a class not prepared yet has the fields of its metadata and no
// methods (JVMTI hands out method ids only once a class is prepared).
TEST_P(VmStructsJvm, AClassNotPreparedYetIsListedWithTheFieldsOfItsMetadata) {
  AgentHome home;
  EXPECT_EQ(run(home, "OomScenarios.unpreparedClass", {.agent_options = "notifications=false"})["request"], "true");
  std::vector<std::string> dirs = vt::entries_with_prefix(home.work(), "oom_");
  ASSERT_EQ(dirs.size(), 1u);
  snapshot_reader::Report report = snapshot_reader::read_directory(dirs[0]);
  ASSERT_TRUE(report.ok) << snapshot_reader::format_report(report, 5);
  EXPECT_EQ(report.info.metadata["Class size type"], "full");
  std::multiset<std::pair<int, int>> payloads;
  for (const auto &[id, entry] : report.info.classes) {
    if (entry.signature == "Lvorkel/test/OomScenarios$Payload;") payloads.insert({entry.fields, entry.methods});
  }
  EXPECT_EQ(payloads, (std::multiset<std::pair<int, int>>{{3, 0}, {3, 2}}));
}

}  // namespace
