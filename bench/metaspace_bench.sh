#!/usr/bin/env bash
# Metaspace benchmark, on each JDK (JDK 17 and 25 unless VORKEL_BENCH_JDKS names others):
#  1. Accuracy: plugins of records, lambdas and annotations and GENERATED classes made at run time,
#     each in a class loader of its own; a snapshot's per-loader metadata (snapshot-reader metaspace)
#     against jcmd VM.metaspace show-loaders of the moments before and after it. Prints ours, the
#     JVM's and the ratio per loader; target: within 3% for every loader above 64 KiB. The boot and
#     platform loaders are reported apart (the class data archive holds most of their classes).
#  2. Cost: ROUNDS rounds of two requested snapshots in one JVM, alternating, one with the class
#     listing and full class sizes from VM structures and one without (the JVMTI listing, class sizes
#     without metadata); medians of the snapshot's own times and their ratio.
# Usage: bench/metaspace_bench.sh [BUILD_DIR [ROUNDS [GENERATED]]]   (default: build 5 3000)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
rounds="${2:-5}"
generated="${3:-3000}"
jdks="${VORKEL_BENCH_JDKS:-/usr/lib/jvm/java-17-openjdk-amd64 /usr/lib/jvm/temurin-25-jdk-amd64}"
reader="$build/tools/snapshot-reader/snapshot-reader"
for file in "$build/testkit/libvorkel_testkit.so" "$build/testkit/vorkel-tests.jar" "$build/testkit/vorkel-plugins.jar" \
    "$build/agent/lib/vorkel-agent.jar" "$reader"; do
  [ -f "$file" ] || { echo "missing $file: build vorkel_testkit vorkel_test_jar snapshot-reader" >&2; exit 1; }
done
work="$(mktemp -d /tmp/vorkel-metaspace-bench.XXXXXX)"
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

