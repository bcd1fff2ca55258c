#!/usr/bin/env bash
# The main job: sets up, builds, shows what this build of the engine is, then
# generates the demo avatar bundle (with its director) and renders it to a
# video: the astronaut's face driven by the bundle's keypoints and pasted back
# into the driving video.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
PYTHON=${LE_PYTHON:-/usr/bin/python3}
DEMO_DIR=${DEMO_DIR:-$BUILD_DIR/demo}
bash "$ROOT/scripts/setup.sh"
bash "$ROOT/scripts/build.sh"
"$BUILD_DIR/tools/le_info"

mkdir -p "$DEMO_DIR"
"$PYTHON" "$ROOT/tools/make_bundle.py" --preset demo --out "$DEMO_DIR/bundle"
"$PYTHON" "$ROOT/tools/director_model.py" --bundle "$DEMO_DIR/bundle"
# The bundle's own lip motion is small; --gain 4 makes the mouth visibly move.
"$BUILD_DIR/tools/le_render" "$DEMO_DIR/bundle" "$DEMO_DIR/demo.mp4" --gain 4 --loops 2 2> "$DEMO_DIR/le_render.log" \
  || { cat "$DEMO_DIR/le_render.log" >&2; exit 1; }
tr '\r' '\n' < "$DEMO_DIR/le_render.log" | grep '^\[le_render\]' | tail -1
echo "demo video: $DEMO_DIR/demo.mp4"
