#!/usr/bin/env bash
# What the aarch64 build and its emulated tests need, installed when missing:
#   scripts/aarch64-deps.sh
# - Debian's cross compiler and qemu's user-mode emulator;
# - the emulator registered with the kernel (binfmt_misc, mounted when it is not), so that aarch64
#   programs started by the tests (the arm64 java, the library run as a program) run too;
# - the arm64 architecture added to dpkg and Debian's arm64 packages installed beside the native
#   ones (multiarch): the C and C++ runtimes, libbz2, GoogleTest and the JDK 17.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

sudo_cmd=""
if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi

native_packages=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static)
arm64_packages=(libc6:arm64 libstdc++6:arm64 libbz2-dev:arm64 libgtest-dev:arm64 openjdk-17-jdk-headless:arm64)

missing_of() {
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$package"
    fi
  done
}

updated=false
update_once() {
  if ! $updated; then
    $sudo_cmd apt-get update -q
    updated=true
  fi
}

missing=($(missing_of "${native_packages[@]}"))
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  update_once
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "Adding the arm64 architecture to dpkg"
  $sudo_cmd dpkg --add-architecture arm64
  updated=false
fi
missing=($(missing_of "${arm64_packages[@]}"))
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  update_once
  # Multi-Arch: same packages must have the same version on both architectures: apt brings the
  # native ones (the amd64 JDK 17 among them) up to the version of the arm64 ones.
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# The arm64 JDK must never become the system's java: keep the native one the default.
native_java=/usr/lib/jvm/java-17-openjdk-amd64/bin/java
if [ -x "$native_java" ] && [ "$(readlink -f /usr/bin/java 2>/dev/null)" != "$native_java" ]; then
  $sudo_cmd update-alternatives --set java "$native_java"
fi

# The emulator for aarch64 programs started by any process, registered with the kernel.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  $sudo_cmd mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  echo "Registering qemu-aarch64 with binfmt_misc"
  $sudo_cmd sh -c "cat /usr/lib/binfmt.d/qemu-aarch64.conf > $binfmt/register"
fi
if [ "$(head -n1 "$binfmt/qemu-aarch64")" != "enabled" ]; then
  $sudo_cmd sh -c "echo 1 > $binfmt/qemu-aarch64"
fi
