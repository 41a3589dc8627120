# Cross-compiles vorkel for Linux on aarch64 with Debian's cross compiler:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The libraries of the target (libbz2, GoogleTest, the C++ runtime) are Debian's arm64 packages
# installed beside the native ones (multiarch, /usr/lib/aarch64-linux-gnu); the JVM headers and
# the JVM the tests run come from Debian's arm64 JDK 17. scripts/aarch64-build.sh installs all of
# it. The build's programs run under qemu user-mode emulation, also when CTest runs them; their
# child processes (the library started as a program, the arm64 java) through the kernel's binfmt
# registration of the same emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VORKEL_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VORKEL_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VORKEL_CROSS_PREFIX}-g++)
set(CMAKE_AR ${VORKEL_CROSS_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VORKEL_CROSS_PREFIX}-ranlib CACHE FILEPATH "")
# readelf and objcopy (the program interpreter, the symbol tests) CMake finds beside the compiler,
# with its prefix: aarch64-linux-gnu-readelf, aarch64-linux-gnu-objcopy.
# Multiarch: find_library and find_package look in lib/aarch64-linux-gnu of the system's prefixes.
set(CMAKE_LIBRARY_ARCHITECTURE ${VORKEL_CROSS_PREFIX})

# The JDK whose headers build the agent and whose java the JVM tests run.
set(VORKEL_REFERENCE_JAVA_HOME /usr/lib/jvm/java-17-openjdk-arm64 CACHE PATH "Reference JDK")
# The Java half is compiled by the build machine's own JDK: an emulated javac would only be slower.
set(VORKEL_HOST_JAVA_HOME /usr/lib/jvm/java-17-openjdk-amd64 CACHE PATH "JDK that compiles the Java classes")
set(Java_JAVA_EXECUTABLE ${VORKEL_HOST_JAVA_HOME}/bin/java CACHE FILEPATH "")
set(Java_JAVAC_EXECUTABLE ${VORKEL_HOST_JAVA_HOME}/bin/javac CACHE FILEPATH "")
set(Java_JAR_EXECUTABLE ${VORKEL_HOST_JAVA_HOME}/bin/jar CACHE FILEPATH "")

# Benchmarks measure the build machine, not an emulated one.
set(VORKEL_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")

# aarch64 programs of the build (tests, test discovery) run under qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)
