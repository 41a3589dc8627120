#include "snapshot/oom_sections.h"

#include <cstdlib>
#include <cstring>

#include "core/agent_state.h"
#include "core/agent_util.h"
#include "statistics/classloader_tracker.h"
#include "vmstructs/class_size.h"
#include "core/hashmap.h"
#include "core/hires_time.h"
#include "snapshot/oom_classes.h"
#include "statistics/statistics.h"
#include "core/tag_access.h"
#include "core/thread_info.h"
#include "vorkel_version.h"

namespace {

constexpr const char *SNAPSHOT_BUILD_NUMBER = VORKEL_BUILD_NUMBER;
constexpr jint THREAD_DUMP_TRACE_SIZE = 32768;

struct {
  // Thread stack texts are formatted here, one thread at a time.
  char trace_buffer[THREAD_DUMP_TRACE_SIZE];
} oom_sections;

bool dump_classloader_line(hashmap_entry *entry, void *data) {
  auto *snapshot = static_cast<snapshot_record *>(data);
  const cltracker_loader_info *loader = hashmap_value<cltracker_loader_info>(entry);
  if (snapshot_in_valid_state(snapshot)) {
    // The loader's graph id: the number in the temporary tag the walk gave it, 0 when not reached.
    oom_text_print(snapshot, "%13lld %lld\n", (long long)tag_graph_id(loader->temporary_tag),
                   (long long)loader->first_seen);
    ++snapshot->classloader_count;
  }
  return true;
}

bool clear_classloader_id(hashmap_entry *entry, void *) {
  hashmap_value<cltracker_loader_info>(entry)->temporary_tag = 0;
  return true;
}

}  // namespace

void dump_metadata(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni, int64_t start_time) {
  agent_globals_record *globals = agent_globals;
  oom_text_print_header(snapshot, "Metadata") &&
      oom_text_print(snapshot, "Dump version: %s\n", SNAPSHOT_DUMP_VERSION) &&
      oom_text_print(snapshot, "Build number: %s\n", SNAPSHOT_BUILD_NUMBER) &&
      oom_text_print(snapshot, "Account ID: %s\n", globals->account_id) &&
      oom_text_print(snapshot, "JVM ID: %s\n", globals->jvm_id) &&
      oom_text_print(snapshot, "Session ID: %s\n", globals->session_id) &&
      oom_text_print(snapshot, "OOM timestamp: %lld\n", (long long)start_time) &&
      oom_text_print(snapshot, "OS type: %s\n", "-m64") &&
      oom_text_print(snapshot, "Current thread: %lld\n", (long long)thread_get_current_id(jni, jvmti)) &&
      oom_text_print(snapshot, "VM name: %s\n", globals->vm_name) &&
      oom_text_print(snapshot, "VM version: %s\n", globals->vm_version) &&
      oom_text_print(snapshot, "Hotspot symbols: %s\n", get_hotspot_symbols_status_text()) &&
      oom_text_print(snapshot, "Class size type: %s\n", oom_classes_size_type());
}

void dump_allocation_point_info(snapshot_record *snapshot) {
  if (!oom_text_print_header(snapshot, "Allocation Points")) return;
  uint64_t count = 0;
  int64_t *ids = nullptr;
  stats_get_all_allocation_ids(&count, &ids);
  for (uint64_t i = 0; i < count && snapshot_in_valid_state(snapshot); ++i) {
    const char *class_name = stats_get_class_name(ids[i]);
    const char *birthplace = stats_get_birthplace_string(ids[i]);
    oom_text_print(snapshot, "%13lld %30s @ %40s\n", (long long)ids[i], class_name != nullptr ? class_name : "(null)",
                   birthplace != nullptr ? birthplace : "(null)");
    ++snapshot->allocation_point_count;
    snapshot->allocation_point_strings_length +=
        oom_text_strings_length(class_name) + oom_text_strings_length(birthplace);
  }
  free(ids);
}

void dump_all_thread_info(snapshot_record *snapshot, jvmtiEnv *jvmti, JNIEnv *jni) {
  uint64_t start = perfCounterCurrent();
  if (!oom_text_print_header(snapshot, "Threads")) return;
  thread_dump dump;
  if (thread_dump_init(jvmti, &dump, jni)) {
    char *trace = oom_sections.trace_buffer;
    snapshot->thread_count = dump.thread_count;
    for (jint i = 0; i < dump.thread_count && snapshot_in_valid_state(snapshot); ++i) {
      // What one thread's lines make (its name's and its frames' references) goes with its frame.
      jni_local_frame frame(jni, 16);
      const jvmtiStackInfo &info = dump.stack_info[i];
      int64_t object_id = (int64_t)tag_graph_id(tag_access_get_tag(jvmti, info.thread));
      char *name = thread_get_name(jni, jvmti, info.thread);
      oom_text_print(snapshot, "%16lld %10lld %8d %s\n", (long long)thread_get_id(jni, info.thread),
                     (long long)object_id, (int)info.state, name != nullptr ? name : "Unknown");
      snapshot->thread_names_length += oom_text_strings_length(name);
      free(name);
      thread_dump_format_stack_trace(jvmti, &dump, i, trace, sizeof oom_sections.trace_buffer);
      oom_text_print(snapshot, "%s", trace);
      snapshot->thread_traces_length += oom_text_strings_length(trace);
    }
    thread_dump_close(jvmti, &dump);
  }
  snapshot->thread_dumping_time = hires_elapsed_ms(start);
}

void dump_classloader_info(snapshot_record *snapshot) {
  if (oom_text_print_header(snapshot, "Classloaders")) cltracker_enumerate(dump_classloader_line, snapshot);
}

void oom_sections_clear_classloader_ids() { cltracker_enumerate(clear_classloader_id, nullptr); }

void dump_summary(snapshot_record *snapshot) {
  struct {
    const char *name;
    long long value;
  } lines[] = {
      {"Object count", snapshot->object_count},
      {"Reference count", snapshot->reference_count},
      {"Local reference count", snapshot->local_reference_count},
      {"Class reference count", snapshot->class_reference_count},
      {"Class count", snapshot->class_count},
      {"Class max ID", snapshot->class_max_id},
      {"Class strings length", snapshot->class_strings_length},
      {"Method count", snapshot->method_count},
      {"Method strings length", snapshot->method_strings_length},
      {"Field count", snapshot->field_count},
      {"Field strings length", snapshot->field_strings_length},
      {"Thread count", snapshot->thread_count},
      {"Thread names length", snapshot->thread_names_length},
      {"Thread traces length", snapshot->thread_traces_length},
      {"Allocation point count", snapshot->allocation_point_count},
      {"Allocation point strings count", snapshot->allocation_point_strings_length},
      {"Classloader count", snapshot->classloader_count},
      {"Dumping total time", (long long)snapshot->dumping_total_time},
      {"Class dumping time", (long long)snapshot->class_dumping_time},
      {"Thread dumping time", (long long)snapshot->thread_dumping_time},
      {"Dump STW time", (long long)snapshot->dump_stw_time},
      {"Restore STW time", (long long)snapshot->restore_stw_time},
      {"Class size STW time", (long long)snapshot->class_size_stw_time},
      {"Class info STW time", (long long)snapshot->class_info_stw_time},
  };
  if (!oom_text_print_header(snapshot, "Summary")) return;
  for (const auto &line : lines) {
    if (!oom_text_print(snapshot, "%s: %lld\n", line.name, line.value)) return;
  }
  oom_text_print_header(snapshot, "End");
}
