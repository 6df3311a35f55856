##
## Tarvel Control Software: the RX4410 and TQM7731 on a parallel port.
##
## The chips' line assignments and frame rules in one table, and the frame
## decoder built on it. The protocol decoder (pd.py) feeds it the lines'
## levels; tests/sigrok/check_table.py compares the table with what the
## program's own chip models and frame decoder (sim/ChipModels.h,
## capture/FrameDecoder.cpp) do, so the two decoders judge a frame alike.
## Nothing here needs libsigrokdecode.
##

# Port lines as bit masks: D0..D7 of the data register, and the status
# register's bits for the RX4410's serial outputs.
TABLE = {
    'rx4410': {
        # "Chan 1", "Chan 2": select (active low), clock, data in, serial
        # out (a status bit).
        'channels': (
            {'select': 0x01, 'clock': 0x04, 'data': 0x02, 'output': 0x20},
            {'select': 0x80, 'clock': 0x20, 'data': 0x40, 'output': 0x10},
        ),
        'write_bits': 8,      # a write frame: 1, 0, then the code
        'code_shift': 2,      # the code is bits 2.. of the frame
        'code_bits': 6,
        'read_clocks': 7,     # a read frame: 0, then one clock per code bit
        'first_output_edge': 2,  # code bit j is driven after rising edge j+2
    },
    'tqm7731': {
        'enable': 0x04,       # active high
        'clock': 0x02,
        'data': 0x01,
        'word_bits': 10,
        'attn_a_shift': 5,    # "Attn A" in bits 5..9, "Attn B" in bits 0..4
        'attn_b_shift': 0,
        'attn_bits': 5,
    },
}

RX = TABLE['rx4410']
TQM = TABLE['tqm7731']
CHANNEL_NAMES = ('RX4410 Chan 1', 'RX4410 Chan 2')


def line_name(kind, mask):
    return '%s%d' % (kind, (mask & -mask).bit_length() - 1)


def _uses(mask):
    rx = ['%s %s' % (CHANNEL_NAMES[c][7:], role)
          for c, lines in enumerate(RX['channels'])
          for role, key in (('select', 'select'), ('clock', 'clock'), ('data in', 'data'))
          if lines[key] == mask]
    tqm = ['TQM7731 %s' % role for role in ('enable', 'clock', 'data') if TQM[role] == mask]
    return ', '.join(['RX4410 ' + u for u in rx] + tqm)


# The decoder's channels: (id, name, register, mask, description). The data
# lines D0..D7, then the status lines S3..S5, in the order of the program's
# trace (TARVEL_TRACE), so that sigrok-cli's default mapping by position fits
# it. Lines no chip uses are there for that order alone.
def _status_use(mask):
    return ', '.join('RX4410 %s serial out' % CHANNEL_NAMES[c][7:]
                     for c, lines in enumerate(RX['channels']) if lines['output'] == mask)


CHANNELS = tuple(
    [('d%d' % bit, 'D%d' % bit, 'data', 1 << bit, _uses(1 << bit) or 'not used')
     for bit in range(8)] +
    [('s%d' % bit, 'S%d' % bit, 'status', 1 << bit, _status_use(1 << bit) or 'not used')
     for bit in range(3, 6)])


# What a chip did with a frame when its frame line went inactive.
NONE, EMPTY, LATCHED, REJECTED, READ = range(5)


class ChipFrame:
    """The bits a chip shifted in since its frame line went active; the
    first bit is bit 0 of word."""

    def __init__(self):
        self.active = False
        self.bits = 0
        self.word = 0

    def start(self):
        self.active, self.bits, self.word = True, 0, 0

    def take(self, bit):
        if self.bits < 32 and bit:
            self.word |= 1 << self.bits
        if self.bits < 1000:
            self.bits += 1

    def copy(self):
        f = ChipFrame()
        f.active, f.bits, f.word = self.active, self.bits, self.word
        return f


class LineStep:
    def __init__(self):
        self.started = False
        self.took_bit = False
        self.end = NONE
        self.ended = None


def _rose(before, after, line):
    return not (before & line) and bool(after & line)


def _fell(before, after, line):
    return bool(before & line) and not (after & line)


