#!/usr/bin/python3
"""The hand-made captures of the frame decoder's tests (tests/test_decoder.cpp)
written out as VCD files, for the sigrok decoder's and PulseView's tests:
the same wires, timescales, glitches and cut-offs, plus a few that only a
missing wire can show to sigrok.

Every file ends with a timestamp of its own after the last change, as a
logic analyser's capture does: libsigrok's VCD input drops the changes at
the last timestamp.

    captures.py FOLDER                  writes FOLDER/NAME.vcd for every capture
    captures.py --glitch TRACE LINE N   the program's trace with a 100 ns pulse on
                                        LINE after its Nth falling edge, to
                                        standard output
"""
import os
import re
import sys

# Wires named as another analyser names its probes, in nested scopes.
PROBES = ("$scope module top $end\n$scope module la $end\n$var wire 1 c probe2 $end\n"
          "$var wire 1 b probe1 $end\n$upscope $end\n$var wire 1 a PROBE0 $end\n$upscope $end\n")
PROBE_MAP = {"D0": "PROBE0", "D1": "probe1", "D2": "probe2"}
PORT = ("$scope module lpt $end\n$var wire 1 ! D0 $end\n$var wire 1 \" D1 $end\n$var wire 1 # D2 $end\n"
        "$var wire 8 $ bus $end\n$var wire 1 % S5 $end\n$upscope $end\n")
PORT_MAP = {"D0": "D0", "D1": "D1", "D2": "D2", "S5": "S5"}


def header(timescale, wires):
    return "$date today $end\n$timescale %s $end\n%s$enddefinitions $end\n" % (timescale, wires)


def body(steps, end_step):
    """(time, changes) steps as VCD, then the capture's last timestamp."""
    out = "".join("#%d\n%s\n" % (t, changes) for t, changes in steps)
    return out + "#%d\n" % (steps[-1][0] + end_step)


def rx_write(t0, dt, bits, glitch=False):
    """An RX4410 "Chan 1" write on wires a (D0), b (D1), c (D2), as the C++
    test builds it; glitch adds a clock pulse after bit 3."""
    t = t0
    s = [(t, "1a 0b 0c")]
    for i, bit in enumerate(bits):
        t += dt
        s.append((t, "0a %sb 0c" % bit))
        t += dt
        s.append((t, "1c"))
        if glitch and i == 3:
            s += [(t + 1, "0c 1c"), (t + 2, "0c"), (t + 3, "1c")]
            t += 3
    s.append((t + dt, "1a 0b 0c"))
    return s


def probe_capture(timescale, steps, end_step=1):
    return header(timescale, PROBES) + "$dumpvars\n0a 0b 0c\n$end\n" + body(steps, end_step)


def with_x_on_bit2():
    s = rx_write(0, 10, "10000101")
    s[5] = (s[5][0], "0a xb 0c")
    return s


def tqm_frame(bits, wires="! \" #"):
    """A TQM7731 frame of len(bits) clocks: data !, clock ", enable #."""
    d, c, e = wires.split()
    s, t = [(0, "0%s 0%s 0%s" % (d, c, e)), (1, "1" + e)], 2
    for bit in bits:
        s += [(t, "%s%s 1%s" % (bit, d, c)), (t + 1, "0" + c)]
        t += 2
    # A vector wire changes too, at a step of its own: libsigrok 0.5's VCD
    # input loses the other changes of a step that changes a vector.
    s += [(t, "0" + e), (t + 1, "b1010 $")]
    return s


def rx_read(clocks, code, status="%", start_status="0"):
    """An RX4410 "Chan 1" read of `clocks` clocks: select ! low, clock #,
    and the chip's output driven on the status wire after edge j + 2 (none
    when status is empty)."""
    s = [(0, "1! 0\" 0#" + (" %s%s" % (start_status, status) if status else "")), (1, "0!")]
    t = 2
    for edge in range(1, clocks + 1):
        s.append((t, "1#"))
        j = edge - 2
        s.append((t + 1, "0# %d%s" % ((code >> j) & 1 if 0 <= j < 6 else 0, status) if status else "0#"))
        t += 2
    s.append((t, "1!"))
    return s