run_jvm() {  # java_home home scenario args...
  local java_home="$1" home="$2"
  shift 2
  rm -rf "$home"
  mkdir -p "$home/lib" "$home/work"
  cp "$build/testkit/libvorkel_testkit.so" "$home/lib/libvorkel.so"
  cp "$build/agent/lib/vorkel-agent.jar" "$home/lib/"
  "$java_home/bin/java" -Xmx512m -agentpath:"$home/lib/libvorkel.so" \
    -javaagent:"$home/lib/vorkel-agent.jar=home=$home,work=$home/work,lib=$home/lib/libvorkel.so,notifications=false" \
    -cp "$build/testkit/vorkel-tests.jar:$home/lib/vorkel-agent.jar" vorkel.test.Scenarios "$@" >"$home/java.out" 2>&1 ||
    { cat "$home/java.out"; exit 1; }
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for java_home in $jdks; do
  version="$("$java_home/bin/java" -version 2>&1 | head -1)"
  echo "=== $java_home: $version"
  home="$work/accuracy"
  run_jvm "$java_home" "$home" Metaspace.plugins "$generated" "$home/work"
  snapshot="$(ls -d "$home"/work/oom_* | head -1)"
  "$reader" metaspace --top 100000 "$snapshot" >"$home/report.txt"
  python3 - "$home/report.txt" "$home/work/metaspace-before.txt" "$home/work/metaspace-after.txt" <<'PY'
import re, sys
ours, boot = {}, {}
section = None
for line in open(sys.argv[1]):
    if line.startswith("Class loaders by their class"):
        section = "by_class"
        continue
    if line.startswith("Class loaders, most"):
        section = None
    m = re.match(r"(Boot|Platform) loader: .* in metaspace and .* in the archive, (\d+) classes", line)
    if section == "by_class":
        m2 = re.match(r"\s+(\d+)\s+(\d+)\s+(\d+)\s+(\S+)$", line)
        if m2:
            ours[m2.group(4)] = (int(m2.group(2)), int(m2.group(3)))
def jvm(path):
    live, loader, parts, both = {}, None, 0, False
    def finish():
        if loader is not None:
            live[loader] = live.get(loader, 0) + parts
    for line in open(path):
        m = re.match(r"\s*\d+: CLD 0x[0-9a-f]+: (.*)$", line)
        if m:
            finish()
            name, parts, both = m.group(1), 0, False
            i = name.find(" instance of ")
            loader = "<boot>" if i < 0 and '"<bootstrap>"' in name else name[i + 13:name.find(",", i)]
            continue
        m = re.match(r"\s*(Non-Class|Class|Both):.*?(\d+) bytes \([^)]*\) used.*deallocated: \d+ blocks with (\d+) bytes", line)
        if m and loader is not None and not both:
            value = int(m.group(2)) - int(m.group(3))
            if m.group(1) == "Both":
                parts, both = value, True
            else:
                parts += value
        if line.startswith("Total Usage"):
            finish()
            loader = None
    finish()
    return live
before, after = jvm(sys.argv[2]), jvm(sys.argv[3])
print("%-52s %8s %12s %12s %12s %8s  %s" % ("loader (by its class)", "classes", "ours", "VM before", "VM after", "ratio", "target"))
for loader, (classes, bytes_) in sorted(ours.items(), key=lambda item: -item[1][1]):
    theirs = after.get(loader, 0)
    ratio = bytes_ / theirs if theirs else 0
    low, high = min(before.get(loader, 0), theirs), max(before.get(loader, 0), theirs)
    target = "-" if before.get(loader, 0) < 64 * 1024 else ("met" if 0.97 * low <= bytes_ <= 1.03 * high else "MISSED")
    print("%-52s %8d %12d %12d %12d %8.4f  %s" % (loader, classes, bytes_, before.get(loader, 0), theirs, ratio, target))
for line in open(sys.argv[1]):
    if line.startswith(("Boot loader", "Platform loader")):
        print(line.rstrip())
print("%-52s %8s %12s %12d %12d" % ("<boot> as the JVM counts it", "", "", before.get("<boot>", 0), after.get("<boot>", 0)))
PY

  home="$work/cost"
  run_jvm "$java_home" "$home" Metaspace.cost "$rounds" "$generated"
  mapfile -t modes < <(sed -n 's/^RESULT round[0-9]*=//p' "$home/java.out")
  mapfile -t dirs < <(ls -d "$home"/work/oom_* | sort)
  [ "${#modes[@]}" -eq "${#dirs[@]}" ] || { echo "expected ${#modes[@]} snapshots, found ${#dirs[@]}"; exit 1; }
  : >"$home/times"
  for i in "${!dirs[@]}"; do
    info="${dirs[$i]}/oom_info.txt"
    get() { sed -n "s/^$1: //p" "$info"; }
    echo "${modes[$i]} $(get 'Dumping total time') $(get 'Class dumping time') $(get 'Dump STW time') \
$(get 'Class size STW time') $(get 'Class info STW time') $(stat -c %s "$info")" >>"$home/times"
  done
  echo "Cost of full class sizes, medians of $rounds alternating rounds ($(sed -n 's/^Class count: //p' "$info") classes):"
  printf "  %-22s %10s %10s %8s\n" "time (ms)" "full" "partial" "ratio"
  column=2
  for name in "Dumping total time" "Class dumping time" "Dump STW time" "Class size STW time" "Class info STW time" \
      "oom_info.txt bytes"; do
    full=$(awk -v c="$column" '$1 == "full" { print $c }' "$home/times" | median)
    partial=$(awk -v c="$column" '$1 == "partial" { print $c }' "$home/times" | median)
    awk -v n="$name" -v f="$full" -v p="$partial" 'BEGIN { printf "  %-22s %10s %10s %8s\n", n, f, p, (p > 0 ? sprintf("%.2f", f / p) : "-") }'
    column=$((column + 1))
  done
done
