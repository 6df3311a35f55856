#!/usr/bin/python3
"""Drives `tarvel --serve --http` over loopback: the JSON API beside a SCPI
client on the same simulated bench, the refusals (another site's page, form
posts, bad bodies) that send nothing, the LXI identification, the live
updates a watching page gets from a SCPI client, another browser and the
command line, and SCPI answering while HTTP clients sit idle, send a 1 MiB
header or random bytes.

usage: web_check.py PATH/TO/tarvel
"""
import fcntl
import http.client
import json
import os
import random
import socket
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from ordinary_user import as_ordinary_user

failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + (f": {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)


class Scpi:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buffer = b""

    def query(self, line):
        self.sock.sendall(line.encode() + b"\n")
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the server closed the SCPI connection")
            self.buffer += chunk
        answer, _, self.buffer = self.buffer.partition(b"\n")
        return answer.decode()


def request(port, method, path, body=None, headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.request(method, path, body=body, headers=headers or {})
    answer = conn.getresponse()
    data = answer.read().decode()
    conn.close()
    return answer.status, data


class Events:
    """A page watching GET /events; next() is the next state it is sent."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.buffer = b""

    def next(self):
        while True:
            while b"\n\n" not in self.buffer:
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise ConnectionError("the event stream ended")
                self.buffer += chunk
            message, _, self.buffer = self.buffer.partition(b"\n\n")
            for line in message.decode().splitlines():
                if line.startswith("data: "):
                    return json.loads(line[6:])

    def until(self, what, want):
        for _ in range(20):
            state = self.next()
            if want(state):
                return state
        raise AssertionError("no event with " + what)


def main():
    program = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="tarvel-web-") as work:
        os.chmod(work, 0o777)
        state_file = os.path.join(work, "bench.state")
        env = dict(os.environ, TARVEL_PORT="sim:" + state_file, XDG_STATE_HOME=work)
        server = subprocess.Popen([program, "--serve", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0"],
                                  cwd=work, env=env, stdout=subprocess.PIPE, text=True,
                                  preexec_fn=as_ordinary_user)
        try:
            first, second = server.stdout.readline().strip(), server.stdout.readline().strip()
            check("listening on, then the web page's address", first.startswith("listening on 127.0.0.1:")
                  and second.startswith("web page on http://127.0.0.1:") and second.endswith("/"), first + " | " + second)
            scpi_port = int(first.rsplit(":", 1)[1])
            web = int(second[len("web page on http://127.0.0.1:"):-1])
            run_checks(program, work, env, state_file, scpi_port, web, server.pid)
        finally:
            server.terminate()
            server.wait(timeout=10)
        held_bench_check(program, work, env, state_file)
        calibration_check(program, work, env)
        off = subprocess.run([program, "--serve", "--listen", "127.0.0.1:0", "--http", "", "--idle-timeout", "x"],
                             cwd=work, env=env, capture_output=True, text=True, preexec_fn=as_ordinary_user)
        check("--http '' is taken as no web page", 'cannot use "--http"' not in off.stderr and "--idle-timeout" in off.stderr,
              off.stderr)
    print("FAILED: " + ", ".join(failures) if failures else "all passed")
    return 1 if failures else 0


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def calibration_check(program, work, env):
    """With --cal, /api/state gives each channel's gain in dB (null for a
    code the table lacks, both null for another device than the table's)."""
    table = os.path.join(work, "board.csv")
    with open(table, "w", encoding="ascii") as f:
        f.write("# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n1,10,1e9,-2\n2,3,,-1\n")
    server = subprocess.Popen([program, "--serve", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0",
                               "--cal", table], cwd=work, env=env, stdout=subprocess.PIPE, text=True,
                              preexec_fn=as_ordinary_user)
    try:
        scpi = Scpi(int(server.stdout.readline().strip().rsplit(":", 1)[1]))
        web = int(server.stdout.readline().strip()[len("web page on http://127.0.0.1:"):-1])
        for line, gains in (("CODE 10,3", [-2, -1]), ("CODE 5,3", [None, -1]), ("DEV TQM7731", [None, None])):
            scpi.query(line + ";*OPC?")
            state = json.loads(request(web, "GET", "/api/state")[1])
            check(f"gains in dB after {line}", state["gains"] == gains
                  and state["calibration"] == {"device": "RX4410", "frequency": 1000000000}, state)
    finally:
        server.terminate()
        server.wait(timeout=10)


def held_bench_check(program, work, env, state_file):
    """A page that starts watching while another process holds the bench:
    its read-back waits, without spinning the loop, and comes once the bench
    is free."""
    server = subprocess.Popen([program, "--serve", "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0"],
                              cwd=work, env=env, stdout=subprocess.PIPE, text=True, preexec_fn=as_ordinary_user)
    try:
        server.stdout.readline()
        web = int(server.stdout.readline().strip()[len("web page on http://127.0.0.1:"):-1])
        with open(state_file + ".lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            events = Events(web)
            first = events.next()
            before = cpu_ticks(server.pid)
            time.sleep(1)
            spent = cpu_ticks(server.pid) - before
        check("the server waits for a held bench without spinning", first["read"] is None
              and spent < os.sysconf("SC_CLK_TCK") // 5, f"{spent} ticks in 1 s")
        events.until("the read-back once the bench is free", lambda s: s["read"] is not None)
    finally:
        server.terminate()
        server.wait(timeout=10)


def run_checks(program, work, env, state_file, scpi_port, web, pid):
    scpi = Scpi(scpi_port)
    status, body = request(web, "GET", "/api/state")
    state = json.loads(body)
    check("GET /api/state", status == 200 and state["device"] == "RX4410" and state["codes"] == [0, 0]
          and state["read"] is None and state["auto"] is False and state["gains"] is None, body)

    status, page = request(web, "GET", "/")
    check("GET / is the page, with nothing from elsewhere", status == 200 and "<title>" in page
          and "http://" not in page and "https://" not in page)

    json_type = {"Content-Type": "application/json"}
    good = [
        ('{"codes": [12, 34]}', 200, {"codes": [12, 34], "sent": [12, 34]}, "12,34"),
        ('{"codes": ["5", 6.0], "auto": false}', 200, {"codes": [5, 6], "sent": [5, 6]}, "5,6"),
        ('{"codes": [7, 8], "send": false}', 200, {"codes": [7, 8], "sent": [5, 6]}, "5,6"),
        ('{"device": "tqm7731", "codes": [31, 0]}', 200, {"device": "TQM7731", "sent": [31, 0]}, "31,0"),
        ('{"device": "RX4410", "codes": [63, 1]}', 200, {"device": "RX4410", "sent": [63, 1]}, "63,1"),
    ]
    for body, want_status, want, scpi_codes in good:
        status, answer = request(web, "PUT", "/api/codes", body, json_type)
        state = json.loads(answer)
        check(f"PUT {body}", status == want_status and all(state[k] == v for k, v in want.items())
              and scpi.query("CODE?") == scpi_codes, answer)

    # Bad input: a 4xx with the SCPI error's words, and nothing sent.
    bad = [
        ('{"codes": [64, 1]}', 422, '-222,"Data out of range"'),
        ('{"codes": [1, -1]}', 422, '-222,"Data out of range"'),
        ('{"device": "TQM7731", "codes": [32, 1]}', 422, '-222,"Data out of range"'),
        ('{"codes": ["twelve", 1]}', 400, '-104,"Data type error"'),
        ('{"codes": [1]}', 400, '-109,"Missing parameter"'),
        ('{"codes": [1, 2, 3]}', 400, '-108,"Parameter not allowed"'),
        ('{"codes": [1, 2], "volume": 11}', 400, '-108,"Parameter not allowed"'),
        ('{"device": "RX9999", "codes": [1, 2]}', 422, '-224,"Illegal parameter value"'),
        ('{"auto": "yes"}', 400, '-104,"Data type error"'),
        ('{}', 400, '-109,"Missing parameter"'),
        ('{"codes": [1, 2]', 400, '-104,"Data type error"'),
        ('', 400, '-104,"Data type error"'),
    ]
    before = open(state_file).read()
    for body, want_status, words in bad:
        status, answer = request(web, "PUT", "/api/codes", body, json_type)
        error = json.loads(answer).get("error") if answer.startswith("{") else answer
        check(f"PUT {body or '(empty)'} refused", status == want_status and error == words, f"{status} {answer}")
    check("refused bodies sent nothing", open(state_file).read() == before and scpi.query("CODE?") == "63,1"
          and scpi.query("DEV?") == "RX4410")

    # What another site's page can make a browser send is refused.
    refusals = [
        ("PUT", "/api/codes", '{"codes": [1, 2]}', {"Content-Type": "application/json",
                                                    "Origin": "http://evil.example"}, 403),
        ("POST", "/api/transmit", "{}", {"Content-Type": "application/json", "Host": "127.0.0.1:%d" % web,
                                         "Origin": "http://127.0.0.1:1"}, 403),
        ("POST", "/api/transmit", "{}", {"Content-Type": "application/json", "Sec-Fetch-Site": "cross-site"}, 403),
        ("POST", "/api/transmit", "codes=1", {"Content-Type": "application/x-www-form-urlencoded"}, 415),
        ("POST", "/api/transmit", "--x\r\n", {"Content-Type": "multipart/form-data; boundary=x"}, 415),
        ("PUT", "/api/codes", '{"codes": [1, 2]}', {"Content-Type": "text/plain"}, 415),
        ("PUT", "/api/codes", '{"codes": [1, 2]}', {}, 415),
        ("GET", "/api/codes", None, {}, 405),
        ("GET", "/api/transmit", None, {}, 405),
        ("POST", "/api/state", "{}", json_type, 405),
        ("GET", "/../../etc/passwd", None, {}, 404),
        ("GET", "/index.html", None, {}, 404),
    ]
    for method, path, body, headers, want_status in refusals:
        status, answer = request(web, method, path, body, headers)
        check(f"{method} {path} {headers} refused with {want_status}", status == want_status, f"{status} {answer}")
    check("refusals sent nothing", open(state_file).read() == before and scpi.query("CODE?") == "63,1")
    status, _ = request(web, "POST", "/api/transmit", "{}", {"Content-Type": "application/json; charset=utf-8",
                                                               "Host": "127.0.0.1:%d" % web,
                                                               "Origin": "http://127.0.0.1:%d" % web})
    check("the page's own origin may change the bench", status == 200)

    status, xml = request(web, "GET", "/lxi/identification")
    ns = {"l": "http://www.lxistandard.org/InstrumentIdentification/1.0"}
    root = ET.fromstring(xml)
    idn = scpi.query("*IDN?").split(",")
    fields = [root.findtext("l:" + name, namespaces=ns) for name in
              ("Manufacturer", "Model", "SerialNumber", "FirmwareRevision")]
    address = root.findtext("l:Interface/l:InstrumentAddressString", namespaces=ns)
    interface = root.find("l:Interface", ns)
    check("GET /lxi/identification", status == 200 and root.tag == "{%s}LXIDevice" % ns["l"] and fields == idn
          and address == f"TCPIP::127.0.0.1::{scpi_port}::SOCKET", xml)
    check("the interface the page was reached on", (interface.get("InterfaceName"),
          root.findtext("l:Interface/l:SubnetMask", namespaces=ns)), ("lo", "255.0.0.0"))

    # Live: a page watching sees what a SCPI client, another browser and the
    # command line on the same bench do.
    events = Events(web)
    events.next()
    scpi.query("CODE 17,42;*OPC?")
    events.until("the SCPI client's codes", lambda s: s["sent"] == [17, 42] and s["read"] == [17, 42])
    request(web, "PUT", "/api/codes", '{"codes": [3, 4], "send": false}', json_type)
    events.until("the other browser's codes", lambda s: s["codes"] == [3, 4])
    subprocess.run([program, "RX4410", "21", "9"], cwd=work, env=env, check=True, timeout=20,
                   preexec_fn=as_ordinary_user)
    events.until("the command line's codes read back", lambda s: s["read"] == [21, 9])
    check("a watching page follows SCPI, another browser and the command line", True)
    events.sock.close()

    # HTTP clients that sit idle, flood a header or send noise never stall SCPI.
    idle = [socket.create_connection(("127.0.0.1", web), timeout=10) for _ in range(20)]
    flood = socket.create_connection(("127.0.0.1", web), timeout=10)
    flood.setblocking(False)
    header = b"GET / HTTP/1.1\r\nX-Fill: " + b"a" * (1 << 20) + b"\r\n\r\n"
    try:
        flood.send(header)
    except OSError:
        pass
    noise = socket.create_connection(("127.0.0.1", web), timeout=10)
    noise.sendall(random.Random(7).randbytes(65536))
    check("SCPI answers beside idle, flooding and noisy HTTP clients", scpi.query("*IDN?") == ",".join(idn))
    status, _ = request(web, "GET", "/api/state")
    check("a new HTTP client is served with every slot taken by idle ones", status == 200)
    for s in idle + [flood, noise]:
        s.close()


if __name__ == "__main__":
    sys.exit(main())
