#!/usr/bin/env python3
"""A program's manual page renders without warnings, names every option of the
program's --help in its synopsis and describes it with the same default, and carries
the version, so that the page and the program cannot drift apart.

usage: check_manpage.py PROGRAM PAGE VERSION"""
import os
import re
import subprocess
import sys

program, page, version = sys.argv[1], sys.argv[2], sys.argv[3]
name = os.path.basename(program)
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


groff = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
check(groff.returncode == 0 and groff.stderr == "", "groff warnings: " + groff.stderr)

# The help's rows: "  -x, --name ARG   text", "      --name ARG   text" or "  -x   text",
# their text going on in lines indented to the text column.
helptext = subprocess.run([program, "--help"], capture_output=True, text=True).stdout
options = {}  # the option as the page must name it -> its default, or None
current = None
for line in helptext.splitlines():
    row = re.match(r"  (?:-(\w))?(?:, )?(?: {4})?(?:--([\w-]+))?(?: (\S+))?(?: {2,}(.*))?$", line)
    if line.startswith("  -") or line.startswith("      --"):
        letter, long_name, text = row.group(1), row.group(2), row.group(4) or ""
        current = "--" + long_name if long_name else "-" + letter
        options[current] = text
    elif current and line.startswith(" " * 30):
        options[current] += " " + line.strip()
    else:
        current = None
check(len(options) >= 10, "options in --help: %s" % sorted(options))

text = open(page).read()
synopsis = text[text.index(".SH SYNOPSIS"):text.index(".SH DESCRIPTION")]
body = text[text.index(".SH DESCRIPTION"):]
for option, help_line in options.items():
    roff = option.replace("-", "\\-")
    check(re.search(re.escape(roff) + r"(?![\w\\])", synopsis), "%s missing from the synopsis" % option)
    # The entry: a macro line that names the option, and its paragraph up to the next.
    entry = re.search(r"^\.TP\n\.(?:B|BI|BR)\b[^\n]*" + re.escape(roff) + r"(?![\w\\])[^\n]*\n(.*?)(?=^\.TP|^\.SH|\Z)",
                      body, re.M | re.S)
    check(entry is not None, "%s has no entry in the page" % option)
    # Its default: "Default: X." as --help gives it, or said in words ("the default");
    # entries that share the paragraph of the next are left to it.
    default = re.search(r", (\S+) by default$", help_line)
    paragraph = entry.group(1) if entry else ""
    if default and re.search(r"^[^.]", paragraph, re.M):
        documented = re.search(r"Default: (\S+?)\.?\s*$", paragraph, re.M)
        value = documented.group(1).replace("\\-", "-") if documented else None
        several = re.search(r"Defaults: ([^\n]*)", paragraph)
        in_words = "the default" in paragraph or (several and default.group(1) in re.findall(r"[\w-]+", several.group(1)))
        check(value == default.group(1) or (value is None and in_words),
              "%s: default %s in --help, %s in the page" % (option, default.group(1), value))
check('"sonvel %s"' % version in text, "the version in the title line")

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
