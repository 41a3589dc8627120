// Makes the agent library runnable as a program. The agent starts it with the mode word as the
// first argument (argv[0] "notify" or "monitor"); by hand, "path/to/libvorkel.so notify ..." puts
// the program first and the mode word second, and the dispatch accepts both.
//
// The library carries an interpreter path and an ELF entry point. Started as a program, the
// dynamic loader maps it, runs the initialisers of the C library and of the library itself, and
// jumps to the entry with the argument count and vector on the stack. Loaded by the JVM, none of
// this is used. Only the library links this file and the entry of its processor
// (exec_entry_<processor>.cpp, vorkel_exec_start): executables have entries of their own.
//
// The interpreter is the one the toolchain's own programs ask for (VORKEL_ELF_INTERPRETER, read
// from a program linked when the build is configured), so it is right for every processor and C
// library the build targets.
#include <cstdlib>

#include "agent/execute_modes.h"

#ifndef VORKEL_ELF_INTERPRETER
#error "VORKEL_ELF_INTERPRETER (the dynamic loader of the build's programs) is set by the build"
#endif

extern "C" {

__attribute__((section(".interp"), used)) const char vorkel_interpreter[] = VORKEL_ELF_INTERPRETER;

// Called by vorkel_exec_start with the stack aligned for calls.
__attribute__((noreturn, used, visibility("hidden"))) void vorkel_exec_main(long argc, char **argv) {
  exit(execute_os_main((int)argc, argv));
}

}  // extern "C"
