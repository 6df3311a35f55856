#!/usr/bin/python3
"""The packaged bench services: systemd-analyze verify passes both units
(tarvel-serve.service and the template tarvel-serve@.service), and
systemd-analyze security rates each 2.5 or less; a bad setting ends the
server with a status the units do not restart on; the single unit's
command line, as the unit gives it (ExecStart expanded from Environment= and
the shipped /etc/default/tarvel the way systemd expands it), serves a SCPI
client and stops on SIGTERM with the port released and the bench's state
saved; two benches of the template, each with its /etc/tarvel/NAME.conf,
serve side by side with their own serial numbers and states; and every
system call the server makes on the ports that can be had here (the
simulated bench, ppdev through the benchmarks' fake) is one the units'
SystemCallFilter= lets through. The settings are the shipped defaults but
for the simulated bench's file and the listen port, which a bench owner
sets.

usage: service_check.py PATH/TO/tarvel PACKAGING_DIR [--syscalls [FAKE_PPDEV_LIBRARY]]
(--syscalls: on a plain native build; a sanitizer's or an emulator's own
calls are not the program's)
"""
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
from ordinary_user import as_ordinary_user

program = os.path.abspath(sys.argv[1])
packaging = sys.argv[2]
UNIT = os.path.join(packaging, "tarvel-serve.service")
TEMPLATE = os.path.join(packaging, "tarvel-serve@.service")
syscalls = len(sys.argv) > 3 and sys.argv[3] == "--syscalls"
fake_ppdev = os.path.abspath(sys.argv[4]) if syscalls and len(sys.argv) > 4 else None
MAX_EXPOSURE = 2.5
DEFAULTS = os.path.join(packaging, "tarvel.default")
failures = []


def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def unit_settings(path):
    """[Service] key -> list of values, in order."""
    settings, section = {}, None
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if not line or line[0] in "#;":
            continue
        if line.startswith("["):
            section = line
        elif section == "[Service]":
            key, _, value = line.partition("=")
            settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def environment_file(path):
    """KEY=VALUE lines as systemd's EnvironmentFile= reads them (quotes removed)."""
    env = {}
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if line and line[0] not in "#;":
            key, _, value = line.partition("=")
            env[key.strip()] = " ".join(shlex.split(value))
    return env


def expand(command, env):
    """ExecStart's words: "${VAR}" gives its value as it is, "$VAR" as a word
    of its own gives its value split at blanks (none when empty)."""
    words = []
    for word in shlex.split(command):
        whole = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", word)
        if whole:
            words += env.get(whole.group(1), "").split()
        else:
            words.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}", lambda m: env.get(m.group(1), ""), word))
    words[0] = words[0].lstrip("-@:+!")
    return words


def verify(work):
    """systemd-analyze verify against a root holding the program where the units
    run it (the template as an instance), and systemd-analyze security on each."""
    if shutil.which("systemd-analyze") is None:
        check("systemd-analyze is installed (scripts/install-deps installs systemd)", False)
        return
    root = os.path.join(work, "root")
    units = os.path.join(root, "lib/systemd/system")
    shutil.copytree("/lib/systemd/system", units, symlinks=True)
    os.makedirs(os.path.join(root, "usr/bin"))
    os.makedirs(os.path.join(root, "etc/tarvel"))
    open(os.path.join(root, "etc/tarvel/b1.conf"), "w").close()
    shutil.copy(program, os.path.join(root, "usr/bin/tarvel"))
    shutil.copy(UNIT, units)
    shutil.copy(TEMPLATE, units)
    for unit in ("tarvel-serve.service", "tarvel-serve@b1.service"):
        result = subprocess.run(["systemd-analyze", "verify", "--root=" + root, "--man=no", unit],
                                capture_output=True, text=True, timeout=60)
        said = [line for line in result.stderr.splitlines() if "running with root privileges" not in line]
        check(f"systemd-analyze verify passes {unit}", result.returncode == 0 and not said, "\n".join(said))
    for path in (UNIT, TEMPLATE):
        result = subprocess.run(["systemd-analyze", "security", "--offline=true", "--no-pager", path],
                                capture_output=True, text=True, timeout=60)
        level = re.search(r"Overall exposure level for \S+: ([0-9.]+)", result.stdout)
        exposure = float(level.group(1)) if level else 99.0
        check(f"systemd-analyze security rates {os.path.basename(path)} {MAX_EXPOSURE} or less",
              exposure <= MAX_EXPOSURE, f"{exposure}: {result.stdout[-2000:]}{result.stderr}")


def allowed_syscalls(service):
    """The system calls SystemCallFilter= lines let through: allow lists
    joined, then deny lists (~) taken away, groups expanded as systemd does."""
    listing = subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager"], capture_output=True,
                             text=True, timeout=60).stdout
    groups, current = {}, None
    for line in listing.splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), [])
        elif current is not None and line.strip() and not line.strip().startswith("#"):
            current.append(line.strip())

    def expand(name, seen=()):
        if not name.startswith("@"):
            return {name}
        return set().union(*[expand(n, seen + (name,)) for n in groups.get(name, []) if n not in seen])

    allowed, denied = set(), set()
    for value in service.get("SystemCallFilter", []):
        deny = value.startswith("~")
        names = set().union(*[expand(n) for n in value.lstrip("~").split()])
        (denied if deny else allowed).update(names)
    return allowed - denied