PORT_NO_S5 = PORT.replace("$var wire 1 % S5 $end\n", "")
PORT_NO_D0 = PORT.replace("$var wire 1 ! D0 $end\n", "$var wire 1 ! other $end\n")

# name: (VCD text, {port line: wire}). Lines not in the map are not captured.
CAPTURES = {
    "ns_steps": (probe_capture("10ns", rx_write(0, 100, "10000101"), 100), PROBE_MAP),
    "ps_timescale": (probe_capture("1 ps", rx_write(2000000, 1000, "10000101"), 1000), PROBE_MAP),
    "clock_glitch": (probe_capture("1us", rx_write(0, 10, "10000101", glitch=True), 10), PROBE_MAP),
    "short_frame": (probe_capture("1us", rx_write(0, 10, "1000010"), 10), PROBE_MAP),
    "bit1_set": (probe_capture("1us", rx_write(0, 10, "11000101"), 10), PROBE_MAP),
    "x_on_data": (probe_capture("1us", with_x_on_bit2(), 10), PROBE_MAP),
    "z_start": (probe_capture("1 us", [(0, "za zb zc"), (5, "0a"), (5, "0b"), (6, "1c"), (7, "1a")]),
                PROBE_MAP),
    "cut_off": (probe_capture("1 us", [(0, "1a 0b 0c"), (1, "0a 1b"), (2, "1c")]), PROBE_MAP),
    "tqm_9_bits": (header("1us", PORT) + body(tqm_frame("101010101"), 1), PORT_MAP),
    "status_x": (header("1us", PORT) + body(rx_read(7, 37, status="%", start_status="x")[:1] +
                                            rx_read(7, 37, status="")[1:], 1), PORT_MAP),
    # Only a wire left out shows sigrok a line it cannot know.
    "read_no_s5": (header("1us", PORT_NO_S5) + body(rx_read(7, 37, status=""), 1),
                   {"D0": "D0", "D1": "D1", "D2": "D2"}),
    "tqm_no_d0": (header("1us", PORT_NO_D0) + body(tqm_frame("1010110011"), 1), {"D1": "D1", "D2": "D2"}),
    # Two lines and no mapping: the decoder finds by itself which were captured.
    "two_lines": (header("1 us", "$scope module lpt $end\n$var wire 1 ! D0 $end\n$var wire 1 + S5 $end\n"
                                 "$upscope $end\n") + "#0\n1!\n0+\n#1\n0!\n", {}),
    "short_read": (header("1us", PORT) + body(rx_read(5, 37), 1), PORT_MAP),
    "read_37": (header("1us", PORT) + body(rx_read(7, 37), 1), PORT_MAP),
}


def with_glitch(trace, line, falls):
    """The program's trace (1 us steps) in 100 ns steps, with LINE pulsed
    high for 100 ns half a step after its falls-th falling edge, as ringing
    on a long cable would."""
    head, changes = trace.split("$enddefinitions $end\n", 1)
    wire = re.search(r"\$var wire 1 (\S+) %s \$end" % line, head).group(1)
    out, level, seen = [], None, 0
    for token in changes.split():
        if token.startswith("#"):
            out.append("#%d" % (int(token[1:]) * 10))
            if seen == falls:
                t = int(token[1:]) * 10
                out[-1:] = ["#%d" % (t - 5), "1" + wire, "#%d" % (t - 4), "0" + wire, out[-1]]
                seen += 1
            continue
        if token[1:] == wire:
            if level == "1" and token[0] == "0":
                seen += 1
            level = token[0]
        out.append(token)
    head = re.sub(r"\$timescale\s+1\s*us\s+\$end", "$timescale 100 ns $end", head)
    return head + "$enddefinitions $end\n" + "\n".join(out) + "\n"


def write_all(folder):
    os.makedirs(folder, exist_ok=True)
    for name, (text, _) in CAPTURES.items():
        with open(os.path.join(folder, name + ".vcd"), "w", encoding="ascii") as f:
            f.write(text)


if __name__ == "__main__":
    if sys.argv[1] == "--glitch":
        with open(sys.argv[2], encoding="ascii") as f:
            sys.stdout.write(with_glitch(f.read(), sys.argv[3], int(sys.argv[4])))
    else:
        write_all(sys.argv[1])
