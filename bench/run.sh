#!/usr/bin/env bash
# Times zapext against the one-thread sweep, a parallel reference and GNU
# find on generated trees; bench/README.md explains.
#
#   bench/run.sh [SHAPE...]     wide typical deep sparse latency sparse-latency small
#                               linux node flat (default: all)
#
# RUNS=N          timed runs of each contender per shape (default 5; the
#                 million files of flat run once)
# WORKERS="2 4"   also time the tool with these fixed numbers of removal
#                 threads, on typical and latency
# DELAY_US=N      what each operation of the latency shapes waits (default 200)
# INSTRUCTIONS=0  skip counting zapext's instructions under callgrind
# BENCH_DIR=DIR   where the trees go (default build-bench/trees; it is
#                 removed at the end unless KEEP=1)
# BUSY=N          N CPU-bound loops (bash) run beside every timed run: on
#                 2 cores BUSY=1 keeps the other processor busy
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
instructions=${INSTRUCTIONS:-1}
read -r -a workers <<<"${WORKERS:-}"
delay_us=${DELAY_US:-200}
[[ $delay_us =~ ^[0-9]+$ ]] || { echo "bench/run.sh: DELAY_US is a number of microseconds" >&2; exit 2; }
keep_trees=${KEEP:-0}
busy=${BUSY:-0}
[[ $busy =~ ^[0-9]+$ ]] || { echo "bench/run.sh: BUSY is a number of loops" >&2; exit 2; }
build=$PWD/build-bench
work=${BENCH_DIR:-$build/trees}
shapes=("$@")
[ ${#shapes[@]} -gt 0 ] || shapes=(wide typical deep sparse latency sparse-latency small linux node flat)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZAPEXT_BENCH=ON -DBUILD_TESTING=OFF \
  "-DZAPEXT_BENCH_WORKERS=$(IFS=';'; echo "${workers[*]:-2;4;8;16;32}")" >/dev/null
cmake --build "$build" -j2 >/dev/null
tree=$build/bench/zapext-bench-tree
measure=$build/bench/zapext-bench-measure
slowfs=$build/bench/zapext-bench-slowfs
if [ "$instructions" = 1 ] && ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed: no instruction counts (apt-get install valgrind)"
  instructions=0
fi
# find folds case by the locale: keep it to ASCII, as zapext does. zapext
# ignores the locale, so all run under it and find pays no extra exec.
export LC_ALL=C

# The program of each contender but find.
program_of() {
  case $1 in
    zapext) echo "$build/zapext" ;;
    one-thread) echo "$build/bench/zapext-bench-one-thread" ;;
    reference) echo "$build/bench/zapext-bench-reference" ;;
    pair) echo "$build/bench/zapext-bench-one-thread" ;;
    w*) echo "$build/bench/zapext-bench-workers-${1#w}" ;;
  esac
}

# One tree per shape; flat is two: 1,000 and 1,000,000 files in one
# directory; linux and node two each, one tree removing each of two
# extensions.
trees=()
for shape in "${shapes[@]}"; do
  case $shape in
    wide | typical | deep | sparse | latency | sparse-latency | small) trees+=("$shape") ;;
    linux-c | linux-rst | node-map | node-md | flat1k | flat1m) trees+=("$shape") ;;
    linux) trees+=(linux-c linux-rst) ;;
    node) trees+=(node-map node-md) ;;
    flat) trees+=(flat1k flat1m) ;;
    *) echo "bench/run.sh: no shape $shape (wide typical deep sparse latency sparse-latency small linux node flat)" >&2; exit 2 ;;
  esac
