// Stand-in until the snapshot's memory guard is built: memory is reported as unknown.
#include "system_memory.h"

void system_memory_pre_initialise() {}
uint64_t system_memory_get_maximum() { return SYSTEM_MEMORY_UNKNOWN; }
uint64_t system_memory_get_available() { return SYSTEM_MEMORY_UNKNOWN; }
bool system_memory_test_allocation(uint64_t) { return true; }
