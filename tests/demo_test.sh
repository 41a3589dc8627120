#!/usr/bin/env bash
# Runs the main job on the build and checks what a new user is shown: the banner, the
# notifications in order (start, termination, upload), a snapshot with status "compressing 0",
# the archive, and a consistent snapshot whose summary names the shop's classes.
set -uo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
run="$(mktemp -d /tmp/vorkel-demo-test.XXXXXX)"
trap 'rm -rf "$run"' EXIT
out="$run/out.txt"
VORKEL_DEMO_DIR="$run/demo" "$source_dir/scripts/demo-run.sh" "$build" >"$out" 2>&1
status=$?
failures=0
expect() {
  if ! grep -qF -- "$1" "$out"; then
    echo "missing from the demo's output: $1"
    failures=$((failures + 1))
  fi
}
[ "$status" -eq 0 ] || { echo "demo-run.sh exited with $status"; failures=$((failures + 1)); }
expect "* Vorkel has detected an OutOfMemoryError thrown by the JVM.                   *"
expect "LeakyShop ran out of memory"
expect "status: compressing 0"
expect "Snapshot is consistent."
expect "Lvorkel/demo/LeakyShop\$Order;"
expect "vorkel.demo.LeakyShop\$Order @ vorkel.demo.LeakyShop.main(LeakyShop.java:order)"
expect "oom_info.txt"
expect "oom_graph.bin"
# Two snapshots (the shop's own after its first sessions, then the error's): a snapshot's start
# comes first; the JVM's end and the uploads follow in any order.
order="$(grep -oE 'POST /(oom/notification|shutdown/termination|oom/upload)' "$out" | sort | uniq -c | tr -s ' ' | tr '\n' ';')"
first="$(grep -oE 'POST /(oom/notification|shutdown/termination|oom/upload)' "$out" | head -n 1)"
if [ "$order" != " 2 POST /oom/notification; 2 POST /oom/upload; 1 POST /shutdown/termination;" ] ||
   [ "$first" != "POST /oom/notification" ]; then
  echo "unexpected notifications: $order (first: $first)"
  failures=$((failures + 1))
fi
expect "type         exited_unknown_code"
expect "status       start"
# --- Checkouts as transactions: the second checkout's report, with the restocker as its blocker ---
expect "Checkouts: 3 served by till-1"
expect "] POST /transaction/report"
expect "    name         checkout"
expect "    reason       lock wait"
expect "            method       takeFromStock"
expect "            blocker      restocker"
expect "              | Lvorkel/demo/Checkouts;.restock:"
expect "              confirmed    1"
reports="$(grep -c 'POST /transaction/report' "$out")"
[ "$reports" -eq 1 ] || { echo "expected one transaction report, got $reports"; failures=$((failures + 1)); }
# --- end of checkouts ---
# --- File streams: the reported checkout read the catalogue (through a stream and a channel) and
# appended to the order log ---
expect "Shop files: each checkout read $run/demo/shop/catalogue.txt (500 items)"
expect "      [2] fileStreams"
stream_row() { grep -A3 -F -- "path         $run/demo/shop/$1" "$out" | tr -s ' \n' ' '; }
for row in "catalogue.txt|kind read-block count 2 bytes 6390" "catalogue.txt|kind channel-read count 2 bytes 6390" \
  "orders.log|kind write-block count 1 bytes 32"; do
  case "$(stream_row "${row%%|*}")" in
    *"${row#*|}"*) ;;
    *) echo "no stream row '${row#*|}' for ${row%%|*}"; failures=$((failures + 1)) ;;
  esac
done
# --- end of file streams ---
# --- Leak suspects: the session cache first, above 80% of the heap, with the fields that hold it ---
expect "Suspect 1: one java.util.HashMap #"
share="$(sed -n 's/^Suspect 1: .* bytes (.*, \([0-9.]*\)% of the heap)$/\1/p' "$out")"
awk -v share="${share:-0}" 'BEGIN { exit !(share > 80) }' ||
  { echo "the first suspect retains ${share:-?}% of the heap, not above 80%"; failures=$((failures + 1)); }
expect "GC root: system class"
expect "-> class vorkel.demo.LeakyShop #"
expect "    .SESSION_CACHE -> java.util.HashMap #"
expect "    .table -> java.util.HashMap\$Node[] #"
expect "holding "
expect " objects of java.util.HashMap\$Node that retain "
expect "    .value -> java.util.ArrayList #"
[ -s "$run/demo/report.html" ] || { echo "no HTML report"; failures=$((failures + 1)); }
# --- end of leak suspects ---
# --- Snapshot diff: the session cache's allocation site tops the growth, and its dominator path ---
expect "LeakyShop took a snapshot after 1000 sessions: true"
expect "Snapshot diff: the heap grew by +"
top_site="$(sed -n '/^Growth by allocation site/{n;n;p;q}' "$out")"
case "$top_site" in
  *" +"*"  java.util.ArrayList @ vorkel.demo.LeakyShop.main(LeakyShop.java:session)") ;;
  *) echo "the session cache's site does not top the growth: $top_site"; failures=$((failures + 1)) ;;
esac
# The session cache's path tops the growth, or comes right after the path to its class: when the
# first snapshot found the cache also held from the main thread's frame (a compiled frame may keep
# it), the class dominated only its own fields then, and the path ending at it grew more.
top_paths="$(sed -n '/^Growth by dominator path/{n;n;p;n;p;q}' "$out")"
first_path="$(head -n 1 <<<"$top_paths")"
case "$first_path" in
  *" +"*"class vorkel.demo.LeakyShop .SESSION_CACHE -> java.util.HashMap") ;;
  *" +"*"-> class vorkel.demo.LeakyShop")
    case "$(tail -n 1 <<<"$top_paths")" in
      *" +"*"class vorkel.demo.LeakyShop .SESSION_CACHE -> java.util.HashMap") ;;
      *) echo "the session cache's path does not follow its class's: $top_paths"; failures=$((failures + 1)) ;;
    esac ;;
  *) echo "the session cache's path does not top the growth: $top_paths"; failures=$((failures + 1)) ;;
esac
# --- end of snapshot diff ---
if [ "$failures" -ne 0 ]; then
  cat "$out"
  exit 1
fi
echo "the main job showed everything it should"
