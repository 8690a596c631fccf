#!/usr/bin/env python3
"""sonvel-measure against a running JACK server, through systems with known answers:
clients of tests/measure/loop_client.cpp that copy their inputs to their outputs
delayed by N samples, through a known filter where asked.

usage: check_measure.py CASE MEASURE SONVEL LOOP_CLIENT
CASE: refusals, ports, identity, filter, reference, dropout, interrupt, progress, or
alsa_ and one of refusals, ports, identity, dropout, interrupt: the same through the
ALSA back end, on a device of ALSA's JACK plugin wired to the loop client. Every case
but the refusals needs a server ($JACK_DEFAULT_SERVER); without one, or without the
ALSA back end or plugin for an alsa_ case, it is skipped with status 77."""
import cmath
import json
import math
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

case, measure, sonvel, loop_client = sys.argv[1:5]
backend = "jack"
if case.startswith("alsa_"):
    backend, case = "alsa", case[len("alsa_"):]
work = tempfile.mkdtemp()
failures = []
clients = []
LOOP_DELAY = 100
LIST = os.path.join(work, "list.txt")
# Three lines on a 1000 Hz grid, period 48 samples at 48 kHz.
with open(LIST, "w") as f:
    f.write("1000 1 0\n3000 0.5 1\n7000 0.8 2\n")
SIGNAL = ["-s", "48000", "-t", "800", "-T", "50", "-f", LIST]


def check(condition, what):
    if not condition:
        failures.append(what)


