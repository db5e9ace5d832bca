#!/bin/bash
# Builds the same updates with two updatepkg programs and compares them byte
# for byte: a change that must not change what the tool writes (a refactor)
# is checked so. The trees: a 24 MB game-like tree with two programs, and
# two older releases of it (half their files changed in 20 bytes, a file
# each that the new one removes); the updates: whole (normal and max),
# patched from one release and from two (with and without whole files
# beside), and deflated (from one release, and from two with whole files
# beside); each with --threads 1 and 2.
#
# Usage: scripts/same_bytes.sh UPDATEPKG_BEFORE UPDATEPKG_AFTER WORK_DIR
set -e
before=$1 after=$2 work=$3
here=$(cd "$(dirname "$0")/.." && pwd)
trees=$work/trees
# The stub both builds carry, copied once: a rebuild meanwhile changes neither.
mkdir -p "$work"
stub=$work/stub
cp "$here/out/native/updater" "$stub"
if [ ! -d "$trees" ]; then
  python3 "$here/scripts/make_bench_tree.py" "$trees/new" 24 > /dev/null
  mkdir -p "$trees/new/bin"
  cp "$here/out/native/updater" "$trees/new/bin/updater"
  cp "$here/out/native/updatepkg" "$trees/new/bin/updatepkg"
  for release in r1 r2; do cp -a "$trees/new" "$trees/$release"; done
  python3 - "$trees" <<'PY'
import os, random, sys
trees = sys.argv[1]
for release, seed in (("r1", 1), ("r2", 2)):
    rng = random.Random(seed)
    for folder, _, files in sorted(os.walk(os.path.join(trees, release))):
        for name in sorted(files):
            path = os.path.join(folder, name)
            if rng.random() < 0.5:
                with open(path, "r+b") as f:
                    data = bytearray(f.read())
                    for _ in range(20):
                        if data:
                            data[rng.randrange(len(data))] ^= 0x55
                    f.seek(0)
                    f.write(data)
    with open(os.path.join(trees, release, f"gone-{release}.txt"), "w") as f:
        f.write("old")
PY
  find "$trees" -exec touch -h -d @1000000000 {} +
fi
build() {
  local tool=$1 out=$2 threads=$3
  mkdir -p "$out"
  "$tool" build "$trees/new" -o "$out/whole-$threads" --stub "$stub" --quiet --threads "$threads"
  "$tool" build "$trees/new" -o "$out/max-$threads" --stub "$stub" --quiet --threads "$threads" \
    --level max
  "$tool" build "$trees/new" -o "$out/delta-$threads" --stub "$stub" --quiet --threads "$threads" \
    --delta-from "$trees/r1"
  "$tool" build "$trees/new" -o "$out/series-$threads" --stub "$stub" --quiet \
    --threads "$threads" --delta-from "$trees/r1" --delta-from "$trees/r2=(1.1)"
  "$tool" build "$trees/new" -o "$out/fallback-$threads" --stub "$stub" --quiet \
    --threads "$threads" --delta-from "$trees/r1" --delta-from "$trees/r2" --whole-fallback
  "$tool" build "$trees/new" -o "$out/deflate-$threads" --stub "$stub" --quiet \
    --threads "$threads" --delta-from "$trees/r1" --compression deflate
  "$tool" build "$trees/new" -o "$out/deflate-fallback-$threads" --stub "$stub" --quiet \
    --threads "$threads" --delta-from "$trees/r1" --delta-from "$trees/r2" --whole-fallback \
    --compression deflate
}
differ=0
for threads in 1 2; do
  build "$before" "$work/before" "$threads"
  build "$after" "$work/after" "$threads"
done
for update in "$work"/before/*; do
  name=$(basename "$update")
  if cmp -s "$update" "$work/after/$name"; then
    echo "same      $name ($(stat -c %s "$update") bytes)"
  else
    echo "DIFFERENT $name"
    differ=1
  fi
done
exit $differ
