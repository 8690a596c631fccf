#!/usr/bin/env bash
# The README's first command where GoogleTest is missing: configuring still works with
# a note on the tests, and the program alone is built and makes the main job's file.
set -u
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
if ! cmake -S "$source" -B build -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >configure.log 2>&1; then
  cat configure.log; echo "FAIL: first command"; exit 1
fi
grep -q "GoogleTest not found: the tests are left out" configure.log || { echo "no note on the tests"; exit 1; }
cmake --build build -j2 --target sonvel >build.log 2>&1 || { cat build.log; exit 1; }
if ./build/sonvel -f "$source/examples/chord.txt" chord.wav 2>/dev/null &&
  test "$(stat -c %s chord.wav)" = 12044 && test ! -e build/tests; then
  echo "first command: the program alone is built and runs"
else
  echo "FAIL: first command"; exit 1
fi
