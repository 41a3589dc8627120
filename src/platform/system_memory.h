// Physical memory of the machine, for the snapshot's memory guard.
#pragma once

#include <cstdint>

constexpr uint64_t SYSTEM_MEMORY_UNKNOWN = ~0ULL;

void system_memory_pre_initialise();
uint64_t system_memory_get_maximum();
uint64_t system_memory_get_available();
bool system_memory_test_allocation(uint64_t size);
