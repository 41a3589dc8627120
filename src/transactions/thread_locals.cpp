#include "transactions/thread_locals.h"

#include <cstdlib>

#include "transactions/virtual_locals.h"

namespace {

thread_locals *const ENDED_MARKER = reinterpret_cast<thread_locals *>(THREAD_LOCALS_ENDED);

}  // namespace

thread_local_key thread_locals_get_handle() {
  // Made once, whichever thread asks first.
  static const thread_local_key locals_handle = thread_local_initialise();
  return locals_handle;
}

thread_locals *thread_get_locals() {
  thread_local_key key = thread_locals_get_handle();
  auto *record = static_cast<thread_locals *>(thread_local_get(key));
  if (record == ENDED_MARKER) return nullptr;
  if (record != nullptr) return record;
  record = static_cast<thread_locals *>(calloc(1, sizeof(thread_locals)));
  if (record == nullptr) return nullptr;
  if (!thread_local_set(key, record)) {
    free(record);
    return nullptr;
  }
  return record;
}

thread_locals *thread_peek_locals() {
  auto *record = static_cast<thread_locals *>(thread_local_get(thread_locals_get_handle()));
  return record == ENDED_MARKER ? nullptr : record;
}

thread_transactions_record thread_transactions;

void thread_transactions_entered() { thread_transactions.inside.fetch_add(1, std::memory_order_relaxed); }
void thread_transactions_left() { thread_transactions.inside.fetch_sub(1, std::memory_order_relaxed); }

thread_transaction_state *thread_find_current_transaction() {
  // A carrier never joins a transaction, so the slot a virtual thread reads (its carrier's) holds
  // no transaction, and the record filed under the virtual thread's id decides.
  thread_locals *record = thread_peek_locals();
  if (record != nullptr && record->transaction_state.transaction != nullptr) return &record->transaction_state;
  return virtual_locals_current_transaction();
}

void JNICALL thread_start_callback(jvmtiEnv *jvmti, JNIEnv *jni, jthread thread) {
  thread_local_key key = thread_locals_get_handle();
  if (thread_local_get(key) == ENDED_MARKER) thread_local_set(key, nullptr);
}

thread_locals *thread_locals_end() {
  thread_local_key key = thread_locals_get_handle();
  auto *record = static_cast<thread_locals *>(thread_local_get(key));
  thread_local_set(key, ENDED_MARKER);
  return record != ENDED_MARKER ? record : nullptr;
}
