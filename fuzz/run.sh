#!/usr/bin/env bash
# Build the libFuzzer targets of the C++ core with AddressSanitizer and
# UBSan, and run each for a bounded time from a generated seed corpus.
#
#   fuzz/run.sh                 build and run every target
#   fuzz/run.sh clean tables    build and run only the named targets
#   FUZZ_SECONDS=60             run time per target (default 60)
#   FUZZ_BUILD_DIR=build-fuzz   where objects, binaries and corpora go
#   FUZZ_JOBS=1                 parallel fuzzing processes per target
#   FUZZ_SEED=N                 fixed random seed (repeatable runs, as in CI; such
#                               runs leave out the comparison operands and the
#                               corpus rereading, see below)
#   FUZZ_RUNS=N, FUZZ_RUNS_<t>=N  stop after N executions (with a fixed seed the
#                               run is then exactly repeatable); FUZZ_SECONDS
#                               still caps the time
#   CXX=clang++-14              the clang to build with
#
# A crash, a sanitizer report, a violated property or a hang (a single input
# running longer than FUZZ_TIMEOUT seconds, default 20) ends the script with
# a non-zero status; the reproducer is left in $FUZZ_BUILD_DIR/artifacts/.
# Reproduce with: $FUZZ_BUILD_DIR/bin/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

ALL_TARGETS=(clean interp smooth tables minimize summary)
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=("${ALL_TARGETS[@]}")
SECS=${FUZZ_SECONDS:-60}
TIMEOUT=${FUZZ_TIMEOUT:-20}
JOBS=${FUZZ_JOBS:-1}
OUT=${FUZZ_BUILD_DIR:-build-fuzz}
PYTHON=${PYTHON:-/usr/bin/python3}

if [ -z "${CXX:-}" ]; then
  for c in clang++-14 clang++; do
    if command -v "$c" >/dev/null 2>&1; then CXX=$c; break; fi
  done
fi
if [ -z "${CXX:-}" ]; then echo "fuzz/run.sh: clang++ not found" >&2; exit 1; fi

FLAGS=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -fno-fast-math
       -fsanitize=address,undefined -fno-sanitize-recover=undefined -Icore/include -Ifuzz)
mkdir -p "$OUT/obj" "$OUT/bin" "$OUT/artifacts" "$OUT/logs"

# Core objects: instrumented for coverage, rebuilt only when a source or
# header is newer than the object.
objs=()
for src in core/src/*.cpp; do
  obj="$OUT/obj/$(basename "${src%.cpp}").o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || \
     [ -n "$(find core/include core/src -newer "$obj" -name '*.hpp' -print -quit)" ]; then
    echo "compile $src"
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
  fi
  objs+=("$obj")
done

status=0
for t in "${TARGETS[@]}"; do
  src="fuzz/fuzz_$t.cpp"
  bin="$OUT/bin/fuzz_$t"
  [ -f "$src" ] || { echo "unknown target $t" >&2; exit 2; }
  newest_obj=$(ls -t "${objs[@]}" | head -n1)
  if [ ! -f "$bin" ] || [ "$src" -nt "$bin" ] || [ fuzz/fuzz_input.hpp -nt "$bin" ] || [ "$newest_obj" -nt "$bin" ]; then
    echo "link $bin"
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer "$src" "${objs[@]}" -o "$bin"
  fi
  # Inputs that once failed are replayed first (fuzz/regressions/<target>-*).
  regs=(fuzz/regressions/"$t"-*)
  if [ -e "${regs[0]}" ]; then
    if ! "$bin" "${regs[@]}" >"$OUT/logs/$t.regressions.log" 2>&1; then
      echo "fuzz_$t: a regression input fails; log: $OUT/logs/$t.regressions.log" >&2
      status=1
    fi
  fi
  corpus="$OUT/corpus/$t"
  mkdir -p "$corpus"
  # The seeds go in a directory of their own and reach libFuzzer as a list in
  # name order: read from the corpus directory they would come in the file
  # system's listing order, which differs between file systems (libFuzzer
  # sorts its inputs by size only), and with it the whole run, fixed seed or not.
  seeds="$OUT/seeds/$t"
  rm -rf "$seeds"
  "$PYTHON" fuzz/make_seeds.py "$t" "$seeds"
  ls "$seeds" | LC_ALL=C sort | sed "s|^|$seeds/|" | paste -sd, - > "$OUT/seeds/$t.list"
  log="$OUT/logs/$t.log"
  par=(-seed_inputs=@"$OUT/seeds/$t.list")
  [ "$JOBS" -gt 1 ] && par+=(-fork="$JOBS")
  # A repeatable run also leaves out the operands of the target's comparisons
  # as mutation material (some are addresses, which differ from run to run)
  # and the rereading of the corpus directory (on a clock: once a second).
  [ -n "${FUZZ_SEED:-}" ] && par+=(-seed="$FUZZ_SEED" -use_cmp=0 -reload=0)
  runs_var="FUZZ_RUNS_$t"
  runs=${!runs_var:-${FUZZ_RUNS:-}}
  [ -n "$runs" ] && par+=(-runs="$runs")
  echo "==== fuzz_$t: at most ${SECS}s${runs:+, $runs executions}"
  set +e
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin" -max_total_time="$SECS" -timeout="$TIMEOUT" -rss_limit_mb=2048 -max_len=65536 \
      "${par[@]}" -print_final_stats=1 \
      -artifact_prefix="$OUT/artifacts/${t}-" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' "$log" | sed "s/^/  /" || true
  if [ $rc -ne 0 ]; then
    echo "fuzz_$t FAILED (exit $rc); log: $log" >&2
    grep -E 'ERROR|property violated|runtime error|Test unit written' "$log" | head -n 20 >&2 || true
    status=1
  fi
done
exit $status
