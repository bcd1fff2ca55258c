#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/scripts/setup.sh"
bash "$ROOT/scripts/build.sh"
cd "${BUILD_DIR:-$ROOT/build}"
ctest --output-on-failure -j "${JOBS:-$(nproc)}" "$@"
