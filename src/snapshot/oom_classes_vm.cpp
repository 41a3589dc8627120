#include "snapshot/oom_classes_vm.h"

#include <cstring>

#include "core/agent_util.h"
#include "vmstructs/class_size.h"
#include "snapshot/oom_writer.h"

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
