#!/usr/bin/env python3
"""A stereo 16-bit WAVE file from a mono one: the first channel the signal DELAY
samples late, the second the signal itself, both DELAY samples longer.

usage: delayed_stereo.py IN.wav OUT.wav DELAY"""
import array
import sys
import wave

source, target, delay = sys.argv[1], sys.argv[2], int(sys.argv[3])
with wave.open(source) as w:
    rate = w.getframerate()
    x = array.array("h", w.readframes(w.getnframes()))
late = array.array("h", [0] * delay) + x
x = x + array.array("h", [0] * delay)
s = array.array("h", [0] * (2 * len(x)))
s[0::2] = late
s[1::2] = x
with wave.open(target, "wb") as o:
    o.setnchannels(2)
    o.setsampwidth(2)
    o.setframerate(rate)
    o.writeframes(s.tobytes())
