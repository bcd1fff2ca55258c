#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the engine.
# Safe to run again: with everything present it changes nothing.
# Extra groups, each for the commands that need it alone:
#   browser  Chromium, for the live demo's browser test and for live.sh
#   fit      torch, for tools/fit_lips.py (refitting the demo's lip models;
#            the build reads the committed weights and needs no torch)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES=(
  build-essential g++ clang libclang-rt-dev cmake ninja-build ccache pkg-config git
  libhwy-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libswresample-dev
  libstb-dev libgtest-dev libgmock-dev libbenchmark-dev ffmpeg
  libfftw3-dev
  python3 python3-onnx python3-numpy python3-pil python3-skimage
  ca-certificates espeak-ng libespeak-ng1 python3-scipy festival festvox-kallpc16k
  libboost-dev nlohmann-json3-dev
)
for group in "$@"; do
  case $group in
    browser) PACKAGES+=(chromium) ;;
    fit) PACKAGES+=(python3-torch) ;;
    *) echo "setup: unknown package group '$group' (known: browser, fit)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm fetches the ONNX Runtime library; a machine may already have Node.js
# from elsewhere, whose npm conflicts with Debian's package.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "setup: Debian packages present"
fi

# ONNX Runtime: the system's when it has one, otherwise the pinned local prefix.
if pkg-config --exists libonnxruntime 2>/dev/null || [[ -f /usr/lib/$(gcc -dumpmachine)/cmake/onnxruntime/onnxruntimeConfig.cmake ]]; then
  echo "setup: using the system's ONNX Runtime"
else
  bash "$ROOT/scripts/install_onnxruntime.sh" "${ONNXRUNTIME_ROOT:-$ROOT/.deps/onnxruntime-1.21.0}"
fi
