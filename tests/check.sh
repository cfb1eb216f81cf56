#!/usr/bin/env bash
# Builds zapext twice, with AddressSanitizer and UndefinedBehaviorSanitizer
# and as released, and runs the whole test suite against each. The Windows
# build is cross-built and run under wine once, with the release build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZAPEXT_SANITIZE=ON -DZAPEXT_WINE_TESTS=OFF
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize && ctest --output-on-failure -j"$jobs")

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
