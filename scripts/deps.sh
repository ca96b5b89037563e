#!/usr/bin/env bash
# Installs the Debian packages the build needs (when run as root and something is missing), and any
# further packages named as arguments (scripts/fuzz.sh adds clang and libFuzzer).
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libsqlite3-dev zlib1g-dev
  nanopb libnanopb-dev protobuf-compiler python3-protobuf
  libcurl4-openssl-dev libicu-dev libssl-dev libplist-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev libbenchmark-dev
  "$@"
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
