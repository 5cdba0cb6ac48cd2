#!/usr/bin/env bash
# Installs the Debian packages needed to build and run Orvanta; with --tests,
# also those its tests need.
# Idempotent and non-interactive; run as root (or through sudo) on Debian 12.
set -euo pipefail

# What building and running the program (and its demo camera) needs.
packages=(
  build-essential cmake pkg-config
  libwxgtk3.2-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libopencv-core-dev libopencv-imgproc-dev libjpeg62-turbo-dev
  libcurl4-openssl-dev nlohmann-json3-dev
  libsecret-1-dev libglib2.0-dev libgtk-3-dev
  xdg-utils ca-certificates
  # the test camera
  python3 python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad gstreamer1.0-libav
)

# What the tests need besides: --tests.
if [ "${1:-}" = --tests ]; then
  packages+=(
    libgtest-dev libgmock-dev ffmpeg
    # the picture tests decode what was kept
    libturbojpeg0-dev
    # the parser fuzzer
    clang-14 libclang-rt-14-dev
    # window tests; minimising a window needs a window manager
    xvfb xauth imagemagick openbox
    # private D-Bus daemons, logind mock, Secret Service
    dbus dbus-daemon python3-dbus python3-dbusmock gnome-keyring libsecret-tools
    # the provider stand-in decodes uploaded JPEGs
    python3-pil
    # the package and what the desktop reads from it
    lintian desktop-file-utils appstream x11-utils
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
