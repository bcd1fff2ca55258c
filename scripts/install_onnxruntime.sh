#!/usr/bin/env bash
# Installs the official ONNX Runtime 1.21.0 CPU build into a local prefix:
# the shared library from the onnxruntime-node npm package and the C/C++
# headers from the next Debian suite's libonnxruntime-dev package (only
# unpacked; the system's apt sources are left untouched). Both artifacts are
# pinned by checksum. Safe to run again: a complete prefix is left as it is.
# ARCH (second argument, or ORT_ARCH) picks another machine's build, e.g.
# arm64 for a cross build; by default the running machine's.
set -euo pipefail

PREFIX=${1:?usage: install_onnxruntime.sh PREFIX [x86_64|aarch64]}
ARCH=${2:-${ORT_ARCH:-$(uname -m)}}
ORT_VERSION=1.21.0
NPM_TGZ_SHA256=c711a4048a8b460a70de25a5008b1628e3773878ef9deec1dd4a4ccab46de01a
DEB_SUITE=trixie
DEB_VERSION=1.21.0+dfsg-1
declare -A DEB_SHA256=(
  [amd64]=14f7d959d5deacbcf1504830d4189f91fc67382b399ed9ae9d3aa9c4050ced08
  [arm64]=d4b1967893865756c0fa8536be165259a8eb0e9068e60d322ba707ef4527e44e
)

# The npm tarball holds every architecture's library: one checksum for all.
case "$ARCH" in
  x86_64|amd64|x64) NODE_ARCH=x64; DEB_ARCH=amd64 ;;
  aarch64|arm64) NODE_ARCH=arm64; DEB_ARCH=arm64 ;;
  *) echo "onnxruntime: no prebuilt library for $ARCH" >&2; exit 1 ;;
esac

STAMP="$PREFIX/.installed-$ORT_VERSION-$DEB_ARCH"
if [[ -f "$STAMP" && -f "$PREFIX/include/onnxruntime_cxx_api.h" && -f "$PREFIX/lib/libonnxruntime.so.$ORT_VERSION" ]]; then
  echo "onnxruntime $ORT_VERSION already in $PREFIX"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

verify() {  # file sha256
  local got
  got=$(sha256sum "$1" | cut -d' ' -f1)
  if [[ "$got" != "$2" ]]; then
    echo "onnxruntime: checksum mismatch for $(basename "$1"): got $got, expected $2" >&2
    exit 1
  fi
}

echo "onnxruntime: fetching the npm build of $ORT_VERSION"
(cd "$work" && npm pack --silent "onnxruntime-node@$ORT_VERSION" >/dev/null)
verify "$work/onnxruntime-node-$ORT_VERSION.tgz" "$NPM_TGZ_SHA256"
tar -xzf "$work/onnxruntime-node-$ORT_VERSION.tgz" -C "$work" \
  "package/bin/napi-v3/linux/$NODE_ARCH/libonnxruntime.so.$ORT_VERSION"

echo "onnxruntime: fetching headers from $DEB_SUITE's libonnxruntime-dev $DEB_VERSION"
# The mirror is the system's own first Debian source.
mirror=""
if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
  mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
if [[ -z "$mirror" && -f /etc/apt/sources.list ]]; then
  mirror=$(awk '$1=="deb"{for(i=2;i<=NF;i++) if($i ~ /^[a-z]+:\/\//){print $i; exit}}' /etc/apt/sources.list)
fi
[[ -n "$mirror" ]] || { echo "onnxruntime: no Debian mirror found in the apt configuration" >&2; exit 1; }
apt_dir="$work/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb [arch=$DEB_ARCH signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $DEB_SUITE main" \
  > "$apt_dir/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o "APT::Architecture=$DEB_ARCH" -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1")
apt-get "${apt_opts[@]}" -qq update
(cd "$work" && apt-get "${apt_opts[@]}" -qq download "libonnxruntime-dev:$DEB_ARCH=$DEB_VERSION")
deb="$work/libonnxruntime-dev_${DEB_VERSION}_${DEB_ARCH}.deb"
verify "$deb" "${DEB_SHA256[$DEB_ARCH]}"
dpkg-deb -x "$deb" "$work/deb"

rm -rf "$PREFIX.tmp"
mkdir -p "$PREFIX.tmp/include" "$PREFIX.tmp/lib"
cp -r "$work/deb/usr/include/onnxruntime/." "$PREFIX.tmp/include/"
cp "$work/package/bin/napi-v3/linux/$NODE_ARCH/libonnxruntime.so.$ORT_VERSION" "$PREFIX.tmp/lib/"
ln -s "libonnxruntime.so.$ORT_VERSION" "$PREFIX.tmp/lib/libonnxruntime.so.1"
ln -s "libonnxruntime.so.1" "$PREFIX.tmp/lib/libonnxruntime.so"
touch "$PREFIX.tmp/.installed-$ORT_VERSION-$DEB_ARCH"
rm -rf "$PREFIX"
mkdir -p "$(dirname "$PREFIX")"
mv "$PREFIX.tmp" "$PREFIX"
echo "onnxruntime $ORT_VERSION installed in $PREFIX"
