#!/usr/bin/env python3
"""sonvel-analyze's table as pandas' read_csv(sep="\\t", comment="#") and numpy's
genfromtxt(names=True, dtype=None) need it (checked with the csv module and their rules),
its JSON through a json.loads that takes no NaN or Infinity, and the plot's formats.

usage: check_output.py SONVEL_DESIGN SONVEL SONVEL_ANALYZE"""
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

design, sonvel, analyze = sys.argv[1:4]
work = tempfile.mkdtemp()
failures = []
NAMES = ["freq_hz", "kind", "gain_or_level_db", "phase_deg", "noise_db", "snr_db", "gain_unc_db", "phase_unc_deg",
         "gain_low_db", "gain_high_db", "phase_half_width_deg", "coherence", "group_delay_ms", "floor_db",
         "played_db", "significant", "nonlinear_db"]
NUMBER = re.compile(r"-?(inf|\d+(\.\d+)?)|nan")  # what both readers and float() take


def check(condition, what):
    if not condition:
        failures.append(what)


def run(program, *args):
    return subprocess.run([program] + list(args), capture_output=True, text=True)


SIGNAL = ["-s", "48000", "-t", "1000", "-l", "-12", "-f", os.path.join(work, "list.txt")]
with open(SIGNAL[-1], "w") as f:
    f.write(run(design, *SIGNAL[:4], "--resolution", "100", "--band", "200:10000", "--lines", "random-odd").stdout)
played = os.path.join(work, "played.wav")
run(sonvel, *SIGNAL, played)

# sonvel's own file read back: the excited lines' noise -inf and SNR inf.
table = run(analyze, *SIGNAL, played).stdout.splitlines()
# genfromtxt(names=True) takes its names from the first line, even a comment.
check(table[0].split("\t") == NAMES, "the first line: %r" % table[0])
rows = list(csv.reader([line for line in table[1:] if not line.startswith("#")], delimiter="\t"))
for row in rows:
    check(len(row) == len(NAMES) and all(NUMBER.fullmatch(c) for c in row[:1] + row[2:]), "a row: %s" % row)
check({r[1] for r in rows} == {"excited", "odd", "even", "out-of-band"}, "the kinds: %s" % {r[1] for r in rows})
check([float(r[0]) for r in rows] == sorted({float(r[0]) for r in rows}), "frequencies not rising")
check(any(r[1] == "excited" and r[4:6] == ["-inf", "inf"] for r in rows), "no infinite noise and SNR")


def same(value, cell):
    """null is nan, +-1e308 +-inf, true and false 1 and 0; a number agrees to the cell's
    last digit."""
    if value is None or isinstance(value, bool) or abs(value) == 1e308:
        return cell == {None: "nan", True: "1", False: "0", 1e308: "inf", -1e308: "-inf"}[value]
    decimals = len(cell.split(".")[1]) if "." in cell else 0
    return NUMBER.fullmatch(cell) and abs(value - float(cell)) <= 0.5 * 10 ** -decimals + 1e-9 * abs(value)


def reject(constant):
    raise ValueError("not JSON: " + constant)


try:
    d = json.loads(run(analyze, *SIGNAL, "--json", played).stdout, parse_constant=reject)
    check(len(d["lines"]) == len(rows) and d["summary"]["snr_db"] == 1e308, "the JSON's lines and summary")
    for line, row in zip(d["lines"], rows):
        check(list(line) == NAMES and line["kind"] == row[1] and
              all(same(line[n], c) for n, c in zip(NAMES, row) if n != "kind"), "%s against %s" % (line, row))
except ValueError as e:
    check(False, "the JSON: %s" % e)

# The plot's format by its extension, in any case; any other is refused before the
# analysis (of a recording that does not exist), with one line and nothing written.
built = "not in this build" not in run(analyze, "--help").stdout
for name, start, end in (("p.png", b"\x89PNG\r\n\x1a\n", b"IEND\xae\x42\x60\x82"), ("p.svg", b"<?xml", b"</svg>"),
                         ("p.pdf", b"%PDF-", b"%%EOF"), ("P.PDF", b"%PDF-", b"%%EOF"), ("p.jpg", None, None),
                         ("p", None, None), ("p.png.txt", None, None)):
    plot = os.path.join(work, name)
    if start and built:
        r = run(analyze, *SIGNAL, "--plot", plot, played)
        data = open(plot, "rb").read() if os.path.exists(plot) else b""
        check(r.returncode == 0 and data.startswith(start) and data.rstrip().endswith(end), "--plot " + name)
        continue
    r = run(analyze, *SIGNAL, "--plot", plot, os.path.join(work, "missing.wav"))
    expected = ('error: --plot: "%s" ends in neither .png, .svg nor .pdf.\n' % plot if built else
                "error: --plot: this sonvel-analyze was built without PLplot")
    check(r.returncode == 1 and r.stderr.startswith(expected) and r.stderr.count("\n") == 1 and r.stdout == "" and
          not os.path.exists(plot), "--plot %s: status %d, %r" % (name, r.returncode, r.stderr))

shutil.rmtree(work)
for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
