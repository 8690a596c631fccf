#!/usr/bin/env python3
"""The manual page renders without warnings, and its options and defaults are those
that `sonvel -h` prints, so that the two cannot drift apart."""
import re
import subprocess
import sys

sonvel, page = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


groff = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
check(groff.returncode == 0 and groff.stderr == "", "groff warnings: " + groff.stderr)

helptext = subprocess.run([sonvel, "-h"], capture_output=True, text=True).stderr
summary = {}  # option letter -> default or None
for line in helptext.splitlines():
    m = re.match(r"\t-(\w)(?: <[^>]*>)?\t: (.*)$", line)
    if m:
        d = re.match(r"(-?\d+) by default$", m.group(2))
        summary[m.group(1)] = d.group(1) if d else None
check(len(summary) == 9, "options in -h: %s" % sorted(summary))

text = open(page).read()
options = text[text.index(".SH OPTIONS"):text.index(".SH", text.index(".SH OPTIONS") + 1)]
# Each option entry: ".TP", then ".B \-x" or ".BI \-x ...", then its paragraph.
entries = {}
for m in re.finditer(r"^\.TP\n\.BI? \\-(\w)[^\n]*\n(.*?)(?=^\.TP|\Z)", options, re.M | re.S):
    entries[m.group(1)] = m.group(2)
check(set(entries) == set(summary), "options in page %s, in -h %s" % (sorted(entries), sorted(summary)))
for letter, default in summary.items():
    body = entries.get(letter, "")
    documented = re.search(r"Default: (\\?-?\d+)\.", body)
    if default is None:
        check(documented is None, "-%s has no default in -h but one in the page" % letter)
    else:
        value = documented.group(1).replace("\\-", "-") if documented else None
        check(value == default, "-%s: default %s in -h, %s in the page" % (letter, default, value))
synopsis = text[text.index(".SH SYNOPSIS"):text.index(".SH DESCRIPTION")]
for letter in summary:
    check("\\-" + letter in synopsis, "-%s missing from the synopsis" % letter)

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
