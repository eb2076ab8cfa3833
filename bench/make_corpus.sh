#!/usr/bin/env bash
# Makes the benchmark corpus from files this machine already has, once: a
# later run finds the stamp and does nothing. The corpus is not tracked; it
# lives in the directory given (make bench: build/bench-corpus).
#
# Files, each cut to an exact size from a name-sorted (LC_ALL=C) file list so
# that the same machine always makes the same bytes:
#   pe-dll-small      one Windows DLL of 150-400 KB (Wine's i386 PE DLLs)
#   pe-dlls           16 MiB of Windows DLLs, concatenated
#   elf-bins          8 MiB of Linux executables from /usr/bin
#   text-licenses     the texts under /usr/share/common-licenses (~250 KB)
#   text-cxx-headers  8 MiB of the C++ library headers
#   compressed        4 MiB of .gz files from /usr/share/doc and PNG images
#   mixed             50 MiB: 1 MiB pieces of PE, ELF, text and compressed
#                     data in turn, from other files than the above
# Usage: bench/make_corpus.sh DIR
set -eu   # no pipefail: collect stops reading its list early, by design
export LC_ALL=C

dir=${1:?usage: make_corpus.sh DIR}
stamp_text="zorvat bench corpus 1"
if [ -f "$dir/.stamp" ] && [ "$(cat "$dir/.stamp")" = "$stamp_text" ]; then exit 0; fi

MiB=$((1024 * 1024))
work=$(mktemp -d "${TMPDIR:-/tmp}/zorvat-corpus.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Windows DLLs: the 32-bit PE builds that Wine ships.
pe_dir=""
for candidate in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows \
                 /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows; do
  if [ -d "$candidate" ]; then pe_dir=$candidate; break; fi
done
[ -n "$pe_dir" ] || { echo "make_corpus: no Wine PE DLLs found (install wine)" >&2; exit 1; }

# is_pe FILE / is_elf FILE: the file starts with that format's magic.
is_pe() { [ "$(head -c 2 "$1" 2>/dev/null)" = "MZ" ]; }
is_elf() { [ "$(head -c 4 "$1" 2>/dev/null | tail -c 3)" = "ELF" ]; }

# collect OUT LIMIT FILTER: concatenates the files named on stdin that pass
# FILTER (a function, or "true") until OUT holds LIMIT bytes, then cuts it
# there. Fails when the files run out first.
collect() {
  local out=$1 limit=$2 filter=$3 total=0 file size
  : >"$out"
  while IFS= read -r file; do
    [ -f "$file" ] && [ ! -L "$file" ] || continue
    "$filter" "$file" || continue
    cat "$file" >>"$out"
    size=$(stat -c %s "$file")
    total=$((total + size))
    [ "$total" -lt "$limit" ] || break
  done
  if [ "$total" -lt "$limit" ]; then
    echo "make_corpus: only $total of $limit bytes for $(basename "$out")" >&2
    exit 1
  fi
  truncate -s "$limit" "$out"
}

pe_list() { find "$pe_dir" -maxdepth 1 -type f -name '*.dll' | sort "$@"; }
elf_list() { find /usr/bin -maxdepth 1 -type f | sort "$@"; }
so_list() { find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' | sort "$@"; }
gz_list() {
  { find /usr/share/doc -type f -name '*.gz'; find /usr/share -type f -name '*.png' -size +8k; } | sort "$@"
}

mkdir -p "$work/out"
small=$(find "$pe_dir" -maxdepth 1 -type f -name '*.dll' -size +150k -size -400k | sort | head -n 1)
[ -n "$small" ] || { echo "make_corpus: no DLL of 150-400 KB in $pe_dir" >&2; exit 1; }
cp "$small" "$work/out/pe-dll-small"

pe_list | collect "$work/out/pe-dlls" $((16 * MiB)) is_pe
elf_list | collect "$work/out/elf-bins" $((8 * MiB)) is_elf
find /usr/share/common-licenses -type f | sort | collect "$work/out/text-licenses" 200000 true
find /usr/include/c++ -type f | sort | collect "$work/out/text-cxx-headers" $((8 * MiB)) true
gz_list | collect "$work/out/compressed" $((4 * MiB)) true

# The mixed file: its pools come from the lists' other end (reverse order),
# so that it repeats little of the files above.
pe_list -r | collect "$work/pool-pe" $((20 * MiB)) is_pe
so_list -r | collect "$work/pool-elf" $((12 * MiB)) is_elf
find /usr/include -type f -name '*.h' -not -path '/usr/include/c++/*' | sort -r |
  collect "$work/pool-text" $((12 * MiB)) true
gz_list -r | collect "$work/pool-compressed" $((6 * MiB)) true
: >"$work/out/mixed"
for ((piece = 0; piece < 20; ++piece)); do
  for pool in pe elf text compressed; do
    dd if="$work/pool-$pool" bs=$MiB skip=$piece count=1 status=none >>"$work/out/mixed"
  done
done

mkdir -p "$dir"
rm -rf "$dir/.stamp" "$dir/.cache"
for file in "$work"/out/*; do mv -f "$file" "$dir/"; done
echo "$stamp_text" >"$dir/.stamp"
echo "bench corpus in $dir:"
ls -lS "$dir" | awk 'NR > 1 { printf "  %-18s %10d bytes\n", $NF, $5 }'
