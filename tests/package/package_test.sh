#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR: builds the package, checks it as Debian and the desktop
# read it, and runs the unpacked program (on DISPLAY) until it receives frames with its icon.
set -euo pipefail
work=$(mktemp -d /tmp/orvanta-package.XXXXXX) pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; cat "$work/out.log" >&2 2>/dev/null; exit 1; }
cpack -G DEB --config "$1/CPackConfig.cmake" -B "$work/deb" >/dev/null
deb=$(ls "$work"/deb/orvanta_*.deb) share=$work/root/usr/share
dpkg-deb -x "$deb" "$work/root"
desktop-file-validate "$share/applications/com.tesselwick.Orvanta.desktop"
appstreamcli validate --no-net "$share/metainfo/com.tesselwick.Orvanta.metainfo.xml" >/dev/null
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"
mkfifo "$work/camera.out" && mkdir "$work/config"
/usr/bin/python3 "$2/scripts/test_camera.py" --port 0 >"$work/camera.out" & pids+=($!)
read -r -t 30 ready url <"$work/camera.out" && [ "$ready" = READY ] || fail "no test camera"
printf '[Stream]\nRtspUrl=%s\n' "$url" >"$work/config/Orvanta.conf"
HOME=$work XDG_CONFIG_HOME=$work/config NO_AT_BRIDGE=1 "$work/root/usr/bin/orvanta" >"$work/out.log" 2>&1 & pids+=($!)
deadline=$((SECONDS + 60))
until grep -q '^\[Status\] Receiving frames: ' "$work/out.log"; do
  [ $SECONDS -lt $deadline ] || fail "no frames"; sleep 0.2
done
# A window of the entry's class whose first icon is 256 px wide: AppIcon.png, the only copy
# the unpacked program can reach being the one in its own prefix.
class=$(sed -n 's/^StartupWMClass=//p' "$share/applications/com.tesselwick.Orvanta.desktop")
for window in $(xwininfo -root -tree | awk '/^ +0x/ {print $1}'); do
  props=$(xprop -id "$window" -f _NET_WM_ICON 32c '=$0' _NET_WM_PID WM_CLASS _NET_WM_ICON)
  [[ $props == *"= ${pids[1]}"$'\n'*", \"$class\""$'\n'"_NET_WM_ICON(CARDINAL)=256" ]] && exit 0
done
fail "no window of class $class with an icon"
