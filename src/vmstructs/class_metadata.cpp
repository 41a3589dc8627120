#include "vmstructs/class_metadata.h"

#include <cstring>
#include <initializer_list>

#include "base/string_util.h"
#include "vmstructs/metadata_read.h"
#include "vmstructs/symbols.h"
#include "vmstructs/vm_current.h"

namespace {

constexpr uint32_t WORD = 8;
constexpr uint32_t ACC_NATIVE = 0x0100, ACC_INTERFACE = 0x0200;
// A class file holds at most 65535 methods or fields; longer arrays come from memory that is not
// metadata.
constexpr int32_t MAX_METHODS = 65535;
constexpr int32_t MAX_ARRAY_LENGTH = 1 << 24;
// Native methods carry two more words: the native function and the signature handler.
constexpr uint32_t NATIVE_METHOD_EXTRA = 2 * WORD;
// Constant pool tags of classes (resolved, unresolved, index, resolution failed).
constexpr uint8_t TAG_CLASS = 7, TAG_UNRESOLVED_CLASS = 100, TAG_CLASS_INDEX = 101, TAG_CLASS_IN_ERROR = 103;

const vm_current_layout &L = vm_current.layout;

bool in_archive(const char *address) {
  auto at = reinterpret_cast<uint64_t>(address);
  return at >= vm_current.shared_base && at < vm_current.shared_top;
}

// What one class's blocks add up to.
struct tally {
  class_metadata_sizes *sizes;

  // A block of metadata as the metaspace allocated it: whole words, never below the smallest
  // block (the archive packs its blocks by words only).
  void add(class_metadata_part part, const char *address, uint64_t bytes) {
    bool shared = in_archive(address);
    bytes = (bytes + WORD - 1) & ~(uint64_t)(WORD - 1);
    if (!shared && bytes < vm_current.min_block_bytes) bytes = vm_current.min_block_bytes;
    sizes->part[part] += bytes;
    (shared ? sizes->shared : sizes->metaspace) += bytes;
  }
  void gap(uint32_t bits) { sizes->unreadable |= bits; }
  // The first size bytes at address, or false with the gap marked.
  bool read(const char *address, uint32_t size, metadata_block *block, uint32_t gap_bit) {
    if (metadata_read_block(address, size, block)) return true;
    gap(gap_bit);
    return false;
  }

