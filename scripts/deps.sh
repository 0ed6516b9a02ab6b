#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the viewer need.
# Only missing packages are installed; runs apt-get through sudo when not root.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libasound2-dev libcairo2-dev libpng-dev libjpeg62-turbo-dev
  qt6-base-dev qt6-declarative-dev libgl-dev fonts-liberation fonts-wqy-microhei
  libgtest-dev libgmock-dev libbenchmark-dev libyuv-dev
  sox iproute2 xvfb xauth ccache libjpeg-turbo-progs
  python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad gstreamer1.0-libav
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
