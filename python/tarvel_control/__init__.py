"""PyMeasure instrument for Tarvel Control Software's remote-control server.

`tarvel --serve` runs the RX4410 and TQM7731 gain chips as a SCPI instrument
on a raw TCP socket; TarvelControl drives it from PyMeasure:

    from tarvel_control import TarvelControl

    amp = TarvelControl("TCPIP::127.0.0.1::5025::SOCKET")
    amp.device = "RX4410"
    amp.codes = (17, 42)          # sent at once; the error queue is checked
    print(amp.id, amp.read_back)  # [17, 42], read from the chip
    amp.sweep(0, 63, dwell=0.05, callback=lambda step, codes, read: print(step, codes, read))

Every setting is followed by SYSTem:ERRor? until the queue is empty; an
error the server reports raises TarvelError, and so does an answer that is
not what the server gives (TarvelError.errors then holds (0, why)). A
server that closes the connection raises TarvelConnectionError (a
ConnectionError) at once, not after the timeout.
"""
import logging
import math
import re
import socket
import time

import select

from pymeasure.adapters import VISAAdapter
from pymeasure.instruments import Instrument
from pyvisa.constants import VI_ATTR_TCPIP_NODELAY
from pymeasure.instruments.validators import strict_discrete_set, strict_range

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

__all__ = ["TarvelControl", "TarvelError", "TarvelConnectionError"]

DEVICES = ("RX4410", "TQM7731")
# The server refuses codes outside the device's range (-222) and sends
# nothing; the validators here stop what no device takes.
CODE_RANGE = (0, 63)
# Gains in dB and frequencies in Hz: any finite number within these goes to
# the server, which refuses what its calibration table does not cover.
GAIN_RANGE = (-1000.0, 1000.0)
FREQUENCY_RANGE = (0.0, 1e15)
# A number answered before the error check asked in the same message.
_NUMBER_THEN_ERROR = re.compile(r"^([+-]?[0-9.]+(?:[eE][+-]?[0-9]+)?);(.*)$", re.S)
_ERROR = re.compile(r'^([+-]?\d+),"(.*)"$', re.S)
# No answer of the server is longer: a line of queries is at most 4096
# bytes, and no query answers more than a few hundred.
MAX_ANSWER = 65536


def _unquote(text):
    """A SCPI string answer ("a ""b"" c") as its text."""
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] == '"':
        return text[1:-1].replace('""', '"')
    return text


def _codes(value, values):
    """Validates a pair of codes."""
    if len(value) != 2:
        raise ValueError("two codes are needed, not %r" % (value,))
    return tuple(int(strict_range(v, values)) for v in value)


def _number(value, values):
    """A finite number within values, as float; ValueError for anything else."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError("a finite number is needed, not %r" % (value,))
    return float(strict_range(value, values))


def _no_delay(connection):
    """Turns Nagle's algorithm off on a TCP/IP socket resource. A setting
    and its error check are two small messages in a row: without
    TCP_NODELAY the second waits for the server's delayed acknowledgement of
    the first, 40 ms on Linux. pyvisa-py 0.5 has no setter for
    VI_ATTR_TCPIP_NODELAY, so its session's socket is set directly."""
    try:
        connection.set_visa_attribute(VI_ATTR_TCPIP_NODELAY, True)
        if connection.get_visa_attribute(VI_ATTR_TCPIP_NODELAY):
            return
    except Exception:  # noqa: BLE001 - not a socket resource, or no such attribute
        pass
    try:
        interface = connection.visalib.sessions[connection.session].interface
        interface.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    except Exception:  # noqa: BLE001 - another VISA library: it keeps its own setting
        log.debug("no TCP_NODELAY on %r", connection)


class TarvelError(Exception):
    """Errors the server reported: a list of (code, message); code 0 for an
    answer the server does not give."""

    def __init__(self, errors):
        self.errors = list(errors)
        super().__init__("; ".join("%d, %s" % e for e in self.errors))


class TarvelConnectionError(ConnectionError):
    """The server closed the connection (it stopped, or was restarted)."""


def _unexpected(what, value):
    return TarvelError([(0, "unexpected answer to %s: %r" % (what, value))])


def _one(values):
    """PyMeasure hands a one-field answer as the value, more as a list."""
    return values[0] if isinstance(values, list) and len(values) == 1 else values


def _whole(value, lowest, highest):
    if isinstance(value, (int, float)) and float(value).is_integer() and lowest <= value <= highest:
        return int(value)
    return None


def _device_answer(values):
    value = _one(values)
    if value not in DEVICES:
        raise _unexpected("DEVice?", values)
    return value


def _code_answer(values):
    code = _whole(_one(values), CODE_RANGE[0], CODE_RANGE[1])
    if code is None:
        raise _unexpected("CHANnel<n>:CODE?", values)
    return code


def _codes_answer(values):
    codes = [_whole(v, -1, CODE_RANGE[1]) for v in values] if isinstance(values, list) else []
    if len(codes) != 2 or None in codes:
        raise _unexpected("CODE?", values)
    return codes