done
# The extension each tree's runs remove (bak but on linux and node).
declare -A ext
for t in "${trees[@]}"; do ext[$t]=$("$tree" extension "$t"); done
# Where the CPU time is held to the one-thread sweep's, two one-thread
# sweeps also run at once, each on its own copy of the tree: what two busy
# processors cost this machine, in this run.
has_pair() { case $1 in wide | typical | deep | sparse | linux-* | node-*) return 0 ;; *) return 1 ;; esac; }
runs_of() { case $1 in flat1m) echo 1 ;; *) echo "$runs" ;; esac; }
counts_of() { case $1 in flat* | *latency) echo 0 ;; *) echo "$instructions" ;; esac; }
contenders_of() {
  printf "%s\n" zapext one-thread reference find
  ! has_pair "$1" || echo pair
  case $1 in typical | latency) for n in "${workers[@]}"; do echo "w$n"; done ;; esac
}
# Where the contenders run: a latency shape's tree is seen through the
# waiting file system, mounted beside it.
latency_shapes=(latency sparse-latency)
is_latency() { case $1 in latency | sparse-latency) return 0 ;; *) return 1 ;; esac; }
view_of() { echo "$work/$1.view"; }
run_dir_of() { if is_latency "$1"; then view_of "$1"; else echo "$work/$1/tree"; fi; }

# Files created soon after a mass deletion are slow to make on ext4 without
# a journal (bench/README.md tells why), for up to six minutes while the
# deletion is not yet written out, one minute after that: removing trees
# is followed by sync. A mount left by an earlier run goes first, so that
# nothing is removed through it.
unmount_views() {
  local s view
  for s in "${latency_shapes[@]}"; do
    view=$(view_of "$s")
    if mountpoint -q "$view" 2>/dev/null; then
      echo "unmounting the $s shape's file system from $view"
      fusermount3 -u "$view" || umount -l "$view"
    fi
  done
}
remove_trees() {
  unmount_views
  rm -rf --one-file-system "$work"
  sync
}
if [ -e "$work" ]; then
  echo "removing the trees of an earlier run in $work"
  remove_trees
fi
mkdir -p "$work"
# The loops of BUSY: started once the trees are made, stopped by their ids.
busy_pids=()
start_busy() {
  local b
  for ((b = 0; b < busy; ++b)); do
    bash -c 'while :; do :; done' &
    busy_pids+=($!)
  done
}
stop_busy() {
  local p
  for p in "${busy_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${busy_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  busy_pids=()
}
trap 'stop_busy; if [ "$keep_trees" = 1 ]; then unmount_views; else remove_trees; fi' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
results=$build/bench-results.txt
: >"$results"

