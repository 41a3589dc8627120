// Until user transactions land: no thread is inside a transaction.
#include "file_streams_internal.h"

thread_locals *file_streams_transaction_record() { return nullptr; }
file_streams_locals *file_streams_locals_of(thread_locals *) {
  static file_streams_locals none;
  return &none;
}
void timing_tracker_register_operation(thread_locals *, int32_t, int64_t) {}
