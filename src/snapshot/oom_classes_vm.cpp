#include "snapshot/oom_classes_vm.h"

#include <cstdint>
#include <cstring>

#include "base/string_util.h"
#include "core/agent_util.h"
#include "snapshot/oom_writer.h"
#include "vmstructs/class_metadata.h"
#include "vmstructs/class_size.h"
#include "vmstructs/vm_current.h"

namespace {

// Its second field is left out of the listing.
constexpr const char *THROWABLE_SIGNATURE = "Ljava/lang/Throwable;";

void dump_field_lines(snapshot_record *snapshot, jclass klass, bool throwable) {
  fields_context fields;
  get_class_fields_context(klass, &fields);
  for (int32_t i = 0; i < fields.count && snapshot_in_valid_state(snapshot); ++i) {
    if (throwable && i == 1) continue;
    field_record field;
    get_class_field_info(&fields, i, &field);
    oom_text_print_field_line(snapshot, (int)field.access_flags, field.signature, field.name);
    ++snapshot->field_count;
  }
  release_class_fields_context(&fields);
}

void dump_method_lines(snapshot_record *snapshot, jclass klass, jmethodID *methods, int32_t method_count) {
  methods_context context;
  get_class_methods_context(klass, &context);
  context.methods = methods;
  context.count = methods != nullptr && method_count > 0 ? method_count : 0;
  snapshot->method_count += context.count;
  for (int64_t i = 0; i < context.count && snapshot_in_valid_state(snapshot); ++i) {
    method_record method;
    get_class_method_info(&context, i, &method);
    oom_text_print_method_line(snapshot, method.method_id, (int)method.access_flags, method.signature, method.name);
  }
}

}  // namespace

void oom_classes_vm_keep_details(jvmtiEnv *jvmti, jclass klass, char **signature, jmethodID **methods,
                                 int32_t *method_count) {
  *signature = nullptr;
  *methods = nullptr;
  *method_count = 0;
  char *text = nullptr;
  if (check_jvmti_error_no_exception(nullptr, jvmti, jvmti->GetClassSignature(klass, &text, nullptr),
                                     "Failed to get class signature")) {
    *signature = text;
  }
  jint count = 0;
  jmethodID *array = nullptr;
  jvmtiError error = jvmti->GetClassMethods(klass, &count, &array);
  if (error == JVMTI_ERROR_NONE) {
    *methods = array;
    *method_count = count;
  } else if (error != JVMTI_ERROR_CLASS_NOT_PREPARED) {
    check_jvmti_error_no_exception(nullptr, jvmti, error, "Failed to get class methods");
  }
}

void dump_class_via_sa(snapshot_record *snapshot, int64_t id, jclass klass, const char *signature, jmethodID *methods,
                       int32_t method_count) {
  const char *name = signature != nullptr ? signature : "UNKNOWN_CLASS";
  oom_text_print(snapshot, "%13lld %s\n", (long long)id, name);
  snapshot->class_strings_length += oom_text_strings_length(name);
  dump_field_lines(snapshot, klass, signature != nullptr && strcmp(signature, THROWABLE_SIGNATURE) == 0);
  dump_method_lines(snapshot, klass, methods, method_count);
}

bool oom_classes_vm_size_record(snapshot_record *snapshot, int64_t id, jclass klass, uint32_t base_size,
                                uint32_t *metadata_size) {
  if (!vm_current_active() || !has_full_hotspot_symbols()) return false;
  class_metadata_sizes sizes;
  class_metadata_of(klass, &sizes);
  uint64_t metadata = sizes.metaspace + sizes.shared;
  *metadata_size = metadata > UINT32_MAX ? UINT32_MAX : (uint32_t)metadata;
  char tail[288] = "";
  size_t used = 0;
  if (sizes.loader_known) {
    used = (size_t)xsnprintf(tail, sizeof tail, " loader=0x%llx", (unsigned long long)sizes.loader);
  }
  if (sizes.unreadable != 0 && used < sizeof tail) {
    char parts[224];
    class_metadata_gap_text(sizes.unreadable, parts, sizeof parts);
    xsnprintf(tail + used, sizeof tail - used, " unreadable=%s", parts);
  }
  oom_text_print(
      snapshot,
      "%13lld %d metaspace=%llu shared=%llu klass=%llu constants=%llu methods=%llu fields=%llu other=%llu%s\n",
      (long long)id, (int32_t)(base_size + *metadata_size), (unsigned long long)sizes.metaspace,
      (unsigned long long)sizes.shared, (unsigned long long)sizes.part[CLASS_PART_KLASS],
      (unsigned long long)sizes.part[CLASS_PART_CONSTANTS], (unsigned long long)sizes.part[CLASS_PART_METHODS],
      (unsigned long long)sizes.part[CLASS_PART_FIELDS], (unsigned long long)sizes.part[CLASS_PART_OTHER], tail);
  return true;
}
