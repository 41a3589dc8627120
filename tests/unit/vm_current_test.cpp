// Current HotSpot on synthetic images named as JDK 17 and JDK 25 name their tables: recognising the
// family, every part of a class's metadata with the archive's blocks apart, the parts that cannot
// be read or checked named instead of counted, and the members from the field array and stream.
#include <gtest/gtest.h>

#include <functional>

#include "core/log.h"
#include "current_image.h"
#include "test_util.h"
#include "vmstructs/class_metadata.h"
#include "vmstructs/class_size.h"
#include "vmstructs/vm_current.h"
#include "vmstructs/vm_structs.h"

namespace {

using vt::CurrentImage;
using vt::CurrentImageOptions;
using namespace vt::current_layout;
using image = CurrentImage;

// One class with every part the reader counts (see the sizes expected below).
struct Sample {
  jclass klass;
  char *metadata, *pool, *tags, *method[2], *stream_status, *permitted, *record_super;
  jmethodID method_ids[3];  // the third one's method is gone
};

Sample build_sample(CurrentImage &m) {
  const bool jdk25 = m.options.feature >= 21;
  Sample s{};
  s.record_super = m.instance_klass("java/lang/Record");
  image::put(s.record_super, ik_transitive_interfaces, m.array(0, 8));
  char *klass = s.metadata = m.instance_klass("Sample");
  image::put(klass, klass_super, s.record_super);
  image::put(klass, klass_vtable_len, (int32_t)5);
  image::put(klass, ik_itable_len, (int32_t)2);
  image::put(klass, ik_oop_map_size, (int32_t)1);
  char *loader_data = m.alloc(64), *handle = m.alloc(8);
  image::put(handle, 0, (uint64_t)0x1234560);
  image::put(loader_data, loader_data_loader, handle);
  image::put(klass, klass_loader_data, loader_data);

  // Constants: 210 slots, tags (2 and 4 classes, 3 an unresolved class), operands, two resolved
  // classes and the cache.
  s.pool = m.alloc(constant_pool_size + 210 * 8);
  image::put(s.pool, cp_length, (int32_t)210);
  const std::pair<uint32_t, const char *> symbols[] = {
      {1, "run"},    {3, "()V"}, {4, "size"}, {5, "()I"}, {6, "I"}, {7, "LABEL"}, {8, "Ljava/lang/String;"},
      {200, "count"}};
  for (const auto &[index, text] : symbols) image::put(s.pool, constant_pool_size + 8 * index, m.symbol(text));
  s.tags = m.array(210, 1);
  for (uint32_t i = 1; i < 210; ++i) s.tags[4 + i] = 1;
  s.tags[4 + 2] = 7, s.tags[4 + 3] = 100, s.tags[4 + 4] = 7;
  image::put(s.pool, cp_tags, s.tags);
  image::put(s.pool, cp_operands, m.array(3, 2));
  image::put(s.pool, cp_resolved_klasses, m.array(2, 8));
  char *cache = m.alloc(64);
  if (jdk25) {
    image::put(cache, cpc_indy, m.array(1, 16));
    image::put(cache, cpc_fields, m.array(2, 24));
    image::put(cache, cpc_methods, m.array(0, 24));
  } else {
    image::put(cache, cpc_length, (int32_t)3);
  }
  image::put(cache, cpc_reference_map, m.array(1, 2));
  image::put(s.pool, cp_cache, cache);
  image::put(klass, ik_constants, s.pool);

  // Methods: a native one with stack map, method and default annotations, method data and
  // counters; a plain one whose const method lies in the archive.
  char *methods = m.array(2, 8);
  for (int i = 0; i < 2; ++i) {
    char *method = s.method[i] = m.alloc(method_size);
    int32_t words = i == 0 ? 10 : 8;
    char *const_method = i == 0 ? m.alloc(words * 8) : m.archived(words * 8);
    image::put(const_method, const_method_size, words);
    image::put(const_method, const_method_name, (uint16_t)(i == 0 ? 1 : 4));
    image::put(const_method, const_method_signature, (uint16_t)(i == 0 ? 3 : 5));
    image::put(method, method_const, const_method);
    // The VM keeps flags of its own above the modifiers on JDK 17.
    uint32_t access = i == 0 ? 0x0101 : (jdk25 ? 0x0001 : 0x20000001);
    if (jdk25) {
      image::put(method, method_access, (uint16_t)access);
    } else {
      image::put(method, method_access, access);
    }
    if (i == 0) {
      image::put(const_method, const_method_stackmap, m.array(5, 1));
      uint32_t flags = 128 | 1024;  // method and default annotations: the last two words
      if (jdk25) {
        image::put(const_method, const_method_flags, flags);
      } else {
        image::put(const_method, const_method_flags, (uint16_t)flags);
      }
      image::put(const_method, words * 8 - 8, m.array(3, 1));
      image::put(const_method, words * 8 - 16, m.array(3, 1));
      char *data = m.alloc(200);
      image::put(data, method_data_size, (int32_t)200);
      image::put(method, method_data, data);
      image::put(method, method_counters, m.alloc(64));
    }
    image::put(methods, 8 + 8 * i, method);
    s.method_ids[i] = m.method_id(method);
  }
  s.method_ids[2] = m.method_id(nullptr);
  image::put(klass, ik_methods, methods);
  image::put(klass, ik_default_methods, m.array(1, 8));
  image::put(klass, ik_default_vtable_indices, m.array(1, 4));
  image::put(klass, ik_method_ordering, m.array(0, 4));

  // Fields: "int count" (name index 200, two bytes in the stream), "static final String LABEL"
  // with a constant and a generic signature, and one the VM injected.
  if (jdk25) {
    const uint8_t bytes[] = {3, 2, 201, 1, 7, 13, 3, 1, 8, 9, 17, 25, 6, 10, 10, 2, 3, 21, 1, 3};
    char *stream = m.array(sizeof bytes, 1);
    memcpy(stream + 4, bytes, sizeof bytes);
    image::put(klass, ik_fieldinfo_stream, stream);
    s.stream_status = m.array(3, 1);
    image::put(klass, ik_fields_status, s.stream_status);
  } else {
    const uint16_t slots[18] = {2, 200, 6, 0, 0, 0, 0x18, 7, 8, 9, 0, 0, 0x400, 1, 2, 0, 0, 0};
    char *fields = m.array(18, 2);
    memcpy(fields + 4, slots, sizeof slots);
    image::put(klass, ik_fields, fields);
    image::put(klass, ik_java_fields_count, (uint16_t)2);
  }

  // Other parts: secondary supers of their own, one interface (the transitive ones are the same
  // array), inner classes, nest members, permitted subclasses, a record component and annotations.
  image::put(klass, klass_secondary_supers, m.array(2, 8));
  char *interfaces = m.array(1, 8);
  image::put(klass, ik_local_interfaces, interfaces);
  image::put(klass, ik_transitive_interfaces, interfaces);
  image::put(klass, ik_inner_classes, m.array(4, 2));
  char *nest = m.array(1, 2);
  image::put(nest, 4, (uint16_t)2);
  image::put(klass, ik_nest_members, nest);
  s.permitted = m.array(2, 2);
  image::put(s.permitted, 4, (uint16_t)3);
  image::put(s.permitted, 6, (uint16_t)4);
  image::put(klass, ik_permitted_subclasses, s.permitted);
  char *components = m.array(1, 8), *component = m.alloc(24);
  image::put(component, 0, m.array(2, 1));
  image::put(components, 8, component);
  image::put(klass, ik_record_components, components);
  char *annotations = m.alloc(32), *per_field = m.array(2, 8);
  image::put(per_field, 8, m.array(1, 1));
  image::put(annotations, 0, m.array(4, 1));
  image::put(annotations, 8, per_field);
  image::put(klass, ik_annotations, annotations);
  s.klass = m.mirror_of(klass);
  return s;
}

class CurrentHotSpot : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_use_directory("unit", (dir_ / "logs").c_str()));
    vm_structs_reset();
    vm_current_reset();
  }
  void TearDown() override {
    image_.reset();
    vm_structs_reset();
    vm_current_reset();
  }
  CurrentImage &image(const CurrentImageOptions &options) {
    image_.reset();
    vm_structs_reset();
    vm_current_reset();
    image_ = std::make_unique<CurrentImage>(options);
    return *image_;
  }
  bool load() {
    image_->install();
    return init_class_size_symbols(nullptr, true);
  }
  std::string log() {
    std::vector<std::string> files = vt::list_directory(dir_ / "logs");
    return files.empty() ? "" : vt::read_file(dir_ / ("logs/" + files[0]));
  }
  vt::TempDir dir_;
  std::unique_ptr<CurrentImage> image_;
};

