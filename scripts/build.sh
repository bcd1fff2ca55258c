#!/usr/bin/env bash
# Configures and builds into ${BUILD_DIR:-build}. Extra arguments go to cmake;
# ONNXRUNTIME_ROOT names where ONNX Runtime was installed, if not the default.
# TARGETS (space-separated CMake targets) builds only those; default all.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON
# setup.sh installs ONNX Runtime into $ONNXRUNTIME_ROOT when it is set; look there too.
ort=()
[[ -n "${ONNXRUNTIME_ROOT:-}" ]] && ort=(-DONNXRUNTIME_ROOT="$ONNXRUNTIME_ROOT")
cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DLE_WERROR=$werror "${ort[@]}" "$@"
targets=()
for t in ${TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$BUILD_DIR" -j "${JOBS:-$(nproc)}" "${targets[@]}"
