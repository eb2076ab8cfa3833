#!/usr/bin/env bash
# The demo: Sample 1 and 2 brought up to Sample 3.
#   1. lays out the three versions under build/demo, each with its program
#      built with mingw-w64 (a version resource of its own);
#   2. builds the update with `zorvat build` and prints the report;
#   3. applies it with `zorvat apply` to fresh copies of the version 1 and
#      version 2 installations, whose settings carry a user's own serial
#      number, and shows that each ends identical to version 3 but for that
#      number, which the update carried over.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
demo=$root/build/demo
source_dir=$root/examples/demo
zorvat=$root/build/bin/zorvat

rm -rf "$demo"
mkdir -p "$demo"
cp "$source_dir/project.toml" "$demo/"
for major in 1 2 3; do
    version=$demo/v$major
    cp -r "$source_dir/v$major" "$version"
    i686-w64-mingw32-windres -DSAMPLE_MAJOR=$major "$source_dir/src/sample.rc" -O coff -o "$demo/sample$major.res"
    i686-w64-mingw32-gcc -Os -s -DSAMPLE_MAJOR=$major "$source_dir/src/sample.c" "$demo/sample$major.res" \
        -o "$version/sample.exe"
    touch -d "2026-0$major-01 12:00:00" "$version"/*
done

echo "== zorvat build examples/demo/project.toml"
"$zorvat" build "$demo/project.toml"
echo

status=0
for major in 1 2; do
    installed=$demo/installed-v$major
    cp -r "$demo/v$major" "$installed"
    # The user's own serial number, which the update must keep.
    sed -i "s/SERIAL=0000-0000-0000-0000/SERIAL=USER-000$major-ABCD-EFGH/" "$installed/settings.dat"
    echo "== zorvat apply sample-update.exe installed-v$major"
    "$zorvat" apply "$demo/sample-update.exe" "$installed"
    for file in "$demo/v3"/*; do
        name=$(basename "$file")
        if [ "$name" = settings.dat ]; then
            expected=$(sed "s/SERIAL=0000-0000-0000-0000/SERIAL=USER-000$major-ABCD-EFGH/" "$file")
            if [ "$expected" = "$(cat "$installed/$name")" ]; then
                echo "   $name: version 3, with the user's serial number kept"
            else
                echo "   $name: DIFFERS"; status=1
            fi
        elif cmp -s "$file" "$installed/$name"; then
            echo "   $name: identical to version 3"
        else
            echo "   $name: DIFFERS"; status=1
        fi
    done
    if [ -e "$installed/oldnotes.txt" ]; then echo "   oldnotes.txt: still there"; status=1; else echo "   oldnotes.txt: removed"; fi
    echo
done
[ $status -eq 0 ] && echo "Both installations are now Sample 3." || echo "The demo found differences."
exit $status
