#!/usr/bin/env bash
# Patch sizes of `zorvat diff` against its peers, on real old/new pairs of
# files from npm package tarballs, all measured in the same run.
#
#   bench/patch-bench.sh [ZORVAT]      (make bench-patch builds and runs it)
#
# Tarballs are fetched once with `npm pack` into a cache outside the
# repository (ZORVAT_BENCH_CACHE, default ~/.cache/zorvat-bench) and checked
# against the sha256 pins below on every run; a tarball without a pin is
# reported with its sha256 so that the pin can be written here.
#
# Per pair: sizes of old and new; our patch item (both streams compressed as
# the builder writes them) and the time to make it; `xdelta3 -9 -B <old
# size>` (its -B is at least 524288), `bsdiff` and `zstd --ultra -22
# --long=27 --patch-from` patches and times; the whole new file compressed by
# `zorvat compress --level 12`; and the ratios of ours to each. Every patch
# of ours is applied again with `zorvat patch` and compared with the new
# file. Last, the geometric mean over the executable pairs of ours/zstd.
#
# Memory: the peak resident size of `zorvat diff` on the pair less its peak
# on two empty files (the program and its libraries), beside the differ's
# bound of 10 times the old file's size plus the new file's.
set -euo pipefail

zorvat=${1:-build/bin/zorvat}
cache=${ZORVAT_BENCH_CACHE:-$HOME/.cache/zorvat-bench}
for tool in npm xdelta3 bsdiff zstd /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "patch-bench: $tool is missing (make deps)" >&2; exit 1; }
done
[ -x "$zorvat" ] || { echo "patch-bench: $zorvat is not built" >&2; exit 1; }
zorvat=$(cd "$(dirname "$zorvat")" && pwd)/$(basename "$zorvat")

# package@version -> sha256 of its tarball.
declare -A pins=(
  [7zip-bin@4.1.0]=bac48c0a22cd634d3cced74da142c3215d696c836a617511866d429f61eb9ce2
  [7zip-bin@5.1.1]=bbb23b08abc09ebf5ecd2c0f0973e4b529524d29fb130be1f76997784c770db6
  [7zip-bin@5.2.0]=04f9738ee00be8be53f5d06254a9e6e4b5117b17f8b74058477d870e62764a7d
  [node-notifier@6.0.0]=fe3e03c098b9e9b162f7534cb230f863b51e3abe1db1fb941a7bd34b6471d3c2
  [node-notifier@7.0.0]=e3886eb6255d531845237c8300c7da3986b336829571005130046dfb695cdf46
  [@rollup/rollup-win32-ia32-msvc@4.22.4]=9812ea25f33031e248532d5a55f0cf3586eeddddc2d4984fe29a432e5aff3ce7
  [@rollup/rollup-win32-ia32-msvc@4.22.5]=7842570971f56df3d9e26ed6615cc24bfa7411fc7b8bc5095afb271f10710595
  [typescript@5.3.3]=e5335c28f1e86b747bcca820e8445f6f9421bc8ba16a9c3547064ead8fb81c56
  [typescript@5.4.2]=b4b5b42332259a8eae3e8262ab60e4b8f441b761cdd8f3c61c5bc6c1926bd08b
)

# name old-version new-version file-in-tarball kind (exe: an executable pair)
pairs=(
  "7zip-bin 4.1.0 5.1.1 win/ia32/7za.exe exe"
  "7zip-bin 5.1.1 5.2.0 win/ia32/7za.exe exe"
  "node-notifier 6.0.0 7.0.0 vendor/notifu/notifu.exe exe"
  "@rollup/rollup-win32-ia32-msvc 4.22.4 4.22.5 rollup.win32-ia32-msvc.node exe"
  "typescript 5.3.3 5.4.2 lib/tsc.js js"
)

