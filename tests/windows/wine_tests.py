#!/usr/bin/python3
"""tarvel.exe under Wine: the command line's contract, every code through each
fake port library (inpoutx64.dll, dlportio.dll, FTDI's ftd2xx64.dll),
read-back, a sweep, --serve driven over loopback and --decode. No real port is
touched: the fakes play the writes into the simulated bench's chip models.

    wine_tests.py --wine WINE_RUN --program tarvel.exe --inpout inpoutx64.dll
                  --dlportio dlportio.dll --ftd2xx ftd2xx64.dll --hold-bench hold_bench.exe
                  --work FOLDER
"""
import argparse
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import time

failures = []
checks = 0


def check(name, ok, detail=""):
    global checks
    checks += 1
    if not ok:
        failures.append(name)
        print(f"FAIL {name}{': ' + detail if detail else ''}")


class Wine:
    def __init__(self, runner, work):
        self.runner = runner
        self.work = work

    def env(self, extra):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("TARVEL_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["WINEDEBUG"] = "-all"
        env["TARVEL_NO_MESSAGE_BOX"] = "1"  # the alerts' lines alone
        env.update(extra or {})
        return env

    def run(self, folder, args, env=None, cwd=None, timeout=120):
        p = subprocess.run([self.runner, os.path.join(folder, "tarvel.exe")] + args,
                           cwd=cwd or folder, env=self.env(env), capture_output=True, timeout=timeout)
        return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def winpath(path):
    """The Wine path of a host file (drive Z: is the host's root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_latches(path):
    with open(path) as f:
        return [tuple([line.split()[0]] + [int(x) for x in line.split()[1:]]) for line in f if line.strip()]


def write_pe32_dll(path):
    """The headers of a 32-bit x86 DLL (what old installations' dlportio.dll
    is), enough for the loader to refuse it in a 64-bit process."""
    import struct
    dos = b"MZ" + bytes(58) + struct.pack("<I", 64)
    coff = struct.pack("<HHIIIHH", 0x14C, 0, 0, 0, 0, 224, 0x2102)  # i386, DLL | 32-bit | executable
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 14, 0, 0, 0, 0, 0x1000, 0x1000, 0x1000,
                           0x10000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x1000, 0x200, 0, 2, 0x140,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, 16) + bytes(16 * 8)
    with open(path, "wb") as f:
        f.write((dos + b"PE\0\0" + coff + optional).ljust(0x200, b"\0"))


def contract(wine, bare, fake, ftdi, dll32, both):
    """Texts and exit statuses of the plain command line (one table)."""
    cases = [
        # (name, folder, args, env, status, texts on standard error)
        ("bad code", fake, ["RX4410", "x"], {}, 64, ["Error: Invalid or Missing Entry"]),
        ("empty line", fake, [""], {}, 64, ["Error: Invalid or Missing Entry"]),
        ("unknown device", fake, ["RX4411", "1", "2"], {}, 64, ["Error: Invalid Option"]),
        ("no port library", bare, ["RX4410", "1", "2"], {}, 69,
         ["Error: Port Not Available", "inpoutx64.dll", "dlportio.dll", "blocklist", "FTDI"]),
        ("driver blocked", fake, ["RX4410", "1", "2"], {"FAKE_PORTIO_DRIVER": "off"}, 69,
         ["driver did not start", "blocklist", "TARVEL_PORT=ftdi"]),
        ("not a port choice", fake, ["RX4410", "1", "2"], {"TARVEL_PORT": "lpt9"}, 69, ["not a port choice"]),
        ("no D2XX library", bare, ["RX4410", "1", "2"], {"TARVEL_PORT": "ftdi"}, 69,
         ["ftd2xx64.dll", "D2XX driver"]),
        ("no adapter", ftdi, ["RX4410", "1", "2"], {"TARVEL_PORT": "ftdi", "FAKE_FTDI_ABSENT": "1"}, 69,
         ["FT_DEVICE_NOT_FOUND", "FT232H"]),
        ("unknown serial", ftdi, ["RX4410", "1", "2"], {"TARVEL_PORT": "ftdi:s:0x0403:0x6014:XX"}, 69,
         ["FT_OpenEx: FT_DEVICE_NOT_FOUND"]),
        ("by description", ftdi, ["RX4410", "1", "2"],
         {"TARVEL_PORT": "ftdi:s:0x0403:0x6014:Tarvel test FT232H"}, 0, []),
        ("bus numbers", ftdi, ["RX4410", "1", "2"], {"TARVEL_PORT": "ftdi:d:1/2"}, 69, ["by serial number"]),
        ("bad descriptor", ftdi, ["RX4410", "1", "2"], {"TARVEL_PORT": "ftdi:x"}, 69,
         ["not an FTDI device string"]),
        ("32-bit library", dll32, ["RX4410", "1", "2"], {}, 69,
         ["dlportio.dll", "a 32-bit library", "64-bit dlportio.dll"]),
        ("driver blocked, dlportio.dll tried", both, ["RX4410", "1", "2"], {"FAKE_PORTIO_DRIVER": "off"}, 0, []),
        ("sent", fake, ["TQM7731", "3", "4"], {}, 0, []),
        ("version", fake, ["--version"], {}, 0, []),
    ]
    for name, folder, args, env, status, texts in cases:
        rc, out, err = wine.run(folder, args, env)
        check(f"contract {name}: status", rc == status, f"{rc} != {status}; {err.strip()}")
        for text in texts:
            check(f"contract {name}: says {text!r}", text in err, err.strip())
        if name == "version":
            check("contract version text", out.startswith("tarvel "), out)
        if name == "driver blocked":
            with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as f:
                readme = " ".join(f.read().replace("`", "").split())
            remedy = ("run inpout's installdriver.exe once as administrator, "
                      "or put a 64-bit dlportio.dll beside tarvel.exe")
            check("driver blocked: the alert's remedy is the README's",
                  remedy in err.lower() and remedy in readme.lower(), err)

    # --help lists this build's rows of the back-end table, and the "not a
    # port choice" message names them: Windows' forms alone.
    windows_forms = ["auto", "sim", "sim:PATH", "ftdi", "ftdi:DESCRIPTOR"]
    rc, out, _ = wine.run(fake, ["--help"])
    lines = out.replace("\r", "").splitlines()
    start = next((i for i, line in enumerate(lines) if line.strip().startswith("TARVEL_PORT ")), len(lines))
    forms = []
    for line in lines[start + 1:]:
        if not line.startswith(" " * 9) or not line.strip():
            break
        forms.append(line.split()[0])
    check("help: Windows' port forms", rc == 0 and forms == windows_forms, f"{forms}")
    _, _, err = wine.run(fake, ["RX4410", "1", "2"], {"TARVEL_PORT": "lpt9"})
    check("not a port choice names Windows' forms",
          "one of auto, sim, sim:PATH, ftdi or ftdi:DESCRIPTOR." in err, err.strip())

    # Read-back: TRVOutput.dat with CR LF, and a leftover deleted at start.
    state = os.path.join(fake, "bench.state")
    env = {"FAKE_PORT_STATE": winpath(state)}
    for f in ("bench.state", "TRVOutput.dat"):
        if os.path.exists(os.path.join(fake, f)):
            os.remove(os.path.join(fake, f))
    wine.run(fake, ["RX4410", "21", "3"], env)
    rc, _, err = wine.run(fake, ["RX4410R"], env)
    with open(os.path.join(fake, "TRVOutput.dat"), "rb") as f:
        result = f.read()
    check("read-back status", rc == 0, err)
    check("read-back file", result == b"RX4410R, 21, 3\r\n", repr(result))
    wine.run(fake, ["RX4410", "1", "2"], env)
    check("leftover TRVOutput.dat deleted", not os.path.exists(os.path.join(fake, "TRVOutput.dat")))


def every_code(wine, folder, label, port=None):
    """Every RX4410 code (read back at each step) and every TQM7731 code."""
    latches = os.path.join(folder, "latches.txt")
    env = {"FAKE_PORT_STATE": winpath(os.path.join(folder, "codes.state")),
           "FAKE_PORT_LATCHES": winpath(latches),
           "FAKE_FTDI_LOG": winpath(os.path.join(folder, "calls.txt"))}
    if port:
        env["TARVEL_PORT"] = port
    for device, top in (("RX4410", 63), ("TQM7731", 31)):
        steps = [(c, top - c) for c in range(top + 1)]
        with open(os.path.join(folder, "codes.csv"), "w") as f:
            f.writelines(f"0.1,{a},{b}\n" for a, b in steps)
        args = ["--sequence", device, "codes.csv", "--log", "codes.log"]
        if device == "RX4410":
            args.append("--verify")
        rc, _, err = wine.run(folder, args, env)
        check(f"{label} {device} sequence status", rc == 0, err)
        want = [(device.lower(), a, b) for a, b in steps]
        got = read_latches(latches)
        # Each channel latches on its own: the word after both channels is the step.
        seen = got[1::2] if device == "RX4410" else got
        check(f"{label} every {device} code 0..{top} latched", seen == want,
              f"{len(seen)} words, first difference at "
              f"{next((i for i, (x, y) in enumerate(zip(seen, want)) if x != y), min(len(seen), len(want)))}")
        if device == "RX4410":
            with open(os.path.join(folder, "codes.log")) as f:
                rows = [line.strip().split(",") for line in f][1:]
            readback = [(int(r[4]), int(r[5])) for r in rows if len(r) == 6]
            check(f"{label} every RX4410 code read back", readback == steps, f"{len(readback)} rows")
        if port:
            with open(os.path.join(folder, "calls.txt")) as f:
                calls = [line.split() for line in f]
            names = [c[0] for c in calls]
            check(f"{label} {device} closed as often as opened", names.count("open") == names.count("close") > 0,
                  f"{names.count('open')} opens, {names.count('close')} closes")
            check(f"{label} {device} synchronous bit-bang with mask 0xE7", ["bitmode", "231", "4"] in calls,
                  str([c for c in calls if c[0] == "bitmode"]))
            sizes = [int(c[1]) for c in calls if c[0] == "write"]
            check(f"{label} {device} writes batched, 64 bytes at most", sizes and max(sizes) <= 64
                  and len(sizes) < sum(sizes), str(sizes[:10]))


def sweep(wine, folder):
    """A sweep on the simulated bench; dwell accuracy printed from its log."""
    env = {"TARVEL_PORT": "sim:" + winpath(os.path.join(folder, "sweep.state"))}
    rc, _, err = wine.run(folder, ["--sweep", "RX4410", "--from", "0", "--to", "20", "--dwell", "20",
                                   "--verify", "--log", "sweep.log"], env)
    check("sweep status", rc == 0, err)
    with open(os.path.join(folder, "sweep.log")) as f:
        rows = [line.strip().split(",") for line in f][1:]
    check("sweep steps", [int(r[2]) for r in rows] == list(range(21)), str(rows[:3]))
    check("sweep read back", all(r[2] == r[4] and r[3] == r[5] for r in rows))
    starts = [float(r[0]) for r in rows]
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    if gaps:
        worst = max(abs(g - 20.0) for g in gaps)
        print(f"sweep dwell under Wine: 20 ms asked, mean {sum(gaps) / len(gaps):.3f} ms, "
              f"worst off by {worst:.3f} ms over {len(gaps)} steps (reported, not asserted)")


def busy_bench(wine, folder, holder):
    """A bench held by another process: the alert names it, as on Linux."""
    state = os.path.join(folder, "busy.state")
    p = subprocess.Popen([wine.runner, holder, winpath(state + ".lock")], cwd=folder, env=wine.env({}),
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        pid = p.stdout.readline().decode(errors="replace").strip()
        rc, _, err = wine.run(folder, ["RX4410", "1", "2"], {"TARVEL_PORT": "sim:" + winpath(state)})
        check("busy bench: status", rc == 69, f"{rc}: {err}")
        check("busy bench: the holder named", pid and f"held by process {pid} (hold_bench.exe)" in err,
              f"{pid}: {err}")
    finally:
        p.stdin.close()
        p.wait(timeout=60)


def message_box(wine, folder):
    """On a desktop (Xvfb) an alert is a message box too: Wine's own
    WINEPREFIX, or CI, in the environment changes nothing."""
    xvfb, xdotool = shutil.which("Xvfb"), shutil.which("xdotool")
    if not xvfb or not xdotool:
        print("Xvfb or xdotool is not installed: message box not checked")
        return
    display = f":{100 + os.getpid() % 800}"
    server = subprocess.Popen([xvfb, display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    p = None
    x = {"DISPLAY": display, "PATH": os.environ.get("PATH", "")}
    try:
        for _ in range(150):  # the server up first
            if subprocess.run([xdotool, "getdisplaygeometry"], env=x, capture_output=True).returncode == 0:
                break
            time.sleep(0.2)
        env = wine.env({"WINE_RUN_DISPLAY": display, "CI": "1"})
        del env["TARVEL_NO_MESSAGE_BOX"]
        p = subprocess.Popen([wine.runner, os.path.join(folder, "tarvel.exe"), "RX4410", "x"], cwd=folder,
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        found, deadline = [], time.monotonic() + 120
        while not found and p.poll() is None and time.monotonic() < deadline:
            found = subprocess.run([xdotool, "search", "--onlyvisible", "--name", "Error"], env=x,
                                   capture_output=True).stdout.split()
            time.sleep(0.2)
        check("an alert on a desktop is a message box", len(found) > 0)
        for window in found[:1]:
            subprocess.run([xdotool, "key", "--window", window, "Return"], env=x, capture_output=True, timeout=30)
        check("the alert's status after OK", p.wait(timeout=60) == 64)
    finally:
        if p is not None and p.poll() is None:
            p.kill()
            p.wait()
        server.terminate()
        server.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(wine, folder):
    """--serve driven by a client over loopback, its web page read, then stopped."""
    port, web = free_port(), free_port()
    env = wine.env({"TARVEL_PORT": "sim:" + winpath(os.path.join(folder, "serve.state"))})
    p = subprocess.Popen([wine.runner, os.path.join(folder, "tarvel.exe"), "--serve", "--listen",
                          f"127.0.0.1:{port}", "--http", f"127.0.0.1:{web}"], cwd=folder, env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        line = p.stdout.readline().decode(errors="replace").strip()
        check("serve says where it listens", line == f"listening on 127.0.0.1:{port}", line)
        line = p.stdout.readline().decode(errors="replace").strip()
        check("serve says where its web page is", line == f"web page on http://127.0.0.1:{web}/", line)
        deadline = time.monotonic() + 30
        while True:
            try:
                conn = socket.create_connection(("127.0.0.1", port), timeout=30)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        with conn:
            reader = conn.makefile("r", newline="\n")

            def query(text):
                conn.sendall(text.encode() + b"\n")
                return reader.readline().strip()

            idn = query("*IDN?")
            check("serve *IDN?", "TARVEL" in idn.upper(), idn)
            conn.sendall(b"DEV RX4410\nCODE 17,42\nTRAN\n")
            for q, want in (("CODE?", "17,42"), ("READ?", "17,42"), ("SYST:ERR?", '0,"No error"')):
                got = query(q)
                check(f"serve {q}", got == want, got)
        page = http.client.HTTPConnection("127.0.0.1", web, timeout=30)
        page.request("GET", "/api/state")
        state = json.loads(page.getresponse().read())
        check("the web page's state shows what SCPI sent", state["sent"] == [17, 42], state)
        page.close()
    finally:
        p.terminate()  # Wine passes it on as a termination
        try:
            p.wait(timeout=30)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    # A command-line run sees what the server sent.
    rc, _, err = wine.run(folder, ["RX4410R"], {"TARVEL_PORT": env["TARVEL_PORT"]})
    with open(os.path.join(folder, "TRVOutput.dat"), "rb") as f:
        check("serve left the bench for the command line", f.read() == b"RX4410R, 17, 42\r\n")


def decode(wine, folder):
    """A trace written by one run, decoded by --decode."""
    env = {"TARVEL_PORT": "sim:" + winpath(os.path.join(folder, "decode.state")), "TARVEL_TRACE": "t.vcd"}
    rc, _, err = wine.run(folder, ["RX4410", "21", "3"], env)
    check("trace written", rc == 0 and os.path.exists(os.path.join(folder, "t.vcd")), err)
    rc, out, err = wine.run(folder, ["--decode", "t.vcd"])
    lines = [line.strip() for line in out.replace("\r\n", "\n").splitlines()]
    check("decode status", rc == 0, err)
    check("decode frames", any("Chan 1 write 21" in x for x in lines) and any("Chan 2 write 3" in x for x in lines),
          out)
    rc, _, err = wine.run(folder, ["--decode", "absent.vcd"])
    check("decode of a missing file", rc == 66 and "cannot open absent.vcd" in err, err)


def unicode_names(wine, folder):
    """Paths outside ASCII (and outside the ANSI code page) in the arguments
    and the environment: a trace, its decoding, a sequence, the bench state."""
    name = "Büro Ωμέγα"
    os.makedirs(os.path.join(folder, name), exist_ok=True)
    state = "sim:" + winpath(os.path.join(folder, name, "bench.state"))
    env = {"TARVEL_PORT": state, "TARVEL_TRACE": name + "\\t.vcd"}
    rc, _, err = wine.run(folder, ["RX4410", "21", "3"], env)
    check("non-ASCII: trace written", rc == 0 and os.path.exists(os.path.join(folder, name, "t.vcd")), err)
    check("non-ASCII: bench state kept", os.path.exists(os.path.join(folder, name, "bench.state")), err)
    rc, out, err = wine.run(folder, ["--decode", name + "\\t.vcd"])
    check("non-ASCII: --decode", rc == 0 and "Chan 1 write 21" in out, err)
    with open(os.path.join(folder, name, "steps.csv"), "w") as f:
        f.write("1,5,6\n1,7,8\n")
    rc, _, err = wine.run(folder, ["--sequence", "RX4410", name + "\\steps.csv", "--log", name + "\\steps.log"],
                          {"TARVEL_PORT": state})
    check("non-ASCII: --sequence", rc == 0 and os.path.exists(os.path.join(folder, name, "steps.log")), err)
    rc, _, err = wine.run(folder, ["RX4410R"], {"TARVEL_PORT": state})
    result = os.path.join(folder, "TRVOutput.dat")
    check("non-ASCII: the sequence reached the bench",
          rc == 0 and open(result, "rb").read() == b"RX4410R, 7, 8\r\n", err)


def resources(wine, folder):
    """The program's manifest, icon and version resource (read by icoutils'
    wrestool), and no symbol table: what ships is stripped."""
    import struct
    program = os.path.join(folder, "tarvel.exe")

    def resource(kind):
        p = subprocess.run(["wrestool", "-x", "--raw", f"--type={kind}", program], capture_output=True)
        return p.stdout

    manifest = resource(24).decode(errors="replace")
    for text in ("<dpiAwareness", "PerMonitorV2", 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'):
        check(f"resources: the manifest has {text}", text in " ".join(manifest.split()), manifest[:200])
    check("resources: the program icon", len(resource(14)) > 0 and len(resource(3)) > 0)
    _, out, _ = wine.run(folder, ["--version"])
    version = out.split()[1] if len(out.split()) > 1 else "?"
    info = resource(16)
    for key in ("FileVersion", "ProductVersion"):
        at = info.find((key + "\0").encode("utf-16-le"))
        check(f"resources: {key} {version}", at >= 0 and (version + "\0").encode("utf-16-le") in info[at:at + 64])
    with open(program, "rb") as f:
        head = f.read(4096)
    coff = struct.unpack_from("<I", head, 0x3C)[0] + 4
    symbols = struct.unpack_from("<II", head, coff + 8)
    check("stripped: no symbol table", symbols == (0, 0), str(symbols))


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "program", "inpout", "dlportio", "ftd2xx", "hold-bench", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--only", help="run the steps whose names hold this text (while mending one)")
    a = ap.parse_args()
    if shutil.which(a.wine) is None and not os.access(a.wine, os.X_OK):
        print("wine is not installed: skipped")
        return 77
    a.work = os.path.abspath(a.work)
    shutil.rmtree(a.work, ignore_errors=True)
    folders = {}
    for name, dlls in (("bare", []), ("inpout", [a.inpout]), ("dlportio", [a.dlportio]), ("ftdi", [a.ftd2xx]),
                       ("dll32", []), ("both", [a.inpout, a.dlportio])):
        folders[name] = os.path.join(a.work, name)
        os.makedirs(folders[name])
        shutil.copy(a.program, folders[name])
        for dll in dlls:
            shutil.copy(dll, folders[name])
    write_pe32_dll(os.path.join(folders["dll32"], "dlportio.dll"))
    wine = Wine(os.path.abspath(a.wine), a.work)
    started = time.monotonic()
    # Wine's server and services first, on no pipe of ours: they stay for the
    # whole run (the wrapper keeps the server), and a service started by a
    # test's program would hold that program's output open.
    subprocess.run([wine.runner, "wineboot"], env=wine.env({}), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    print(f"Wine ready: {time.monotonic() - started:.1f} s")
    for step, run in (("contract", lambda: contract(wine, folders["bare"], folders["inpout"], folders["ftdi"],
                                                    folders["dll32"], folders["both"])),
                      ("codes via inpoutx64.dll", lambda: every_code(wine, folders["inpout"], "inpoutx64.dll")),
                      ("codes via dlportio.dll", lambda: every_code(wine, folders["dlportio"], "dlportio.dll")),
                      ("codes via ftd2xx64.dll", lambda: every_code(wine, folders["ftdi"], "ftdi", "ftdi")),
                      ("codes via ftd2xx64.dll by serial",
                       lambda: every_code(wine, folders["ftdi"], "ftdi:s:", "ftdi:s:0x0403:0x6014:TV000001")),
                      ("sweep", lambda: sweep(wine, folders["bare"])),
                      ("serve", lambda: serve(wine, folders["bare"])),
                      ("decode", lambda: decode(wine, folders["bare"])),
                      ("names outside ASCII", lambda: unicode_names(wine, folders["bare"])),
                      ("resources", lambda: resources(wine, folders["bare"])),
                      ("busy bench", lambda: busy_bench(wine, folders["bare"], a.hold_bench)),
                      ("message box", lambda: message_box(wine, folders["bare"]))):
        if a.only and a.only not in step:
            continue
        t = time.monotonic()
        run()
        print(f"{step}: {time.monotonic() - t:.1f} s")
    print(f"under Wine: {time.monotonic() - started:.1f} s")
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
