#!/usr/bin/env bash
# Runs the Win32 tests under Wine: a fresh prefix from the template, one
# server kept alive for the whole suite (programs then start in tens of
# milliseconds), Wine's services started before CTest so that no test waits
# for them, and the server ended afterwards whatever the outcome.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/wine-prefix.sh" || exit 1
source "$root/scripts/wine-env.sh"
wineserver -p
trap 'wineserver -k 2>/dev/null' EXIT
wine wineboot </dev/null >/dev/null 2>&1
ctest --test-dir "$root/build/win32" --output-on-failure "$@"
