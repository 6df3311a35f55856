##
## Tarvel Control Software: the RX4410 and TQM7731 on a parallel port.
##
## The protocol decoder: feeds the captured lines' levels to the frame
## decoder in chips.py at every change and turns its frames into
## annotations.
##

import sigrokdecode as srd

from .chips import CHANNELS, FrameDecoder

# Annotation classes.
A_WRITE, A_READ, A_BIT, A_WARNING = range(4)


def short_texts(frame):
    """The frame's text, then shorter forms for a narrow view."""
    text = frame.text
    tail = text.split(': ', 1)[1] if ': ' in text else text
    if frame.kind == 'write' and frame.chip == 'TQM7731':
        return [text, tail[len('TQM7731 '):], 'A%d B%d' % tuple(frame.codes)]
    if frame.kind == 'write':
        return [text, tail[len('RX4410 '):], 'W %d' % frame.codes[0]]
    if frame.kind == 'read':
        return [text, tail[len('RX4410 '):], 'R %d' % frame.codes[0]]
    return [text, tail, '!']


class Decoder(srd.Decoder):
    api_version = 3
    id = 'tarvel'
    name = 'Tarvel'
    longname = 'Tarvel RX4410 / TQM7731 control words'
    desc = 'Gain chips RX4410 and TQM7731 bit-banged through a parallel port.'
    license = 'proprietary'
    inputs = ['logic']
    outputs = []
    tags = ['Embedded/industrial']
    optional_channels = tuple({'id': cid, 'name': name, 'desc': desc}
                              for cid, name, _, _, desc in CHANNELS)
    options = (
        {'id': 'chip', 'desc': 'Chips to decode', 'default': 'both',
         'values': ('both', 'RX4410', 'TQM7731')},
    )
    annotations = (
        ('write', 'Write'),
        ('read', 'Read'),
        ('bit', 'Bit'),
        ('warning', 'Warning'),
    )
    annotation_rows = (
        ('frames', 'Frames', (A_WRITE, A_READ)),
        ('bits', 'Bits', (A_BIT,)),
        ('warnings', 'Warnings', (A_WARNING,)),
    )

    def __init__(self):
        self.reset()

    def reset(self):
        self.decoder = FrameDecoder(self.emit)

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)

    def emit(self, frame):
        if self.options['chip'] not in ('both', frame.chip):
            return
        for start, end, bit in frame.marks:
            self.put(start, end, self.out_ann, [A_BIT, [bit]])
        kind = {'write': A_WRITE, 'read': A_READ}.get(frame.kind, A_WARNING)
        self.put(frame.start, frame.end, self.out_ann, [kind, short_texts(frame)])

    def decode(self):
        # The first sample sets the starting levels and tells which lines
        # were captured: an optional channel left unmapped reads neither 0
        # nor 1 (libsigrokdecode gives it 0xff). has_channel() is not used:
        # libsigrokdecode 0.5.3 returns its True/False without a reference,
        # and the interpreter aborts when the count runs out.
        first = self.wait()
        present = [i for i in range(len(CHANNELS)) if first[i] in (0, 1)]
        if not present:
            return  # nothing captured: every line unknown, no frame
        data_known = sum(CHANNELS[i][3] for i in present if CHANNELS[i][2] == 'data')
        status_known = sum(CHANNELS[i][3] for i in present if CHANNELS[i][2] == 'status')

        def levels(pins):
            data = status = 0
            for i in present:
                if pins[i] == 1:
                    if CHANNELS[i][2] == 'data':
                        data |= CHANNELS[i][3]
                    else:
                        status |= CHANNELS[i][3]
            return data, status, data_known, status_known

        # Then every change of a captured line is one step.
        self.decoder.step(self.samplenum, *levels(first))
        edges = [{i: 'e'} for i in present]
        while True:
            try:
                pins = self.wait(edges)
            except Exception:
                # The input ended (libsigrokdecode 0.5 ends the wait with an
                # error once every sample is in, later versions with
                # EOFError): report the frames still open, then end.
                self.decoder.finish(self.samplenum)
                raise
            self.decoder.step(self.samplenum, *levels(pins))
