// Verbose-GC subscriber of the IBM J9 JVM.
#pragma once

void ibm_gc_pre_initialise();
