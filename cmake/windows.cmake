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
include(cmake/VorkelTargets.cmake)

# jni.h and jvmti.h of the reference JDK; the Windows jni_md.h is the project's own.
if(NOT EXISTS ${VORKEL_REFERENCE_JAVA_HOME}/include/jvmti.h)
  message(FATAL_ERROR "No JNI headers in ${VORKEL_REFERENCE_JAVA_HOME}/include")
endif()
set(JNI_INCLUDE_DIRS ${CMAKE_SOURCE_DIR}/src/platform/win/include ${VORKEL_REFERENCE_JAVA_HOME}/include)

set(VORKEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(cmake/vorkel_version.h.in ${VORKEL_GENERATED_DIR}/vorkel_version.h @ONLY)

# The portable modules and the Windows ones; the rundll32 entry belongs to the DLL only.
file(GLOB VORKEL_PORTABLE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)
file(GLOB VORKEL_WIN_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/win/*.cpp)
list(REMOVE_ITEM VORKEL_WIN_SOURCES ${CMAKE_SOURCE_DIR}/src/agent/win/rundll_entry.cpp)

add_library(vorkel_objs OBJECT ${VORKEL_PORTABLE_SOURCES} ${VORKEL_WIN_SOURCES})
target_include_directories(vorkel_objs PUBLIC ${CMAKE_SOURCE_DIR}/src ${VORKEL_GENERATED_DIR})
target_include_directories(vorkel_objs SYSTEM PUBLIC ${JNI_INCLUDE_DIRS})
target_compile_options(vorkel_objs PRIVATE ${VORKEL_COMPILE_OPTIONS})
target_compile_definitions(vorkel_objs PUBLIC ${VORKEL_COMPILE_DEFINITIONS})
target_link_libraries(vorkel_objs PUBLIC BZip2::BZip2 Threads::Threads ${VORKEL_WIN_SYSTEM_LIBRARIES})

# The deliverable: one DLL, also the helper process's code when rundll32.exe starts it.
set(VORKEL_AGENT_DIR ${CMAKE_BINARY_DIR}/agent)
vorkel_agent_library(vorkel OUTPUT_DIRECTORY ${VORKEL_AGENT_DIR}/lib)

add_subdirectory(tests/win)
