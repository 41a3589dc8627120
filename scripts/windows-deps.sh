#!/usr/bin/env bash
# What the Windows build needs, installed or built when missing:
#   scripts/windows-deps.sh [THIRDPARTY_DIR]      (default: build-win/thirdparty)
# - Debian's MinGW-w64 cross compiler, Wine and the source-package tools (scripts/deps.sh --windows);
# - libbz2 and GoogleTest for Windows, built with the cross compiler from Debian's own source
#   packages (apt-get source, with a deb-src entry added when the system has none) into
#   THIRDPARTY_DIR/prefix. The result is kept: a second run with the same package versions does
#   nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
scripts/deps.sh --windows

thirdparty="${1:-build-win/thirdparty}"
mkdir -p "$thirdparty"
thirdparty="$(cd "$thirdparty" && pwd)"
prefix="$thirdparty/prefix"
sources="$thirdparty/src"
cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar
jobs="$(nproc 2>/dev/null || echo 2)"

sudo_cmd=""
if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi

# The source packages come from the same archive as the binary ones.
ensure_deb_src() {
  if apt-get source --print-uris bzip2 >/dev/null 2>&1; then return; fi
  local list=/etc/apt/sources.list.d/vorkel-deb-src.sources
  echo "Adding deb-src entries ($list)"
  local entries=""
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    [ "$file" = "$list" ] && continue
    # Every stanza of type deb, again as type deb-src.
    entries+="$(sed 's/^Types: deb$/Types: deb-src/' "$file")"$'\n\n'
  done
  if [ -f /etc/apt/sources.list ]; then
    entries+="$(sed -n 's/^deb \(.*\)$/\1/p' /etc/apt/sources.list | while read -r uri suite components; do
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' "$uri" "$suite" "$components"
    done)"
  fi
  printf '%s\n' "$entries" | $sudo_cmd tee "$list" >/dev/null
  $sudo_cmd apt-get update -q
}

candidate() { apt-cache policy "$1" | sed -n 's/^ *Candidate: //p'; }

# Unpacks a source package (with its Debian patches applied) into $sources/NAME.
fetch_source() {
  local package="$1"
  rm -rf "$sources/$package" "$sources/$package.work"
  mkdir -p "$sources/$package.work"
  (cd "$sources/$package.work" && apt-get source -q "$package" >apt-source.log 2>&1) || {
    cat "$sources/$package.work/apt-source.log" >&2
    return 1
  }
  local directory
  directory="$(find "$sources/$package.work" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
  mv "$directory" "$sources/$package"
  rm -rf "$sources/$package.work"
}

build_bzip2() {
  echo "== libbz2 for Windows from Debian's bzip2 $(candidate libbz2-dev)"
  fetch_source bzip2
  local out="$sources/bzip2/win-build"
  mkdir -p "$out" "$prefix/lib" "$prefix/include"
  local objects=()
  for name in blocksort huffman crctable randtable compress decompress bzlib; do
    "$cc" -O2 -D_FILE_OFFSET_BITS=64 -c "$sources/bzip2/$name.c" -o "$out/$name.o"
    objects+=("$out/$name.o")
  done
  rm -f "$prefix/lib/libbz2.a"
  "$ar" rcs "$prefix/lib/libbz2.a" "${objects[@]}"
  cp "$sources/bzip2/bzlib.h" "$prefix/include/"
}

build_googletest() {
  echo "== GoogleTest for Windows from Debian's googletest $(candidate googletest)"
  fetch_source googletest
  cmake -S "$sources/googletest" -B "$sources/googletest/win-build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DVORKEL_WIN_THIRDPARTY="$thirdparty" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=OFF -DBUILD_SHARED_LIBS=OFF -Dgtest_force_shared_crt=ON >/dev/null
  cmake --build "$sources/googletest/win-build" -j "$jobs" >/dev/null
  cmake --install "$sources/googletest/win-build" >/dev/null
}

# A stamp per library names the package version it was built from.
build_when_stale() {
  local name="$1" package="$2" builder="$3"
  local version stamp="$prefix/.$name.version"
  version="$(candidate "$package")"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then return; fi
  ensure_deb_src
  "$builder"
  echo "$version" >"$stamp"
}

mkdir -p "$prefix" "$sources"
build_when_stale bzip2 bzip2 build_bzip2
build_when_stale googletest googletest build_googletest