  // An Array<T>: its header holds the first element. Empty arrays are the VM's shared ones unless
  // the owner allocates its own (fresh_when_empty). Returns the length (-1: unreadable or null).
  int32_t array(class_metadata_part part, const char *array, uint32_t header, uint32_t element, uint32_t gap_bit,
                bool fresh_when_empty = false) {
    if (array == nullptr) return -1;
    int32_t length = metadata_array_length(array);
    if (length < 0 || length > MAX_ARRAY_LENGTH) {
      gap(gap_bit);
      return -1;
    }
    if (length > 0 || fresh_when_empty) {
      add(part, array, header + (uint64_t)(length > 0 ? length - 1 : 0) * element);
    }
    return length;
  }
  int32_t u1_array(class_metadata_part part, const char *at, uint32_t gap_bit, bool fresh = false) {
    return array(part, at, L.array_u1_size, 1, gap_bit, fresh);
  }
  int32_t u2_array(class_metadata_part part, const char *at, uint32_t gap_bit, bool fresh = false) {
    return array(part, at, L.array_u2_size, 2, gap_bit, fresh);
  }
  int32_t int_array(class_metadata_part part, const char *at, uint32_t gap_bit) {
    return array(part, at, L.array_int_size, 4, gap_bit);
  }
  int32_t pointer_array(class_metadata_part part, const char *at, uint32_t gap_bit, bool fresh = false) {
    return array(part, at, L.array_ptr_size, WORD, gap_bit, fresh);
  }
};

// Calls visit with each element of an Array<T*> of the given length, copied a chunk at a time.
template <typename Visit>
bool for_each_pointer(const char *array, int32_t length, Visit visit) {
  constexpr int32_t CHUNK = 256;
  const char *elements[CHUNK];
  for (int32_t first = 0; first < length; first += CHUNK) {
    int32_t count = length - first < CHUNK ? length - first : CHUNK;
    if (!safe_read_memory(array + L.array_ptr_data + (uint64_t)first * WORD, elements, (size_t)count * WORD,
                          "class_metadata_pointers", __LINE__)) {
      return false;
    }
    for (int32_t i = 0; i < count; ++i) visit(elements[i]);
  }
  return true;
}

bool symbol_is(const char *symbol, const char *expected) {
  char text[64];
  return metadata_symbol_text(symbol, text, sizeof text) && strcmp(text, expected) == 0;
}

// An Array<u2> of constant pool indexes of classes (nest members, permitted subclasses), checked
// against the pool's tags before it is counted: the array's place is derived on some JDKs.
bool is_class_index_array(const char *array, const char *tags, int32_t pool_length) {
  int32_t length = metadata_array_length(array);
  if (length <= 0) return length == 0;
  if (length > pool_length || tags == nullptr) return false;
  uint16_t indexes[4] = {};
  int32_t checked = length < 4 ? length : 4;
  if (!safe_read_memory(array + L.array_u2_data, indexes, (size_t)checked * 2, "class_metadata_indexes", __LINE__)) {
    return false;
  }
  for (int32_t i = 0; i < checked; ++i) {
    if (indexes[i] == 0 || indexes[i] >= pool_length) return false;
    uint8_t tag = 0;
    if (!safe_read_memory(tags + L.array_u1_data + indexes[i], &tag, 1, "class_metadata_indexes", __LINE__)) {
      return false;
    }
    if (tag != TAG_CLASS && tag != TAG_UNRESOLVED_CLASS && tag != TAG_CLASS_INDEX && tag != TAG_CLASS_IN_ERROR) {
      return false;
    }
  }
  return true;
}

// The constant pool with its tags, operands, resolved classes and cache. Returns the pool's tags
// and length for the checks of derived arrays.
void count_constants(tally &t, const char *pool, const char **tags, int32_t *pool_length) {
  *tags = nullptr;
  *pool_length = 0;
  if (pool == nullptr) return;
  metadata_block block;
  if (!t.read(pool, L.constant_pool_size, &block, CLASS_GAP_CONSTANTS)) return;
  int32_t length = (int32_t)metadata_value(block, L.cp_length, 4);
  if (length < 0 || length > 65536) {
    t.gap(CLASS_GAP_CONSTANTS);
    return;
  }
  *pool_length = length;
  *tags = metadata_pointer(block, L.cp_tags);
  t.add(CLASS_PART_CONSTANTS, pool, L.constant_pool_size + (uint64_t)length * L.slot_size);
  t.u1_array(CLASS_PART_CONSTANTS, *tags, CLASS_GAP_CONSTANTS);
  t.u2_array(CLASS_PART_CONSTANTS, metadata_pointer(block, L.cp_operands), CLASS_GAP_CONSTANTS);
  t.pointer_array(CLASS_PART_CONSTANTS, metadata_pointer(block, L.cp_resolved_klasses), CLASS_GAP_CONSTANTS);

  const char *cache = metadata_pointer(block, L.cp_cache);
  if (cache == nullptr) return;  // not linked yet
  metadata_block cache_block;
  if (!t.read(cache, L.constant_pool_cache_size, &cache_block, CLASS_GAP_CONSTANTS)) return;
  uint64_t entries = 0;
  if (L.cpc_length >= 0) {
    auto count = (int32_t)metadata_value(cache_block, L.cpc_length, 4);
    if (count < 0 || count > 65536) {
      t.gap(CLASS_GAP_CONSTANTS);
      return;
    }
    entries = (uint64_t)count * L.cp_cache_entry_size;
  }
  t.add(CLASS_PART_CONSTANTS, cache, L.constant_pool_cache_size + entries);
  const struct {
    int32_t offset;
    uint32_t header, element;
  } resolved[] = {{L.cpc_indy_entries, L.indy_array_size, L.indy_entry_size},
                  {L.cpc_field_entries, L.field_array_size, L.field_entry_size},
                  {L.cpc_method_entries, L.method_array_size, L.method_entry_size}};
  for (const auto &entry : resolved) {
    if (entry.offset < 0) continue;
    t.array(CLASS_PART_CONSTANTS, metadata_pointer(cache_block, entry.offset), entry.header, entry.element,
            CLASS_GAP_CONSTANTS);
  }
  t.u2_array(CLASS_PART_CONSTANTS, metadata_pointer(cache_block, L.cpc_reference_map), CLASS_GAP_CONSTANTS);
}

// The annotation arrays in the last words of a const method, present as its flags say: method,
// parameter, type and default annotations, from the end backwards.
void count_method_annotations(tally &t, const char *const_method, uint64_t const_method_bytes, uint64_t flags) {
  const uint32_t bits[] = {L.has_method_annotations, L.has_parameter_annotations, L.has_type_annotations,
                           L.has_default_annotations};
  uint32_t present = 0;
  for (uint32_t bit : bits) present += (flags & bit) != 0 ? 1 : 0;
  if (present == 0) return;
  if (const_method_bytes < (uint64_t)present * WORD) {
    t.gap(CLASS_GAP_METHOD_ANNOTATIONS);
    return;
  }
  const char *words[4] = {};
  const char *first = const_method + const_method_bytes - (uint64_t)present * WORD;
  if (!safe_read_memory(first, words, (size_t)present * WORD, "class_metadata_annotations", __LINE__)) {
    t.gap(CLASS_GAP_METHOD_ANNOTATIONS);
    return;
  }
  // The first present kind sits in the last word.
  for (uint32_t i = 0; i < present; ++i) {
    t.u1_array(CLASS_PART_METHODS, words[present - 1 - i], CLASS_GAP_METHOD_ANNOTATIONS);
  }
}

void count_method(tally &t, const char *method) {
  if (method == nullptr) return;
  metadata_block block;
  if (!t.read(method, L.method_size, &block, CLASS_GAP_METHODS)) return;
  ++t.sizes->methods;
  uint64_t access = metadata_value(block, L.method_access_flags + L.access_flags_flags, L.access_flags_width);
  t.add(CLASS_PART_METHODS, method, L.method_size + ((access & ACC_NATIVE) != 0 ? NATIVE_METHOD_EXTRA : 0));

  if (const char *const_method = metadata_pointer(block, L.method_const)) {
    metadata_block header;
    uint32_t header_size = (uint32_t)(L.const_method_flags + L.const_method_flags_width);
    for (int32_t offset : {L.const_method_size + 4, L.const_method_stackmap + 8}) {
      if ((uint32_t)offset > header_size) header_size = (uint32_t)offset;
    }
    if (metadata_read_block(const_method, header_size, &header)) {
      uint64_t bytes = metadata_value(header, L.const_method_size, 4) * (uint64_t)L.word_size;
      t.add(CLASS_PART_METHODS, const_method, bytes);
      t.u1_array(CLASS_PART_METHODS, metadata_pointer(header, L.const_method_stackmap), CLASS_GAP_METHODS);
      count_method_annotations(t, const_method, bytes,
                               metadata_value(header, L.const_method_flags, L.const_method_flags_width));
    } else {
      t.gap(CLASS_GAP_METHODS);
    }
  }
  if (const char *method_data = metadata_pointer(block, L.method_data)) {
    int32_t size = 0;
    if (safe_read_memory(method_data + L.method_data_size, &size, sizeof size, "class_metadata_method_data",
                         __LINE__) &&
        size > 0) {
      t.add(CLASS_PART_METHODS, method_data, (uint64_t)size);
    } else {
      t.gap(CLASS_GAP_METHODS);
    }
  }
  if (const char *counters = metadata_pointer(block, L.method_counters)) {
    t.add(CLASS_PART_METHODS, counters, L.method_counters_size);
  }
}

void count_methods(tally &t, const metadata_block &klass) {
  const char *methods = metadata_pointer(klass, L.ik_methods);
  int32_t count = t.pointer_array(CLASS_PART_METHODS, methods, CLASS_GAP_METHODS);
  if (count > MAX_METHODS) {
    t.gap(CLASS_GAP_METHODS);
  } else if (count > 0 && !for_each_pointer(methods, count, [&](const char *method) { count_method(t, method); })) {
    t.gap(CLASS_GAP_METHODS);
  }
  // Default methods belong to their interfaces; the array and the vtable indices are the class's.
  t.pointer_array(CLASS_PART_METHODS, metadata_pointer(klass, L.ik_default_methods), CLASS_GAP_METHODS);
  t.int_array(CLASS_PART_METHODS, metadata_pointer(klass, L.ik_default_vtable_indices), CLASS_GAP_METHODS);
  t.int_array(CLASS_PART_METHODS, metadata_pointer(klass, L.ik_method_ordering), CLASS_GAP_METHODS);
}

// The field array (JDK 11 to 20), or the field stream with the status of every field and, on JDK
// 25, the search table of classes with many fields.
void count_fields(tally &t, const metadata_block &klass) {
  if (L.ik_fields >= 0) {
    t.u2_array(CLASS_PART_FIELDS, metadata_pointer(klass, L.ik_fields), CLASS_GAP_FIELDS, true);
    return;
  }
  const char *stream = metadata_pointer(klass, L.ik_fieldinfo_stream);
  int32_t length = t.u1_array(CLASS_PART_FIELDS, stream, CLASS_GAP_FIELDS, true);
  if (length < 0) return;
  // The stream starts with the numbers of Java and injected fields: the status has one byte each.
  uint8_t head[10] = {};
  uint32_t head_size = length < (int32_t)sizeof head ? (uint32_t)length : (uint32_t)sizeof head;
  uint32_t position = 0, java = 0, injected = 0;
  bool counted = safe_read_memory(stream + L.array_u1_data, head, head_size, "class_metadata_fields", __LINE__) &&
                 metadata_unsigned5(head, head_size, &position, &java) &&
                 metadata_unsigned5(head, head_size, &position, &injected);
  if (L.ik_fields_status < 0) {
    t.gap(CLASS_GAP_FIELDS_STATUS);
    return;
  }
  const char *status = metadata_pointer(klass, L.ik_fields_status);
  if (!counted || status == nullptr || metadata_array_length(status) != (int32_t)(java + injected)) {
    t.gap(CLASS_GAP_FIELDS_STATUS);
    return;
  }
  t.u1_array(CLASS_PART_FIELDS, status, CLASS_GAP_FIELDS_STATUS, true);
  if (L.ik_fieldinfo_search_table >= 0) {
    const char *table = metadata_pointer(klass, L.ik_fieldinfo_search_table);
    // A few bytes per field at most: anything else is not the table.
    int32_t table_length = metadata_array_length(table);
    if (table != nullptr && (table_length < 0 || (uint32_t)table_length > 16 * (java + injected) + 64)) {
      t.gap(CLASS_GAP_FIELDS_STATUS);
    } else {
      t.u1_array(CLASS_PART_FIELDS, table, CLASS_GAP_FIELDS_STATUS);
    }
  }
}

void count_annotations(tally &t, const char *annotations) {
  if (annotations == nullptr) return;
  metadata_block block;
  if (!t.read(annotations, L.annotations_size, &block, CLASS_GAP_ANNOTATIONS)) return;
  t.add(CLASS_PART_OTHER, annotations, L.annotations_size);
  t.u1_array(CLASS_PART_OTHER, metadata_pointer(block, L.annotations_class), CLASS_GAP_ANNOTATIONS);
  t.u1_array(CLASS_PART_OTHER, metadata_pointer(block, L.annotations_class_type), CLASS_GAP_ANNOTATIONS);
  // Per field: an array of arrays, one element per field (null for a field without).
  for (int32_t offset : {L.annotations_fields, L.annotations_fields_type}) {
    const char *per_field = metadata_pointer(block, offset);
    int32_t count = t.pointer_array(CLASS_PART_OTHER, per_field, CLASS_GAP_ANNOTATIONS);
    if (count > MAX_METHODS) {
      t.gap(CLASS_GAP_ANNOTATIONS);
    } else if (count > 0 && !for_each_pointer(per_field, count, [&](const char *array) {
                 t.u1_array(CLASS_PART_OTHER, array, CLASS_GAP_ANNOTATIONS);
               })) {
      t.gap(CLASS_GAP_ANNOTATIONS);
    }
  }
}

void count_record_components(tally &t, const char *components, const char *super) {
  if (components == nullptr) return;
  // Only records have them: a class whose superclass is not java.lang.Record has none.
  const char *super_name =
      super != nullptr
          ? static_cast<const char *>(safe_read_memory_ptr(super, L.klass_name, "class_metadata_records", __LINE__))
          : nullptr;
  if (!symbol_is(super_name, "java/lang/Record")) {
    t.gap(CLASS_GAP_RECORD_COMPONENTS);
    return;
  }
  int32_t count = t.pointer_array(CLASS_PART_OTHER, components, CLASS_GAP_RECORD_COMPONENTS, true);
  if (count <= 0) return;
  bool read = count <= MAX_METHODS && for_each_pointer(components, count, [&](const char *component) {
                if (component == nullptr) return;
                t.add(CLASS_PART_OTHER, component, L.record_component_size);
                const char *annotations[2] = {};
                if (!safe_read_memory(component + L.record_component_annotations, &annotations[0], WORD,
                                      "class_metadata_records", __LINE__) ||
                    !safe_read_memory(component + L.record_component_type_annotations, &annotations[1], WORD,
                                      "class_metadata_records", __LINE__)) {
                  t.gap(CLASS_GAP_RECORD_COMPONENTS);
                  return;
                }
                for (const char *array : annotations) t.u1_array(CLASS_PART_OTHER, array, CLASS_GAP_RECORD_COMPONENTS);
              });
  if (!read) t.gap(CLASS_GAP_RECORD_COMPONENTS);
}

void count_instance_klass(tally &t, const char *klass, uint64_t access) {
  metadata_block block;
  if (!t.read(klass, L.instance_klass_size, &block, CLASS_GAP_KLASS)) return;
  // The klass with its embedded vtable, itable and oop maps, and for interfaces the implementor.
  auto vtable = (int32_t)metadata_value(block, L.klass_vtable_len, 4);
  auto itable = (int32_t)metadata_value(block, L.ik_itable_len, 4);
  auto oop_maps = (int32_t)metadata_value(block, L.ik_nonstatic_oop_map_size, 4);
  if (vtable < 0 || itable < 0 || oop_maps < 0 || vtable > MAX_ARRAY_LENGTH || itable > MAX_ARRAY_LENGTH ||
      oop_maps > MAX_ARRAY_LENGTH) {
    t.gap(CLASS_GAP_KLASS);
  } else {
    uint64_t words = (uint64_t)vtable + (uint64_t)itable + (uint64_t)oop_maps + ((access & ACC_INTERFACE) ? 1 : 0);
    t.add(CLASS_PART_KLASS, klass, L.instance_klass_size + words * WORD);
  }

  const char *local = metadata_pointer(block, L.ik_local_interfaces);
  const char *transitive = metadata_pointer(block, L.ik_transitive_interfaces);
  const char *super = metadata_pointer(block, L.klass_super);
  // The secondary supers are the transitive interfaces themselves unless the VM built its own list.
  const char *secondary = metadata_pointer(block, L.klass_secondary_supers);
  if (secondary != transitive) t.pointer_array(CLASS_PART_OTHER, secondary, CLASS_GAP_INTERFACES);

  const char *tags = nullptr;
  int32_t pool_length = 0;
  count_constants(t, metadata_pointer(block, L.ik_constants), &tags, &pool_length);
  count_methods(t, block);
  count_fields(t, block);

  // The transitive interfaces are the local ones, or the superclass's, when nothing is added.
  t.pointer_array(CLASS_PART_OTHER, local, CLASS_GAP_INTERFACES);
  const char *super_transitive = super != nullptr
                                     ? static_cast<const char *>(safe_read_memory_ptr(super, L.ik_transitive_interfaces,
                                                                                      "class_metadata_super", __LINE__))
                                     : nullptr;
  if (transitive != local && transitive != super_transitive) {
    t.pointer_array(CLASS_PART_OTHER, transitive, CLASS_GAP_INTERFACES);
  }
  t.u2_array(CLASS_PART_OTHER, metadata_pointer(block, L.ik_inner_classes), CLASS_GAP_INTERFACES);
  const struct {
    int32_t offset;
    uint32_t gap;
  } class_lists[] = {{L.ik_nest_members, CLASS_GAP_NEST_MEMBERS},
                     {L.ik_permitted_subclasses, CLASS_GAP_PERMITTED_SUBCLASSES}};
  for (const auto &list : class_lists) {
    if (list.offset < 0) {
      t.gap(list.gap);
      continue;
    }
    const char *array = metadata_pointer(block, list.offset);
    if (array == nullptr) continue;
    if (is_class_index_array(array, tags, pool_length)) {
      t.u2_array(CLASS_PART_OTHER, array, list.gap);
    } else {
      t.gap(list.gap);
    }
  }
  if (L.ik_record_components < 0) {
    t.gap(CLASS_GAP_RECORD_COMPONENTS);
  } else {
    count_record_components(t, metadata_pointer(block, L.ik_record_components), super);
  }
  count_annotations(t, metadata_pointer(block, L.ik_annotations));
}

}  // namespace