def start_loop(*args):
    """A loop client; returns its name once its ports exist, or None without a server."""
    name = "sonvel-loop-%d-%d" % (os.getpid(), len(clients))
    p = subprocess.Popen([loop_client, name] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    clients.append(p)
    if p.stdout.readline().strip() != "ready":
        return None
    return name


def stop_loops():
    for p in clients:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            p.wait()
    clients.clear()


# The ALSA devices of the test, added to ALSA's own configuration: one a loop client.
ALSA_CONF = os.path.join(work, "asound.conf")
ALSA_ENV = {"ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + ALSA_CONF}


def alsa_ready():
    """The ALSA back end is built, and ALSA's JACK plugin is there where needed."""
    r = subprocess.run([measure, "--backend", "alsa", "--help"], capture_output=True)
    libdir = subprocess.run(["pkg-config", "--variable=libdir", "alsa"], capture_output=True, text=True).stdout.strip()
    return r.returncode == 0 and (case == "refusals" or (
        os.path.exists(ALSA_ENV["ALSA_CONFIG_PATH"].split(":")[0]) and
        os.path.exists(os.path.join(libdir, "alsa-lib", "libasound_module_pcm_jack.so"))))


def connect(loop):
    """The options that play to a loop client's first input and record its first output,
    through the back end tested."""
    if backend == "jack":
        return ["--play", loop + ":in_1", "--record", loop + ":out_1"]
    device = "loop" + loop.rsplit("-", 1)[1]
    with open(ALSA_CONF, "a") as f:
        f.write("pcm.%s { type jack playback_ports { 0 %s:in_1 } capture_ports { 0 %s:out_1 } }\n" %
                (device, loop, loop))
    return ["--backend", "alsa", "--device", device, "--play", "1", "--record", "1"]


# A dropout the test did not make (a machine too busy for the server's period) is
# tried again, this many times at most.
ATTEMPTS = 8


def hidden_gap(r):
    """ALSA's JACK plugin does not report its xruns: it plays silence for frames it
    lacks and drops those it has no room for. A busy machine shows as a ruined SNR in
    the JSON results instead of a dropout."""
    try:
        snr = json.loads(r.stdout)["summary"]["snr_db"]
    except (ValueError, KeyError):
        return False
    return backend == "alsa" and snr is not None and snr < 60


def run(args, env=None, attempts=ATTEMPTS):
    """Runs the program, again after a dropout."""
    environment = dict(os.environ, TMPDIR=work, **ALSA_ENV, **(env or {}))
    for _ in range(attempts):
        r = subprocess.run([measure] + args, capture_output=True, text=True, env=environment)
        if "a dropout" not in r.stderr and not hidden_gap(r):
            break
    return r


def floats(path):
    """The samples of a float WAVE file, frames as tuples of channels."""
    data = open(path, "rb").read()
    chunks, at = {}, 12
    while at + 8 <= len(data):
        size = struct.unpack("<I", data[at + 4:at + 8])[0]
        chunks[data[at:at + 4]] = data[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
    fmt = chunks[b"fmt "]
    channels = struct.unpack("<H", fmt[2:4])[0]
    check(struct.unpack("<H", fmt[0:2])[0] == 3 and struct.unpack("<H", fmt[14:16])[0] == 32,
          "%s: 32-bit float samples" % path)
    values = struct.unpack("<%df" % (len(chunks[b"data"]) // 4), chunks[b"data"])
    return [values[i:i + channels] for i in range(0, len(values), channels)]


def excited(d):
    """The excited lines of the JSON results (an infinite SNR reads 1e308)."""
    return [line for line in d["lines"] if line["kind"] == "excited"]


def expect_identity(d, what):
    """Every line and the whole at 0 dB, 0 degrees and a clean SNR."""
    for line in excited(d):
        check(abs(line["gain_or_level_db"]) <= 0.001 and abs(line["phase_deg"]) <= 0.01 and line["snr_db"] > 120,
              "%s line %s" % (what, line))
    check(d["summary"]["snr_db"] > 120, "%s SNR %s" % (what, d["summary"]["snr_db"]))


def expect_response(results, response, what, delay_shift):
    """Every excited line within 0.01 dB and 0.1 degree of response(f), after the delay
    the analysis removed: the system's true delay less the delay found (delay_shift)."""
    for line in excited(results):
        f = line["freq_hz"]
        h = response(f) * cmath.exp(-2j * math.pi * f * delay_shift / 48000)
        phase = (line["phase_deg"] - math.degrees(cmath.phase(h)) + 180) % 360 - 180
        gain = line["gain_or_level_db"]
        check(abs(gain - 20 * math.log10(abs(h))) < 0.01 and abs(phase) < 0.1,
              "%s at %g Hz: %g dB %g deg, expected %g dB %g deg" %
              (what, f, gain, line["phase_deg"], 20 * math.log10(abs(h)), math.degrees(cmath.phase(h))))


def refusal(r, pattern, what):
    check(r.returncode == 1 and re.fullmatch(pattern, r.stderr) and r.stdout == "",
          "%s: status %d, stderr %r" % (what, r.returncode, r.stderr))


def nothing_left(what):
    left = [n for n in os.listdir(work) if n not in ("list.txt", "asound.conf") and not n.endswith(".txt")]
    check(left == [], "%s leaves %s" % (what, left))


def period():
    """The server's period, as the program reports it."""
    return int(re.search(r"period (\d+)", last_latency).group(1))


try:
    if backend == "alsa" and not alsa_ready():
        print("no ALSA back end or no JACK plugin of ALSA: skipped")
        sys.exit(77)
    if backend == "alsa" and case == "refusals":
        # A device that does not exist, a channel that is not a number: before a sound.
        r = run(SIGNAL + ["--backend", "alsa", "--device", "sonvel-none", "--play", "1", "--record", "1"])
        refusal(r, r'error: --device: the ALSA device "sonvel-none" does not open for playback \(.+\)\.\n', "no device")
        r = run(SIGNAL + ["--backend", "alsa", "--play", "left", "--record", "1"])
        refusal(r, r"error: --play: the ALSA back end plays to channels of the device: 1, 2, \.\.\.\n", "a port")
        sys.exit(1 if failures else 0)
    if case == "refusals":
        # No server: the name of one that cannot run.
        r = run(["--server", "sonvel-none-%d" % os.getpid()] + SIGNAL + ["--play", "a:b", "--record", "c:d"])
        refusal(r, r'error: no JACK server "sonvel-none-\d+" is running\.\n', "no server")
        r = run(SIGNAL + ["--record", "c:d"])
        refusal(r, r"error: no port to play to \(--play\); see sonvel-measure --help\.\n", "no --play")
        r = run(SIGNAL + ["--play", "a:b", "--record", "c:d", "--channel", "2"])
        refusal(r, r"error: --channel 2: 1 port is recorded\.\n", "a channel not recorded")
        r = run(SIGNAL + ["--play", "a:b", "--record", "c:d", "--backend", "oss"])
        refusal(r, r'error: --backend: "oss" is not jack( or alsa)?\.\n', "another back end")
        sys.exit(1 if failures else 0)

    loop = start_loop("--delay", str(LOOP_DELAY))
    if loop is None:
        print("no JACK server runs ($JACK_DEFAULT_SERVER=%s): skipped" % os.environ.get("JACK_DEFAULT_SERVER", ""))
        sys.exit(77)
    ports = connect(loop)
    last_latency = ""

    if case == "ports" and backend == "alsa":
        # Refused before a sound: a rate the device does not take, a channel it lacks.
        saved = os.path.join(work, "rec.wav")
        r = run(["-s", "44100"] + SIGNAL[2:] + ports + ["--save", saved])
        refusal(r, r'error: the ALSA device "loop0" does not take 44100 Hz \(-s\)\.\n', "another rate")
        r = run(SIGNAL + ports + ["--record", "2", "--save", saved])
        refusal(r, r'error: --record: the ALSA device "loop0" has no capture channel 2\.\n', "a channel lacking")
        # The plugin's device without its server: one line, libjack's own kept quiet.
        r = run(SIGNAL + ports, env={"JACK_DEFAULT_SERVER": "sonvel-none-%d" % os.getpid()})
        refusal(r, r'error: --device: the ALSA device "loop0" does not open for playback \(.+\)\.\n', "no server")
        nothing_left("a refusal")

    elif case == "ports":
        # Refused before a sound: a port that does not exist, one of the wrong direction,
        # a server at another rate. Nothing is connected, nothing kept.
        saved = os.path.join(work, "rec.wav")
        r = run(SIGNAL + ["--play", loop + ":in_1", "--record", loop + ":nothing", "--save", saved])
        refusal(r, r'error: --record: no JACK port "%s:nothing"\.\n' % loop, "an unknown port")
        r = run(SIGNAL + ["--play", loop + ":out_1", "--record", loop + ":out_1", "--save", saved])
        refusal(r, r'error: --play: "%s:out_1" is not an input port\.\n' % loop, "an output to play to")
        r = run(["-s", "44100"] + SIGNAL[2:] + ports + ["--save", saved])
        refusal(r, r"error: the JACK server runs at 48000 Hz, the signal at 44100 Hz \(-s\)\.\n", "another rate")
        nothing_left("a refusal")

    elif case == "identity":
        # In float, the recording is the played signal itself: every sample of sonvel's
        # file at the delay, silence around it.
        saved = os.path.join(work, "rec.wav")
        r = run(SIGNAL + ports + ["--sample-format", "f32", "--save", saved, "--json"])
        check(r.returncode == 0 and re.fullmatch(r"# latency: [^\n]*\n", r.stderr), "status and stderr: " + r.stderr)
        last_latency = r.stderr
        d = json.loads(r.stdout)
        # The loop's delay and one period: a graph that loops back runs one period late.
        # ALSA's buffers and its plugin's add a delay of their own, in whole samples.
        delay = LOOP_DELAY + period() if backend == "jack" else int(d["delay_samples"])
        check(d["delay_samples"] == delay and delay >= LOOP_DELAY, "delay %s, expected %d" % (d["delay_samples"], delay))
        check(r.stderr.startswith("# latency: %d.000 samples" % delay), r.stderr)
        expect_identity(d, "identity")
        if backend == "alsa":
            # A device that takes no float: the samples go out and come back as 32-bit
            # integers, converted to the plugin's floats by ALSA's lfloat plugin.
            with open(ALSA_CONF, "a") as f:
                f.write('pcm.ints { type lfloat slave { pcm "%s" format FLOAT_LE } }\n' % ports[3])
            r = run(SIGNAL + ports[:3] + ["ints"] + ports[4:] + ["--sample-format", "f32", "--json"])
            check(r.returncode == 0, "through integers: status %d, %s" % (r.returncode, r.stderr))
            expect_identity(json.loads(r.stdout), "through integers")
        played = os.path.join(work, "played.wav")
        subprocess.run([sonvel] + SIGNAL + ["--sample-format", "f32", played], capture_output=True, check=True)
        signal_samples = [s[0] for s in floats(played)]
        recorded = [s[0] for s in floats(saved)]
        check(recorded[delay:delay + len(signal_samples)] == signal_samples, "the samples played are sonvel's")
        check(not any(recorded[:delay]) and not any(recorded[delay + len(signal_samples):]),
              "silence before and after the signal")
        check(len(recorded) >= delay + len(signal_samples), "the whole signal recorded")
        # The same in 16 bits: integers over 32768, as libsndfile reads sonvel's file.
        r = run(SIGNAL + ports + ["--save", saved])
        if backend == "alsa":  # where ALSA's buffers fall on JACK's periods varies by run
            found = re.search(r"# delay: (\d+)\.000 samples", r.stdout)
            delay = int(found.group(1)) if found else -1
        subprocess.run([sonvel] + SIGNAL + [played], capture_output=True, check=True)
        raw = open(played, "rb").read()[44:]
        expected = [v / 32768.0 for v in struct.unpack("<%dh" % (len(raw) // 2), raw)]
        recorded = [s[0] for s in floats(saved)]
        check(r.returncode == 0 and recorded[delay:delay + len(expected)] == expected, "16-bit samples played")
        check("# delay: %d.000 samples" % delay in r.stdout and "recording: \"%s\"" % saved in r.stdout,
              "the text header: " + r.stdout[:400])

    elif case == "filter":
        # y[n] = 0.4 x[n] + 0.6 y[n - 1], delayed: H = 0.4 / (1 - 0.6 e^-jw).
        iir = start_loop("--delay", str(LOOP_DELAY), "--iir", "0.6")
        r = run(SIGNAL + ["--play", iir + ":in_1", "--record", iir + ":out_1", "--json"])
        check(r.returncode == 0, "status %d: %s" % (r.returncode, r.stderr))
        last_latency = r.stderr
        d = json.loads(r.stdout)
        expect_response(d, lambda f: 0.4 / (1 - 0.6 * cmath.exp(-2j * math.pi * f / 48000)), "first-order IIR",
                        LOOP_DELAY + period() - d["delay_samples"])

    elif case == "reference":
        # Two outputs to a two-channel loop whose first channel is delayed only and whose
        # second goes through a FIR: the ratio of the second to the first is the FIR.
        fir = [0.5, 0.3, 0.2]
        two = start_loop("--channels", "2", "--delay", str(LOOP_DELAY), "--fir", ",".join(map(str, fir)),
                         "--plain-first")
        r = run(SIGNAL + ["--play", two + ":in_1", "--play", two + ":in_2", "--record", two + ":out_1",
                          "--record", two + ":out_2", "--reference", "1", "--channel", "2", "--json"])
        check(r.returncode == 0, "status %d: %s" % (r.returncode, r.stderr))
        d = json.loads(r.stdout)
        check(d["recording"]["channels"] == 2, "two channels recorded")
        response = lambda f: sum(b * cmath.exp(-2j * math.pi * f * k / 48000) for k, b in enumerate(fir))
        expect_response(d, response, "FIR over the reference", -(d["delay_samples"] - d["reference_delay_samples"]))

    elif case == "dropout":
        stall = start_loop("--delay", "10", "--stall", "100")
        saved = os.path.join(work, "rec.wav")
        r = run(SIGNAL + connect(stall) + ["--save", saved], attempts=1)
        refusal(r, r"error: a dropout at \d+\.\d{3} s: the measurement is refused\.\n", "a stalled client")
        nothing_left("a dropout")

    elif case == "interrupt":
        saved = os.path.join(work, "rec.wav")
        for _ in range(ATTEMPTS):
            p = subprocess.Popen([measure] + SIGNAL[:2] + ["-t", "10000"] + SIGNAL[4:] + ports + ["--save", saved],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=dict(os.environ, TMPDIR=work, **ALSA_ENV))
            time.sleep(1.5)
            p.send_signal(signal.SIGTERM)
            out, err = p.communicate(timeout=10)
            if "a dropout" not in err:
                break
        check(p.returncode == 1 and err == "error: interrupted: nothing is analysed or saved.\n" and out == "",
              "SIGTERM: status %d, stderr %r" % (p.returncode, err))
        nothing_left("an interruption")
        # The sound fades out: its last millisecond stays below a fifth of its peak, as
        # a straight fade of 5 ms gives (an abrupt end keeps about the peak).
        clients[0].send_signal(signal.SIGTERM)
        end = re.fullmatch(r"end (\S+) peak (\S+)\n", clients[0].communicate(timeout=10)[0])
        check(end and 0.1 < float(end.group(2)) and float(end.group(1)) < 0.2 * float(end.group(2)),
              "the end of the sound: %s" % (end and end.group(0)))

    elif case == "progress":
        # On a terminal the time played and the input's peak; off one, only the latency.
        for _ in range(ATTEMPTS):
            master, slave = pty.openpty()
            p = subprocess.Popen([measure] + SIGNAL + ports, stdout=subprocess.DEVNULL, stderr=slave,
                                 env=dict(os.environ, TMPDIR=work, **ALSA_ENV))
            os.close(slave)
            shown = b""
            while True:
                ready, _, _ = select.select([master], [], [], 10)
                try:
                    chunk = os.read(master, 4096) if ready else b""
                except OSError:
                    chunk = b""
                if not chunk:
                    break
                shown += chunk
            os.close(master)
            p.wait()
            if b"a dropout" not in shown:
                break
        check(p.returncode == 0 and re.search(rb"\rplayed \d+\.\d of 0\.8 s, input peak -?\d+\.\d dB", shown),
              "progress on a terminal: %r" % shown[-300:])
        # The line is erased before the latency line, which ends what is shown.
        check(re.search(rb"\r +\r# latency: [^\r\n]*\r?\n$", shown), "the end of the progress: %r" % shown[-300:])
        r = run(SIGNAL + ports)
        check(re.fullmatch(r"# latency: [^\n]*\n", r.stderr), "off a terminal, only the latency: %r" % r.stderr)
    else:
        failures.append("unknown case " + case)
finally:
    stop_loops()
    shutil.rmtree(work, ignore_errors=True)

for f in failures:
    print("FAIL: " + f)
sys.exit(1 if failures else 0)