class Rx4410Channel:
    """One channel of the RX4410. A falling select starts a frame; every
    rising clock while selected takes one bit. The first bit is 1 for a
    write, 0 for a read. A write frame of write_bits bits whose bit 1 is 0
    latches its code when select rises; in a read frame the chip drives code
    bit j on its output after rising edge j + first_output_edge."""

    def __init__(self, channel):
        self.lines = RX['channels'][channel]
        self.frame = ChipFrame()
        self.output_bit = -1

    def change(self, before, after):
        l, f, step = self.lines, self.frame, LineStep()
        # The select edge counts first; a clock edge in the same change is
        # then judged against the new select level.
        if _fell(before, after, l['select']):
            f.start()
            step.started = True
            self.output_bit = -1
        elif _rose(before, after, l['select']):
            if f.active:
                step.ended = f.copy()
                if f.bits == 0:
                    step.end = EMPTY
                elif not f.word & 1:
                    step.end = READ
                elif f.bits == RX['write_bits'] and not f.word & 2:
                    step.end = LATCHED
                else:
                    step.end = REJECTED
            f.active = False
            self.output_bit = -1
        if f.active and not after & l['select'] and _rose(before, after, l['clock']):
            f.take(after & l['data'])
            step.took_bit = True
            j = f.bits - RX['first_output_edge']
            self.output_bit = j if not f.word & 1 and 0 <= j < RX['code_bits'] else -1
        return step

    @staticmethod
    def code(word):
        return (word >> RX['code_shift']) & ((1 << RX['code_bits']) - 1)


class Tqm7731Chip:
    """A rising enable starts a frame, every rising clock while enabled takes
    one bit, and a falling enable after word_bits bits latches the word."""

    def __init__(self):
        self.frame = ChipFrame()

    def change(self, before, after):
        f, step = self.frame, LineStep()
        if _rose(before, after, TQM['enable']):
            f.start()
            step.started = True
        elif _fell(before, after, TQM['enable']):
            if f.active:
                step.ended = f.copy()
                step.end = (EMPTY if f.bits == 0 else
                            LATCHED if f.bits == TQM['word_bits'] else REJECTED)
            f.active = False
        if f.active and after & TQM['enable'] and _rose(before, after, TQM['clock']):
            f.take(after & TQM['data'])
            step.took_bit = True
        return step

    @staticmethod
    def attn_a(word):
        return (word >> TQM['attn_a_shift']) & ((1 << TQM['attn_bits']) - 1)

    @staticmethod
    def attn_b(word):
        return (word >> TQM['attn_b_shift']) & ((1 << TQM['attn_bits']) - 1)


class Frame:
    """A decoded frame: kind 'write', 'read' or 'anomaly'; text as
    `tarvel --decode` prints it; marks: (start, end, bit text) per bit."""

    def __init__(self, chip, channel, start, end, bits, word):
        self.chip, self.channel = chip, channel
        self.start, self.end = start, end
        self.bits, self.word = bits, word
        self.kind = 'anomaly'
        self.codes = [-1, -1]
        self.text = ''
        self.marks = []

    @property
    def name(self):
        return 'TQM7731' if self.chip == 'TQM7731' else CHANNEL_NAMES[self.channel]


