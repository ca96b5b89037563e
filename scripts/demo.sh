#!/usr/bin/env bash
# Installs what is missing, builds and runs the example host program. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build/release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMEASUREMENT_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target example-host
exec "$build/examples/example-host" "$@"
