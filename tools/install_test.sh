#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a tiny outside C host
# against it twice, through find_package(facecore) and through pkg-config,
# then runs both. With "deb", the install is the Debian package that
# `cpack -G DEB` makes, unpacked with `dpkg -x` into a scratch root, and the
# tools it carries must run from there.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR [deb]
set -euo pipefail
BUILD=$1
SRC=$2
MODE=${3:-install}
# A cross build (see tools/CMakeLists.txt) names its emulator, compiler,
# toolchain file and pkg-config directory: the consumers are built for the
# build's machine and everything built runs behind the emulator.
read -r -a RUN <<< "${LE_TEST_EMULATOR:-}"
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/facecore-install.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT

if [[ $MODE == deb ]]; then
  (cd "$SCRATCH" && cpack -G DEB -B "$SCRATCH/deb" --config "$BUILD/CPackConfig.cmake" > "$SCRATCH/cpack.log") \
    || { cat "$SCRATCH/cpack.log" >&2; exit 1; }
  DEB=$(ls "$SCRATCH"/deb/*.deb)
  dpkg-deb --field "$DEB" Package Version Depends
  dpkg -x "$DEB" "$SCRATCH/root"
  PREFIX=$SCRATCH/root/usr
  # The runtime comes with the package, in its private directory.
  find "$PREFIX" -path '*/facecore/libonnxruntime.so.*' | grep -q . \
    || { echo "install_test: the package carries no ONNX Runtime" >&2; exit 1; }
  for tool in le_info le_render le_speak le_bundle le_live; do
    [[ -x $PREFIX/bin/$tool ]] || { echo "install_test: the package carries no $tool" >&2; exit 1; }
    "${RUN[@]}" "$PREFIX/bin/$tool" --version > /dev/null || { echo "install_test: $tool does not run from the package" >&2; exit 1; }
  done
  "${RUN[@]}" "$PREFIX/bin/le_info"
else
  PREFIX=$SCRATCH/prefix
  cmake --install "$BUILD" --prefix "$PREFIX" > "$SCRATCH/install.log"
fi
for f in include/le/le.h include/le/le_a2x.h include/lightbackend.h; do
  [[ -f $PREFIX/$f ]] || { echo "install_test: $f was not installed" >&2; exit 1; }
done
LIBDIR=$(dirname "$(find "$PREFIX" -name 'libfacecore.so' | head -1)")
[[ -f $LIBDIR/libfacecore.so ]] || { echo "install_test: libfacecore.so was not installed" >&2; exit 1; }
[[ -f $LIBDIR/liblightbackend.so ]] || { echo "install_test: liblightbackend.so was not installed" >&2; exit 1; }

# The CMake package, with the build's own compilers.
cmake -S "$SRC" -B "$SCRATCH/cmake-build" -DCMAKE_PREFIX_PATH="$PREFIX" \
  ${LE_TOOLCHAIN_FILE:+-DCMAKE_TOOLCHAIN_FILE="$LE_TOOLCHAIN_FILE"} > "$SCRATCH/configure.log" \
  || { cat "$SCRATCH/configure.log" >&2; exit 1; }
cmake --build "$SCRATCH/cmake-build" > "$SCRATCH/build.log" || { cat "$SCRATCH/build.log" >&2; exit 1; }
"${RUN[@]}" "$SCRATCH/cmake-build/consumer" "$LIBDIR/liblightbackend.so"

# pkg-config, as a Makefile or a one-line compile would use it.
export PKG_CONFIG_PATH=$LIBDIR/pkgconfig
[[ -n ${LE_PKG_CONFIG_LIBDIR:-} ]] && export PKG_CONFIG_LIBDIR=$LE_PKG_CONFIG_LIBDIR
${CC:-cc} "$SRC/consumer.c" -o "$SCRATCH/consumer-pc" $(pkg-config --cflags --libs facecore) -ldl \
  -Wl,-rpath,"$(pkg-config --variable=libdir facecore)"
"${RUN[@]}" "$SCRATCH/consumer-pc"
echo "install_test: both consumers built and ran against $PREFIX"
