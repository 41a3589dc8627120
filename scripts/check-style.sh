#!/usr/bin/env bash
# The house style: every C++ file of the repository formatted by .clang-format (checked, not
# changed; `scripts/check-style.sh --fix` rewrites them), and with --tidy the agent's sources
# passing the checks of .clang-tidy (needs a configured build/ for its compile commands).
set -euo pipefail
cd "$(dirname "$0")/.."
fix=0 tidy=0
for argument in "$@"; do
  case "$argument" in
    --fix) fix=1 ;;
    --tidy) tidy=1 ;;
    *) echo "usage: $0 [--fix] [--tidy]" >&2; exit 2 ;;
  esac
done
mapfile -t files < <(git ls-files '*.cpp' '*.h' | grep -v '^src/platform/win/include/')
if [ "$fix" -eq 1 ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run -Werror "${files[@]}"
  echo "style: ${#files[@]} files formatted"
fi
if [ "$tidy" -eq 1 ]; then
  [ -f build/compile_commands.json ] || cmake -S . -B build >/dev/null
  run-clang-tidy -quiet -p build -j "$(nproc)" "$PWD/src/" >/tmp/vorkel-tidy.$$ 2>&1 ||
    { grep -E "(warning|error):" /tmp/vorkel-tidy.$$; rm -f /tmp/vorkel-tidy.$$; exit 1; }
  rm -f /tmp/vorkel-tidy.$$
  echo "tidy: src/ passes .clang-tidy"
fi
