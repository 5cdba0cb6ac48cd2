#!/usr/bin/env bash
# Configures and builds Orvanta into ./build: the program only, which is
# quicker; scripts/test.sh passes -DORVANTA_BUILD_TESTS=ON for everything.
# Extra CMake arguments pass through and win over the defaults here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_BUILD_TESTS=OFF "$@"
cmake --build "$root/build" -j"$(nproc)"