TEST_F(CurrentHotSpot, RecognisedByItsSecurityVersionAndReleaseNeverByTheMajorAlone) {
  const struct {
    const char *name;
    CurrentImageOptions options;
    const char *status;
  } cases[] = {
      {"JDK 25", {25}, "available"},
      {"JDK 17", {17, true, "17.0.21.1+2-1-deb12u1-Debian"}, "available"},
      {"no security version", {25, false}, "bad_version"},
      {"HotSpot 25 of JDK 8", {25, true, "25.312-b07"}, "bad_version"},
      {"JDK 26", {26, true, "26+4"}, "bad_version"},
      {"JDK 10", {10, true, "10.0.2+13"}, "bad_version"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    image(c.options);
    size_t before = log().size();
    EXPECT_EQ(load(), std::string(c.status) == "available");
    EXPECT_STREQ(get_hotspot_symbols_status_text(), c.status);
    EXPECT_EQ(vm_structs.hotspot_major, 1) << "the old generations' formulas never see a current major";
    std::string text = log().substr(before);
    EXPECT_FALSE(vt::contains(text, "ERROR")) << text;
  }
  image({17, true, "17.0.21"});
  ASSERT_TRUE(load());
  EXPECT_EQ(vm_current.min_block_bytes, 16u);
  EXPECT_TRUE(vt::contains(log(),
                           "INFO  - Class size calculator: HotSpot of JDK 17 (17.0.21), derived: nest members, "
                           "permitted subclasses and record components, annotation arrays, record component."))
      << log();
  image({25});
  ASSERT_TRUE(load());
  EXPECT_EQ(vm_current.min_block_bytes, 8u);
  EXPECT_TRUE(vt::contains(log(),
                           "derived: permitted subclasses and record components, field status, field search "
                           "table, record component, array headers."))
      << log();

  CurrentImage &missing = image({25});
  missing.remove_field("Method", "_constMethod");
  EXPECT_FALSE(load());
  EXPECT_STREQ(get_hotspot_symbols_status_text(), "load_error");
  EXPECT_TRUE(vt::contains(log(), "ERROR - Class size calculator: Field Method::_constMethod not found.")) << log();
  EXPECT_TRUE(vt::contains(log(), "ERROR - Class size calculator: Did not find fields.")) << log();
}

TEST_F(CurrentHotSpot, EveryPartOfAClassAsTheMetaspaceAllocatedItWithTheArchiveApart) {
  for (int feature : {17, 25}) {
    SCOPED_TRACE("JDK " + std::to_string(feature));
    Sample s = build_sample(image({feature, true, std::to_string(feature) + ".0.1"}));
    ASSERT_TRUE(load()) << log();
    class_metadata_sizes sizes;
    ASSERT_TRUE(class_metadata_of(s.klass, &sizes));
    const uint64_t min = feature == 17 ? 16 : 8;  // the smallest block
    // The klass with vtable (5), itable (2) and oop maps (1).
    EXPECT_EQ(sizes.part[CLASS_PART_KLASS], 400u + 8 * 8);
    // Pool and slots, tags (8 + 209 → 224), operands (12 → 16), resolved classes, the cache with
    // its entries (17: 3 × 32; 25: arrays of one indy and two field entries), the reference map.
    uint64_t cache = feature == 17 ? 40 + 3 * 32 : 64 + 24 + (32 + 24);
    EXPECT_EQ(sizes.part[CLASS_PART_CONSTANTS], 72u + 210 * 8 + 224 + 16 + 24 + cache + std::max<uint64_t>(8, min));
    // The array, the native method (two words more) with its const method, stack map, two
    // annotation arrays, method data and counters; the plain one; default methods and indices.
    uint64_t counters = feature == 17 ? 56 : 64;
    EXPECT_EQ(sizes.part[CLASS_PART_METHODS],
              24u + (88 + 16) + 80 + 16 + 2 * 16 + 200 + counters + 88 + 64 + 16 + std::max<uint64_t>(8, min));
    // 17: 18 slots (8 + 34 → 48); 25: a stream of 20 bytes (27 → 32) and the status of 3 fields.
    EXPECT_EQ(sizes.part[CLASS_PART_FIELDS], feature == 17 ? 48u : 32u + 16);
    // Secondary supers, the interface, inner classes, nest members, permitted subclasses, the
    // record component (array, component, its annotations), the annotations with their arrays.
    EXPECT_EQ(sizes.part[CLASS_PART_OTHER],
              24u + 16 + 16 + std::max<uint64_t>(8, min) + 16 + (16 + 24 + 16) + (32 + 16 + 24 + min));
    EXPECT_EQ(sizes.shared, 64u) << "the plain method's const method is archived";
    uint64_t total = 0;
    for (uint64_t part : sizes.part) total += part;
    EXPECT_EQ(sizes.metaspace + sizes.shared, total);
    EXPECT_EQ(sizes.unreadable, 0u);
    EXPECT_EQ(sizes.methods, 2u);
    EXPECT_TRUE(sizes.loader_known);
    EXPECT_EQ(sizes.loader, 0x1234560u);
    EXPECT_EQ(get_class_size(s.klass), total);
  }
}

TEST_F(CurrentHotSpot, WhatCannotBeReadOrCheckedIsNamedAndLeftOut) {
  const struct {
    const char *name;
    int feature;
    std::function<void(CurrentImage &, Sample &)> change;
    const char *gaps;
    uint64_t less;  // bytes no longer counted
  } cases[] = {
      {"a method that is not mapped", 25,
       [](CurrentImage &m, Sample &s) {
         image::put(*reinterpret_cast<char **>(s.metadata + ik_methods), 16, m.unmapped());
       },
       "methods", 88 + 64},
      {"permitted subclasses that are no classes", 25,
       [](CurrentImage &, Sample &s) { image::put(s.permitted, 6, (uint16_t)9); }, "permitted_subclasses", 16},
      {"record components of a class that is no record", 17,
       [](CurrentImage &m, Sample &s) { image::put(s.metadata, klass_super, m.instance_klass("java/lang/Object")); },
       "record_components", 16 + 24 + 16},
      {"a field status of another length", 25,
       [](CurrentImage &, Sample &s) { image::put(s.stream_status, 0, (int32_t)2); }, "fields_status", 16},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Sample s = build_sample(image({c.feature, true, std::to_string(c.feature) + ".0.1"}));
    ASSERT_TRUE(load()) << log();
    class_metadata_sizes intact, changed;
    ASSERT_TRUE(class_metadata_of(s.klass, &intact));
    c.change(*image_, s);
    ASSERT_TRUE(class_metadata_of(s.klass, &changed));
    char gaps[256];
    class_metadata_gap_text(changed.unreadable, gaps, sizeof gaps);
    EXPECT_STREQ(gaps, c.gaps);
    EXPECT_EQ(intact.metaspace + intact.shared - changed.metaspace - changed.shared, c.less);
  }
  // Without the five words between the inner classes and the source debug extension the places
  // of the permitted subclasses and record components are unknown: every class says so.
  CurrentImage &moved = image({25});
  Sample s = build_sample(moved);
  moved.move_field("InstanceKlass", "_source_debug_extension", ik_source_debug_extension + 8);
  ASSERT_TRUE(load());
  class_metadata_sizes sizes;
  ASSERT_TRUE(class_metadata_of(s.klass, &sizes));
  char gaps[256];
  class_metadata_gap_text(sizes.unreadable, gaps, sizeof gaps);
  EXPECT_STREQ(gaps, "permitted_subclasses,record_components");
}

TEST_F(CurrentHotSpot, FieldsFromTheArrayOrTheStreamAndMethodsWithTheirModifiers) {
  for (int feature : {17, 25}) {
    SCOPED_TRACE("JDK " + std::to_string(feature));
    Sample s = build_sample(image({feature, true, std::to_string(feature) + ".0.1"}));
    ASSERT_TRUE(load()) << log();
    fields_context fields;
    get_class_fields_context(s.klass, &fields);
    ASSERT_EQ(fields.count, 2) << "the injected field is not listed";
    std::vector<std::string> listed;
    for (int32_t i = 0; i < fields.count; ++i) {
      field_record field;
      get_class_field_info(&fields, i, &field);
      listed.push_back(std::to_string(field.access_flags) + " " + field.signature + " " + field.name);
    }
    release_class_fields_context(&fields);
    methods_context methods;
    get_class_methods_context(s.klass, &methods);
    methods.methods = s.method_ids;
    methods.count = 3;
    for (int64_t i = 0; i < methods.count; ++i) {
      method_record method;
      get_class_method_info(&methods, i, &method);
      listed.push_back(std::to_string(method.access_flags) + " " + method.signature + " " + method.name);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"2 I count", "24 Ljava/lang/String; LABEL", "257 ()V run", "1 ()I size",
                                                "0 ___obsolete ___obsolete"}));
  }
}

}  // namespace
