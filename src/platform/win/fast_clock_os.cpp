// On Windows the fast counter is the performance counter itself.
#include "platform/fast_clock.h"

bool fast_clock_tsc_usable() { return false; }
