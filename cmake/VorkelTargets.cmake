# Build definitions shared by every target that is (or wraps) the agent.

# The compile options of the agent's code: no exceptions, no RTTI, nothing exported by default.
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # MinGW-w64: a DLL exports what is marked dllexport (VORKEL_EXPORT), visibility does not apply.
  set(VORKEL_COMPILE_OPTIONS -Wall -Wextra -Wno-unused-parameter -fno-exceptions -fno-rtti
      -fno-strict-aliasing -ffunction-sections -fdata-sections)
  set(VORKEL_COMPILE_DEFINITIONS WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
  # Everything static: the DLL and the test programs need nothing but the system's own DLLs.
  set(VORKEL_WIN_LINK_OPTIONS -static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
  set(VORKEL_WIN_SYSTEM_LIBRARIES ws2_32 psapi shell32)
else()
  set(VORKEL_COMPILE_OPTIONS -Wall -Wextra -Wno-unused-parameter -fno-exceptions -fno-rtti
      -fvisibility=hidden -fvisibility-inlines-hidden -fno-strict-aliasing -ffunction-sections -fdata-sections)
  set(VORKEL_COMPILE_DEFINITIONS _GNU_SOURCE _FILE_OFFSET_BITS=64)
endif()
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  include(${CMAKE_CURRENT_LIST_DIR}/LinuxProgramEntry.cmake)
endif()

# vorkel_sanitize(<target> <PUBLIC|PRIVATE|INTERFACE> <sanitizers>)
# Compiles and links target with -fsanitize=<sanitizers> (a comma-separated list as clang and gcc
# take it: address,undefined / thread / fuzzer,address,undefined). Undefined behaviour stops the
# program instead of being reported and passed over.
function(vorkel_sanitize target scope sanitizers)
  set(options -fsanitize=${sanitizers} -fno-omit-frame-pointer)
  if(sanitizers MATCHES "undefined")
    list(APPEND options -fno-sanitize-recover=undefined)
  endif()
  target_compile_options(${target} ${scope} ${options})
  target_link_options(${target} ${scope} -fsanitize=${sanitizers})
endfunction()

# vorkel_agent_library(<name> OUTPUT_DIRECTORY <dir> [SOURCES <file>...])
# A shared library built like the deliverable agent: the agent's modules (vorkel_objs), the
# platform's program entry and the given sources, with the agent's compile options and exactly its
# link options (only the version script's symbols exported, the C++ runtime linked in, no
# undefined symbols). The library also runs as a program for the helper modes; on Windows it is
# <name>.dll, whose helper modes rundll32.exe starts through agent_win32_entryW, and every build
# checks its exports and imports (scripts/windows-check-exports.sh).
function(vorkel_agent_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_DIRECTORY" "SOURCES")
  add_library(${name} SHARED $<TARGET_OBJECTS:vorkel_objs> ${arg_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${VORKEL_GENERATED_DIR} ${JNI_INCLUDE_DIRS})
  target_compile_options(${name} PRIVATE ${VORKEL_COMPILE_OPTIONS})
  target_compile_definitions(${name} PRIVATE ${VORKEL_COMPILE_DEFINITIONS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON LIBRARY_OUTPUT_DIRECTORY ${arg_OUTPUT_DIRECTORY})
  target_link_libraries(${name} PRIVATE BZip2::BZip2 Threads::Threads ${CMAKE_DL_LIBS})
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_sources(${name} PRIVATE ${VORKEL_EXEC_ENTRY_SOURCES})
    target_compile_definitions(${name} PRIVATE VORKEL_ELF_INTERPRETER="${VORKEL_ELF_INTERPRETER}")
    target_link_options(${name} PRIVATE
        -Wl,-z,defs -Wl,-z,noexecstack -Wl,-z,now -Wl,--exclude-libs,ALL
        -static-libstdc++ -static-libgcc
        -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/libvorkel.map
        -Wl,-e,vorkel_exec_start)
    set_target_properties(${name} PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/libvorkel.map)
    # Started as a program ("notify", "monitor"), the library must be executable.
    add_custom_command(TARGET ${name} POST_BUILD COMMAND chmod 0755 $<TARGET_FILE:${name}>)
    if(VORKEL_ASAN_AGENT)
      # The sanitizers' shared runtime, preloaded into the JVM (tests/asan_jvm.sh).
      vorkel_sanitize(${name} PRIVATE address,undefined)
      target_link_options(${name} PRIVATE -shared-libasan)
    endif()
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src/agent/win/rundll_entry.cpp)
    target_link_libraries(${name} PRIVATE ${VORKEL_WIN_SYSTEM_LIBRARIES})
    target_link_options(${name} PRIVATE ${VORKEL_WIN_LINK_OPTIONS} -Wl,--exclude-libs,ALL)
    set_target_properties(${name} PROPERTIES PREFIX "" IMPORT_PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${arg_OUTPUT_DIRECTORY})
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-check-exports.sh $<TARGET_FILE:${name}> ${CMAKE_SOURCE_DIR}/src
      VERBATIM)
  endif()
endfunction()
