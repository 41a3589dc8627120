// The VM structure reader on the JVMs that run it: the agent's own load stops at the version gate,
// while the lower functions, driven from the test kit, find the loaded JVM library's tables, its
// layout variables and virtual tables, walk the real struct table and read real class metadata;
// safe reads of missing memory fail without harming the JVM.
#include <gtest/gtest.h>

#include "jvm_test.h"

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

  EXPECT_RESULTS(
      results,
      {{"mapped", "mapped!"}, {"unmapped", "false"}, {"freed", "false"}, {"destination", "before"}, {"alive", "true"}});
  vt::NativeLog log = home.log();
  EXPECT_EQ(log.count("ERROR - Failed to read 8 bytes at 0x10 (probe_unmapped:4711)."), 1u) << log;
  EXPECT_EQ(log.count("ERROR - Failed to read 8 bytes at " + results["freed_address"] + " (probe_freed:4712)."), 1u)
      << log;
  // The agent's own load: the JVMTI version gate, silently.
  EXPECT_EQ(log.count("INFO  - Status of loading Serviceability API symbols: bad_version"), 1u) << log;
  EXPECT_EQ(log.count("Class size calculator"), 0u) << log;
  EXPECT_EQ(log.agent_errors().size(), 2u) << log;
}

}  // namespace
