#!/usr/bin/env bash
# Makes the Wine prefix template once per build tree, then a fresh test
# prefix from it. The template has the settings every test prefix needs:
#   - no window manager management (no 2 s wait at each window's end),
#   - no crash dialog (a crash ends with exit code 5),
#   - the null graphics driver (windows and dialogs without a screen).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wine_dir=$root/build/win32/wine
template=$wine_dir/template
prefix=$wine_dir/prefix
mkdir -p "$wine_dir"

if [ ! -f "$template/.ready" ]; then
    rm -rf "$template"
    (
        export WINEPREFIX=$template
        source "$root/scripts/wine-env.sh"
        wineboot -i >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
        wineserver -w
    )
    touch "$template/.ready"
fi

(export WINEPREFIX=$prefix; wineserver -k 2>/dev/null || true)
rm -rf "$prefix"
cp -a "$template" "$prefix"
