#!/usr/bin/env bash
# Fails when vorkel.dll exports anything but the JVMTI entry points, agent_globals, the JNI
# natives and the rundll32 entry, misses one of them, or needs a DLL that Windows does not ship.
#   scripts/windows-check-exports.sh path/to/vorkel.dll [SOURCE_DIR]
# With SOURCE_DIR (the src/ directory), every Java_ native defined in its portable and Windows
# modules must be exported: a module left out of the build fails it.
set -euo pipefail
dll="$1"
sources="${2:-}"
dump="$(x86_64-w64-mingw32-objdump -p "$dll")"
exports="$(printf '%s\n' "$dump" | awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
                                       table && /^\t\[/ { print $NF; next }
                                       table && !/^\t/ { table = 0 }')"
if [ -z "$exports" ]; then
  echo "$dll exports nothing" >&2
  exit 1
fi
unexpected="$(printf '%s\n' "$exports" |
  grep -v -E '^(Agent_OnLoad|Agent_OnUnload|Agent_OnAttach|agent_globals|agent_win32_entryW|Java_[A-Za-z0-9_]+)$' || true)"
if [ -n "$unexpected" ]; then
  echo "$dll exports symbols it must not:" >&2
  printf '  %s\n' $unexpected >&2
  exit 1
fi
required="Agent_OnLoad Agent_OnAttach Agent_OnUnload agent_globals agent_win32_entryW"
if [ -n "$sources" ]; then
  required="$required $(cat "$sources"/*/*.cpp "$sources"/*/win/*.cpp |
    grep -o -E '\bJava_[A-Za-z0-9_]+\(' | grep -o -E '^Java_[A-Za-z0-9_]+' | sort -u)"
fi
missing=""
for name in $required; do
  # From a string, not a pipe: grep -q leaves at its match and the writer would then fail the
  # pipeline (pipefail) with SIGPIPE, naming a name that is there.
  grep -q -x -F "$name" <<<"$exports" || missing="$missing $name"
done
if [ -n "$missing" ]; then
  echo "$dll does not export:" >&2
  printf '  %s\n' $missing >&2
  exit 1
fi
# Only system DLLs: the runtime libraries are linked in.
imports="$(printf '%s\n' "$dump" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z')"
foreign="$(printf '%s\n' "$imports" |
  grep -v -E '^(kernel32|user32|advapi32|shell32|ws2_32|psapi|msvcrt|ntdll|api-ms-win-[a-z0-9-]+)\.dll$' || true)"
if [ -n "$foreign" ]; then
  echo "$dll needs DLLs that are not part of Windows:" >&2
  printf '  %s\n' $foreign >&2
  exit 1
fi
