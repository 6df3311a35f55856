#!/usr/bin/python3
"""The sigrok decoder's table of lines and frame rules (sigrok/tarvel/chips.py)
against the program's chip models and frame decoder, run through
tarvel_frame_oracle:

- the line masks are the ones in Wiring.h;
- each frame rule (write length, where the code sits, read length, the edge
  after which the chip drives a code bit, the TQM7731's word and where "Attn
  A" and "Attn B" sit) is what the program's decoder does with probe frames;
- the decoder in chips.py and the program's decode the same level sequences
  (probe frames, then random frames with glitches, unknown lines and cut-off
  captures) to the same frames, field by field, and between them the
  sequences bring out every kind of frame `tarvel --decode` prints.

usage: check_table.py PATH/TO/tarvel_frame_oracle sigrok/tarvel
"""
import importlib.util
import os
import random
import re
import subprocess
import sys

spec = importlib.util.spec_from_file_location("chips", os.path.join(sys.argv[2], "chips.py"))
chips = importlib.util.module_from_spec(spec)
spec.loader.exec_module(chips)
RX, TQM = chips.TABLE["rx4410"], chips.TABLE["tqm7731"]
ORACLE = sys.argv[1]
ALL = 0xFF

# Every line kind of `tarvel --decode`.
KINDS = {
    "write": r"RX4410 Chan \d write \d+$",
    "read": r"RX4410 Chan \d read -> \d+$",
    "tqm": r"TQM7731 Attn A \d+, Attn B \d+$",
    "bad length": r"RX4410 Chan \d: write frame of \d+ bits ignored$",
    "bit 1 set": r"RX4410 Chan \d: write frame of 8 bits with bit 1 set ignored$",
    "tqm length": r"TQM7731: enable fell after \d+ bits, nothing latched$",
    "read length": r"RX4410 Chan \d: read frame of \d+ clocks, not 7: no complete code$",
    "never driven": r"RX4410 Chan \d: status line S\d never driven during read$",
    "status unknown": r"RX4410 Chan \d: status line S\d unknown at bit \d of read$",
    "data unknown": r"(RX4410 Chan \d|TQM7731): data line D\d unknown at bit \d+ of write$",
    "cut off": r"(RX4410 Chan \d|TQM7731): capture ended inside a frame after \d+ bits$",
}


class Capture:
    """Steps (time, data, status, data known, status known) being built."""

    def __init__(self, data=0x81, known=ALL, status_known=ALL):
        self.t, self.data, self.status = 0, data, 0
        self.known, self.status_known = known, status_known
        self.steps = [(0, data, 0, known, status_known)]

    def set(self, data=None, status=None, known=None, status_known=None):
        self.t += 1
        if data is not None:
            self.data = data
        if status is not None:
            self.status = status
        if known is not None:
            self.known = known
        if status_known is not None:
            self.status_known = status_known
        self.steps.append((self.t, self.data, self.status, self.known, self.status_known))

    def rx(self, c, bits, status_for_edge=None):
        """A frame on RX4410 channel c; status_for_edge(edge) -> level driven
        on its output after that rising edge (None: unknown)."""
        lines = RX["channels"][c]
        base = self.data & ~(lines["select"] | lines["clock"] | lines["data"])
        self.set(data=base)
        for edge, bit in enumerate(bits, 1):
            d = base | (lines["data"] if bit else 0)
            self.set(data=d)
            level = status_for_edge(edge) if status_for_edge else 0
            known = self.status_known | lines["output"] if level is not None else self.status_known & ~lines["output"]
            self.set(data=d | lines["clock"], status=lines["output"] if level else 0, status_known=known)
        self.set(data=base | lines["select"])

    def tqm(self, bits):
        base = self.data & ~(TQM["enable"] | TQM["clock"] | TQM["data"])
        self.set(data=base | TQM["enable"])
        for bit in bits:
            d = base | TQM["enable"] | (TQM["data"] if bit else 0)
            self.set(data=d)
            self.set(data=d | TQM["clock"])
        self.set(data=base)


