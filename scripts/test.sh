#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# every test. Extra arguments go to ctest (for example -R Store).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Numbers that must be named (the version, field indices), checked before anything is built.
python3 scripts/check_sources.py
build=${BUILD_DIR:-build/sanitize}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DMEASUREMENT_SANITIZE=ON -DMEASUREMENT_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
