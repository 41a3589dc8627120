#!/usr/bin/env bash
# Installs the Debian packages that building and testing vorkel needs, only those missing.
set -euo pipefail

packages=(cmake make g++ libbz2-dev bzip2 tar openjdk-17-jdk-headless googletest libgtest-dev
          libbenchmark-dev binutils util-linux procps clang libclang-rt-14-dev lld llvm
          chromium python3)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
fi
