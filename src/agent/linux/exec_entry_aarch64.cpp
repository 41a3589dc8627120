// The program entry of the library on aarch64 (see exec_entry.cpp). The stack at the entry holds
// argc, then argv, and is 16-byte aligned (the kernel and the loader keep it so); clear the frame
// and link registers so that unwinders stop here, and call vorkel_exec_main.
asm(R"(
  .text
  .globl vorkel_exec_start
  .hidden vorkel_exec_start
  .type vorkel_exec_start, %function
  .p2align 2
vorkel_exec_start:
  mov x29, #0
  mov x30, #0
  ldr x0, [sp]
  add x1, sp, #8
  bl vorkel_exec_main
  brk #0
  .size vorkel_exec_start, .-vorkel_exec_start
)");
