// The program entry of the library on x86-64 (see exec_entry.cpp). The stack at the entry holds
// argc, then argv; clear the frame pointer, align the stack and call vorkel_exec_main.
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
