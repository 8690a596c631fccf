#!/usr/bin/env python3
"""Opens every kind of file sonvel writes with Python's own wave module."""
import os
import subprocess
import sys
import tempfile
import wave

SONVEL = sys.argv[1]
EXAMPLES = sys.argv[2] if len(sys.argv) > 2 else None


def check(condition, what):
    if not condition:
        sys.exit("FAIL: " + what)


def run(args, params):
    return subprocess.run([SONVEL] + args, input=params.encode(), capture_output=True)


with tempfile.TemporaryDirectory() as tmp:
    cases = [
        ([], 12000, 6000),
        (["-s", "44100", "-t", "1000"], 44100, 44100),
        (["-s", "48000", "-t", "250", "-T", "0", "-l", "-30"], 48000, 12000),
        (["-s", "8000", "-t", "3", "-T", "1"], 8000, 24),
    ]
    for i, (args, rate, frames) in enumerate(cases):
        wav = os.path.join(tmp, "%d.wav" % i)
        raw = os.path.join(tmp, "%d.raw" % i)
        params = "# test\n440 1 0\n1000 0.5 1\n"
        check(run(args + [wav], params).returncode == 0, "wave run %s" % args)
        check(run(args + ["-r", raw], params).returncode == 0, "raw run %s" % args)
        with wave.open(wav, "rb") as w:
            check(w.getnchannels() == 1, "channels %s" % args)
            check(w.getsampwidth() == 2, "sample width %s" % args)
            check(w.getframerate() == rate, "rate %s: %d" % (args, w.getframerate()))
            check(w.getnframes() == frames, "frames %s: %d" % (args, w.getnframes()))
            check(w.getcomptype() == "NONE", "compression %s" % args)
            data = w.readframes(frames)
        with open(raw, "rb") as r:
            check(r.read() == data, "raw PCM equals WAVE data %s" % args)

    # Wider integer samples: the same reader sees their width and length.
    for fmt, width in (("s24", 3), ("s32", 4)):
        wav = os.path.join(tmp, fmt + ".wav")
        check(run(["-s", "48000", "--sample-format", fmt, "--quantize", "tpdf", wav],
                  "1000 1\n").returncode == 0, "run " + fmt)
        with wave.open(wav, "rb") as w:
            check(w.getsampwidth() == width and w.getnframes() == 24000 and
                  w.getframerate() == 48000, "format " + fmt)

    # An odd count of 24-bit data bytes is followed by RIFF's pad byte, which the RIFF
    # size counts and the data size does not.
    wav = os.path.join(tmp, "odd.wav")
    check(run(["-s", "1000", "-t", "5", "-T", "1", "--sample-format", "s24", wav],
              "100 1\n").returncode == 0, "odd run")
    with open(wav, "rb") as f:
        b = f.read()
    check(len(b) == 44 + 15 + 1 and b[-1] == 0, "odd: %d bytes" % len(b))
    check(int.from_bytes(b[4:8], "little") == len(b) - 8, "odd: RIFF size")
    check(int.from_bytes(b[40:44], "little") == 15, "odd: data size")
    with wave.open(wav, "rb") as w:
        check(w.getnframes() == 5 and len(w.readframes(5)) == 15, "odd: frames")

    # A byte rate beyond the header's 32 bits is refused before any file; raw output
    # has no header and is written.
    for flag, code in (([], 1), (["-r"], 0)):
        out = os.path.join(tmp, "fast" + "".join(flag))
        res = run(["-s", "2000000000", "-t", "1", "-T", "0", "--sample-format", "s32"] + flag + [out], "1000 1\n")
        check(res.returncode == code and os.path.exists(out) == (code == 0), "byte rate %s" % flag)

    if EXAMPLES:
        for name in sorted(os.listdir(EXAMPLES)):
            if not name.endswith(".txt"):
                continue
            wav = os.path.join(tmp, name + ".wav")
            res = subprocess.run([SONVEL, "-f", os.path.join(EXAMPLES, name), wav],
                                 capture_output=True)
            check(res.returncode == 0, "example %s: %s" % (name, res.stderr.decode()[-200:]))
            with wave.open(wav, "rb") as w:
                check(w.getnframes() == 6000 and w.getframerate() == 12000, "example " + name)
