#!/usr/bin/python3
"""What the windows' scenario left behind, checked once tarvelw.exe ended.

    windows_scenario_check.py bytes WORK   the fake library's record of the data
        register holds the RX4410 send of 30 and 12 and, after it, the TQM7731
        send of 5 and 12, byte for byte as the chips' write sequences are laid
        down (idle byte, leading clock pulse, data bits least significant first
        as clock-low/clock-high pairs, trailing pulse, idle byte)
    windows_scenario_check.py sim WORK     the simulated bench holds 7 and 41
"""
import os
import sys


def rx4410_channel(first, code):
    data, clock, frame = (2, 4, 128) if first else (64, 32, 1)
    idle, word = 0x81, 4 * (code & 63) + 1
    bits = [(word >> k) & 1 for k in range(8)]
    return [idle, idle, idle + clock] + [x for b in bits for x in (frame + b * data, frame + clock + b * data)] \
        + [idle, idle + clock, idle]


def tqm7731(first, second):
    word = (first & 31) * 32 + (second & 31)
    bits = [(word >> k) & 1 for k in range(10)]
    return [0, 0, 2] + [x for b in bits for x in (4 + b, 6 + b)] + [0, 2, 0]


def hexes(text):
    return [int(x, 16) for x in text.split()]


# Sequences worked out by hand from the line tables (bytes in the order
# written): the generators above must reproduce them first.
EXAMPLES = [
    (tqm7731(5, 3), "00 00 02 05 07 05 07 04 06 04 06 04 06 05 07 04 06 05 07 04 06 04 06 00 02 00"),
    (rx4410_channel(True, 40), "81 81 85 82 86 80 84 80 84 80 84 80 84 82 86 80 84 82 86 81 85 81"),
    (rx4410_channel(False, 40), "81 81 A1 41 61 01 21 01 21 01 21 01 21 41 61 01 21 41 61 81 A1 81"),
    (rx4410_channel(False, 63), "81 81 A1 41 61 01 21 41 61 41 61 41 61 41 61 41 61 41 61 81 A1 81"),
]


def find(haystack, needle, start=0):
    for i in range(start, len(haystack) - len(needle) + 1):
        if haystack[i:i + len(needle)] == needle:
            return i
    return -1


def main():
    mode, work = sys.argv[1], sys.argv[2]
    failures = []
    if mode == "bytes":
        for made, given in EXAMPLES:
            if made != hexes(given):
                failures.append(f"the expected sequence {given} is made as {made}")
        with open(os.path.join(work, "port.bytes")) as f:
            written = hexes(f.read())
        rx = rx4410_channel(True, 30) + rx4410_channel(False, 12)
        tqm = tqm7731(5, 12)
        at = find(written, rx)
        if at < 0 or find(written, rx, at + 1) >= 0:
            failures.append("the RX4410 send of 30, 12 is not in the port's bytes exactly once")
        elif find(written, tqm, at + len(rx)) < 0:
            failures.append("the TQM7731 send of 5, 12 does not follow it")
        if failures:
            failures.append("the data register got: " + " ".join(f"{b:02X}" for b in written))
    else:
        with open(os.path.join(work, "bench.state")) as f:
            lines = f.read().splitlines()
        if "rx4410 7 41" not in lines:
            failures.append("the simulated bench's RX4410 does not hold 7, 41: " + " | ".join(lines))
    for failure in failures:
        print("FAIL " + failure)
    if not failures:
        print(f"{mode}: as sent")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
