#!/usr/bin/env bash
# The main job: sets up, builds, and shows what this build of the engine is.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
bash "$ROOT/scripts/setup.sh"
bash "$ROOT/scripts/build.sh"
"$BUILD_DIR/tools/le_info"