# The latency shapes need FUSE: without it the other shapes still run.
has_shape() { local s; for s in "${trees[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }
skip_shape() {
  echo "no $2 shape: $1"
  local s kept=()
  for s in "${trees[@]}"; do [ "$s" = "$2" ] || kept+=("$s"); done
  trees=("${kept[@]}")
}
for s in "${latency_shapes[@]}"; do
  has_shape "$s" || continue
  if [ ! -x "$slowfs" ]; then
    skip_shape "libfuse3 is not installed (apt-get install libfuse3-dev fuse3)" "$s"
  elif [ ! -c /dev/fuse ]; then
    skip_shape "/dev/fuse is missing (FUSE is not available on this machine)" "$s"
  fi
done

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
start=$SECONDS
# Every file the runs will remove is made now, before any is deleted.
for t in "${trees[@]}"; do
  mapfile -t cs < <(contenders_of "$t")
  batches=$((${#cs[@]} * $(runs_of "$t") + $(counts_of "$t")))
  "$tree" build "$t" "$work/$t" "$batches"
  ! has_pair "$t" || "$tree" build "$t" "$work/$t.pair" "$(runs_of "$t")"
  for c in "${cs[@]}"; do : >"$work/$t/out-$c"; done
done
mkdir "$work/empty"
echo "trees built in $((SECONDS - start)) s"

for s in "${latency_shapes[@]}"; do
  has_shape "$s" || continue
  view=$(view_of "$s")
  mkdir "$view"
  echo "mounting the $s shape's file system: $work/$s/tree at $view," \
    "each operation waiting $delay_us us"
  if ! "$slowfs" "$work/$s/tree" "$view" "--delay-us=$delay_us"; then
    skip_shape "mounting $view failed" "$s"
  fi
done

# Puts batch $2 of tree $1 in place, runs contender $3 on it and checks the
# result.
run_once() {
  local t=$1 batch=$2 tool=$3 dir=$work/$1 at seen=()
  at=$(run_dir_of "$t")
  ! is_latency "$t" || seen=("$(view_of "$t")")
  "$tree" restore "$t" "$dir" "$batch"
  sync
  local cost
  if [ "$tool" = pair ]; then
    "$tree" restore "$t" "$dir.pair" "$pair_batch"
    pair_batch=$((pair_batch + 1))
    sync
    cost=$("$measure" "$dir/out-pair" "$at" "$build/bench/zapext-bench-pair" "$dir.pair/tree" \
      "$dir.pair/out" "$(program_of pair)" "${ext[$t]}")
    "$tree" verify "$t" "$dir" "$dir/out-pair" total ordered
    "$tree" verify "$t" "$dir.pair" "$dir.pair/out" total ordered
  elif [ "$tool" = find ]; then
    local top
    top=$(cd "$at" && pwd -P)
    cost=$("$measure" "$dir/out-find" "$at" find "$top" ! -type d \
      \( -iname "*.${ext[$t]}" -o -iname "${ext[$t]}" \) -printf 'removing %p\n' -delete)
    "$tree" verify "$t" "$dir" "$dir/out-find" "${seen[@]}"
  else
    cost=$("$measure" "$dir/out-$tool" "$at" "$(program_of "$tool")" "${ext[$t]}")
    # The reference alone gives its lines in no particular order.
    local order=(ordered)
    [ "$tool" != reference ] || order=()
    "$tree" verify "$t" "$dir" "$dir/out-$tool" total "${order[@]}" "${seen[@]}"
  fi
  if [ "${cost##* }" != 0 ]; then
    echo "bench/run.sh: $tool ended with status ${cost##* } in $t" >&2
    exit 1
  fi
  echo "$t $tool $cost" >>"$results"
}

# Runs zapext under callgrind in the current directory, removing extension
# $2, its output to $1, and prints the instructions it took.
instructions_to() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --vgdb=no "$build/zapext" "$2" \
    2>&1 >"$1" | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

load() { cut -d' ' -f1 /proc/loadavg; }
if [ "$busy" -gt 0 ]; then
  echo "BUSY=$busy: $busy CPU-bound loop(s) running beside every run"
  start_busy
fi
for t in "${trees[@]}"; do
  mapfile -t cs < <(contenders_of "$t")
  echo "timing $t: ${cs[*]}"
  echo "$t load-before $(load)" >>"$results"
  batch=0
  pair_batch=0
  for ((i = 0; i < $(runs_of "$t"); ++i)); do
    # Each contender goes first in turn.
    for ((k = 0; k < ${#cs[@]}; ++k)); do
      run_once "$t" "$batch" "${cs[$(((i + k) % ${#cs[@]}))]}"
      batch=$((batch + 1))
    done
  done
  echo "$t load-after $(load)" >>"$results"
  if [ "$(counts_of "$t")" = 1 ]; then
    "$tree" restore "$t" "$work/$t" "$batch"
    base=$(cd "$work/empty" && instructions_to /dev/null "${ext[$t]}")
    total=$(cd "$work/$t/tree" && instructions_to "$work/$t/out-zapext" "${ext[$t]}")
    "$tree" verify "$t" "$work/$t" "$work/$t/out-zapext" total
    read -r dirs kept match < <("$tree" count "$t")
    echo "$t instructions $(((total - base) / (dirs + kept + match))) $total $base" >>"$results"
  fi
done
stop_busy
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg), $((SECONDS - start)) s in all"

median() { sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
lowest() { sort -g | head -n 1; }
highest() { sort -g | tail -n 1; }
# The figures of contender $1 in tree $t, column $2 (3 wall, 4 user, 5 sys,
# 6 peak RSS; "cpu" for user+sys), reduced by $3 (median, lowest, highest).
figure() {
  awk -v t="$t" -v tool="$1" -v col="$2" '$1 == t && $2 == tool {
    print col == "cpu" ? $4 + $5 : $col }' "$results" | "$3"
}
entries() { local dirs kept match; read -r dirs kept match < <("$tree" count "$1"); echo $((dirs + kept + match)); }
base=(zapext one-thread reference find)
# Prints, for every tree, the median of column $1 (seconds) for each
# contender and zapext's against the other three.
# The wall time's table ends with how far zapext is from the faster of the
# one-thread sweep and the reference, and the CPU time of zapext, of the
# reference and of a pair (half of it) against the one-thread sweep's: what
# two processors cost the pair, which shares nothing, no sweep that works on
# two of them can save.
times_table() {
  printf '%-14s %8s | %9s %9s %9s %9s | %-29s | %s\n' "" "" "" "" "" "" "zapext against" \
    "${2:+best   CPU/one-thread    ref CPU   pair CPU}"
  printf '%-14s %8s | %9s %9s %9s %9s | %9s %9s %9s |\n' shape entries "${base[@]}" \
    one-thread reference find
  for t in "${trees[@]}"; do
    local m=() c
    for c in "${base[@]}"; do m+=("$(figure "$c" "$1" median)"); done
    awk -v t="$t" -v n="$(entries "$t")" -v z="${m[0]}" -v o="${m[1]}" -v r="${m[2]}" \
      -v f="${m[3]}" -v extra="${2:-}" -v zc="$(figure zapext cpu median)" \
      -v oc="$(figure one-thread cpu median)" -v rc="$(figure reference cpu median)" \
      -v pc="$(figure pair cpu median)" 'BEGIN {
      printf "%-14s %8d | %9.1f %9.1f %9.1f %9.1f | %8.2fx %8.2fx %8.2fx |",
        t, n, z * 1000, o * 1000, r * 1000, f * 1000, z / o, z / r, z / f
      if (extra) printf " %5.2fx %8.2fx %11.2fx", z / (o < r ? o : r), zc / oc, rc / oc
      if (extra && pc > 0) printf " %9.2fx", pc / 2 / oc
      printf "\n" }'
  done
}
echo
echo "$(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
  "Linux $(uname -r), $(df -T "$work" | awk 'NR == 2 { print $2 }');" \
  "latency shapes: $delay_us us per operation; medians of $runs runs (flat1m 1)" \
  "$([ "$busy" = 0 ] || echo "; BUSY=$busy CPU-bound loop(s) beside every run")"
echo
echo "wall time (ms)"
times_table 3 with-cpu
echo
echo "user+sys CPU time (ms)"
times_table cpu
echo
echo "peak RSS (KiB, the highest of all runs), zapext's instructions per entry, load"
printf '%-14s | %9s %9s %9s %9s | %11s | %s\n' shape "${base[@]}" "instr/entry" "load before..after"
for t in "${trees[@]}"; do
  per=$(awk -v t="$t" '$1 == t && $2 == "instructions" { print $3 }' "$results")
  printf '%-14s | %9d %9d %9d %9d | %11s | %s..%s\n' "$t" "$(figure zapext 6 highest)" \
    "$(figure one-thread 6 highest)" "$(figure reference 6 highest)" "$(figure find 6 highest)" \
    "${per:--}" "$(awk -v t="$t" '$1 == t && $2 == "load-before" { print $3 }' "$results")" \
    "$(awk -v t="$t" '$1 == t && $2 == "load-after" { print $3 }' "$results")"
done
if [ ${#workers[@]} -gt 0 ]; then
  echo
  echo "fixed numbers of removal threads: wall time (ms), against the one-thread sweep;" \
    "peak RSS (KiB)"
  for t in "${trees[@]}"; do
    case $t in typical | latency) ;; *) continue ;; esac
    o=$(figure one-thread 3 median)
    for n in "${workers[@]}"; do
      awk -v t="$t" -v n="$n" -v w="$(figure "w$n" 3 median)" -v o="$o" \
        -v r="$(figure "w$n" 6 highest)" 'BEGIN {
        printf "%-8s %3d threads %9.1f %8.2fx %9d\n", t, n, w * 1000, w / o, r }'
    done
  done
fi
echo
echo "spread of the wall times (ms, lowest..highest)"
for t in "${trees[@]}"; do
  line=$(printf '%-14s' "$t")
  for c in $(contenders_of "$t"); do
    line+=$(awk -v c="$c" -v l="$(figure "$c" 3 lowest)" -v h="$(figure "$c" 3 highest)" \
      'BEGIN { printf "  %s %.1f..%.1f", c, l * 1000, h * 1000 }')
  done
  echo "$line"
done
echo "(raw figures: $results)"