def traced_syscalls(argv, env, work, client_lines):
    """The system calls the server makes (strace -f) while a client sends its lines."""
    trace = os.path.join(work, "strace.txt")
    server = subprocess.Popen(["strace", "-f", "-qq", "-o", trace, "--"] + argv, cwd=work, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              preexec_fn=as_ordinary_user)
    try:
        line = server.stdout.readline().strip()
        if not line.startswith("listening on 127.0.0.1:"):
            server.kill()
            check("it listens under strace", False, line + server.stderr.read())
            return set()
        with socket.create_connection(("127.0.0.1", int(line.rsplit(":", 1)[1])), timeout=10) as s:
            answers = s.makefile("r", encoding="ascii")
            for text in client_lines:
                s.sendall(text.encode() + b"\n")
                answers.readline()
        # The server is strace's child: SIGTERM to it, as systemd would send.
        children = open(f"/proc/{server.pid}/task/{server.pid}/children", encoding="ascii").read().split()
        for child in children:
            os.kill(int(child), signal.SIGTERM)
        server.wait(timeout=20)
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    calls = set()
    for line in open(trace, encoding="utf-8", errors="replace"):
        m = re.match(r"\d+\s+([a-z_0-9]+)\(", line)
        if m:
            calls.add(m.group(1))
    return calls


def check_syscalls(service, work):
    if shutil.which("strace") is None:
        check("strace is installed (scripts/install-deps installs it)", False)
        return
    allowed = allowed_syscalls(service)
    check("the units filter system calls", bool(allowed), service.get("SystemCallFilter"))
    lines = ["CODE 17,42;*OPC?", "READ?;SYST:ERR?", "*IDN?"]  # each answers one line
    ports = [("the simulated bench", {"TARVEL_PORT": "sim:" + os.path.join(work, "traced.state")})]
    if fake_ppdev:
        ports.append(("ppdev (the benchmarks' fake)", {"TARVEL_PORT": "/dev/parport-fake",
                                                        "TARVEL_FAKE_PPDEV": "/dev/parport-fake",
                                                        "LD_PRELOAD": fake_ppdev}))
    for what, settings in ports:
        env = dict(os.environ, **settings)
        calls = traced_syscalls([program, "--serve", "--listen", "127.0.0.1:0"], env, work, lines)
        outside = sorted(calls - allowed - {"execve"})  # execve: strace's start of the program
        check(f"on {what} the server makes only system calls the filter allows", calls and not outside,
              f"outside the filter: {outside}" if calls else "no trace")


def expand_specifiers(text, instance):
    """systemd's %i (the instance), %l (the short host name) and %%."""
    return re.sub(r"%([il%])", lambda m: {"i": instance, "l": socket.gethostname().split(".")[0],
                                          "%": "%"}[m.group(1)], text)


def start(argv, env, work):
    """A server as the unit would run it; (process, port) or (None, 0)."""
    server = subprocess.Popen(argv, cwd=work, env=dict(os.environ, **env), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, preexec_fn=as_ordinary_user)
    line = server.stdout.readline().strip()
    if not line.startswith("listening on 127.0.0.1:"):
        server.kill()
        check("it listens", False, line + server.stderr.read())
        return None, 0
    return server, int(line.rsplit(":", 1)[1])


def ask(port, text):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(text.encode() + b"\n")
        return s.makefile("r", encoding="ascii").readline().strip()


def two_benches(work):
    """Two instances of the template, each with its own settings file."""
    service = unit_settings(TEMPLATE)
    check("each bench reads /etc/tarvel/NAME.conf", service.get("EnvironmentFile") == ["/etc/tarvel/%i.conf"])
    check("each bench has a state folder of its own", service.get("StateDirectory") == ["tarvel/%i"])
    benches = []
    try:
        for instance, serial in (("b1", "B1"), ("b2", "")):
            env = {}
            for value in service.get("Environment", []):
                for assignment in shlex.split(expand_specifiers(value, instance)):
                    key, _, val = assignment.partition("=")
                    env[key] = val
            check(f"bench {instance}'s default bench lives in its own state folder",
                  env.get("TARVEL_PORT") == f"sim:/var/lib/tarvel/{instance}/bench.state", env.get("TARVEL_PORT"))
            check(f"bench {instance} has a name of its own", instance in env.get("TARVEL_NAME", ""))
            # What the bench's owner writes in /etc/tarvel/NAME.conf.
            os.makedirs(os.path.join(work, instance))
            os.chmod(os.path.join(work, instance), 0o777)  # the state folder is the service user's
            env.update(TARVEL_PORT="sim:" + os.path.join(work, instance, "bench.state"),
                       TARVEL_LISTEN="127.0.0.1:0", TARVEL_SERIAL=serial)
            argv = expand(expand_specifiers(service["ExecStart"][0], instance), env)
            argv[0] = program
            server, port = start(argv, env, os.path.join(work, instance))
            if server is None:
                return
            benches.append((instance, server, port))
        (_, _, p1), (_, _, p2) = benches
        idn1, idn2 = ask(p1, "CODE 1,2;*IDN?"), ask(p2, "CODE 3,4;*IDN?")
        check("the first bench's *IDN? carries its serial", idn1.split(",")[2:3] == ["B1"], idn1)
        check("the second bench's *IDN? carries the default serial", idn2.split(",")[2:3] == ["0"], idn2)
        got = ask(p1, "CODE?") + " " + ask(p2, "CODE?")
        check("each bench keeps its own codes", got == "1,2 3,4", got)
    finally:
        for _, server, _ in benches:
            server.send_signal(signal.SIGTERM)
            check("a bench stops on SIGTERM with status 0", server.wait(timeout=10) == 0)


