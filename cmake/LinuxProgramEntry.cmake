# What makes the Linux agent library runnable as a program (src/agent/linux/exec_entry*.cpp):
# - VORKEL_EXEC_ENTRY_SOURCES: the processor-independent part and the entry of the target's
#   processor (exec_entry_<processor>.cpp);
# - VORKEL_ELF_INTERPRETER: the dynamic loader the library names in its interpreter header, the
#   one a program linked by this toolchain asks for (readelf -l of a program linked here), so that
#   it fits the processor and the C library of every target.

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(vorkel_entry_processor x86_64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(vorkel_entry_processor aarch64)
else()
  message(FATAL_ERROR "No program entry for the processor ${CMAKE_SYSTEM_PROCESSOR}: "
                      "add src/agent/linux/exec_entry_<processor>.cpp and name it in ${CMAKE_CURRENT_LIST_FILE}")
endif()
set(VORKEL_EXEC_ENTRY_SOURCES ${CMAKE_SOURCE_DIR}/src/agent/linux/exec_entry.cpp
    ${CMAKE_SOURCE_DIR}/src/agent/linux/exec_entry_${vorkel_entry_processor}.cpp)

if(NOT VORKEL_ELF_INTERPRETER)
  set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/vorkel_elf_interpreter)
  file(WRITE ${probe_dir}/main.c "int main(void) { return 0; }\n")
  try_compile(probe_linked ${probe_dir}/build SOURCES ${probe_dir}/main.c
              COPY_FILE ${probe_dir}/program OUTPUT_VARIABLE probe_log)
  if(NOT probe_linked)
    message(FATAL_ERROR "Could not link a program to read its interpreter:\n${probe_log}")
  endif()
  if(NOT CMAKE_READELF)
    message(FATAL_ERROR "readelf of the toolchain not found (CMAKE_READELF): it reads the programs' interpreter")
  endif()
  execute_process(COMMAND ${CMAKE_READELF} -l ${probe_dir}/program
                  OUTPUT_VARIABLE probe_headers RESULT_VARIABLE probe_status)
  string(REGEX MATCH "Requesting program interpreter: ([^]\n]+)\\]" probe_match "${probe_headers}")
  if(NOT probe_status EQUAL 0 OR NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "No interpreter in the program headers of a linked program:\n${probe_headers}")
  endif()
  set(VORKEL_ELF_INTERPRETER ${CMAKE_MATCH_1} CACHE STRING "The dynamic loader named by the agent library's interpreter header")
  message(STATUS "Program interpreter: ${VORKEL_ELF_INTERPRETER}")
endif()
