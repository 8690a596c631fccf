#!/usr/bin/env python3
"""sonvel-analyze's results as other programs read them: the table as pandas'
read_csv(sep="\\t", comment="#") and numpy's genfromtxt(names=True, dtype=None) read it
(checked here with the csv module and those readers' rules), the JSON through a strict
json.loads that takes no NaN or Infinity, and the plot in the format its file's
extension names, or refused before any analysis.

usage: check_output.py SONVEL_DESIGN SONVEL SONVEL_ANALYZE"""
import csv
import json
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import wave

design, sonvel, analyze = sys.argv[1:4]
work = tempfile.mkdtemp()
failures = []

NAMES = ["freq_hz", "kind", "gain_or_level_db", "phase_deg", "noise_db", "snr_db", "gain_unc_db", "phase_unc_deg",
         "gain_low_db", "gain_high_db", "phase_half_width_deg", "coherence", "group_delay_ms", "floor_db",
         "played_db", "significant"]
KINDS = {"excited", "odd", "even", "out-of-band"}
# What both readers take as a number: decimals, and inf, -inf and nan.
NUMBER = re.compile(r"-?(inf|\d+(\.\d+)?)|nan")


def check(condition, what):
    if not condition:
        failures.append(what)


def path(name):
    return os.path.join(work, name)


def run(program, *args):
    return subprocess.run([program] + list(args), capture_output=True, text=True)


SIGNAL = ["-s", "48000", "-t", "1000", "-l", "-12"]
with open(path("list.txt"), "w") as f:
    f.write(run(design, *SIGNAL[:4], "--resolution", "100", "--band", "200:10000", "--lines", "random-odd").stdout)
run(sonvel, *SIGNAL, "-f", path("list.txt"), path("clean.wav"))


def add_noise(source, target):
    """The recording with one step of random noise on every sample: finite noise and SNR."""
    with wave.open(source) as w:
        params, raw = w.getparams(), w.readframes(w.getnframes())
    random.seed(7)
    samples = [max(-32768, min(32767, v + random.choice((-1, 0, 1))))
               for v in struct.unpack("<%dh" % (len(raw) // 2), raw)]
    with wave.open(target, "wb") as w:
        w.setparams(params)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


add_noise(path("clean.wav"), path("noisy.wav"))


def analysis(recording, *options):
    r = run(analyze, *SIGNAL, "-f", path("list.txt"), *options, path(recording))
    check(r.returncode == 0 and r.stderr == "", "%s %s: status %d, %s" % (recording, options, r.returncode, r.stderr))
    return r.stdout


def table_rows(text, what):
    """The rows under the row of names, checked as both readers need them."""
    lines = text.splitlines()
    # genfromtxt(names=True) takes its names from the first line, even a comment.
    check(lines[0].split("\t") == NAMES and "#" not in lines[0], "%s: the row of names %r" % (what, lines[0]))
    rows = list(csv.reader([line for line in lines[1:] if not line.startswith("#")], delimiter="\t"))
    for row in rows:
        check(len(row) == len(NAMES), "%s: a row of %d fields: %s" % (what, len(row), row))
        check(row[1] in KINDS and all(NUMBER.fullmatch(c) for c in row[:1] + row[2:]),
              "%s: a row whose cells are not all numbers but the kind: %s" % (what, row))
    check([float(r[0]) for r in rows] == sorted({float(r[0]) for r in rows}), "%s: frequencies not rising" % what)
    check({r[1] for r in rows} == KINDS, "%s: kinds %s" % (what, {r[1] for r in rows}))
    return rows


def reject(constant):
    raise ValueError("not JSON: " + constant)


def same_value(value, cell):
    """A JSON value against its table cell: null is nan, +-1e308 is +-inf, true/false 1/0,
    and a number agrees to the cell's last printed digit."""
    if value is None or isinstance(value, bool):
        return cell == {None: "nan", True: "1", False: "0"}[value]
    if abs(value) == 1e308:
        return cell == ("inf" if value > 0 else "-inf")
    decimals = len(cell.split(".")[1]) if "." in cell else 0
    return NUMBER.fullmatch(cell) and abs(value - float(cell)) <= 0.5 * 10 ** -decimals + 1e-9 * abs(value)


def check_json(text, rows, what):
    try:
        d = json.loads(text, parse_constant=reject)
    except ValueError as e:
        check(False, "%s: %s" % (what, e))
        return None
    lines = d.get("lines", [])
    check(len(lines) == len(rows), "%s: %d lines for %d rows" % (what, len(lines), len(rows)))
    for line, row in zip(lines, rows):
        check(list(line) == NAMES, "%s: fields %s" % (what, list(line)))
        check(line["kind"] == row[1] and all(same_value(line[n], c) for n, c in zip(NAMES, row) if n != "kind"),
              "%s: %s against the row %s" % (what, line, row))
    return d


# (recording, what its lines must show): the clean recording has no noise, so that its
# noise reads -inf and its SNR inf.
for recording, expect in (("clean.wav", lambda rows: any(r[4] == "-inf" and r[5] == "inf" for r in rows)),
                          ("noisy.wav", lambda rows: all(r[4] not in ("inf", "-inf") for r in rows))):
    rows = table_rows(analysis(recording), recording)
    check(expect(rows), "%s: noise and SNR as expected" % recording)
    d = check_json(analysis(recording, "--json"), rows, recording + " as JSON")
    if d and recording == "clean.wav":
        check(d["summary"]["snr_db"] == 1e308 and d["warnings"] == [], "an infinite SNR in the JSON's summary")

# The plot by its extension, in any case; any other is refused before the analysis
# (the recording named does not exist), with one line and nothing written.
built = "not in this build" not in run(analyze, "--help").stdout
FORMATS = {"png": (b"\x89PNG\r\n\x1a\n", b"IEND\xae\x42\x60\x82"), "svg": (b"<?xml", b"</svg>"),
           "pdf": (b"%PDF-", b"%%EOF")}
for name, kind in (("p.png", "png"), ("p.svg", "svg"), ("p.pdf", "pdf"), ("P.PDF", "pdf"), ("p.jpg", None),
                   ("p", None), ("p.png.txt", None)):
    plot = path(name)
    if kind and built:
        r = run(analyze, *SIGNAL, "-f", path("list.txt"), "--plot", plot, path("noisy.wav"))
        data = open(plot, "rb").read() if os.path.exists(plot) else b""
        check(r.returncode == 0 and data.startswith(FORMATS[kind][0]) and data.rstrip().endswith(FORMATS[kind][1]),
              "--plot %s: status %d, %r...%r" % (name, r.returncode, data[:8], data[-12:]))
        os.remove(plot) if os.path.exists(plot) else None
        continue
    r = run(analyze, *SIGNAL, "-f", path("list.txt"), "--plot", plot, path("missing.wav"))
    expected = ('error: --plot: "%s" ends in neither .png, .svg nor .pdf.\n' % plot if built else
                "error: --plot: this sonvel-analyze was built without PLplot")
    check(r.returncode == 1 and r.stderr.startswith(expected) and r.stderr.count("\n") == 1 and r.stdout == "" and
          not os.path.exists(plot), "--plot %s: status %d, %r" % (name, r.returncode, r.stderr))

subprocess.run(["rm", "-rf", work])
for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
