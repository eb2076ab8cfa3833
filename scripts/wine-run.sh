#!/usr/bin/env bash
# CMake's cross-compiling emulator: runs a Win32 program under Wine in the
# test prefix (scripts/wine-tests.sh prepares it and keeps its server up).
source "$(dirname "$0")/wine-env.sh"
exec wine "$@"
