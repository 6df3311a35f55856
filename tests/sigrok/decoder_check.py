#!/usr/bin/python3
"""The sigrok protocol decoder (sigrok/tarvel) run by the real libsigrokdecode
through sigrok-cli, against `tarvel --decode` on the same files: the
program's own traces of every command and of a long sweep (simulated bench,
TARVEL_TRACE), and the hand-made captures of the frame decoder's tests
(captures.py). The frame and warning annotations must be --decode's lines,
in its order, each at the sample of its time; the bit annotations of the
program's own frames must be the bits of their codes.

A capture with x or z levels is compared with --decode of the same file
with those levels read as 0: libsigrok's VCD input reads them so, and its
logic samples have no unknown level.

Exits 77 when sigrok-cli is missing.

usage: decoder_check.py PATH/TO/tarvel SIGROK_DECODER_FOLDER
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import captures  # noqa: E402

SIGROK_LINE = re.compile(r"^(\d+)-(\d+) tarvel-1: (.*)$")
DECODE_LINE = re.compile(r"^(\d+\.\d{3}) us  (.*)$")
UNITS = {"s": 1e6, "ms": 1e3, "us": 1.0, "ns": 1e-3, "ps": 1e-6, "fs": 1e-9}


def timing(text):
    """(microseconds per time unit, first timestamp) of a VCD file."""
    scale = re.search(r"\$timescale\s+(\d+)\s*([a-z]+)\s+\$end", text)
    first = re.search(r"^#(\d+)", text, re.M)
    return int(scale.group(1)) * UNITS[scale.group(2)], int(first.group(1))


def code_bits(text):
    """The bits a frame's decoded text says were on the wire, in order."""
    m = re.match(r"RX4410 Chan \d write (\d+)$", text)
    if m:
        return "10" + "".join(str((int(m.group(1)) >> j) & 1) for j in range(6))
    m = re.match(r"RX4410 Chan \d read -> (\d+)$", text)
    if m:
        return "0" + "".join(str((int(m.group(1)) >> j) & 1) for j in range(6))
    m = re.match(r"TQM7731 Attn A (\d+), Attn B (\d+)$", text)
    word = int(m.group(1)) << 5 | int(m.group(2))
    return "".join(str((word >> j) & 1) for j in range(10))


def main():
    tarvel, decoders = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if shutil.which("sigrok-cli") is None:
        print("sigrok-cli not installed: skipped")
        return 77
    failures = []
    with tempfile.TemporaryDirectory(prefix="tarvel-sigrok-") as work:
        env = dict(os.environ, TARVEL_PORT="sim:" + os.path.join(work, "bench.state"), HOME=work,
                   SIGROKDECODE_DIR=decoders)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)

        listed = subprocess.run(["sigrok-cli", "-L"], env=env, capture_output=True, text=True, timeout=30)
        if not re.search(r"^\s+tarvel\s", listed.stdout, re.M):
            print("sigrok-cli does not list the decoder:", listed.stdout[-500:], listed.stderr)
            return 1

        # name: (file, {port line: wire}, whether the program made it)
        files = {}
        for name, args in (("write", ["RX4410", "40", "21"]), ("read", ["RX4410R"]),
                           ("tqm", ["TQM7731", "5", "3"]),
                           ("sweep", ["--sweep", "RX4410", "--from", "0", "--to", "63", "--dwell", "0.1"])):
            path = os.path.join(work, name + ".vcd")
            subprocess.run([tarvel, *args], cwd=work, env=dict(env, TARVEL_TRACE=path), check=True,
                           timeout=30, stdout=subprocess.DEVNULL)
            files[name] = (path, {}, True)
        captures.write_all(os.path.join(work, "captures"))
        for name, (_, wires) in captures.CAPTURES.items():
            files[name] = (os.path.join(work, "captures", name + ".vcd"), wires, False)

        for name, (path, wires, own) in files.items():
            with open(path, encoding="ascii") as f:
                text = f.read()
            us_per_unit, first = timing(text)
            # What --decode reads: the levels libsigrok reads (x, z as 0).
            head, changes = text.split("$enddefinitions $end", 1)
            known = head + "$enddefinitions $end" + re.sub(r"(?<!\S)[xXzZ](?=\S)", "0", changes)
            decode_path = path
            if known != text:
                decode_path = path + ".as-sigrok.vcd"
                with open(decode_path, "w", encoding="ascii") as f:
                    f.write(known)
            decode_args = ["--map", ",".join("%s=%s" % kv for kv in wires.items())] if wires else []
            decoded = subprocess.run([tarvel, "--decode", decode_path, *decode_args], env=env,
                                     capture_output=True, text=True, timeout=30, check=True).stdout
            want = [DECODE_LINE.match(line).groups() for line in decoded.splitlines()]

            pd = "tarvel" + "".join(":%s=%s" % (line.lower(), wire) for line, wire in wires.items())
            run = subprocess.run(["sigrok-cli", "-i", path, "-P", pd, "--protocol-decoder-samplenum"],
                                 env=env, capture_output=True, text=True, timeout=60)
            if run.returncode != 0 or run.stderr.strip():
                failures.append("%s: sigrok-cli exit %d: %s" % (name, run.returncode, run.stderr.strip()))
                continue
            anns = [SIGROK_LINE.match(line).groups() for line in run.stdout.splitlines()]
            frames = [(int(ss), int(es), t) for ss, es, t in anns if t not in ("0", "1", "?")]
            got_texts = [t for _, _, t in frames]
            want_texts = [t for _, t in want]
            if got_texts != want_texts:
                failures.append("%s: sigrok's annotations\n  %s\n--decode's lines\n  %s" % (
                    name, "\n  ".join(got_texts), "\n  ".join(want_texts)))
                continue
            for (ss, _, t), (us, _) in zip(frames, want):
                at = (ss + first) * us_per_unit
                if abs(at - float(us)) > 0.0005:
                    failures.append("%s: \"%s\" at sample %d (%.3f us), --decode says %s us" % (
                        name, t, ss, at, us))
            if own:
                # The bits row: each of the frame's bits inside the frame.
                for ss, es, t in frames:
                    bits = "".join(b for s, e, b in ((int(a), int(z), b) for a, z, b in anns)
                                   if b in ("0", "1", "?") and ss <= s and e <= es)
                    if bits != code_bits(t):
                        failures.append("%s: \"%s\" has the bits %s, not %s" % (name, t, bits, code_bits(t)))
            print("%s: %d frames alike" % (name, len(frames)))

    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