def run_oracle(captures):
    """The program's frames of each capture."""
    text = "".join("".join("s %d %d %d %d %d\n" % s for s in c.steps) + "f %d\n" % c.t for c in captures)
    out = subprocess.run([ORACLE], input=text, capture_output=True, text=True, check=True, timeout=30).stdout
    frames = [[]]
    for line in out.splitlines():
        if line == "-":
            frames.append([])
            continue
        r = line.split(" ", 7)
        frames[-1].append((int(r[0]), int(r[1]), r[2], int(r[3]), int(r[4]), int(r[5]), int(r[6]), r[7]))
    assert len(frames) == len(captures) + 1, len(frames)
    return frames[:-1]


def run_python(capture):
    frames = []

    def sink(f):
        frames.append((f.start, f.end, f.kind, f.bits, f.word, f.codes[0], f.codes[1], f.text))

    decoder = chips.FrameDecoder(sink)
    for step in capture.steps:
        decoder.step(*step)
    decoder.finish(capture.t)
    return frames


def one(frames, chip="RX4410"):
    """The one frame of the chip in a probe (the TQM7731's lines are the
    RX4410 "Chan 1"'s, which may see frames of its own in them)."""
    mine = [f for f in frames if f[7].startswith(chip)]
    assert len(mine) == 1, frames
    return mine[0]


def derive_rules():
    """The frame rules as the program's decoder applies them."""
    probes = {}
    for n in range(1, 13):
        probes["write", n] = [1, 0] + [0] * (n - 2) if n >= 2 else [1]
        probes["read", n] = [0] * n
        probes["tqm", n] = [0] * n
    for k in range(2, 8):  # RX4410 writes with frame bit k set
        probes["code", k] = [1, 0] + [int(i == k) for i in range(2, 8)]
    keys, caps = [], []
    for key, bits in probes.items():
        cap = Capture()
        if key[0] == "tqm":
            cap.tqm(bits)
        elif key[0] == "read":
            cap.rx(0, bits, lambda edge: 1)
        else:
            cap.rx(0, bits)
        keys.append(key)
        caps.append(cap)
    for k in range(12):  # TQM7731 words with bit k set
        cap = Capture()
        cap.tqm([int(i == k) for i in range(TQM["word_bits"])])
        keys.append(("tqm bit", k))
        caps.append(cap)
    for e in range(1, 8):  # RX4410 reads whose output is high only after edge e
        cap = Capture()
        cap.rx(0, [0] * RX["read_clocks"], lambda edge, e=e: edge == e)
        keys.append(("read edge", e))
        caps.append(cap)
    got = dict(zip(keys, run_oracle(caps)))

    def lengths(kind, ok, chip="RX4410"):
        return [n for (k, n), f in got.items() if k == kind and one(f, chip)[2] == ok]

    [write_bits], [read_clocks] = lengths("write", "write"), lengths("read", "read")
    [word_bits] = lengths("tqm", "write", "TQM7731")
    code_at = {k: one(f)[5] for (kind, k), f in got.items() if kind == "code" and one(f)[2] == "write" and one(f)[5]}
    tqm_at = {k: one(f, "TQM7731")[5:7] for (kind, k), f in got.items()
              if kind == "tqm bit" and one(f, "TQM7731")[2] == "write"}
    read_at = {e: one(f)[5] for (kind, e), f in got.items() if kind == "read edge" and one(f)[5] > 0}
    attn_a = sorted(k for k, (a, b) in tqm_at.items() if a)
    attn_b = sorted(k for k, (a, b) in tqm_at.items() if b)
    for k, code in code_at.items():
        assert code == 1 << (k - min(code_at)), (k, code)
    for e, code in read_at.items():
        assert code == 1 << (e - min(read_at)), (e, code)
    assert len(attn_a) == len(attn_b), (attn_a, attn_b)
    return {
        "write_bits": write_bits, "code_shift": min(code_at), "code_bits": len(code_at),
        "read_clocks": read_clocks, "first_output_edge": min(read_at),
        "word_bits": word_bits, "attn_a_shift": attn_a[0], "attn_b_shift": attn_b[0], "attn_bits": len(attn_a),
    }, caps


