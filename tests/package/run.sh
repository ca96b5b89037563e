#!/usr/bin/env bash
# Builds libmeasurement (static or shared) and pixie-run, installs them into an empty prefix, and
# checks the prefix as a user of the installed SDK meets it: every installed header compiles with
# only the prefix's include directory, and a host built outside the tree (once with its own CMake
# project and find_package, once with the compiler and pkg-config) links against the prefix alone
# and gets one logged event to a collector on 127.0.0.1; the README's host program, built the same
# ways, gets its deferred deep link from that collector. The shared library exports what the
# installed headers declare and nothing of the engine.
#
# Usage: run.sh static|shared. The environment names the tree and the tools:
#   PACKAGE_SOURCE_DIR, PACKAGE_WORK_DIR, PACKAGE_CMAKE, PACKAGE_GENERATOR, PACKAGE_CC, PACKAGE_CXX,
#   PACKAGE_LAUNCHER (may be empty), PACKAGE_JOBS.
# Both variants share one build tree (compiled position-independent), so the second only links.
set -euo pipefail
variant=${1:?static or shared}
source_dir=${PACKAGE_SOURCE_DIR:?}
work=${PACKAGE_WORK_DIR:?}
cmake=${PACKAGE_CMAKE:-cmake}
cxx=${PACKAGE_CXX:-c++}
jobs=${PACKAGE_JOBS:-2}
case $variant in
  static) shared=OFF ;;
  shared) shared=ON ;;
  *) echo "usage: run.sh static|shared" >&2; exit 2 ;;
esac

build=$work/build
out=$work/$variant
prefix=$out/prefix
launcher=()
if [ -n "${PACKAGE_LAUNCHER:-}" ]; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER="$PACKAGE_LAUNCHER" -DCMAKE_CXX_COMPILER_LAUNCHER="$PACKAGE_LAUNCHER")
fi

fail() {
  echo "package test ($variant): $*" >&2
  exit 1
}

# The library only: no sanitizers, tests, benchmarks or optimisation; common headers precompiled.
"$cmake" -S "$source_dir" -B "$build" ${PACKAGE_GENERATOR:+-G "$PACKAGE_GENERATOR"} \
  -DCMAKE_C_COMPILER="${PACKAGE_CC:-cc}" -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=$shared \
  -DMEASUREMENT_SANITIZE=OFF -DMEASUREMENT_TESTS=OFF -DMEASUREMENT_BENCH=OFF -DMEASUREMENT_PRECOMPILE_HEADERS=ON >/dev/null
"$cmake" --build "$build" -j"$jobs" --target measurement pixie-run >/dev/null
rm -rf "$out"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

pc=$(find "$prefix" -name measurement.pc)
[ -n "$pc" ] || fail "no measurement.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
libdir=$(pkg-config --variable=libdir measurement)
includedir=$(pkg-config --variable=includedir measurement)

# Every installed header, with nothing but the installed include directory.
headers=$(cd "$includedir" && find . -name '*.h' | sort)
[ -n "$headers" ] || fail "no headers installed"
for header in $headers; do echo "#include \"${header#./}\""; done >"$out/all_headers.cpp"
"$cxx" -std=c++20 -fsyntax-only $(pkg-config --cflags measurement) "$out/all_headers.cpp" ||
  fail "the installed headers do not compile on their own"

# pixie-run runs from the prefix (without arguments it explains itself and fails).
if "$prefix/bin/pixie-run" >"$out/pixie-run.txt" 2>&1; then fail "pixie-run without arguments succeeded"; fi
grep -q "usage: pixie-run" "$out/pixie-run.txt" || fail "the installed pixie-run did not run"

resources=$source_dir/examples
host_source=$source_dir/tests/package/host