def main():
    service = unit_settings(UNIT)
    env = {}
    for value in service.get("Environment", []):
        for assignment in shlex.split(value):
            key, _, val = assignment.partition("=")
            env[key] = val
    check("the unit reads /etc/default/tarvel", service.get("EnvironmentFile") == ["-/etc/default/tarvel"])
    env.update(environment_file(DEFAULTS))
    state_dir = "/var/lib/" + service.get("StateDirectory", ["?"])[0] + "/"
    check("the default bench lives in the StateDirectory, writable under ProtectSystem=strict",
          env.get("TARVEL_PORT", "").startswith("sim:" + state_dir), env.get("TARVEL_PORT"))
    check("the default listen address is loopback", env.get("TARVEL_LISTEN", "").startswith("127.0.0.1:"),
          env.get("TARVEL_LISTEN"))
    check("the web page is off by default", env.get("TARVEL_HTTP") == "", env.get("TARVEL_HTTP"))
    check("it runs as the package's user and restarts on failure",
          service.get("User") == ["tarvel"] and service.get("Restart") == ["on-failure"])
    for path in (UNIT, TEMPLATE):
        prevent = " ".join(unit_settings(path).get("RestartPreventExitStatus", [])).split()
        check(f"{os.path.basename(path)} does not restart on a bad setting (64) or permission (77)",
              "64" in prevent and "77" in prevent, prevent)
    bad = subprocess.run([program, "--serve", "--listen", "nowhere"], capture_output=True, text=True, timeout=20,
                         preexec_fn=as_ordinary_user)
    check("a bad setting ends the server with status 64", bad.returncode == 64, bad.stderr)

    with tempfile.TemporaryDirectory(prefix="tarvel-service-") as work:
        os.chmod(work, 0o777)
        verify(work)
        if syscalls:
            check_syscalls(service, work)
        two_benches(work)
        state = os.path.join(work, "bench.state")
        # What a bench owner sets in /etc/default/tarvel.
        env.update(TARVEL_PORT="sim:" + state, TARVEL_LISTEN="127.0.0.1:0")
        argv = expand(service["ExecStart"][0], env)
        check("ExecStart runs /usr/bin/tarvel --serve", argv[:2] == ["/usr/bin/tarvel", "--serve"], argv)
        argv[0] = program
        print("running:", shlex.join(argv))
        server = subprocess.Popen(argv, cwd=work, env=dict(os.environ, **env), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, preexec_fn=as_ordinary_user)
        try:
            line = server.stdout.readline().strip()
            if not line.startswith("listening on 127.0.0.1:"):
                server.kill()
                check("it listens", False, line + server.stderr.read())
                return
            port = int(line.rsplit(":", 1)[1])
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                answers = s.makefile("r", encoding="ascii")
                s.sendall(b"CODE 17,42\nCODE?;SYST:ERR?\n")
                got = answers.readline().strip()
                check("a SCPI client sets and reads the codes", got == '17,42;0,"No error"', got)
            server.send_signal(signal.SIGTERM)
            status = server.wait(timeout=10)
            check("SIGTERM stops it with status 0", status == 0, f"status {status}: {server.stderr.read()}")
        finally:
            if server.poll() is None:
                server.kill()
                server.wait()
        with socket.socket() as s:
            try:
                s.connect(("127.0.0.1", port))
                check("the port is released", False, "still accepting")
            except ConnectionRefusedError:
                check("the port is released", True)
        subprocess.run([program, "RX4410R"], cwd=work, env=dict(os.environ, TARVEL_PORT="sim:" + state),
                       check=True, preexec_fn=as_ordinary_user, timeout=20)
        got = open(os.path.join(work, "TRVOutput.dat"), encoding="ascii", newline="").read()
        check("the bench's state is intact after the stop", got == "RX4410R, 17, 42\r\n", repr(got))
        leftovers = [f for f in os.listdir(work) if f.startswith(".bench.state.")]
        check("no temporary state file is left", not leftovers, leftovers)

    print("service checked")


main()
sys.exit(1 if failures else 0)
