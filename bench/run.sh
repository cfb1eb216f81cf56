#!/usr/bin/env bash
# Times zapext against GNU find on generated trees; bench/README.md explains.
#
#   bench/run.sh [SHAPE...]     wide typical deep sparse flat (default: all)
#
# RUNS=N          timed runs of each tool per shape (default 5; the million
#                 files of flat run once)
# INSTRUCTIONS=0  skip counting zapext's instructions under callgrind
# BENCH_DIR=DIR   where the trees go (default build-bench/trees; it is
#                 removed at the end unless KEEP=1)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
instructions=${INSTRUCTIONS:-1}
build=$PWD/build-bench
work=${BENCH_DIR:-$build/trees}
shapes=("$@")
[ ${#shapes[@]} -gt 0 ] || shapes=(wide typical deep sparse flat)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZAPEXT_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
zapext=$build/zapext
tree=$build/bench/zapext-bench-tree
measure=$build/bench/zapext-bench-measure
if [ "$instructions" = 1 ] && ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed: no instruction counts (apt-get install valgrind)"
  instructions=0
fi
# find folds case by the locale: keep it to ASCII, as zapext does. zapext
# ignores the locale, so both run under it and find pays no extra exec.
export LC_ALL=C

# One tree per shape; flat is two: 1,000 and 1,000,000 files in one directory.
trees=()
for shape in "${shapes[@]}"; do
  case $shape in
    wide | typical | deep | sparse) trees+=("$shape") ;;
    flat) trees+=(flat1k flat1m) ;;
    *) echo "bench/run.sh: no shape $shape (wide typical deep sparse flat)" >&2; exit 2 ;;
  esac
done
runs_of() { case $1 in flat1m) echo 1 ;; *) echo "$runs" ;; esac; }
counts_of() { case $1 in flat*) echo 0 ;; *) echo "$instructions" ;; esac; }

# Files created soon after a mass deletion are slow to make on ext4 without
# a journal (bench/README.md tells why), for up to six minutes while the
# deletion is not yet written out, one minute after that: removing trees
# is followed by sync.
remove_trees() {
  rm -rf "$work"
  sync
}
if [ -e "$work" ]; then
  echo "removing the trees of an earlier run in $work"
  remove_trees
fi
mkdir -p "$work"
trap '[ "${KEEP:-0}" = 1 ] || remove_trees' EXIT
results=$build/bench-results.txt
: >"$results"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
start=$SECONDS
# Every file the runs will remove is made now, before any is deleted.
for t in "${trees[@]}"; do
  batches=$((2 * $(runs_of "$t") + $(counts_of "$t")))
  "$tree" build "$t" "$work/$t" "$batches"
  : >"$work/$t/out-zapext"
  : >"$work/$t/out-find"
done
mkdir "$work/empty"
echo "trees built in $((SECONDS - start)) s"

# Puts batch $2 of tree $1 in place, runs tool $3 on it and checks the result.
run_once() {
  local t=$1 batch=$2 tool=$3 dir=$work/$1
  "$tree" restore "$t" "$dir" "$batch"
  sync
  local cost
  if [ "$tool" = zapext ]; then
    cost=$("$measure" "$dir/out-zapext" "$dir/tree" "$zapext" bak)
    "$tree" verify "$t" "$dir" "$dir/out-zapext" total
  else
    local top
    top=$(cd "$dir/tree" && pwd -P)
    cost=$("$measure" "$dir/out-find" "$dir/tree" find "$top" ! -type d \
      \( -iname '*.bak' -o -iname bak \) -printf 'removing %p\n' -delete)
    "$tree" verify "$t" "$dir" "$dir/out-find"
  fi
  echo "$t $tool $cost" >>"$results"
}

# Runs zapext under callgrind in the current directory, its output to $1,
# and prints the instructions it took.
instructions_to() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --vgdb=no "$zapext" bak \
    2>&1 >"$1" | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

for t in "${trees[@]}"; do
  echo "timing $t"
  batch=0
  for ((i = 1; i <= $(runs_of "$t"); ++i)); do
    # Each tool goes first in every other pair.
    if ((i % 2)); then order=(zapext find); else order=(find zapext); fi
    for tool in "${order[@]}"; do
      run_once "$t" "$batch" "$tool"
      batch=$((batch + 1))
    done
  done
  if [ "$(counts_of "$t")" = 1 ]; then
    "$tree" restore "$t" "$work/$t" "$batch"
    base=$(cd "$work/empty" && instructions_to /dev/null)
    total=$(cd "$work/$t/tree" && instructions_to "$work/$t/out-zapext")
    "$tree" verify "$t" "$work/$t" "$work/$t/out-zapext" total
    read -r dirs keep match < <("$tree" count "$t")
    echo "$t instructions $(((total - base) / (dirs + keep + match))) $total $base" >>"$results"
  fi
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg), $((SECONDS - start)) s in all"

median() { sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
lowest() { sort -g | head -n 1; }
highest() { sort -g | tail -n 1; }
# The figures of tool $1 in tree $t, column $2 (3 wall, 4 user, 5 sys,
# 6 peak RSS; "cpu" for user+sys), reduced by $3 (median, lowest, highest).
figure() {
  awk -v t="$t" -v tool="$1" -v col="$2" '$1 == t && $2 == tool {
    print col == "cpu" ? $4 + $5 : $col }' "$results" | "$3"
}
echo
echo "$(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
  "Linux $(uname -r), $(df -T "$work" | awk 'NR == 2 { print $2 }')"
printf '%-8s %8s | %-25s | %-25s | %-19s | %s\n' "" "" "median wall (ms)" \
  "median user+sys CPU (ms)" "peak RSS (KiB)" "zapext"
printf '%-8s %8s | %7s %7s %9s | %7s %7s %9s | %9s %9s | %s\n' shape entries zapext find \
  ratio zapext find ratio zapext find "instr/entry"
for t in "${trees[@]}"; do
  read -r dirs keep match < <("$tree" count "$t")
  zw=$(figure zapext 3 median) fw=$(figure find 3 median)
  zc=$(figure zapext cpu median) fc=$(figure find cpu median)
  per=$(awk -v t="$t" '$1 == t && $2 == "instructions" { print $3 }' "$results")
  awk -v t="$t" -v n=$((dirs + keep + match)) -v zw="$zw" -v fw="$fw" -v zc="$zc" -v fc="$fc" \
    -v zr="$(figure zapext 6 highest)" -v fr="$(figure find 6 highest)" -v per="${per:--}" 'BEGIN {
    printf "%-8s %8d | %7.1f %7.1f %8.2fx | %7.1f %7.1f %8.2fx | %9d %9d | %s\n",
      t, n, zw * 1000, fw * 1000, zw / fw, zc * 1000, fc * 1000, zc / fc, zr, fr, per }'
done
echo
echo "spread of the wall times (ms, lowest..highest; $runs runs, flat1m 1):"
for t in "${trees[@]}"; do
  awk -v t="$t" -v zl="$(figure zapext 3 lowest)" -v zh="$(figure zapext 3 highest)" \
    -v fl="$(figure find 3 lowest)" -v fh="$(figure find 3 highest)" 'BEGIN {
    printf "%-8s zapext %7.1f..%-7.1f find %7.1f..%.1f\n", t, zl * 1000, zh * 1000, fl * 1000, fh * 1000 }'
done
echo "(raw figures: $results)"
