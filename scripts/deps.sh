#!/usr/bin/env bash
# Installs the Debian packages that building and testing vorkel needs, only those missing.
#   scripts/deps.sh             the Linux build and its tests
#   scripts/deps.sh --windows   also the Windows cross build and Wine (scripts/windows-deps.sh)
set -euo pipefail

packages=(cmake make g++ libbz2-dev bzip2 tar openjdk-17-jdk-headless googletest libgtest-dev
          libbenchmark-dev binutils util-linux procps clang libclang-rt-14-dev lld llvm
          chromium python3 clang-format clang-tidy dpkg-dev lintian)
# Without their recommendations: Wine would bring fonts, sound and media libraries it does not need here.
windows_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine dpkg-dev)

missing_of() {
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$package"
    fi
  done
}

missing=($(missing_of "${packages[@]}"))
missing_windows=()
if [ "${1:-}" = "--windows" ]; then missing_windows=($(missing_of "${windows_packages[@]}")); fi
if [ "${#missing[@]}" -gt 0 ] || [ "${#missing_windows[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]} ${missing_windows[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update -q
  if [ "${#missing[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
  fi
  if [ "${#missing_windows[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing_windows[@]}"
  fi
fi