mkdir -p "$cache"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Prints the path of the tarball of $1@$2, fetched and checked.
tarball() {
  local spec="$1@$2" file
  file="$cache/$(echo "$1" | sed 's|^@||; s|/|-|')-$2.tgz"
  if [ ! -f "$file" ]; then
    (cd "$cache" && npm pack "$spec" --silent >/dev/null 2>&1) || { echo "patch-bench: npm pack $spec failed" >&2; exit 1; }
  fi
  local sum
  sum=$(sha256sum "$file" | cut -d' ' -f1)
  if [ -z "${pins[$spec]:-}" ]; then
    echo "patch-bench: no pin for $spec; its sha256 is $sum" >&2
  elif [ "${pins[$spec]}" != "$sum" ]; then
    echo "patch-bench: $file does not match its pin (sha256 $sum); delete it to fetch again" >&2
    exit 1
  fi
  echo "$file"
}

extract() {   # tarball, path inside the package, output
  tar -xzf "$1" -O "package/$2" >"$3"
}

now() { date +%s.%N; }
size() { stat -c %s "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

: >"$work/empty"
/usr/bin/time -f %M -o "$work/rss" "$zorvat" diff "$work/empty" "$work/empty" "$work/ours" >/dev/null
base_kib=$(cat "$work/rss")

printf '%-40s %9s %9s | %9s %6s %6s %6s | %9s %6s | %9s %6s | %9s %6s | %9s | %7s %7s %7s %7s\n' \
  pair old new ours s MiB limit xdelta3 s bsdiff s zstd s whole ours/xd ours/bs ours/zs ours/wh
log_sum=0
exe_count=0
for pair in "${pairs[@]}"; do
  read -r name from to path kind <<<"$pair"
  old=$work/old new=$work/new
  extract "$(tarball "$name" "$from")" "$path" "$old"
  extract "$(tarball "$name" "$to")" "$path" "$new"

  t0=$(now); /usr/bin/time -f %M -o "$work/rss" "$zorvat" diff "$old" "$new" "$work/ours" >/dev/null; t1=$(now)
  mib=$(awk -v k="$(cat "$work/rss")" -v b="$base_kib" 'BEGIN { printf "%.1f", (k - b) / 1024 }')
  limit=$(awk -v o="$(size "$old")" -v n="$(size "$new")" 'BEGIN { printf "%.1f", (10 * o + n) / 1048576 }')
  "$zorvat" patch "$old" "$work/ours" "$work/check"
  cmp -s "$work/check" "$new" || { echo "patch-bench: our patch does not rebuild $name $to" >&2; exit 1; }
  block=$(size "$old"); [ "$block" -ge 524288 ] || block=524288
  t2=$(now); xdelta3 -f -9 -B "$block" -e -s "$old" "$new" "$work/xd"; t3=$(now)
  bsdiff "$old" "$new" "$work/bs"; t4=$(now)
  zstd -q -f --ultra -22 --long=27 --patch-from="$old" "$new" -o "$work/zs" 2>/dev/null; t5=$(now)
  "$zorvat" compress "$new" "$work/whole" --level 12 >/dev/null

  ours=$(size "$work/ours") xd=$(size "$work/xd") bs=$(size "$work/bs") zs=$(size "$work/zs")
  whole=$(size "$work/whole")
  printf '%-40s %9d %9d | %9d %6s %6s %6s | %9d %6s | %9d %6s | %9d %6s | %9d | %7s %7s %7s %7s\n' \
    "$name $from->$to" "$(size "$old")" "$(size "$new")" "$ours" "$(secs "$t0" "$t1")" "$mib" "$limit" \
    "$xd" "$(secs "$t2" "$t3")" "$bs" "$(secs "$t3" "$t4")" "$zs" "$(secs "$t4" "$t5")" "$whole" \
    "$(ratio "$ours" "$xd")" "$(ratio "$ours" "$bs")" "$(ratio "$ours" "$zs")" "$(ratio "$ours" "$whole")"
  if [ "$kind" = exe ]; then
    log_sum=$(awk -v s="$log_sum" -v a="$ours" -v b="$zs" 'BEGIN { printf "%.12f", s + log(a / b) }')
    exe_count=$((exe_count + 1))
  fi
done
awk -v s="$log_sum" -v n="$exe_count" \
  'BEGIN { printf "geometric mean of ours/zstd over %d executable pairs: %.3f\n", n, exp(s / n) }'
