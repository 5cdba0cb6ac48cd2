#!/usr/bin/env bash
# Installs what Orvanta and its tests need, builds with warnings as errors and
# runs every test suite. Window tests get their own X server (Xvfb).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" -DORVANTA_WERROR=ON -DORVANTA_BUILD_TESTS=ON -DORVANTA_FUZZ=ON
cd "$root/build"
# The tests start their own servers and buses; keep them off the user's ones.
export LC_ALL=C.UTF-8
exec xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" \
  ctest --output-on-failure --timeout 600 "$@"
