# The Windows build, cross-compiled with cmake/mingw-w64.cmake: vorkel.dll, the unit tests as a
# Windows program, the Windows test programs, and the Linux-side driver of the tests that run
# vorkel.dll under Wine against real processes and a loopback collector.
set(VORKEL_WIN_PREFIX ${VORKEL_WIN_THIRDPARTY}/prefix)
if(NOT EXISTS ${VORKEL_WIN_PREFIX}/lib/libbz2.a OR NOT EXISTS ${VORKEL_WIN_PREFIX}/lib/libgtest.a)
  message(FATAL_ERROR "libbz2 and GoogleTest for Windows are missing in ${VORKEL_WIN_PREFIX}: "
                      "run scripts/windows-deps.sh ${VORKEL_WIN_THIRDPARTY}")
endif()
find_package(BZip2 REQUIRED)
find_package(GTest REQUIRED CONFIG)
find_package(Threads REQUIRED)
include(CTest)

# jni.h and jvmti.h of the reference JDK; the Windows jni_md.h is the project's own.
if(NOT EXISTS ${VORKEL_REFERENCE_JAVA_HOME}/include/jvmti.h)
  message(FATAL_ERROR "No JNI headers in ${VORKEL_REFERENCE_JAVA_HOME}/include")
endif()
add_library(vorkel_win_jni INTERFACE)
target_include_directories(vorkel_win_jni SYSTEM INTERFACE
    ${CMAKE_SOURCE_DIR}/src/win/include ${VORKEL_REFERENCE_JAVA_HOME}/include)

set(VORKEL_WIN_DEFINITIONS WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
set(VORKEL_COMPILE_OPTIONS -Wall -Wextra -Wno-unused-parameter -fno-exceptions -fno-rtti
    -fno-strict-aliasing -ffunction-sections -fdata-sections)
# Everything static: the DLL and the programs need nothing but the system's own DLLs.
set(VORKEL_WIN_LINK_OPTIONS -static -static-libgcc -static-libstdc++ -Wl,--gc-sections)
set(VORKEL_WIN_SYSTEM_LIBRARIES ws2_32 psapi shell32)

file(GLOB VORKEL_PORTABLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.cpp)
file(GLOB VORKEL_WIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/win/*.cpp)
# The rundll32 entry belongs to the DLL only.
list(REMOVE_ITEM VORKEL_WIN_SOURCES ${CMAKE_SOURCE_DIR}/src/win/rundll_entry.cpp)

add_library(vorkel_objs OBJECT ${VORKEL_PORTABLE_SOURCES} ${VORKEL_WIN_SOURCES})
target_include_directories(vorkel_objs PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(vorkel_objs PRIVATE ${VORKEL_COMPILE_OPTIONS})
target_compile_definitions(vorkel_objs PUBLIC ${VORKEL_WIN_DEFINITIONS})
target_link_libraries(vorkel_objs PUBLIC vorkel_win_jni BZip2::BZip2 Threads::Threads ${VORKEL_WIN_SYSTEM_LIBRARIES})

# The deliverable: one DLL, also the helper process's code when rundll32.exe starts it.
# Exported are only the symbols marked for export (the JVMTI entry points, agent_globals, the
# JNI natives and agent_win32_entryW).
set(VORKEL_AGENT_DIR ${CMAKE_BINARY_DIR}/agent)
add_library(vorkel SHARED $<TARGET_OBJECTS:vorkel_objs> ${CMAKE_SOURCE_DIR}/src/win/rundll_entry.cpp)
target_include_directories(vorkel PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_options(vorkel PRIVATE ${VORKEL_COMPILE_OPTIONS})
target_link_libraries(vorkel PRIVATE vorkel_objs)
target_link_options(vorkel PRIVATE ${VORKEL_WIN_LINK_OPTIONS} -Wl,--exclude-libs,ALL)
set_target_properties(vorkel PROPERTIES PREFIX "" IMPORT_PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${VORKEL_AGENT_DIR}/lib)

# The exports, checked at every build: anything else exported fails it.
add_custom_command(TARGET vorkel POST_BUILD
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-check-exports.sh $<TARGET_FILE:vorkel>
  VERBATIM)

add_subdirectory(tests/win)
