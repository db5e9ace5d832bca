#!/usr/bin/env bash
# Whole-file updates against the field's archivers, on a tree of Windows
# programs, fonts and data taken from this machine's packages (Wine's
# 32-bit DLLs, the fonts, Wine's data; about 217 MB in 961 files):
# `updatepkg build` at each --level and deflated, against `7z a -mx=9` and
# `xz -9e -T1` of the tree's tar, with time and peak memory; then applying
# the default update natively against `tar -xJf; sync` of the tar by `xz -6`.
# Usage: scripts/bench_solid.sh UPDATEPKG UPDATER WORK
set -euo pipefail
updatepkg="$1" updater="$2" work="$3"
mkdir -p "$work/src/dlls" "$work/src/fonts" "$work/src/share"
dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
if [ ! -d "$dlls" ] || ! command -v 7z >/dev/null; then
  echo "(needs Wine's 32-bit DLLs and 7z: scripts/install-deps)"
  exit 0
fi
ls -S "$dlls" | sed -n 101,400p | while read -r f; do cp "$dlls/$f" "$work/src/dlls/"; done
cp -r /usr/share/fonts/. "$work/src/fonts/"
cp -r /usr/share/wine/. "$work/src/share/"
stub=$(stat -c %s "$updater")
echo "tree: $(du -sb "$work/src" | cut -f1) bytes in $(find "$work/src" -type f | wc -l) files"
measure() {  # NAME OUTPUT SUBTRACT COMMAND...: bytes, seconds, peak KiB
  local name="$1" out="$2" less="$3"
  shift 3
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1
  printf '%-22s %11d bytes %8s s %9s KiB\n' "$name" $(( $(stat -c %s "$out") - less )) \
    "$(cut -d' ' -f1 "$work/time")" "$(cut -d' ' -f2 "$work/time")"
}
for level in fast normal max; do
  measure "updatepkg --level $level" "$work/$level.bin" "$stub" \
    "$updatepkg" build "$work/src" -o "$work/$level.bin" --stub "$updater" --level "$level"
done
measure "updatepkg deflate" "$work/deflate.bin" "$stub" \
  "$updatepkg" build "$work/src" -o "$work/deflate.bin" --stub "$updater" --compression deflate
(cd "$work/src" && measure "7z a -mx=9" "$work/a.7z" 0 7z a -mx=9 "$work/a.7z" .)
tar -C "$work" -cf "$work/a.tar" src
measure "xz -9e -T1 (tar)" "$work/a.tar.xz" 0 xz -9e -T1 -k "$work/a.tar"
xz -6 -T1 -c "$work/a.tar" >"$work/a6.tar.xz"
for run in 1 2 3; do
  rm -rf "$work/game" "$work/x" && mkdir -p "$work/game" "$work/x" && touch "$work/game/tavro.exe"
  /usr/bin/time -f "%e %M" -o "$work/time" sh -c "cd '$work/game' && echo y | '$work/normal.bin' >/dev/null 2>&1"
  echo "apply normal: $(cut -d' ' -f1 "$work/time") s, $(cut -d' ' -f2 "$work/time") KiB peak"
  /usr/bin/time -f "%e %M" -o "$work/time" sh -c "tar -C '$work/x' -xJf '$work/a6.tar.xz' && sync"
  echo "tar -xJf (xz -6); sync: $(cut -d' ' -f1 "$work/time") s, $(cut -d' ' -f2 "$work/time") KiB peak"
done
diff -r "$work/src" "$work/game" --exclude tavro.exe >/dev/null && echo "applied: the tree, byte for byte"
