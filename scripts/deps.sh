#!/usr/bin/env bash
# Installs what the two builds and the tests need on a fresh Debian 12 machine,
# and the packages named as arguments.
# Idempotent and quiet: does nothing when every package is already present.
set -euo pipefail

packages=(
  cmake make g++ googletest libgtest-dev libbenchmark-dev
  libdeflate-dev zlib1g-dev gzip
  libdivsufsort-dev libtomlplusplus-dev xdelta3 bsdiff zstd
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 xvfb xdotool xauth
)
# Further packages a caller needs (the patch benchmark: npm, time).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
