#!/usr/bin/env bash
# Proves the fuzzing build: configures it with clang, libFuzzer, ASan and
# UBSan into ${BUILD_DIR:-build-fuzz}, builds only the fuzz targets
# (fuzz/<name>_fuzz.cc -> fuzz_<name>), and runs each over its seed corpus
# (fuzz/corpus/<name>, when there is one) and a short fixed-seed mutation
# pass. New inputs and crash files go to a scratch directory, never into the
# committed corpora. Extra arguments go to cmake.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build-fuzz}
RUNS=${FUZZ_RUNS:-500}

# Warnings are made errors by the main (GCC) build; here only what fails to
# build or to run counts.
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLE_WERROR=OFF -DLE_FUZZ=ON -DLE_SANITIZE=address,undefined -DLE_BUILD_BENCH=OFF "$@"
names=()
for src in "$ROOT"/fuzz/*_fuzz.cc; do
  names+=("$(basename "$src" _fuzz.cc)")
done
cmake --build "$BUILD_DIR" -j "${JOBS:-$(nproc)}" --target "${names[@]/#/fuzz_}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for name in "${names[@]}"; do
  corpus=()
  seeds=0
  if [[ -d "$ROOT/fuzz/corpus/$name" ]]; then
    corpus=("$ROOT/fuzz/corpus/$name")
    seeds=$(find "$ROOT/fuzz/corpus/$name" -type f | wc -l)
  fi
  mkdir -p "$scratch/$name"
  log="$scratch/$name.log"
  if "$BUILD_DIR/fuzz/fuzz_$name" -seed=1 -runs="$RUNS" -max_total_time=30 -artifact_prefix="$scratch/$name/" \
      "$scratch/$name" "${corpus[@]}" > "$log" 2>&1; then
    echo "fuzz_$name: $seeds seeds; $(tail -1 "$log")"
  else
    echo "fuzz_$name FAILED:"
    tail -40 "$log"
    failed=1
  fi
done
exit $failed
