#!/usr/bin/env bash
# Builds the program twice, from copies of the source tree in two different folders,
# with the same SOURCE_DATE_EPOCH, and checks that the two binaries are identical.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 1700000000)}
for copy in first second/deeper/folder; do
  mkdir -p "$work/$copy/src"
  tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$work/$copy/src"
  cmake -S "$work/$copy/src" -B "$work/$copy/out" -DSONVEL_TESTS=OFF >/dev/null
  cmake --build "$work/$copy/out" --target sonvel -j2 >/dev/null
done
a=$(sha256sum <"$work/first/out/sonvel")
b=$(sha256sum <"$work/second/deeper/folder/out/sonvel")
echo "first:  $a"
echo "second: $b"
if [ "$a" = "$b" ]; then
  echo "reproducible: the two programs are identical"
else
  echo "FAIL: reproducible: the two programs differ"
  exit 1
fi
