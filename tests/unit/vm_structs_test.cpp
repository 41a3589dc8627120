// The VM structure reader on synthetic VM images of HotSpot majors 13 to 25: the load and each of
// its failures, object and metadata access, class sizes and method and field records.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "vmstructs/class_size.h"
#include "fake_jvm.h"
#include "core/log.h"
#include "test_util.h"
#include "vmstructs/vm_access.h"
#include "vm_image.h"
#include "vmstructs/vm_structs.h"

namespace {

using vt::VmImage;
using vt::VmImageOptions;

class VmStructs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str()));
    vm_structs_reset();
  }
  void TearDown() override {
    image_.reset();
    vm_structs_reset();
  }
  VmImage &image(const VmImageOptions &options) {
    image_.reset();
    vm_structs_reset();
    image_ = std::make_unique<VmImage>(options);
    return *image_;
  }
  // Installs the image and runs the agent's load on it.
  bool load() {
    image_->install();
    return init_class_size_symbols(nullptr, true);
  }
  std::string log() {
    std::vector<std::string> files = vt::list_directory(dir_ / "logs");
    return files.empty() ? "" : vt::read_file(dir_ / ("logs/" + files[0]));
  }
  vt::TempDir dir_;
  std::unique_ptr<VmImage> image_;
};

TEST_F(VmStructs, EveryGenerationLoadsItsNames) {
  const VmImageOptions generations[] = {
      {13}, {16, true}, {20}, {21, false, 8, true}, {24}, {24, true, 16}, {25},
  };
  for (const VmImageOptions &options : generations) {
    SCOPED_TRACE("major " + std::to_string(options.major));
    image(options);
    ASSERT_TRUE(load()) << log();
    EXPECT_STREQ(get_hotspot_symbols_status_text(), "available");
    EXPECT_TRUE(has_full_hotspot_symbols());
    EXPECT_EQ(vm_structs.hotspot_major, options.major);
    EXPECT_EQ(vm_structs.use_compressed_oops, options.compressed_oops ? 1 : 0);
    EXPECT_EQ(vm_structs.obj_min_alignment, options.alignment);
    EXPECT_EQ(vm_structs.is_client_vm, options.client ? 1 : 0);
    EXPECT_EQ(struct_klass_name.offset, vt::vm_layout::klass_name);
    EXPECT_EQ(get_type_size(type_constant_pool_oop_desc), vt::vm_layout::constant_pool_size);
    EXPECT_EQ(const_klass_fields_slots.value, options.major <= 21 ? 7 : 6);
    // Rows for other majors are neither resolved nor reported.
    EXPECT_EQ(struct_klass_offset.offset == VM_UNRESOLVED, options.major < 21);
    EXPECT_EQ(struct_method_data.offset == VM_UNRESOLVED, options.client);
    EXPECT_EQ(struct_method_counters.offset == VM_UNRESOLVED, options.major < 25);
    if (options.major == 13) EXPECT_EQ(const_oop_size.value, 8) << "oopSize is not looked up below 14";
    if (options.major == 25) {
      EXPECT_EQ(vm_structs.instance_klass_vtable + 16, fake_jvm_vtable_pointer(0));
      EXPECT_EQ(vm_structs.constant_pool_klass_vtable + 16, fake_jvm_vtable_pointer(4));
    }
    EXPECT_TRUE(vt::contains(log(), "INFO  - Status of loading Serviceability API symbols: available"));
    EXPECT_FALSE(vt::contains(log(), "ERROR")) << log();
  }
}

