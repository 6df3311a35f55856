##
## Tarvel Control Software: the RX4410 and TQM7731 on a parallel port.
##

'''
Decodes the serial control words that Tarvel Control Software bit-bangs
through a PC parallel port to the RX4410 and TQM7731 gain chips, and the
codes the RX4410 returns on the port's status lines.

Channels are the port's lines: D0..D7 of the data register as the chips use
them, S5 and S4 (status register) for the RX4410's serial outputs. Each is
optional: a line not captured is taken as unknown, as `tarvel --decode` does.

RX4410, per channel ("Chan 1" / "Chan 2"): select D0 / D7 (active low),
clock D2 / D5, data in D1 / D6, serial out S5 / S4. 8-bit write frames
(1, 0, then the 6-bit code, least significant bit first); 7-clock read
frames (0, then the chip drives the code's bits).

TQM7731: data D0, clock D1, enable D2 (active high); one 10-bit word
("Attn B" in bits 0..4, "Attn A" in bits 5..9) latched when enable falls.

The annotations are the lines `tarvel --decode` prints, at the frame's start,
and frames the chips ignored (wrong length, wrong shape, an unknown line, a
capture that ended inside a frame) as warnings.
'''

from .pd import Decoder
