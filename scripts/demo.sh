#!/usr/bin/env bash
# The main job: sets up, builds what it runs (the engine, the plug-in and the
# tools below; not the tests, benchmarks or fuzz targets), shows what this
# build of the engine is, then generates the demo avatar bundle (the
# astronaut, with its director and its speech models), has espeak-ng speak a
# sentence and renders the astronaut saying it through the real-time
# utterance pipeline, into an MP4 with H.264 video and AAC audio. Ends with
# how long each phase took.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
PYTHON=${LE_PYTHON:-/usr/bin/python3}
DEMO_DIR=${DEMO_DIR:-$BUILD_DIR/demo}
SENTENCE=${DEMO_SENTENCE:-"Hello! I am an astronaut, and this engine turns my voice into a moving face."}

phases=()
phase_start=$SECONDS
# Records the phase that just ended and starts the next one.
phase_done() {
  phases+=("$(printf '%-10s %4d s' "$1" $((SECONDS - phase_start)))")
  phase_start=$SECONDS
}

bash "$ROOT/scripts/setup.sh"
phase_done setup
TARGETS="facecore lightbackend le_info le_speak" bash "$ROOT/scripts/build.sh"
phase_done build
"$BUILD_DIR/tools/le_info"

mkdir -p "$DEMO_DIR"
"$PYTHON" "$ROOT/tools/make_bundle.py" --preset demo --out "$DEMO_DIR/bundle"
"$PYTHON" "$ROOT/tools/director_model.py" --bundle "$DEMO_DIR/bundle"
"$PYTHON" "$ROOT/tools/speech_models.py" --out "$DEMO_DIR/speech"
espeak-ng -v en -s 150 -w "$DEMO_DIR/sentence.wav" "$SENTENCE"
phase_done bundle

"$BUILD_DIR/tools/le_speak" "$DEMO_DIR/bundle" "$DEMO_DIR/demo.mp4" "$DEMO_DIR/sentence.wav" \
  --encoder "$DEMO_DIR/speech/audio_encoder_fp32.onnx" --telemetry "$DEMO_DIR/telemetry.json" \
  2> "$DEMO_DIR/le_speak.log" || { cat "$DEMO_DIR/le_speak.log" >&2; exit 1; }
tr '\r' '\n' < "$DEMO_DIR/le_speak.log" | grep '^\[le_speak\]' | tail -1
phase_done render
echo "demo video: $DEMO_DIR/demo.mp4"
echo "phases:"
printf '  %s\n' "${phases[@]}"
echo "  total      $(printf '%4d' "$SECONDS") s"
