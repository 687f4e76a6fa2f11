#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need,
# then configures and builds the project. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libpulse-dev libsndfile1-dev libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libwebrtc-audio-processing-dev
  pulseaudio pulseaudio-utils ffmpeg sox espeak-ng python3 procps time bc util-linux
  clang libclang-rt-14-dev
  # cpack computes the package's dependencies with dpkg-shlibdeps and file; the
  # tests render the manual page with man; the fuzz targets need clang's runtime.
  dpkg-dev file man-db
  # the process tests run on PipeWire as well as PulseAudio
  pipewire pipewire-pulse wireplumber dbus
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -G Ninja "$@" > /dev/null
cmake --build "$build_dir" -j "$(nproc)"
