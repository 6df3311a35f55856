#!/usr/bin/python3
"""The shipped PyMeasure instrument (python/tarvel_control) against
`tarvel --serve` on the simulated bench, with Debian's python3-pymeasure:
what it sets is what `tarvel RX4410R` reads back beside it (and, for the
TQM7731, what the bench holds), what the command line sends is what its
read_back returns, and the server's errors come back as TarvelError; and,
against a fake server on loopback, answers the server never gives raise
TarvelError and a server closing mid-answer TarvelConnectionError.

usage: pymeasure_check.py PATH/TO/tarvel VERSION PATH/TO/python
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.abspath(sys.argv[3]))
from tarvel_control import TarvelConnectionError, TarvelControl, TarvelError  # noqa: E402
from ordinary_user import as_ordinary_user  # noqa: E402

IDN = "Tarvel Control Software,Tarvel Control,0," + sys.argv[2]


# What the fake server answers: wrong in form, too long, or cut off.
FAKE_ANSWERS = {
    "DEVice?": b"a,b\n",
    "CODE?": b"17\n",
    "CHANnel1:CODE?": b"5.5\n",
    "CHANnel2:CODE?": b"x" * (4 * 1024 * 1024) + b"\n",
    "TRANsmit:AUTO?": b"2\n",
    "PORT?": b"unquoted\n",
}


def fake_server(listener):
    """Answers FAKE_ANSWERS, one connection at a time; *IDN? gets half an
    answer and the connection closed."""
    while True:
        try:
            connection, _ = listener.accept()
        except OSError:
            return
        with connection, connection.makefile("rb") as lines:
            for line in lines:
                query = line.decode().strip()
                if query == "*IDN?":
                    connection.sendall(b"Tarvel Con")
                    break
                connection.sendall(FAKE_ANSWERS.get(query, b"0\n"))


def check_wrong_answers(check):
    listener = socket.create_server(("127.0.0.1", 0))
    threading.Thread(target=fake_server, args=(listener,), daemon=True).start()
    resource = f"TCPIP::127.0.0.1::{listener.getsockname()[1]}::SOCKET"
    try:
        amp = TarvelControl(resource, timeout=60000)  # a wait for the timeout would show as a hang
        for member in ("device", "codes", "channel1_code", "channel2_code", "auto_transmit", "port"):
            try:
                got = getattr(amp, member)
            except TarvelError as e:
                got = [c for c, _ in e.errors]
            check(f"{member} from a server answering wrongly", got, [0])
        try:
            got = amp.id
        except TarvelConnectionError:
            got = "TarvelConnectionError"
        check("id from a server closing mid-answer", got, "TarvelConnectionError")
    finally:
        listener.close()


def main():
    program = os.path.abspath(sys.argv[1])
    failures = []

    def check(what, got, want):
        print(f"{what}: {got!r}")
        if got != want:
            failures.append(f"{what}: got {got!r}, want {want!r}")

    def raises(what, action, error, code=None):
        try:
            action()
        except error as e:
            got = [c for c, _ in e.errors] if isinstance(e, TarvelError) else None
            check(what, got, [code] if code is not None else None)
        else:
            failures.append(f"{what}: no {error.__name__}")

    check_wrong_answers(check)

    with tempfile.TemporaryDirectory(prefix="tarvel-pymeasure-") as work:
        os.chmod(work, 0o777)
        state = os.path.join(work, "bench.state")
        env = dict(os.environ, TARVEL_PORT="sim:" + state, XDG_STATE_HOME=work)

        def command_line(*args):
            subprocess.run([program, *args], cwd=work, env=env, check=True,
                           preexec_fn=as_ordinary_user, timeout=20)
            if args == ("RX4410R",):
                with open(os.path.join(work, "TRVOutput.dat"), encoding="ascii", newline="") as f:
                    return f.read()
            return None

        def bench(chip):
            with open(state, encoding="ascii") as f:
                return next(line.split()[1:] for line in f if line.startswith(chip + " "))

        server = subprocess.Popen([program, "--serve", "--listen", "127.0.0.1:0"], cwd=work, env=env,
                                  stdout=subprocess.PIPE, text=True, preexec_fn=as_ordinary_user)
        try:
            line = server.stdout.readline().strip()
            assert line.startswith("listening on 127.0.0.1:"), line
            amp = TarvelControl(f"TCPIP::127.0.0.1::{line.rsplit(':', 1)[1]}::SOCKET", timeout=5000)
            check("id", amp.id, IDN)
            check("port", amp.port, "sim:" + state)
            check("device", amp.device, "RX4410")
            check("codes before a send", amp.codes, [-1, -1])

            amp.codes = (17, 42)
            check("codes", amp.codes, [17, 42])
            check("read_back", amp.read_back, [17, 42])
            check("tarvel RX4410R after codes", command_line("RX4410R"), "RX4410R, 17, 42\r\n")
            command_line("RX4410", "21", "3")
            check("read_back after tarvel RX4410 21 3", amp.read_back, [21, 3])

            # One channel at a time: held until transmit() without auto-transmit.
            amp.auto_transmit = False
            amp.channel1_code = 5
            check("channel1_code", amp.channel1_code, 5)
            check("tarvel RX4410R before transmit", command_line("RX4410R"), "RX4410R, 21, 3\r\n")
            amp.transmit()
            check("tarvel RX4410R after transmit", command_line("RX4410R"), "RX4410R, 5, 42\r\n")
            amp.auto_transmit = True
            check("auto_transmit", amp.auto_transmit, True)
            amp.channel2_code = 9
            check("tarvel RX4410R after channel2_code", command_line("RX4410R"), "RX4410R, 5, 9\r\n")
            amp.auto_transmit = False

            # Refused here, or by the server: nothing is sent, the queue ends empty.
            raises("codes (64, 0)", lambda: setattr(amp, "codes", (64, 0)), ValueError)
            raises("device XYZ", lambda: setattr(amp, "device", "XYZ"), ValueError)
            amp.device = "TQM7731"
            raises("TQM7731 codes (40, 1)", lambda: setattr(amp, "codes", (40, 1)), TarvelError, -222)
            raises("TQM7731 read_back", lambda: amp.read_back, TarvelError, -221)
            amp.codes = (5, 3)
            check("the bench's TQM7731 after codes (5, 3)", bench("tqm7731"), ["5", "3"])
            check("error queue", amp.check_errors(), [])
            check("tarvel RX4410R beside the TQM7731", command_line("RX4410R"), "RX4410R, 5, 9\r\n")

            amp.device = "RX4410"
            steps = []
            results = amp.sweep(0, 63, read_back=True, callback=lambda *step: steps.append(step))
            check("sweep steps", [s[0] for s in steps], list(range(64)))
            check("sweep read back every step", all(list(c) == r for _, c, r in steps), True)
            check("tarvel RX4410R after the sweep", command_line("RX4410R"), "RX4410R, 63, 63\r\n")
            check("sweep down on channel 1", [c for c, _ in amp.sweep(10, 0, step=5, channel=1, other=7)],
                  [(10, 7), (5, 7), (0, 7)])
            check("sweep results", len(results), 64)
            check("tarvel RX4410R after the second sweep", command_line("RX4410R"), "RX4410R, 0, 7\r\n")
            check("calibrated without --cal", amp.calibrated, False)
            raises("channel1_gain_db without a table", lambda: amp.channel1_gain_db, TarvelError, -221)
            amp.adapter.connection.close()
        finally:
            server.terminate()
            check("server exit status", server.wait(timeout=10), 0)

        # Gains in dB: a server with a calibration table.
        table = os.path.join(work, "board.csv")
        with open(table, "w", encoding="ascii") as f:
            f.write("# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n"
                    "1,0,1e9,-12.03\n1,0,2e9,-14.03\n1,10,,-2\n2,3,,-1\n2,7,,4.25\n")
        server = subprocess.Popen([program, "--serve", "--listen", "127.0.0.1:0", "--cal", table], cwd=work,
                                  env=env, stdout=subprocess.PIPE, text=True, preexec_fn=as_ordinary_user)
        try:
            line = server.stdout.readline().strip()
            assert line.startswith("listening on 127.0.0.1:"), line
            amp = TarvelControl(f"TCPIP::127.0.0.1::{line.rsplit(':', 1)[1]}::SOCKET", timeout=5000)
            check("calibrated", amp.calibrated, True)
            check("cal_frequency", amp.cal_frequency, 1e9)
            amp.auto_transmit = True
            amp.channel1_gain_db = -11
            amp.channel2_gain_db = 4
            check("gains", (amp.channel1_gain_db, amp.channel2_gain_db), (-12.03, 4.25))
            check("tarvel RX4410R after the gains", command_line("RX4410R"), "RX4410R, 0, 7\r\n")
            amp.cal_frequency = 1.5e9
            check("gain at 1.5 GHz", (amp.cal_frequency, amp.channel1_gain_db), (1.5e9, -13.03))
            raises("gain 6 dB, beyond the table", lambda: setattr(amp, "channel1_gain_db", 6), TarvelError, -222)
            raises("gain NaN", lambda: setattr(amp, "channel1_gain_db", float("nan")), ValueError)
            raises("cal_frequency -1", lambda: setattr(amp, "cal_frequency", -1), ValueError)
            check("tarvel RX4410R after the refusals", command_line("RX4410R"), "RX4410R, 0, 7\r\n")
            amp.adapter.connection.close()
        finally:
            server.terminate()
            check("calibrated server exit status", server.wait(timeout=10), 0)

    for failure in failures:
        print("FAIL", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
