#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR: builds the package, checks it as
# Debian and the desktop read it, and runs the unpacked program (under the
# X server in DISPLAY) until it receives frames with its icon set.
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d /tmp/orvanta-package.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/out.log" ] && cat "$work/out.log" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null
deb=$(ls "$work"/deb/orvanta_*.deb)
dpkg-deb -x "$deb" "$work/root"
share=$work/root/usr/share
desktop-file-validate "$share/applications/com.tesselwick.Orvanta.desktop"
appstreamcli validate --no-net "$share/metainfo/com.tesselwick.Orvanta.metainfo.xml" >/dev/null
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"

mkfifo "$work/camera.out"
/usr/bin/python3 "$source/scripts/test_camera.py" --port 0 >"$work/camera.out" &
pids+=($!)
read -r -t 30 ready url <"$work/camera.out" || fail "no test camera"
[ "$ready" = READY ] || fail "no test camera"
mkdir "$work/config"
printf '[Stream]\nRtspUrl=%s\n' "$url" >"$work/config/Orvanta.conf"
XDG_CONFIG_HOME=$work/config NO_AT_BRIDGE=1 "$work/root/usr/bin/orvanta" >"$work/out.log" 2>&1 &
program=$!
pids+=("$program")

# The window matched to the desktop entry by its class, showing the
# installed icon: the only copy the unpacked program can reach is its own.
class=$(sed -n 's/^StartupWMClass=//p' "$share/applications/com.tesselwick.Orvanta.desktop")
deadline=$((SECONDS + 60))
until grep -q '^\[Status\] Receiving frames: ' "$work/out.log"; do
  [ $SECONDS -lt $deadline ] || fail "no frames"
  sleep 0.2
done
for window in $(xwininfo -root -tree | awk '/^ +0x/ {print $1}'); do
  props=$(xprop -id "$window" _NET_WM_PID WM_CLASS)
  [[ $props == *"= $program"$'\n'* && $props == *", \"$class\"" ]] || continue
  # The first number is the width of the first image: AppIcon.png's 256.
  icon=$(xprop -id "$window" -f _NET_WM_ICON 32c '=$0' _NET_WM_ICON)
  [ "$icon" = "_NET_WM_ICON(CARDINAL)=256" ] && exit 0
done
fail "no window of class $class with an icon"
