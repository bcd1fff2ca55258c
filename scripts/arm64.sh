#!/usr/bin/env bash
# The 64-bit Arm check on an x86-64 Debian 12 machine: installs the cross
# toolchain, qemu-user and the arm64 libraries (multiarch), cross-builds the
# engine into build-arm64/, runs every test label under qemu-aarch64 at one
# SVE vector length and the kernel labels at several more, and compares the
# paste and teeth outputs with the native build's, byte for byte, at each
# length. One utterance of speech through the real-time pipeline is
# recorded stage by stage on both (speech features, keypoints, crops,
# pasted frames) and compared within the rounding that the machines' float
# kernels explain (tools/frame_tolerance.h), its idle frames byte for byte.
# Safe to run again; exits non-zero when anything failed.
#
# Every label at every length does not fit CI's hour on 2 cores (the whole
# suite under emulation takes most of it at one length); the hand-written
# kernels are what the vector length changes, so those labels run at all
# lengths.
#
# Settings (environment):
#   ARM64_LABELS         label regex run at ARM64_ALL_VL (empty: every test)
#   ARM64_ALL_VL         SVE length of the whole run, bits        (128)
#   ARM64_KERNEL_LABELS  label regex run at every ARM64_VLS  (foundation|paste|bundle|tessera)
#   ARM64_VLS            SVE vector lengths, bits                  (128 256 512)
#   ARM64_BUILD_DIR, NATIVE_BUILD_DIR        (build-arm64, build)
#   JOBS           compile and test jobs    (nproc)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ARM64_BUILD_DIR=${ARM64_BUILD_DIR:-$ROOT/build-arm64}
NATIVE_BUILD_DIR=${NATIVE_BUILD_DIR:-$ROOT/build}
ARM64_LABELS=${ARM64_LABELS:-}
ARM64_ALL_VL=${ARM64_ALL_VL:-128}
ARM64_KERNEL_LABELS=${ARM64_KERNEL_LABELS:-foundation|paste|bundle|tessera}
ARM64_VLS=${ARM64_VLS:-128 256 512}
JOBS=${JOBS:-$(nproc)}
ORT_ARM64=${ONNXRUNTIME_ROOT_ARM64:-$ROOT/.deps/onnxruntime-1.21.0-arm64}
SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO=sudo
stamp() { echo "arm64: $* ($(( $(date +%s) - t0 )) s)"; }
t0=$(date +%s)

# --- Host packages: the native build's, then the cross toolchain and qemu.
bash "$ROOT/scripts/setup.sh"

HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user)
ARM64_PACKAGES=(
  libhwy-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libswresample-dev
  libfftw3-dev libgtest-dev libgmock-dev libstb-dev libboost-dev
  libc6 libstdc++6  # the programs run on these under qemu
)
missing=()
for p in "${HOST_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
for p in "${ARM64_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p:arm64" 2>/dev/null | grep -q "install ok installed" || missing+=("$p:arm64")
done
if ((${#missing[@]})); then
  # The arm64 libraries come from the same Debian sources through multiarch.
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "arm64: adding the arm64 architecture to dpkg"
    $SUDO dpkg --add-architecture arm64
  fi
  echo "arm64: installing ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "arm64: cross toolchain, qemu-user and arm64 libraries present"
fi
bash "$ROOT/scripts/install_onnxruntime.sh" "$ORT_ARM64" arm64
stamp "dependencies ready"

# --- Cross build (benchmarks left out: they are timed on real machines).
cmake -S "$ROOT" -B "$ARM64_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" -DLE_WERROR=ON -DLE_BUILD_BENCH=OFF \
  -DONNXRUNTIME_ROOT="$ORT_ARM64" >/dev/null
cmake --build "$ARM64_BUILD_DIR" -j "$JOBS"
stamp "cross build done"

# --- The native digest program, in the native build (configured if absent).
if [[ ! -f "$NATIVE_BUILD_DIR/CMakeCache.txt" ]]; then
  cmake -S "$ROOT" -B "$NATIVE_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
    -DONNXRUNTIME_ROOT="${ONNXRUNTIME_ROOT:-$ROOT/.deps/onnxruntime-1.21.0}" >/dev/null
fi
cmake --build "$NATIVE_BUILD_DIR" -j "$JOBS" --target le_output_digest le_speech_frame_dump le_speech_frame_compare
# Both programs read the same generated head weights, bundle and speech.
(cd "$ARM64_BUILD_DIR" && ctest -R '^fixture_tessera_bundles$' --output-on-failure >/dev/null)
heads="$ARM64_BUILD_DIR/testdata/tessera/heads/ok.pt"
"$NATIVE_BUILD_DIR/tools/le_output_digest" "$heads" > "$ARM64_BUILD_DIR/digest-native.txt"
# The speech frames' bundle and speech: the native suite's when it left them
# (CI runs it first), else generated here.
has_speech_data() { [[ -f $1/tiny/model_b1_fp32.onnx && -f $1/speech/hello.wav && -f $1/speech/audio_encoder_fp32.onnx ]]; }
data="$NATIVE_BUILD_DIR/testdata"
if ! has_speech_data "$data"; then
  data="$ARM64_BUILD_DIR/testdata"
  has_speech_data "$data" || (cd "$ARM64_BUILD_DIR" &&
    ctest -R '^fixture_(tiny_bundle|director_tiny|speech_encoders|speech_clips)$' --output-on-failure >/dev/null)
fi
speech_args=("$data/tiny" "$data/speech/hello.wav" "$data/speech/audio_encoder_fp32.onnx")
if ! "$NATIVE_BUILD_DIR/tools/le_speech_frame_dump" "${speech_args[@]}" "$ARM64_BUILD_DIR/speech-native.bin" \
  2>"$ARM64_BUILD_DIR/speech-native.log"; then
  cat "$ARM64_BUILD_DIR/speech-native.log" >&2
  echo "arm64: the native build could not record the speech frames" >&2
  exit 1
fi

# --- Per vector length: the speech frames, the digests against the native
# ones, then the tests.
# sveN=on makes N bits the longest (and default) vector length of qemu's CPU.
# The programs use the multiarch C library, not the cross toolchain's copy.
unset QEMU_LD_PREFIX
summary=()
failed=0
vls=$ARM64_VLS
[[ " $vls " == *" $ARM64_ALL_VL "* ]] || vls="$ARM64_ALL_VL $vls"
# The speech frames at every length first: the tests' fixtures regenerate
# the bundle they read, without the director models that only some
# fixtures add.
declare -A speech_verdict
for vl in $vls; do
  export QEMU_CPU="max,sve$vl=on"
  # One utterance, stage by stage (speech-sveN.txt lists every check).
  speech=$ARM64_BUILD_DIR/speech-sve$vl
  speech_start=$(date +%s)
  if qemu-aarch64 "$ARM64_BUILD_DIR/tools/le_speech_frame_dump" "${speech_args[@]}" "$speech.bin" 2>"$speech.log" &&
     "$NATIVE_BUILD_DIR/tools/le_speech_frame_compare" "$ARM64_BUILD_DIR/speech-native.bin" "$speech.bin" \
       >"$speech.txt" 2>>"$speech.log"; then
    speech_verdict[$vl]="speech frames within tolerance ($(sed -n 's/^speech frames: //p' "$speech.txt" | cut -d';' -f2 | sed 's/^ //'), $(( $(date +%s) - speech_start )) s)"
  else
    grep -h '^FAIL' "$speech.txt" 2>/dev/null | head -20 >&2 || true
    tail -3 "$speech.log" >&2
    echo "arm64: the speech frame at SVE $vl bits is OUT OF TOLERANCE or was not recorded (above; $speech.txt)" >&2
    speech_verdict[$vl]="SPEECH FRAMES OUT OF TOLERANCE"
    failed=1
  fi
done
for vl in $vls; do
  export QEMU_CPU="max,sve$vl=on"
  out="$ARM64_BUILD_DIR/digest-sve$vl.txt"
  if ! qemu-aarch64 "$ARM64_BUILD_DIR/tools/le_output_digest" "$heads" >"$out" 2>"$out.log"; then
    cat "$out.log" >&2
    echo "arm64: le_output_digest failed at SVE $vl bits" >&2
    failed=1
  fi
  targets=$(sed -n 's/^targets: //p' "$out.log")
  if diff -u "$ARM64_BUILD_DIR/digest-native.txt" "$out"; then
    digest="digests equal"
  else
    echo "arm64: paste/teeth output at SVE $vl bits DIFFERS from the native build (above)" >&2
    digest="DIGESTS DIFFER"
    failed=1
  fi
  # The whole run at one length, the kernel labels at the others.
  if [[ $vl == "$ARM64_ALL_VL" ]]; then
    labels=$ARM64_LABELS
    select=()
    [[ -n $labels ]] && select=(-L "$labels")
  else
    labels=$ARM64_KERNEL_LABELS
    select=(-L "$labels")
  fi
  start=$(date +%s)
  if (cd "$ARM64_BUILD_DIR" && ctest "${select[@]}" -j "$JOBS" --output-on-failure); then
    tests="tests pass"
  else
    tests="TESTS FAIL"
    failed=1
  fi
  summary+=("SVE $vl bits: targets $targets; $digest; ${speech_verdict[$vl]}; $tests (labels ${labels:-all}, $(( $(date +%s) - start )) s)")
done

echo "arm64 summary:"
printf '  %s\n' "${summary[@]}"
stamp "done"
exit $failed
