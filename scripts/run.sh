#!/usr/bin/env bash
# Installs what Orvanta needs, builds it and shows it at work: the test camera
# (a moving object) and Orvanta pointed at it, with settings of the demo's own.
# To watch your own camera, start build/bin/orvanta and set its URL in Settings.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec "$root/scripts/demo.sh"