# The README's host program, as the README shows it: its C++ block that begins "// myapp".
readme_host=$out/readme_host.cpp
awk '/^```cpp$/ { block = 1; first = 1; text = ""; next }
     block && /^```$/ { if (keep) { printf "%s", text; exit } block = 0; next }
     block { if (first) keep = ($0 ~ /^\/\/ myapp /); first = 0; text = text $0 "\n" }' \
  "$source_dir/README.md" >"$readme_host"
[ -s "$readme_host" ] || fail "the README shows no host program"

# The host's own CMake project.
"$cmake" -S "$host_source" -B "$out/host-cmake" ${PACKAGE_GENERATOR:+-G "$PACKAGE_GENERATOR"} \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
  -DCMAKE_PREFIX_PATH="$prefix" -DREADME_HOST_SOURCE="$readme_host" >/dev/null
grep -q "^Measurement_DIR:PATH=$prefix/" "$out/host-cmake/CMakeCache.txt" ||
  fail "find_package found a Measurement package outside $prefix"
"$cmake" --build "$out/host-cmake" >/dev/null
"$out/host-cmake/package-host" "$resources" "$out/host-cmake/readme-host" >"$out/host-cmake.log" 2>&1 ||
  { tail -20 "$out/host-cmake.log" >&2; fail "the find_package host failed"; }

# The host built by hand from pkg-config's flags.
"$cxx" -std=c++20 -O0 -o "$out/package-host-pc" "$host_source/package_host.cpp" \
  $(pkg-config --cflags --libs measurement cpp-httplib zlib)
"$cxx" -std=c++20 -O0 -o "$out/readme-host-pc" "$readme_host" $(pkg-config --cflags --libs measurement)
LD_LIBRARY_PATH=$libdir "$out/package-host-pc" "$resources" "$out/readme-host-pc" >"$out/host-pkg-config.log" 2>&1 ||
  { tail -20 "$out/host-pkg-config.log" >&2; fail "the pkg-config host failed"; }

# Each host links the library the way the variant says.
for host in "$out/host-cmake/package-host" "$out/package-host-pc" "$out/host-cmake/readme-host" "$out/readme-host-pc"; do
  needs=$(readelf -d "$host" | grep -c "NEEDED.*libmeasurement" || true)
  if [ $variant = shared ] && [ "$needs" = 0 ]; then fail "$host does not load libmeasurement.so"; fi
  if [ $variant = static ] && [ "$needs" != 0 ]; then fail "$host loads a shared libmeasurement"; fi
done

if [ $variant = shared ]; then
  library=$libdir/libmeasurement.so
  readelf -d "$library" | grep -q "SONAME.*\[libmeasurement\.so\.11\]" || fail "libmeasurement.so has no SONAME libmeasurement.so.11"
  # The engine, the store and the message runtime stay inside.
  internal=$(nm -D --defined-only -C "$library" | grep -E " (APM|DUDUravodazoInternal|pb_|sqlite3_)" || true)
  [ -z "$internal" ] || fail "libmeasurement.so exports internal symbols: $(echo "$internal" | head -5)"
  # Every exported function or object belongs to a class, namespace or function the installed
  # headers declare.
  owners=$(nm -D --defined-only -C "$library" | awk '$2 ~ /^[TWVBDR]$/ { $1 = ""; $2 = ""; print }' |
           sed -E 's/^ +//; s/^(typeinfo name for|typeinfo for|vtable for|guard variable for) //; s/[(<].*//' |
           sed -E 's/^(platform::)?([A-Za-z_][A-Za-z0-9_]*).*/\2/' | sort -u)
  for owner in $owners; do
    grep -rqw "$owner" "$includedir" || fail "libmeasurement.so exports $owner, which no installed header declares"
  done
  # And the other way: every function an installed header declares on one line outside a class
  # (and not inline) is exported, so a host calling it links against the shared library too.
  exported=$(nm -D --defined-only -C "$library")
  declared=$(grep -rhE '^[A-Za-z][A-Za-z0-9_:<>, *&]* [*&]?[A-Za-z_][A-Za-z0-9_]*\(.*\);$' "$includedir" |
             grep -vE '^(inline|static|using|return|typedef|friend) ' |
             sed -E 's/^.*[ *&]([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/' | sort -u)
  for function in $declared; do
    echo "$exported" | grep -qE "[ :]$function(\[abi:[a-z0-9]+\])?\(" || fail "libmeasurement.so does not export $function, which an installed header declares"
  done
fi
echo "package test ($variant): passed"
