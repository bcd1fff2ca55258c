#!/usr/bin/env bash
# The live demo: sets up, builds the server, generates the demo avatar bundle
# with its directors and speech models, and serves it. Open the address it
# prints in a browser; Ctrl-C stops it. Extra arguments go to le_live
# (e.g. --port 9000, --max-sessions 1, --threads 2).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
PYTHON=${LE_PYTHON:-/usr/bin/python3}
LIVE_DIR=${LIVE_DIR:-$BUILD_DIR/live}
bash "$ROOT/scripts/setup.sh" browser
TARGETS=le_live bash "$ROOT/scripts/build.sh"

# Generated once; delete $LIVE_DIR to make them again.
if [[ ! -f "$LIVE_DIR/bundle/model_b24_fp32.onnx" ]]; then
  mkdir -p "$LIVE_DIR"
  "$PYTHON" "$ROOT/tools/make_bundle.py" --preset demo --out "$LIVE_DIR/bundle"
  # The per-frame director and the 24-frame chunk director of the pipeline.
  "$PYTHON" "$ROOT/tools/director_model.py" --bundle "$LIVE_DIR/bundle" --keys b1_fp32,b24_fp32:24
fi
if [[ ! -f "$LIVE_DIR/speech/audio_encoder_fp32.onnx" ]]; then
  "$PYTHON" "$ROOT/tools/speech_models.py" --out "$LIVE_DIR/speech"
fi
exec "$BUILD_DIR/live/le_live" "$LIVE_DIR/bundle" --speech-encoder "$LIVE_DIR/speech/audio_encoder_fp32.onnx" "$@"
