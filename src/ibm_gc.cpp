// Stand-in until the J9 verbose-GC subscriber is built: nothing to prepare.
#include "ibm_gc.h"

void ibm_gc_pre_initialise() {}
