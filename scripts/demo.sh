#!/usr/bin/env bash
# Shows Orvanta doing its job without a camera of your own: starts the test
# camera (a moving object) and the built program pointed at it. The demo keeps
# its settings and pictures in a throw-away folder, never in your own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/build/bin/orvanta"
[ -x "$program" ] || { echo "build Orvanta first: scripts/build.sh" >&2; exit 1; }

work=$(mktemp -d /tmp/orvanta-demo.XXXXXX)
camera_pid=
cleanup() {
  [ -n "$camera_pid" ] && kill "$camera_pid" 2>/dev/null && wait "$camera_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkfifo "$work/camera.out"
/usr/bin/python3 "$root/scripts/test_camera.py" --port 0 --width 1280 --height 720 \
  --scene moving >"$work/camera.out" &
camera_pid=$!
read -r -t 30 ready url <"$work/camera.out" || true
if [ "${ready:-}" != READY ] || [ -z "${url:-}" ]; then
  echo "the test camera did not start" >&2
  exit 1
fi
echo "Test camera: $url"

mkdir -p "$work/config"
# Its motion pictures go to the throw-away folder too, not to your pictures.
printf '[Stream]\nRtspUrl=%s\n[Pictures]\nFolder=%s\n' "$url" "$work/Orvanta" >"$work/config/Orvanta.conf"
chmod 600 "$work/config/Orvanta.conf"
XDG_CONFIG_HOME="$work/config" "$program"
