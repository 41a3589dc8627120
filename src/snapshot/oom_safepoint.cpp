#include "snapshot/oom_safepoint.h"

#include "core/agent_util.h"

namespace {

struct safepoint_call {
  void (*function)(void *);
  void *data;
  bool ran;
};

// The first reference of the heap operation runs the function and ends the operation.
jint JNICALL oom_walk_on_safepoint_reference(jvmtiHeapReferenceKind, const jvmtiHeapReferenceInfo *, jlong, jlong,
                                             jlong, jlong *, jlong *, jint, void *user_data) {
  auto *call = static_cast<safepoint_call *>(user_data);
  if (!call->ran) {
    call->ran = true;
    call->function(call->data);
  }
  return JVMTI_VISIT_ABORT;
}

}  // namespace

bool run_at_safepoint(jvmtiEnv *jvmti, void (*function)(void *), void *data) {
  safepoint_call call{function, data, false};
  jvmtiHeapCallbacks callbacks{};
  callbacks.heap_reference_callback = oom_walk_on_safepoint_reference;
  jvmtiError error = jvmti->FollowReferences(0, nullptr, nullptr, &callbacks, &call);
  check_jvmti_error_no_exception(nullptr, jvmti, error, "Failed to run at safepoint.");
  if (!call.ran) function(data);
  return error == JVMTI_ERROR_NONE;
}
