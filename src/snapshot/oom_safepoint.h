// Running a function while the VM is stopped, inside a heap operation of JVMTI.
#pragma once

#include <jvmti.h>

// Runs function(data) once while the VM is stopped for a heap operation (or, when the heap has
// nothing to report, right after it). False when the heap operation failed.
bool run_at_safepoint(jvmtiEnv *jvmti, void (*function)(void *), void *data);
