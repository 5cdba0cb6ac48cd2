#!/usr/bin/env bash
# Builds the Debian package of Orvanta from a program-only build (no test
# targets) in ./build-package and prints the package's path. Install it with
#   sudo apt-get install ./build-package/orvanta_*.deb
# Extra CMake arguments (the Google client, for one) pass through.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build-package
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/orvanta_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/orvanta_*.deb
