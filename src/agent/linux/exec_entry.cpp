// Makes the agent library runnable as a program. The agent starts it with the mode word as the
// first argument (argv[0] "notify" or "monitor"); by hand, "path/to/libvorkel.so notify ..." puts
// the program first and the mode word second, and the dispatch accepts both.
//
// The library carries an interpreter path and an ELF entry point. Started as a program, the
// dynamic loader maps it, runs the initialisers of the C library and of the library itself, and
// jumps to the entry with the argument count and vector on the stack. Loaded by the JVM, none of
// this is used. Only the library links this file: executables have entries of their own.
#include <cstdlib>

#include "agent/execute_modes.h"

extern "C" {

__attribute__((section(".interp"), used)) const char vorkel_interpreter[] = "/lib64/ld-linux-x86-64.so.2";

__attribute__((noreturn, used, visibility("hidden"))) void vorkel_exec_main(long argc, char **argv) {
  exit(execute_os_main((int)argc, argv));
}

}  // extern "C"

// The stack at the entry holds argc, then argv; align the stack and call the C++ entry.
asm(R"(
  .text
  .globl vorkel_exec_start
  .hidden vorkel_exec_start
  .type vorkel_exec_start, @function
vorkel_exec_start:
  xor %ebp, %ebp
  mov (%rsp), %rdi
  lea 8(%rsp), %rsi
  and $-16, %rsp
  call vorkel_exec_main
  hlt
  .size vorkel_exec_start, .-vorkel_exec_start
)");
