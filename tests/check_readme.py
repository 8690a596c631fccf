#!/usr/bin/env python3
"""Runs the README's shell code blocks against the built programs, so that every
example runs as written.

A block fenced as ```sh runs as one bash script under `set -e -o pipefail`. A block
fenced as ```console holds commands after "$ " and the output each prints (standard
output and standard error together), which must match line for line. Blocks of other
kinds (```text) are not run. The blocks run in their order in one scratch folder that
holds a copy of examples/ and, in build/, links to the programs, so that the README's
./build/sonvel and examples/chord.txt resolve there and a block may use the files an
earlier one made. HOME and TMPDIR point into the scratch folder, which is removed at
the end: nothing is written anywhere else.

usage: check_readme.py README.md BUILD-FOLDER SOURCE-FOLDER
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

readme, build, source = sys.argv[1], sys.argv[2], sys.argv[3]
PROGRAMS = ["sonvel", "sonvel-design", "sonvel-analyze"]

# Blocks that name one of these words are not run, for the reason given.
SKIPPED = {
    "arecord": "it records from a sound card",
    "aplay": "it plays on a sound card",
    "sonvel-measure": "it plays and records through an audio server's wired ports",
    # Builds are left to the checks that own them: tests/check_first_command.sh and
    # tests/check_install.sh run the README's first command, its install and its
    # package in folders of their own, and .ci/run builds the suite and the fuzz targets.
    "cmake": "it configures, builds or installs",
    "cpack": "it builds a package",
}


def blocks(text):
    """(line number, kind, body) of every fenced block."""
    found = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        m = re.match(r"```(\w*)$", lines[i])
        if m:
            start = i
            i += 1
            body = []
            while i < len(lines) and lines[i] != "```":
                body.append(lines[i])
                i += 1
            found.append((start + 1, m.group(1), "\n".join(body) + "\n"))
        i += 1
    return found


def run(command, folder):
    """Status and output (standard output and error together) of a command; a command
    still running after 5 minutes is stopped and counts as status -1."""
    env = dict(os.environ, HOME=folder, TMPDIR=folder, LC_ALL="C")
    try:
        r = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], cwd=folder, env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=300)
        return r.returncode, r.stdout
    except subprocess.TimeoutExpired as e:
        return -1, e.stdout or ""


def sessions(body):
    """The (command, expected output lines) pairs of a console block."""
    pairs = []
    for line in body.rstrip("\n").split("\n"):
        if line.startswith("$ "):
            pairs.append((line[2:], []))
        elif pairs:
            pairs[-1][1].append(line)
        else:
            raise ValueError("output before the first command: " + line)
    return pairs


def reason_to_skip(body):
    for word, reason in SKIPPED.items():
        if re.search(r"(^|[\s;|&(/])" + word + r"\b", body, re.M):
            return reason
    for program in PROGRAMS:
        if re.search(r"\./build/" + program + r"\b", body) and \
           not os.path.exists(os.path.join(build, program)):
            return program + " is not in this build"
    return None


def main():
    failures = 0
    ran = 0
    scratch = tempfile.mkdtemp(prefix="readme-")
    try:
        shutil.copytree(os.path.join(source, "examples"), os.path.join(scratch, "examples"))
        os.mkdir(os.path.join(scratch, "build"))
        for program in PROGRAMS:
            if os.path.exists(os.path.join(build, program)):
                os.symlink(os.path.abspath(os.path.join(build, program)),
                           os.path.join(scratch, "build", program))
        for number, kind, body in blocks(open(readme).read()):
            if kind not in ("sh", "console"):
                continue
            reason = reason_to_skip(body)
            if reason:
                print("skipped: the block at line %d: %s" % (number, reason))
                continue
            if kind == "sh":
                pairs = [(body, None)]
            else:
                pairs = sessions(body)
            for command, expected in pairs:
                ran += 1
                status, output = run(command, scratch)
                if isinstance(output, bytes):
                    output = output.decode(errors="replace")
                problem = None
                if status != 0:
                    problem = "status %d" % status
                elif expected is not None and output.splitlines() != expected:
                    problem = "output differs; it printed:"
                if problem:
                    failures += 1
                    print("FAIL: the block at line %d: %s: %s" % (number, command.strip(), problem))
                    print(output)
    finally:
        shutil.rmtree(scratch)
    print("%d commands or blocks run, %d failed" % (ran, failures))
    return 1 if failures or ran == 0 else 0


sys.exit(main())
