#!/usr/bin/env bash
# Sets up (with Chromium, for the browser test), builds and runs the whole
# test suite.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/scripts/setup.sh" browser
bash "$ROOT/scripts/build.sh"
cd "${BUILD_DIR:-$ROOT/build}"
ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@"