class FrameDecoder:
    """Levels of the data and status lines in, frames out, as the program's
    frame decoder does: a line not known (not captured) keeps its level and
    makes no edge; a line known for the first time makes no edge either."""

    def __init__(self, sink):
        self.sink = sink
        self.started = False
        self.held = 0
        self.ever_known = 0
        self.last = (0, 0, 0, 0)  # data, status, data known, status known
        self.rx = [Rx4410Channel(0), Rx4410Channel(1)]
        self.tqm = Tqm7731Chip()
        self.frame_start = [0, 0, 0]
        self.unknown_bit = [-1, -1, -1]
        self.samples = [[-1] * RX['code_bits'] for _ in range(2)]
        self.edges = [[], [], []]  # (time, bit, known) per clocked bit

    def step(self, time, data, status, data_known=0xFF, status_known=0xFF):
        after = ((self.held & ~data_known) | (data & data_known)) & 0xFF
        if not self.started:
            self.started = True
            self.held = after
            self.ever_known = data_known
            self.last = (data, status, data_known, status_known)
            return
        before = ((self.held & self.ever_known) | (after & ~self.ever_known)) & 0xFF
        self.ever_known |= data_known
        last_status, last_status_known = self.last[1], self.last[3]

        for c, chip in enumerate(self.rx):
            # The level the chip drove for bit j until this change.
            j = chip.output_bit
            if j >= 0:
                out = chip.lines['output']
                self.samples[c][j] = (1 if last_status & out else 0) if last_status_known & out else -1
            step = chip.change(before, after)
            if step.started:
                self._started(c, time)
                self.samples[c] = [-1] * RX['code_bits']
            if step.took_bit:
                self._took(c, time, chip.frame, chip.lines['data'], data_known)
            if step.end != NONE:
                self._end_rx(c, time, step)

        step = self.tqm.change(before, after)
        if step.started:
            self._started(2, time)
        if step.took_bit:
            self._took(2, time, self.tqm.frame, TQM['data'], data_known)
        if step.end != NONE:
            self._end_tqm(time, step)

        self.held = after
        self.last = (data, status, data_known, status_known)

    def finish(self, time):
        """The capture ended at time: frames still open are reported."""
        for c in range(3):
            frame = self.tqm.frame if c == 2 else self.rx[c].frame
            if not frame.active or frame.bits == 0:
                continue
            f = self._frame(c, time, frame)
            f.text = '%s: capture ended inside a frame after %d bits' % (f.name, f.bits)
            f.marks = self._write_marks(c, time)
            self.sink(f)

    def _started(self, c, time):
        self.frame_start[c] = time
        self.unknown_bit[c] = -1
        self.edges[c] = []

    def _took(self, c, time, frame, data_line, data_known):
        known = bool(data_known & data_line)
        if not known and self.unknown_bit[c] < 0:
            self.unknown_bit[c] = frame.bits - 1
        self.edges[c].append((time, (frame.word >> (frame.bits - 1)) & 1 if frame.bits <= 32 else 0, known))

    def _frame(self, c, time, chip_frame):
        return Frame('TQM7731' if c == 2 else 'RX4410', c if c < 2 else 0, self.frame_start[c], time,
                     chip_frame.bits, chip_frame.word)

    def _write_marks(self, c, end):
        edges = self.edges[c]
        return [(t, edges[i + 1][0] if i + 1 < len(edges) else end, str(bit) if known else '?')
                for i, (t, bit, known) in enumerate(edges)]

    def _read_marks(self, c, end):
        # The command bit, then each code bit while the chip drove it.
        edges = self.edges[c]
        marks = []
        for i, (t, bit, known) in enumerate(edges):
            until = edges[i + 1][0] if i + 1 < len(edges) else end
            j = i + 1 - RX['first_output_edge']
            if i == 0:
                marks.append((t, until, str(bit) if known else '?'))
            elif 0 <= j < RX['code_bits']:
                sample = self.samples[c][j]
                marks.append((t, until, '?' if sample < 0 else str(sample)))
        return marks

    def _end_rx(self, c, time, step):
        if step.end == EMPTY:
            return
        f = self._frame(c, time, step.ended)
        name = f.name
        if step.end == READ:
            status_line = line_name('S', RX['channels'][c]['output'])
            unknown, known, code = -1, 0, 0
            for j in range(min(RX['code_bits'], f.bits - 1)):
                sample = self.samples[c][j]
                if sample < 0:
                    if unknown < 0:
                        unknown = j
                else:
                    known += 1
                    code |= sample << j
            f.word = code
            f.marks = self._read_marks(c, time)
            if f.bits != RX['read_clocks']:
                f.text = '%s: read frame of %d clocks, not %d: no complete code' % (
                    name, f.bits, RX['read_clocks'])
            elif known == 0:
                f.text = '%s: status line %s never driven during read' % (name, status_line)
            elif unknown >= 0:
                f.text = '%s: status line %s unknown at bit %d of read' % (name, status_line, unknown)
            else:
                f.kind = 'read'
                f.codes[0] = code
                f.text = '%s read -> %d' % (name, code)
        else:
            f.marks = self._write_marks(c, time)
            if step.end == REJECTED:
                f.text = '%s: write frame of %d bits%s ignored' % (
                    name, f.bits, ' with bit 1 set' if f.bits == RX['write_bits'] else '')
            elif self.unknown_bit[c] >= 0:
                f.text = '%s: data line %s unknown at bit %d of write' % (
                    name, line_name('D', RX['channels'][c]['data']), self.unknown_bit[c])
            else:
                f.kind = 'write'
                f.codes[0] = Rx4410Channel.code(f.word)
                f.text = '%s write %d' % (name, f.codes[0])
        self.sink(f)

    def _end_tqm(self, time, step):
        if step.end == EMPTY:
            return
        f = self._frame(2, time, step.ended)
        f.marks = self._write_marks(2, time)
        if step.end == REJECTED:
            f.text = 'TQM7731: enable fell after %d bits, nothing latched' % f.bits
        elif self.unknown_bit[2] >= 0:
            f.text = 'TQM7731: data line %s unknown at bit %d of write' % (
                line_name('D', TQM['data']), self.unknown_bit[2])
        else:
            f.kind = 'write'
            f.codes = [Tqm7731Chip.attn_a(f.word), Tqm7731Chip.attn_b(f.word)]
            f.text = 'TQM7731 Attn A %d, Attn B %d' % tuple(f.codes)
        self.sink(f)