def random_captures(rng, count):
    caps = []
    for _ in range(count):
        cap = Capture(data=rng.choice([0x81, 0x80, 0x01, 0x00, 0xFF]),
                      known=rng.choice([ALL, ALL, ALL, 0xFD, 0x00]), status_known=rng.choice([ALL, ALL, 0xEF, 0]))
        for _ in range(rng.randint(1, 4)):
            what = rng.random()
            n = rng.choice([0, 1, 5, 6, 7, 7, 8, 8, 8, 9, 10, 10, 11])
            bits = [rng.randint(0, 1) for _ in range(n)]
            if what < 0.15 and bits:
                bits[1 % len(bits)] = 0
            c = rng.randint(0, 1)
            code = rng.randint(0, 63)
            if what < 0.4:
                cap.rx(c, [1, 0] + bits[2:] if rng.random() < 0.7 else bits)
            elif what < 0.7:
                lost = rng.choice([None, None, rng.randint(2, 8)])  # the output unknown from then on
                cap.rx(c, [0] + bits[1:],
                       lambda edge: None if lost and edge >= lost else (code >> (edge - 2)) & 1 if edge >= 2 else 1)
            else:
                cap.tqm(bits)
            # Noise: a line flips, becomes unknown or known again.
            for _ in range(rng.randint(0, 3)):
                r = rng.random()
                if r < 0.4:
                    cap.set(data=cap.data ^ (1 << rng.randint(0, 7)))
                elif r < 0.6:
                    cap.set(known=cap.known ^ (1 << rng.choice([0, 1, 2, 5, 6, 7])))
                elif r < 0.8:
                    cap.set(status=cap.status ^ rng.choice([0x10, 0x20]),
                            status_known=cap.status_known ^ rng.choice([0, 0x10, 0x20]))
        if rng.random() < 0.2:  # cut off inside a frame
            cap.steps = cap.steps[:rng.randint(1, len(cap.steps))]
            cap.t = cap.steps[-1][0]
        caps.append(cap)
    return caps


def main():
    failures = []
    out = subprocess.run([ORACLE, "--lines"], capture_output=True, text=True, check=True).stdout.split("\n")
    cxx_rx = [dict(zip(("select", "clock", "data", "output"), map(int, l.split()[2:]))) for l in out[:2]]
    cxx_tqm = dict(zip(("enable", "clock", "data"), map(int, out[2].split()[1:])))
    if tuple(cxx_rx) != tuple(RX["channels"]):
        failures.append("RX4410 lines: Wiring.h %s, the decoder's table %s" % (cxx_rx, RX["channels"]))
    if {k: TQM[k] for k in cxx_tqm} != cxx_tqm:
        failures.append("TQM7731 lines: Wiring.h %s, the decoder's table %s" % (cxx_tqm, TQM))

    rules, probe_caps = derive_rules()
    table = {k: v for k, v in {**RX, **TQM}.items() if k in rules}
    if rules != table:
        failures.append("frame rules: the program's decoder %s, the decoder's table %s" % (rules, table))

    caps = probe_caps + random_captures(random.Random(4410), 3000)
    seen = set()
    for cap, want in zip(caps, run_oracle(caps)):
        got = run_python(cap)
        for f in want:
            seen.update(k for k, pattern in KINDS.items() if re.match(pattern, f[7]))
        if got != want:
            failures.append("steps %s\n  program: %s\n  sigrok decoder: %s" % (cap.steps, want, got))
            break
    if seen != set(KINDS) and not failures:
        failures.append("the sequences never brought out: %s" % sorted(set(KINDS) - seen))
    print("%d captures decoded alike; frame rules %s" % (len(caps), rules))
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
