#!/usr/bin/env bash
# Checks the built updater image as old Windows will see it:
#   - at most 65536 bytes;
#   - PE subsystem version 4.0 (Windows 95 and NT 4 refuse higher ones);
#   - imports only functions on the allow-list (what Windows 95 and NT 4
#     both export), from the seven libraries it may use;
#   - no CMOV instruction (486 and Pentium processors lack it).
# Usage: check-image.sh IMAGE ALLOWED-IMPORTS
set -u
image=$1 allowed=$2
objdump=i686-w64-mingw32-objdump
failed=0

size=$(stat -c %s "$image")
echo "image size: $size of 65536 bytes"
[ "$size" -le 65536 ] || { echo "FAIL: the image is larger than 65536 bytes"; failed=1; }

headers=$($objdump -p "$image")
major=$(awk '/^MajorSubsystemVersion/ {print $2}' <<<"$headers")
minor=$(awk '/^MinorSubsystemVersion/ {print $2}' <<<"$headers")
[ "$major.$minor" = "4.0" ] || { echo "FAIL: subsystem version $major.$minor, want 4.0"; failed=1; }

# The import table: "DLL Name: X" starts a library, each following
# "<tab>vma<tab>hint name" line names one of its functions.
imports=$(awk '
    /DLL Name:/ { dll = tolower($3); sub(/\.dll$/, "", dll); next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }
' <<<"$headers" | sort -u)
count=$(wc -l <<<"$imports")
echo "imports: $count functions"
[ -n "$imports" ] || { echo "FAIL: no imports found (objdump output changed?)"; failed=1; }
while read -r dll function; do
    [ -n "$dll" ] || continue
    if ! grep -qx "$dll $function" "$allowed"; then
        echo "FAIL: $dll $function is not on the allow-list"
        failed=1
    fi
done <<<"$imports"

cmovs=$($objdump -d "$image" | grep -cE '\scmov[a-z]+\s' || true)
[ "$cmovs" -eq 0 ] || { echo "FAIL: $cmovs CMOV instructions"; failed=1; }

[ $failed -eq 0 ] && echo "image checks passed"
exit $failed
