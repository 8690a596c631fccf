#!/usr/bin/env python3
"""Writes multisine.txt: 2048 equal-amplitude harmonics of 10 Hz (10 Hz to 20.48 kHz)
with Schroeder phases, which keep the crest factor of a flat-spectrum multisine low.

    phase_k = -pi * k * (k - 1) / N,  k = 1 .. N

Run it from this folder: python3 make-multisine.py
"""
import math

N = 2048
F0 = 10.0

with open("multisine.txt", "w") as out:
    out.write("# 2048 harmonics of %g Hz with Schroeder phases\n" % F0)
    out.write("# (written by make-multisine.py; lines hold at most 79 characters)\n")
    out.write("# frequency [Hz]  amplitude [linear]  phase [rad]\n")
    out.write("# Synthesise at 48 kHz so that all components lie below Nyquist:\n")
    out.write("#   sonvel -s 48000 -t 10000 -f multisine.txt multisine.wav\n")
    for k in range(1, N + 1):
        phase = math.remainder(-math.pi * k * (k - 1) / N, 2 * math.pi) + 0.0
        out.write("%g 1 %.17g\n" % (k * F0, phase))
