#!/usr/bin/env bash
# Runs the Win32 tests under Wine: a fresh prefix from the template, one
# server kept alive for the whole suite (programs then start in tens of
# milliseconds), Wine's services started before CTest so that no test waits
# for them, and the server ended afterwards whatever the outcome.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/wine-prefix.sh" || exit 1
source "$root/scripts/wine-env.sh"

# A small drive S: (a 512 KiB tmpfs) for the disk-full tests; they skip
# themselves where the machine does not let us mount one.
small=$root/build/win32/wine/small
mkdir -p "$small"
if mountpoint -q "$small" || mount -t tmpfs -o size=512k tmpfs "$small" 2>/dev/null; then
    rm -rf "${small:?}"/*
    ln -sfn "$small" "$WINEPREFIX/dosdevices/s:"
fi

wineserver -p
trap 'wineserver -k 2>/dev/null; umount "$small" 2>/dev/null' EXIT
wine wineboot </dev/null >/dev/null 2>&1
ctest --test-dir "$root/build/win32" --output-on-failure "$@"
