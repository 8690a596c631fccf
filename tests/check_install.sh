#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the Debian package, runs
# lintian on it where lintian is installed, unpacks it into a temporary root, and runs
# both programs on an example.
set -u
build=$1 version=$2
. "$(dirname "$0")/checks.sh"

check "install" "cmake --install '$build' --prefix '$work/prefix'"
check "installed program runs an example" \
  "'$work/prefix/bin/sonvel' -f '$work/prefix/share/doc/sonvel/examples/chord.txt' '$work/a.wav' && test \$(stat -c %s '$work/a.wav') = 12044"
check "installed manual page" "test -s '$work/prefix/share/man/man1/sonvel.1.gz'"
if command -v man >/dev/null; then
  check "man -l shows the page" "MANWIDTH=80 man -l '$work/prefix/share/man/man1/sonvel.1.gz' | grep -q 'sonvel - make a multi-tone test signal'"
fi

check "cpack builds a Debian package" "(cd '$build' && cpack -G DEB -B '$work/package')"
deb=$(ls "$work"/package/*.deb 2>/dev/null | head -1)
check "package holds the program, the page and the examples" \
  "dpkg-deb -c '$deb' | grep -q './usr/bin/sonvel' && dpkg-deb -c '$deb' | grep -q 'man1/sonvel.1.gz' && dpkg-deb -c '$deb' | grep -q 'examples/multisine.txt'"
if [ -x "$build/sonvel-design" ]; then
  check "package holds the designer and its page" \
    "dpkg-deb -c '$deb' | grep -q './usr/bin/sonvel-design' && dpkg-deb -c '$deb' | grep -q 'man1/sonvel-design.1.gz'"
fi
if [ -x "$build/sonvel-analyze" ]; then
  check "package holds the analyser and its page" \
    "dpkg-deb -c '$deb' | grep -q './usr/bin/sonvel-analyze' && dpkg-deb -c '$deb' | grep -q 'man1/sonvel-analyze.1.gz'"
  check "installed analyser reads back what the installed sonvel played" \
    "'$work/prefix/bin/sonvel' -f '$work/prefix/share/doc/sonvel/examples/tone.txt' '$work/t.wav' 2>/dev/null && '$work/prefix/bin/sonvel-analyze' -f '$work/prefix/share/doc/sonvel/examples/tone.txt' '$work/t.wav' | grep -q '^# delay: 0.000 samples'"
fi
check "package version" "test \"\$(dpkg-deb -f '$deb' Version)\" = '$version'"
if command -v lintian >/dev/null; then
  # Silent means no error and no warning; the one override is printed with -v only.
  check "lintian is silent" "test -z \"\$(lintian --allow-root '$deb' 2>&1 | grep -v 'running with root privileges')\""
else
  echo "lintian is not installed: package not checked (apt-get install lintian)"
fi
check "unpack" "dpkg-deb -x '$deb' '$work/root'"
check "unpacked program runs an example" \
  "'$work/root/usr/bin/sonvel' -s 48000 -f '$work/root/usr/share/doc/sonvel/examples/multisine.txt' '$work/b.wav' && test \$(stat -c %s '$work/b.wav') = 48044"