TEST_F(VmStructs, EachFailureLeavesItsStatusAndMessage) {
  const struct {
    const char *name;
    VmImageOptions options;
    std::function<void(VmImage &)> change;
    const char *status;
    const char *message;  // null: no calculator message at all
  } cases[] = {
      {"stride 56",
       {24},
       [](VmImage &) { *fake_jvm_export("gHotSpotVMStructEntryArrayStride") = 56; },
       "load_error",
       "Unexpected lookup_symbol(jni, handle, \"gHotSpotVMStructEntryArrayStride\") value."},
      {"major 26", {24}, [](VmImage &i) { *i.major_version() = 26; }, "bad_version", nullptr},
      {"major 9", {24}, [](VmImage &i) { *i.major_version() = 9; }, "bad_version", nullptr},
      {"jvmti 9", {24}, [](VmImage &) { agent_globals->jvmti_9_or_later = 1; }, "bad_version", nullptr},
      {"compressed oops on 15",
       {15, true},
       nullptr,
       "load_error",
       "Class size calculator: Compressed oops used on < 16 hotspot version, unsupported."},
      {"alignment 32", {24, false, 32}, nullptr, "load_error", "Class size calculator: Invalid min alignment 32."},
      {"missing field",
       {24},
       [](VmImage &i) { i.remove_field("instanceKlass", "_methods"); },
       "load_error",
       "Class size calculator: Field instanceKlass::_methods not found."},
      {"word sizes",
       {25, false, 8, false, 4},
       nullptr,
       "load_error",
       "Class size calculator: Conflicting word sizes 4 vs 8."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    VmImage &built = image(c.options);
    bool changed_before_install = std::string(c.name) == "missing field";
    if (c.change && changed_before_install) c.change(built);
    built.install();
    if (c.change && !changed_before_install) c.change(built);
    size_t before = log().size();
    EXPECT_FALSE(init_class_size_symbols(nullptr, true));
    EXPECT_FALSE(has_full_hotspot_symbols());
    EXPECT_STREQ(get_hotspot_symbols_status_text(), c.status);
    std::string text = log().substr(before);
    if (c.message != nullptr) {
      EXPECT_TRUE(vt::contains(text, std::string("ERROR - ") + c.message)) << text;
    } else {
      EXPECT_FALSE(vt::contains(text, "ERROR")) << text;
    }
    if (std::string(c.name) == "missing field") {
      EXPECT_TRUE(vt::contains(text, "ERROR - Class size calculator: Did not find fields.")) << text;
    }
    // A failed load is not tried again and says nothing more.
    before = log().size();
    EXPECT_FALSE(init_class_size_symbols(nullptr, true));
    EXPECT_EQ(log().size(), before);
  }
}

TEST_F(VmStructs, AJvmLibraryWithoutTheTablesIsUnavailableWithoutCalculatorMessages) {
  image({24}).install();
  jvmtiInterface_1_ functions{};
  functions.Allocate = reinterpret_cast<jvmtiError(JNICALL *)(jvmtiEnv *, jlong, unsigned char **)>(&malloc);
  _jvmtiEnv env{&functions};
  agent_globals->jvmti = &env;
  EXPECT_FALSE(init_class_size_symbols(nullptr, true));
  EXPECT_STREQ(get_hotspot_symbols_status_text(), "unavailable");
  EXPECT_FALSE(vt::contains(log(), "Class size calculator")) << log();
}

// The sample class of each generation, with its size computed from the formulas by hand.
TEST_F(VmStructs, WholeClassSizesOfEachGeneration) {
  const struct {
    int major;
    uint32_t constant_pool, misc, methods;
  } generations[] = {
      // Constant pool: align(10 x 8 + 48) = 128, cache align(3 x 32 + 32) = 128, tags align(24 + 10) = 40.
      // Arrays (header 24): interfaces align(24 + 8) = 32 and align(24 + 16) = 40, inner classes
      // align(24 + 8) = 32, fields of 3 x 7 slots align(24 + 42) = 72 (3 x 6 slots from 22: 64),
      // class annotations align(24 + 5) = 32, field annotations align(24 + 16) + align(24 + 3) = 72.
      // Methods: array align(24 + 16) = 40; 10 x 8 + 12 x 8 + stack map align(24 + 7) + data 200 = 408
      // and 10 x 8 + 12 x 8 = 176.
      {13, 296, 280, 624},
      {20, 296, 280, 624},
      {24, 296, 272, 624},
      // Array<T>: tags align(10 + 4) = 16; interfaces align(8 + 8) = 16 and align(16 + 8) = 24, inner
      // classes align(8 + 4) = 16, fields align(36 + 4) = 40; methods align(16 + 8) = 24 plus
      // 80 + 96 + stack map align(7 + 4) + 200 + counters 40 = 432 and 176.
      {25, 272, 96, 632},
  };
  for (const auto &g : generations) {
    SCOPED_TRACE("major " + std::to_string(g.major));
    VmImage &built = image({g.major});
    vt::VmSampleClass sample = vt::build_sample_class(built);
    ASSERT_TRUE(load()) << log();
    EXPECT_EQ(get_constant_pool_size(sample.constant_pool), g.constant_pool);
    EXPECT_EQ(get_class_misc_array_sizes(sample.metadata), g.misc);
    EXPECT_EQ(get_methods_size(sample.methods), g.methods);
    EXPECT_EQ(get_class_size(sample.klass), g.constant_pool + g.misc + g.methods);
    EXPECT_FALSE(vt::contains(log(), "ERROR")) << log();
  }
}

TEST_F(VmStructs, MethodAndFieldRecords) {
  for (int major : {20, 24, 25}) {
    SCOPED_TRACE("major " + std::to_string(major));
    vt::VmSampleClass sample = vt::build_sample_class(image({major}));
    ASSERT_TRUE(load()) << log();

    methods_context methods;
    get_class_methods_context(sample.klass, &methods);
    EXPECT_EQ(methods.constant_pool, sample.constant_pool);
    methods.methods = sample.method_ids;
    methods.count = 3;
    method_record record;
    get_class_method_info(&methods, 0, &record);
    EXPECT_EQ(record.access_flags, 0x0009u);
    EXPECT_STREQ(record.name, "run");
    EXPECT_STREQ(record.signature, "()V");
    EXPECT_EQ(record.method_id, sample.method_ids[0]);
    get_class_method_info(&methods, 1, &record);
    EXPECT_EQ(strlen(record.name), 511u);
    EXPECT_EQ(strlen(record.signature), 2047u);
    EXPECT_EQ(std::string(record.signature, 3), "(ss");
    get_class_method_info(&methods, 2, &record);
    EXPECT_EQ(record.access_flags, 0u);
    EXPECT_STREQ(record.name, "___obsolete");
    EXPECT_STREQ(record.signature, "___obsolete");

    fields_context fields;
    get_class_fields_context(sample.klass, &fields);
    // From 23 on the VM counts only the Java fields (2 of the array's 3).
    ASSERT_EQ(fields.count, major >= 23 ? 2 : 3);
    field_record field;
    get_class_field_info(&fields, 0, &field);
    EXPECT_EQ(field.access_flags, 0x0002u);
    EXPECT_STREQ(field.name, "count");
    EXPECT_STREQ(field.signature, "I") << "bit 0 of the pool slot is not part of the address";
    get_class_field_info(&fields, 1, &field);
    EXPECT_EQ(field.access_flags, 0x0401u);
    EXPECT_STREQ(field.name, "___internal");
    EXPECT_STREQ(field.signature, "___internal");

    // A field name or signature longer than 511 bytes is cut to 511.
    char cut[512];
    EXPECT_EQ(const_pool_get_symbol(sample.constant_pool, 4, cut, sizeof cut), 1u);
    EXPECT_EQ(strlen(cut), 511u);
    EXPECT_EQ(const_pool_get_symbol(sample.constant_pool, 4, cut, 0), 2103u) << "capacity 0 gives the length";
    EXPECT_EQ(const_pool_get_symbol(nullptr, 1, cut, sizeof cut), 0u);
    EXPECT_STREQ(cut, "___null_cp");
  }
}

TEST_F(VmStructs, ClassesThatDoNotQualifyGiveNothing) {
  VmImage &built = image({25});
  vt::VmSampleClass sample = vt::build_sample_class(built);
  // Before a load nothing is read.
  EXPECT_EQ(get_class_size(sample.klass), 0u);
  fields_context fields;
  get_class_fields_context(sample.klass, &fields);
  EXPECT_EQ(fields.count, 0);
  ASSERT_TRUE(load());
  // A klass whose virtual table pointer lies 24 bytes past InstanceKlass's table is another kind
  // of klass (an array klass here), 16 bytes past it is an instance klass.
  char *array_klass = built.alloc(256);
  VmImage::put(array_klass, 0, vm_structs.instance_klass_vtable + 24);
  EXPECT_FALSE(is_instance_klass_oop(array_klass));
  EXPECT_EQ(get_class_size(built.mirror_of(array_klass)), 0u);
  methods_context methods;
  get_class_methods_context(built.mirror_of(array_klass), &methods);
  EXPECT_EQ(methods.constant_pool, nullptr);
  VmImage::put(array_klass, 0, vm_structs.instance_klass_vtable + 16);
  EXPECT_TRUE(is_instance_klass_oop(array_klass));
  VmImage::put(array_klass, 0, fake_jvm_vtable_pointer(2));
  EXPECT_TRUE(is_instance_klass_oop(array_klass)) << "InstanceRefKlass";
  VmImage::put(array_klass, 0, fake_jvm_vtable_pointer(4));
  EXPECT_FALSE(is_instance_klass_oop(array_klass)) << "ConstantPool";
}

TEST_F(VmStructs, ArraysAndPointersAtTheEdges) {
  VmImage &compressed = image({24, true, 16});
  ASSERT_TRUE(load());
  // Empty arrays have no size; three shorts after a 16-byte header, aligned to 16, take 32.
  EXPECT_EQ(get_array_size_v24(compressed.array('s', 0)), 0u);
  char *shorts = compressed.array('s', 3);
  EXPECT_EQ(get_array_length(shorts), 3u);
  EXPECT_EQ(get_array_size_v24(shorts), 32u);
  // A narrow pointer of 0 is null whatever the base; others are base + (narrow << shift).
  char *holder = compressed.alloc(16);
  compressed.put_oop(holder, 4, nullptr);
  EXPECT_EQ(get_obj_field_direct(holder, 4, "test", 1), nullptr);
  compressed.put_oop(holder, 4, shorts);
  EXPECT_EQ(get_obj_field_direct(holder, 4, "test", 2), shorts);
  // An annotations array of 2 whose second element is null: align(16 + 8) + the first element.
  char *nested = compressed.array('o', 2);
  compressed.set_element(nested, 0, shorts);
  EXPECT_EQ(get_nested_array_size_v24(nested), 32u + 32u);
  EXPECT_EQ(get_nested_array_size_v24(compressed.array('o', 0)), 0u);

  VmImage &metadata = image({25, false, 16});
  ASSERT_TRUE(load());
  EXPECT_EQ(get_array_size_v25(metadata.array('s', 0), 4, 2), 0u);
  EXPECT_EQ(get_array_size_v25(metadata.array('s', 3), 16, 2), 32u);
  EXPECT_EQ(aligned_size(17), 32u);

  // A client VM of 21 counts no method data.
  vt::VmSampleClass sample = vt::build_sample_class(image({21, false, 8, true}));
  ASSERT_TRUE(load());
  EXPECT_EQ(get_method_size(sample.method[0]), 80u + 96u + 32u);
  vt::VmSampleClass server = vt::build_sample_class(image({21}));
  ASSERT_TRUE(load());
  EXPECT_EQ(get_method_size(server.method[0]), 80u + 96u + 32u + 200u);
}

TEST_F(VmStructs, UnreadableMetadataCountsZeroAndIsLogged) {
  VmImage &built = image({25});
  vt::VmSampleClass sample = vt::build_sample_class(built);
  ASSERT_TRUE(load());
  // The methods array points at memory that is not there: the methods count nothing more.
  char *methods = built.array('o', 1);
  built.set_element(methods, 0, reinterpret_cast<void *>(16));
  EXPECT_EQ(get_methods_size(methods), 16u);
  char expected[96];  // the address as the platform's %p writes it
  snprintf(expected, sizeof expected,
           "ERROR - Failed to read 2 bytes at %p (get_method_size:", reinterpret_cast<void *>(0x30));
  EXPECT_TRUE(vt::contains(log(), expected)) << log();
  (void)sample;
}

}  // namespace
