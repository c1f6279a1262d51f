#!/usr/bin/env bash
# Builds the libFuzzer binaries of the fuzz targets with clang (in
# build-fuzz/, AddressSanitizer and UndefinedBehaviorSanitizer on) and runs
# each for a bounded time, starting from its corpus in fuzz/corpus/<name>/.
# New inputs go to build-fuzz/fuzz/work/<name>/; crashes to build-fuzz/fuzz/.
#
#   fuzz/run_fuzz.sh [seconds] [name...]     (default: $ZOR_FUZZ_SECONDS or 60, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

secs=${1:-${ZOR_FUZZ_SECONDS:-60}}
[ $# -gt 0 ] && shift
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do
    base=$(basename "$src" .cpp)
    names+=("${base%_fuzz}")
  done
fi

CC=clang CXX=clang++ cmake -G Ninja -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZOR_SANITIZE=ON -DZOR_LIBFUZZER=ON -DZOR_BUILD_TESTS=OFF -DZOR_BUILD_BENCH=OFF >/dev/null
targets=()
for n in "${names[@]}"; do targets+=("${n}_fuzz_libfuzzer"); done
cmake --build build-fuzz --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for n in "${names[@]}"; do
  work=build-fuzz/fuzz/work/$n
  mkdir -p "$work"
  echo "== fuzzing $n for ${secs}s"
  (cd build-fuzz/fuzz && "./${n}_fuzz_libfuzzer" -max_total_time="$secs" -max_len=16384 -print_final_stats=1 \
     "work/$n" "../../fuzz/corpus/$n")
done
