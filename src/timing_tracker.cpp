// Stand-in until user transactions are built: no operation is timed yet.
#include "timing_tracker.h"

bool timing_tracker_initialise(JNIEnv *) { return true; }
