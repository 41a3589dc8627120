// The Linux parts of the thread and process operations: thread names (glibc names any thread by
// its handle; here the calling thread).
#include <pthread.h>

#include "platform/proc_info.h"

void proc_set_thread_name(const char *name) {
  // The kernel keeps at most 15 characters and refuses longer names.
  char cut[16];
  size_t length = 0;
  while (name[length] != '\0' && length < sizeof cut - 1) {
    cut[length] = name[length];
    ++length;
  }
  cut[length] = '\0';
  pthread_setname_np(pthread_self(), cut);
}
