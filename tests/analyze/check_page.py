#!/usr/bin/env python3
"""The analyser's manual page renders without warnings, names every option of
`sonvel-analyze --help` in its synopsis and options with the same defaults."""
import re
import subprocess
import sys

program, page = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


groff = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
check(groff.returncode == 0 and groff.stderr == "", "groff warnings: " + groff.stderr)

helptext = subprocess.run([program, "--help"], capture_output=True, text=True).stdout
options = {}  # option -> default or None
for line in helptext.splitlines():
    m = re.match(r"\t(-\w|--[\w-]+)(?:, (--[\w-]+))?(?: <[^>]*>| \S+)?\t: (.*)$", line)
    if m:
        d = re.search(r"(-?\d+) by default", m.group(3))
        options[m.group(1)] = d.group(1) if d else None
check(len(options) == 18, "options in --help: %s" % sorted(options))

text = open(page).read()
section = text[text.index(".SH OPTIONS"):text.index(".SH EXIT STATUS")]
synopsis = text[text.index(".SH SYNOPSIS"):text.index(".SH DESCRIPTION")]
for option, default in options.items():
    roff = option.replace("-", "\\-")
    check(roff in synopsis, "%s missing from the synopsis" % option)
    m = re.search(r"^\.(?:BI?|BR) " + re.escape(roff) + r"(?![\w\\-])[^\n]*\n(.*?)(?=^\.TP|\Z)", section, re.M | re.S)
    check(m is not None, "%s missing from the options" % option)
    if m and default is not None:
        documented = re.search(r"Default: (\\?-?\d+)\.", m.group(1))
        value = documented.group(1).replace("\\-", "-") if documented else None
        check(value == default, "%s: default %s in --help, %s in the page" % (option, default, value))

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