bool class_metadata_of_klass(const char *klass, class_metadata_sizes *sizes) {
  *sizes = class_metadata_sizes{};
  if (klass == nullptr || !vm_current_active()) return false;
  tally t{sizes};
  // The part every klass has (array klasses are the smaller ones).
  uint32_t base = L.type_array_klass_size < L.obj_array_klass_size ? L.type_array_klass_size : L.obj_array_klass_size;
  metadata_block block;
  if (!t.read(klass, base, &block, CLASS_GAP_KLASS)) return false;
  // The defining loader: its class loader data holds a handle of the loader object.
  const char *loader_data = metadata_pointer(block, L.klass_class_loader_data);
  if (loader_data != nullptr && L.cld_class_loader >= 0) {
    const void *handle = safe_read_memory_ptr(loader_data, L.cld_class_loader, "class_metadata_loader", __LINE__);
    sizes->loader_known = handle == nullptr || safe_read_memory(handle, &sizes->loader, sizeof sizes->loader,
                                                                "class_metadata_loader", __LINE__);
  }
  auto layout_helper = (int32_t)metadata_value(block, L.klass_layout_helper, 4);
  uint64_t access = metadata_value(block, L.klass_access_flags + L.access_flags_flags, L.access_flags_width);
  if (layout_helper > 0) {
    count_instance_klass(t, klass, access);
    return true;
  }
  if (layout_helper == 0) {
    t.gap(CLASS_GAP_KLASS);
    return true;
  }
  // An array klass takes the room of an InstanceKlass header whatever its own size, then its
  // vtable; its secondary supers are the VM's shared pair of array interfaces unless the element
  // type adds its own.
  sizes->array_class = true;
  auto vtable = (int32_t)metadata_value(block, L.klass_vtable_len, 4);
  if (vtable < 0 || vtable > MAX_ARRAY_LENGTH) {
    t.gap(CLASS_GAP_KLASS);
    return true;
  }
  t.add(CLASS_PART_KLASS, klass, L.instance_klass_size + (uint64_t)vtable * WORD);
  const char *secondary = metadata_pointer(block, L.klass_secondary_supers);
  if (metadata_array_length(secondary) > 2) t.pointer_array(CLASS_PART_OTHER, secondary, CLASS_GAP_INTERFACES);
  return true;
}

bool class_metadata_of(jclass klass, class_metadata_sizes *sizes) {
  *sizes = class_metadata_sizes{};
  if (!vm_current_active()) return false;
  return class_metadata_of_klass(metadata_klass_of(klass), sizes);
}

void class_metadata_gap_text(uint32_t gaps, char *buffer, size_t size) {
  static const string_flag_name names[] = {
      {CLASS_GAP_KLASS, "klass"},
      {CLASS_GAP_CONSTANTS, "constants"},
      {CLASS_GAP_METHODS, "methods"},
      {CLASS_GAP_FIELDS, "fields"},
      {CLASS_GAP_FIELDS_STATUS, "fields_status"},
      {CLASS_GAP_INTERFACES, "interfaces"},
      {CLASS_GAP_NEST_MEMBERS, "nest_members"},
      {CLASS_GAP_PERMITTED_SUBCLASSES, "permitted_subclasses"},
      {CLASS_GAP_RECORD_COMPONENTS, "record_components"},
      {CLASS_GAP_ANNOTATIONS, "annotations"},
      {CLASS_GAP_METHOD_ANNOTATIONS, "method_annotations"},
  };
  string_join_flag_names(buffer, size, gaps, names, sizeof names / sizeof names[0], ",");
}