def _flag_answer(values):
    flag = _whole(_one(values), 0, 1)
    if flag is None:
        raise _unexpected("TRANsmit:AUTO?", values)
    return flag


class TarvelAdapter(VISAAdapter):
    """pyvisa's TCP/IP socket resource, with answers read from its socket
    here: an answer longer than any the server gives raises TarvelError,
    and a connection the server closes raises TarvelConnectionError at once
    (pyvisa-py would wait out its timeout)."""

    def __init__(self, resource_name, **kwargs):
        super().__init__(resource_name, **kwargs)
        self._pending = b""
        self._discarding = False
        try:
            self._socket = self.connection.visalib.sessions[self.connection.session].interface
            self._socket.fileno()
        except Exception:  # noqa: BLE001 - another VISA library: its own reads
            self._socket = None

    def ask(self, command):
        self.connection.write(command)
        return self.read()

    def read(self):
        if self._socket is None:
            answer = self.connection.read()
            if len(answer) > MAX_ANSWER:
                raise TarvelError([(0, "an answer of %d characters, longer than any the server gives"
                                    % len(answer))])
            return answer
        timeout = None if self.connection.timeout is None else self.connection.timeout / 1000
        while True:
            if self._discarding:  # the rest of an answer that was too long
                cut = self._pending.find(b"\n")
                self._discarding = cut < 0
                self._pending = b"" if cut < 0 else self._pending[cut + 1:]
            if not self._discarding and b"\n" in self._pending:
                break
            if not self._discarding and len(self._pending) > MAX_ANSWER:
                self._pending, self._discarding = b"", True
                raise TarvelError([(0, "an answer longer than %d bytes, longer than any the server gives"
                                    % MAX_ANSWER)])
            if not select.select([self._socket], [], [], timeout)[0]:
                raise TimeoutError("no answer from the server within %s s" % timeout)
            chunk = self._socket.recv(65536)
            if not chunk:
                raise TarvelConnectionError("the server closed the connection"
                                            + (" in the middle of an answer" if self._pending else ""))
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        try:
            return line.decode("ascii").rstrip("\r")
        except UnicodeDecodeError:
            raise TarvelError([(0, "an answer that is not ASCII: %r" % line[:80])]) from None


