#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and UndefinedBehaviorSanitizer,
# every library instrumented) in build/fuzz, and runs each target, or the one named, for SECONDS
# (default 60) from its seeds and regression inputs. New inputs found on the way are kept in
# build/fuzz/corpus/TARGET; an input that crashes is left in build/fuzz/crashes/TARGET: add it to
# fuzz/regressions/TARGET together with the fix.
#   scripts/fuzz.sh [TARGET] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-all}
seconds=${2:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}

bash scripts/deps.sh clang-14 libclang-rt-14-dev
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" "${launcher[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
      -DMEASUREMENT_SANITIZE=ON -DMEASUREMENT_LIBFUZZER=ON -DMEASUREMENT_TESTS=OFF -DMEASUREMENT_BENCH=OFF \
      -DMEASUREMENT_INSTALL=OFF >/dev/null
# The targets as fuzz/CMakeLists.txt lists them, one a line.
targets=$(sed -n '/^set(fuzz_targets/,/)/p' fuzz/CMakeLists.txt | sed -e 's/set(fuzz_targets//' -e 's/)//' | tr -s ' ' '\n' |
          grep -v '^$')
if [ "$target" != all ]; then
  grep -qx "$target" <<<"$targets" || { echo "no fuzz target $target (one of: $(echo $targets))" >&2; exit 2; }
  targets=$target
fi
cmake --build "$build" -j"${FUZZ_JOBS:-4}" --target $(printf 'fuzz_%s ' $targets)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in $targets; do
  corpus="$build/corpus/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$corpus" "$crashes"
  inputs=(fuzz/seeds/"$t")
  [ -d fuzz/regressions/"$t" ] && inputs+=(fuzz/regressions/"$t")
  echo "== $t: $seconds s"
  # -rss_limit_mb: a reply must never make the SDK allocate without bound. -timeout: an unoptimised
  # sanitizer build runs a program that spends its whole instruction budget on three events in
  # seconds, so only a run far beyond that counts as a hang.
  if ! "$build/fuzz/fuzz_$t" "$corpus" "${inputs[@]}" -max_total_time="$seconds" -rss_limit_mb=2048 \
       -timeout=60 -artifact_prefix="$crashes/" -print_final_stats=1; then
    echo "== $t failed: the input is in $crashes" >&2
    status=1
  fi
done
exit $status
