#!/usr/bin/python3
"""The packaged bench service: systemd-analyze verify passes its unit, and its
command line, as the unit gives it (ExecStart expanded from Environment= and
the shipped /etc/default/tarvel the way systemd expands it), serves a SCPI
client and stops on SIGTERM with the port released and the bench's state
saved. The settings are the shipped defaults but for the simulated bench's
file and the listen port, which a bench owner sets in /etc/default/tarvel.

usage: service_check.py PATH/TO/tarvel PACKAGING_DIR
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

program = os.path.abspath(sys.argv[1])
packaging = sys.argv[2]
UNIT = os.path.join(packaging, "tarvel-serve.service")
DEFAULTS = os.path.join(packaging, "tarvel.default")
failures = []


def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + (f" ({detail})" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def as_ordinary_user():
    if os.geteuid() == 0:  # the server refuses root, as the unit's User= would be
        os.setgroups([])
        os.setresgid(65534, 65534, 65534)
        os.setresuid(65534, 65534, 65534)


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
    """systemd-analyze verify against a root holding the program where the unit runs it."""
    if shutil.which("systemd-analyze") is None:
        check("systemd-analyze is installed (scripts/install-deps installs systemd)", False)
        return
    root = os.path.join(work, "root")
    units = os.path.join(root, "lib/systemd/system")
    shutil.copytree("/lib/systemd/system", units, symlinks=True)
    os.makedirs(os.path.join(root, "usr/bin"))
    shutil.copy(program, os.path.join(root, "usr/bin/tarvel"))
    shutil.copy(UNIT, units)
    result = subprocess.run(["systemd-analyze", "verify", "--root=" + root, "--man=no",
                             os.path.join(units, "tarvel-serve.service")],
                            capture_output=True, text=True, timeout=60)
    said = [line for line in result.stderr.splitlines() if "running with root privileges" not in line]
    check("systemd-analyze verify passes the unit", result.returncode == 0 and not said, "\n".join(said))


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

    with tempfile.TemporaryDirectory(prefix="tarvel-service-") as work:
        os.chmod(work, 0o777)
        verify(work)
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