class TarvelControl(Instrument):
    """Tarvel Control Software's SCPI server (`tarvel --serve`).

    :param adapter: a VISA resource name such as
        "TCPIP::127.0.0.1::5025::SOCKET", or a PyMeasure adapter
    :param kwargs: passed to the VISA adapter (timeout in ms, visa_library;
        pyvisa-py's "@py" unless given)
    """

    def __init__(self, adapter, name="Tarvel Control", **kwargs):
        if isinstance(adapter, str):
            kwargs.setdefault("visa_library", "@py")
            kwargs.setdefault("read_termination", "\n")
            kwargs.setdefault("write_termination", "\n")
            adapter = TarvelAdapter(adapter, **kwargs)
        super().__init__(adapter, name, includeSCPI=True, **kwargs)
        _no_delay(getattr(self.adapter, "connection", None))

    device = Instrument.control(
        "DEVice?", "DEVice %s",
        """The chip the codes go to, "RX4410" or "TQM7731".""",
        validator=strict_discrete_set, values=DEVICES, get_process=_device_answer, check_set_errors=True)

    codes = Instrument.control(
        "CODE?", "CODE %d,%d",
        """Both codes, (code1, code2): setting sends them at once, like
        `tarvel DEVICE code1 code2`; reading gives the codes last sent
        ([-1, -1] before the first send). RX4410 0..63, TQM7731 0..31.""",
        validator=_codes, values=CODE_RANGE, get_process=_codes_answer,
        check_set_errors=True)

    channel1_code = Instrument.control(
        "CHANnel1:CODE?", "CHANnel1:CODE %d",
        """Code 1 ("Chan 1", "Attn A"); sent at once only with auto_transmit on.""",
        validator=strict_range, values=CODE_RANGE, get_process=_code_answer, check_set_errors=True)

    channel2_code = Instrument.control(
        "CHANnel2:CODE?", "CHANnel2:CODE %d",
        """Code 2 ("Chan 2", "Attn B"); sent at once only with auto_transmit on.""",
        validator=strict_range, values=CODE_RANGE, get_process=_code_answer, check_set_errors=True)

    auto_transmit = Instrument.control(
        "TRANsmit:AUTO?", "TRANsmit:AUTO %d",
        """Whether setting one channel's code sends both at once.""",
        values={True: 1, False: 0}, map_values=True, get_process=_flag_answer, check_set_errors=True)

    @property
    def read_back(self):
        """The RX4410's two codes read back from the chip, [code1, code2].

        The error queue is asked in the same message, so a read the server
        refuses (TQM7731) or a port failure raises TarvelError at once
        instead of waiting for an answer that never comes."""
        reply = self.ask("READ?;:SYSTem:ERRor?").strip()
        m = re.match(r"^(-?\d+),(-?\d+);(.*)$", reply, re.S)
        first = self._error(m.group(3) if m else reply)
        errors = ([first] if first[0] != 0 else []) + self._drain()
        if errors or not m:
            raise TarvelError(errors or [(0, "unexpected answer %r" % reply)])
        return [int(m.group(1)), int(m.group(2))]

    def _ask_number(self, query, values):
        """A number the server answers to `query`, asked with SYSTem:ERRor?
        in the same message: a query the server refuses (no calibration
        table) answers nothing, and its error raises at once instead of
        after the timeout."""
        reply = self.ask(query + ";:SYSTem:ERRor?").strip()
        m = _NUMBER_THEN_ERROR.match(reply)
        first = self._error(m.group(2) if m else reply)
        errors = ([first] if first[0] != 0 else []) + self._drain()
        if errors:
            raise TarvelError(errors)
        try:
            return _number(float(m.group(1)), values) if m else None
        except ValueError:
            raise _unexpected(query, reply) from None

    def _set_number(self, command, value, values):
        self.write(command % _number(value, values))
        self.check_errors()

    @property
    def channel1_gain_db(self):
        """Channel 1's calibrated gain in dB at the working frequency
        (CHANnel1:GAIN?); setting it sets the tabulated code whose gain is
        nearest, sent at once only with auto_transmit on. Needs a server
        with a calibration table (tarvel --serve --cal FILE)."""
        return self._ask_number("CHANnel1:GAIN?", GAIN_RANGE)

    @channel1_gain_db.setter
    def channel1_gain_db(self, db):
        self._set_number("CHANnel1:GAIN %.12g", db, GAIN_RANGE)

    @property
    def channel2_gain_db(self):
        """Channel 2's calibrated gain in dB, as channel1_gain_db."""
        return self._ask_number("CHANnel2:GAIN?", GAIN_RANGE)

    @channel2_gain_db.setter
    def channel2_gain_db(self, db):
        self._set_number("CHANnel2:GAIN %.12g", db, GAIN_RANGE)

    @property
    def cal_frequency(self):
        """The working frequency in Hz the gains are looked up at
        (CALibration:FREQuency), at first the table's lowest."""
        return self._ask_number("CALibration:FREQuency?", FREQUENCY_RANGE)

    @cal_frequency.setter
    def cal_frequency(self, hz):
        self._set_number("CALibration:FREQuency %.15g", hz, FREQUENCY_RANGE)

    @property
    def calibrated(self):
        """Whether the server has a calibration table (CALibration:STATe?)."""
        answer = self.ask("CALibration:STATe?").strip()
        if answer not in ("0", "1"):
            raise _unexpected("CALibration:STATe?", answer)
        return answer == "1"

    @property
    def port(self):
        """The port the server drives, e.g. "sim:/path/bench.state" or
        "/dev/parport0 (0x378)"."""
        answer = self.ask("PORT?").strip()
        if len(answer) < 2 or answer[0] != '"' or answer[-1] != '"':
            raise _unexpected("PORT?", answer)
        return _unquote(answer)

    def transmit(self):
        """Sends both set codes now (the Transmit button)."""
        self.write("TRANsmit")
        self.check_errors()

    def check_errors(self):
        """Reads the error queue until it is empty; raises TarvelError with
        what it held, if anything."""
        errors = self._drain()
        if errors:
            raise TarvelError(errors)
        return errors

    def _error(self, text):
        m = _ERROR.match(text.strip())
        if not m:
            raise TarvelError([(0, "unexpected error answer %r" % text)])
        return int(m.group(1)), m.group(2).replace('""', '"')

    def _drain(self):
        errors = []
        for _ in range(17):  # the queue holds 16, and its overflow entry
            code, message = self._error(self.ask("SYSTem:ERRor?"))
            if code == 0:
                break
            log.warning("%s reported error %d, %s", self.name, code, message)
            errors.append((code, message))
        return errors

    def sweep(self, start, stop, step=1, channel="both", other=0, dwell=0.0, read_back=False,
              callback=None):
        """Steps the codes from start to stop (included when on the grid),
        like `tarvel --sweep`: channel "both" sends the code to both
        channels, 1 or 2 to that one while the other holds `other`. Each
        step is one send of both codes, then `dwell` seconds, then (with
        read_back, RX4410 only) a read-back; callback(step, codes, read)
        is called after each, read None without read_back. Returns a list
        of (codes, read)."""
        if step < 1:
            raise ValueError("step must be at least 1")
        if channel not in ("both", 1, 2):
            raise ValueError('channel must be "both", 1 or 2')
        direction = 1 if stop >= start else -1
        results = []
        for index, code in enumerate(range(start, stop + direction, step * direction)):
            pair = (code, code) if channel == "both" else (code, other) if channel == 1 else (other, code)
            self.codes = pair
            if dwell > 0:
                time.sleep(dwell)
            read = self.read_back if read_back else None
            results.append((pair, read))
            if callback is not None:
                callback(index, pair, read)
        return results
