#!/usr/bin/python3
"""Drives `tarvel --serve` with clients written elsewhere: pyvisa (pyvisa-py
back-end, raw socket resource) and a PyMeasure Instrument. What they set must
be what `tarvel RX4410R` reads back beside them on the same simulated bench,
and what the command line sends must be what they read.

usage: scpi_clients.py PATH/TO/tarvel VERSION
"""
import os
import subprocess
import sys
import tempfile

import pyvisa
from pymeasure.adapters import VISAAdapter
from pymeasure.instruments import Instrument
from ordinary_user import as_ordinary_user

IDN = "Tarvel Control Software,Tarvel Control,0," + sys.argv[2]


class Tarvel(Instrument):
    codes = Instrument.control("CODE?", "CODE %d,%d", "Both codes, sent at once.")
    read_back = Instrument.measurement("READ?", "The RX4410's codes read from the chip.")

    def __init__(self, adapter):
        super().__init__(adapter, "Tarvel Control")


def main():
    program = os.path.abspath(sys.argv[1])
    failures = []

    def check(what, got, want):
        print(f"{what}: {got!r}")
        if got != want:
            failures.append(f"{what}: got {got!r}, want {want!r}")

    with tempfile.TemporaryDirectory(prefix="tarvel-clients-") as work:
        os.chmod(work, 0o777)
        env = dict(os.environ, TARVEL_PORT="sim:" + os.path.join(work, "bench.state"))

        def command_line(*args):
            subprocess.run([program, *args], cwd=work, env=env, check=True,
                           preexec_fn=as_ordinary_user, timeout=20)
            path = os.path.join(work, "TRVOutput.dat")
            return open(path, encoding="ascii", newline="").read() if args == ("RX4410R",) else None

        server = subprocess.Popen([program, "--serve", "--listen", "127.0.0.1:0"], cwd=work, env=env,
                                  stdout=subprocess.PIPE, text=True, preexec_fn=as_ordinary_user)
        try:
            line = server.stdout.readline().strip()
            assert line.startswith("listening on 127.0.0.1:"), line
            resource = f"TCPIP::127.0.0.1::{line.rsplit(':', 1)[1]}::SOCKET"

            rm = pyvisa.ResourceManager("@py")
            inst = rm.open_resource(resource, read_termination="\n", write_termination="\n", timeout=5000)
            check("pyvisa *IDN?", inst.query("*IDN?"), IDN)
            inst.write("CODE 17,42")
            check("pyvisa CODE?", inst.query("CODE?"), "17,42")
            check("tarvel RX4410R after pyvisa", command_line("RX4410R"), "RX4410R, 17, 42\r\n")
            command_line("RX4410", "21", "3")
            check("pyvisa READ? after tarvel RX4410 21 3", inst.query("READ?"), "21,3")
            check("pyvisa SYST:ERR?", inst.query("SYST:ERR?"), '0,"No error"')
            inst.close()

            tarvel = Tarvel(VISAAdapter(resource, visa_library="@py", read_termination="\n",
                                        write_termination="\n", timeout=5000))
            check("PyMeasure id", tarvel.id, IDN)
            tarvel.codes = (5, 9)
            check("PyMeasure codes", tarvel.codes, [5, 9])
            check("PyMeasure read_back", tarvel.read_back, [5, 9])
            check("tarvel RX4410R after PyMeasure", command_line("RX4410R"), "RX4410R, 5, 9\r\n")
            tarvel.adapter.connection.close()
            rm.close()
        finally:
            server.terminate()
            check("server exit status", server.wait(timeout=10), 0)

    for failure in failures:
        print("FAIL", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
