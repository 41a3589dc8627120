#include "vmstructs/class_members.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/string_util.h"
#include "vmstructs/metadata_read.h"
#include "vmstructs/symbols.h"
#include "vmstructs/vm_current.h"

namespace {

// The modifiers JVMTI reports for a method; the VM keeps its own flags in the other bits.
constexpr uint32_t RECOGNIZED_METHOD_MODIFIERS = 0x1DFF;
constexpr int32_t MAX_FIELDS = 65535;

const vm_current_layout &L = vm_current.layout;

struct decoded_field {
  uint16_t access, name, signature;
};

// The Java fields of the last field stream decoded (the listing asks for them in order).
struct {
  const char *stream;
  int32_t count;
  int32_t capacity;
  decoded_field *fields;
} members_state;

const char *klass_pointer(const char *klass, int32_t offset) {
  if (klass == nullptr || offset < 0) return nullptr;
  return static_cast<const char *>(safe_read_memory_ptr(klass, offset, "class_members", __LINE__));
}

void pool_text(const char *pool, uint32_t index, char *buffer, uint32_t capacity) {
  if (pool == nullptr) {
    safe_strncpy(buffer, "___null_cp", capacity);
    return;
  }
  if (!metadata_symbol_text(metadata_pool_symbol(pool, index), buffer, capacity)) buffer[0] = '\0';
}

// Each Java field of the stream: name, signature, offset, access flags and field flags, then the
// initial value, generic signature and contention group where the field flags say they follow.
int32_t decode_stream(const char *stream) {
  if (members_state.stream == stream) return members_state.count;
  members_state.stream = nullptr;
  members_state.count = 0;
  int32_t length = metadata_array_length(stream);
  if (length <= 0) return 0;
  auto *bytes = static_cast<uint8_t *>(malloc((size_t)length));
  if (bytes == nullptr) return 0;
  uint32_t position = 0, java = 0, injected = 0;
  bool ok = safe_read_memory(stream + L.array_u1_data, bytes, (size_t)length, "class_members_stream", __LINE__) &&
            metadata_unsigned5(bytes, (uint32_t)length, &position, &java) &&
            metadata_unsigned5(bytes, (uint32_t)length, &position, &injected) && java <= MAX_FIELDS;
  if (ok && (int32_t)java > members_state.capacity) {
    auto *grown = static_cast<decoded_field *>(realloc(members_state.fields, java * sizeof(decoded_field)));
    ok = grown != nullptr;
    if (ok) {
      members_state.fields = grown;
      members_state.capacity = (int32_t)java;
    }
  }
  uint32_t decoded = 0;
  for (; ok && decoded < java; ++decoded) {
    uint32_t name = 0, signature = 0, offset = 0, access = 0, flags = 0, extra = 0;
    ok = metadata_unsigned5(bytes, (uint32_t)length, &position, &name) &&
         metadata_unsigned5(bytes, (uint32_t)length, &position, &signature) &&
         metadata_unsigned5(bytes, (uint32_t)length, &position, &offset) &&
         metadata_unsigned5(bytes, (uint32_t)length, &position, &access) &&
         metadata_unsigned5(bytes, (uint32_t)length, &position, &flags);
    for (int32_t bit : {L.ff_initialized, L.ff_generic, L.ff_contended}) {
      if (ok && (flags & (1u << (bit & 31))) != 0) ok = metadata_unsigned5(bytes, (uint32_t)length, &position, &extra);
    }
    if (ok) members_state.fields[decoded] = {(uint16_t)access, (uint16_t)name, (uint16_t)signature};
  }
  free(bytes);
  if (!ok) return 0;
  members_state.stream = stream;
  members_state.count = (int32_t)decoded;
  return members_state.count;
}

}  // namespace

void class_members_methods_context(jclass klass, methods_context *context) {
  *context = methods_context{};
  const char *metadata = metadata_klass_of(klass);
  metadata_block block;
  // Instance klasses only: array klasses have no constant pool.
  if (metadata_read_block(metadata, L.type_array_klass_size, &block) &&
      (int32_t)metadata_value(block, L.klass_layout_helper, 4) > 0) {
    context->constant_pool = klass_pointer(metadata, L.ik_constants);
  }
}

void class_members_method_info(const methods_context *context, int64_t index, method_record *record) {
  record->method_id = context->methods[index];
  const char *method = static_cast<const char *>(
      safe_read_memory_ptr(reinterpret_cast<const void *>(record->method_id), 0, "class_members_method", __LINE__));
  metadata_block block;
  if (method == nullptr || !metadata_read_block(method, L.method_size, &block)) {
    record->access_flags = 0;
    safe_strncpy(record->name, "___obsolete", sizeof record->name);
    safe_strncpy(record->signature, "___obsolete", sizeof record->signature);
    return;
  }
  record->access_flags =
      (uint32_t)metadata_value(block, L.method_access_flags + L.access_flags_flags, L.access_flags_width) &
      RECOGNIZED_METHOD_MODIFIERS;
  const char *const_method = metadata_pointer(block, L.method_const);
  uint16_t name = safe_read_memory_u2(const_method, L.const_method_name_index, "class_members_method", __LINE__);
  uint16_t signature =
      safe_read_memory_u2(const_method, L.const_method_signature_index, "class_members_method", __LINE__);
  pool_text(context->constant_pool, name, record->name, sizeof record->name);
  pool_text(context->constant_pool, signature, record->signature, sizeof record->signature);
}

void class_members_fields_context(jclass klass, fields_context *context) {
  *context = fields_context{};
  const char *metadata = metadata_klass_of(klass);
  metadata_block block;
  if (!metadata_read_block(metadata, L.instance_klass_size, &block) ||
      (int32_t)metadata_value(block, L.klass_layout_helper, 4) <= 0) {
    return;
  }
  context->constant_pool = metadata_pointer(block, L.ik_constants);
  if (L.ik_fields >= 0) {
    context->fields = metadata_pointer(block, L.ik_fields);
    int32_t slots = metadata_array_length(context->fields) / L.field_slots;
    auto java = (int32_t)metadata_value(block, L.ik_java_fields_count, 2);
    context->count = java < slots ? java : slots;
  } else {
    context->fields = metadata_pointer(block, L.ik_fieldinfo_stream);
    context->count = decode_stream(context->fields);
  }
  if (context->count < 0) context->count = 0;
}

void class_members_field_info(const fields_context *context, int32_t index, field_record *record) {
  uint16_t access = 0, name = 0, signature = 0;
  if (L.ik_fields >= 0) {
    uint16_t slots[3] = {};
    const int32_t at[3] = {L.field_access_slot, L.field_name_slot, L.field_signature_slot};
    for (int i = 0; i < 3; ++i) {
      slots[i] = safe_read_memory_u2(context->fields, L.array_u2_data + ((int64_t)index * L.field_slots + at[i]) * 2,
                                     "class_members_field", __LINE__);
    }
    access = slots[0];
    name = slots[1];
    signature = slots[2];
  } else if (decode_stream(context->fields) > index && index >= 0) {
    const decoded_field &field = members_state.fields[index];
    access = field.access;
    name = field.name;
    signature = field.signature;
  }
  record->access_flags = access;
  pool_text(context->constant_pool, name, record->name, sizeof record->name);
  pool_text(context->constant_pool, signature, record->signature, sizeof record->signature);
}

void class_members_release() {
  free(members_state.fields);
  members_state.fields = nullptr;
  members_state.capacity = 0;
  members_state.count = 0;
  members_state.stream = nullptr;
}
