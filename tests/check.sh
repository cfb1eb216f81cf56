#!/usr/bin/env bash
# Builds zapext twice, with AddressSanitizer and UndefinedBehaviorSanitizer
# and as released, and runs the whole test suite against each (the stress
# cases included; the Windows build is cross-built and run under wine once,
# with the release build, and so is the arm64 build, under qemu). The unit
# tests run a third time under ThreadSanitizer, for the removal threads, and
# a fourth, with the scenarios, against the readdir listing (sanitized).
# Where clang with libFuzzer is
# found, the fuzzers are built and each runs for a fixed time; the sweep
# fuzzer's findings are then replayed under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZAPEXT_SANITIZE=ON -DZAPEXT_WINE_TESTS=OFF \
  -DZAPEXT_AARCH64_TESTS=OFF
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DZAPEXT_TSAN=ON -DZAPEXT_WINE_TESTS=OFF
cmake --build build-tsan -j"$jobs" --target zapext_tests
(cd build-tsan && ctest --output-on-failure -j"$jobs" -R '^(MatchTest|CStringTest|SweepTest)[.]')

# The listing on readdir, as built where getdents64 is missing (macOS, the
# BSDs): everything but the stress cases.
cmake -S . -B build-portable -DCMAKE_BUILD_TYPE=Debug -DZAPEXT_SANITIZE=ON -DZAPEXT_PORTABLE_LISTING=ON \
  -DZAPEXT_WINE_TESTS=OFF -DZAPEXT_AARCH64_TESTS=OFF
cmake --build build-portable -j"$jobs" --target zapext_tests zapext_e2e
(cd build-portable && ctest --output-on-failure -j"$jobs" -LE stress -E '_NOT_BUILT$')

if echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null; then
  cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++
  cmake --build build-fuzz -j"$jobs"
  (cd build-fuzz && ctest --output-on-failure -j"$jobs")
  cmake -S tests/fuzz -B build-fuzz-tsan -DCMAKE_CXX_COMPILER=clang++ -DZAPEXT_FUZZ_SANITIZERS=thread \
    -DZAPEXT_FUZZ_CORPUS="$PWD/build-fuzz/corpus/sweep_fuzzer"
  cmake --build build-fuzz-tsan -j"$jobs"
  (cd build-fuzz-tsan && ctest --output-on-failure)
else
  echo "check.sh: no clang with libFuzzer here; the fuzzers were not run" >&2
fi

# The README's first command may have left the tests off in this build.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
