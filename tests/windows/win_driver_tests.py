#!/usr/bin/python3
"""Runs a program's windows under Wine on a private X server (Xvfb) and works
them from outside with win_driver.exe and a script of steps; passes when
every step passed and the program ended by itself. With --expect-failure the
script must instead fail with a line that names the given text (the driver's
own check that a wrong expectation fails, in bounded time).

    win_driver_tests.py --wine WINE_RUN --driver win_driver.exe --program PROGRAM
                        --script SCRIPT --work FOLDER [--copy FILE ...]
                        [--env NAME=VALUE ...] [--expect-failure TEXT] [--after CHECK.py ARG...]
                        [--shots FOLDER]

A script's `snapshot NAME` step asks for a picture of its current window:
with --shots the window, with its frame drawn by openbox, is saved as
FOLDER/NAME.png (ImageMagick's import, 8-bit palette); without, the request
is only answered. WIN_DRIVER_SHOTS=FOLDER in the environment gives --shots
to every run under ctest.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import threading
import time


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_x():
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        return None, None
    for attempt in range(20):
        display = f":{200 + (os.getpid() + attempt * 37) % 700}"
        if os.path.exists(f"/tmp/.X11-unix/X{display[1:]}"):
            continue
        server = subprocess.Popen([xvfb, display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(f"/tmp/.X11-unix/X{display[1:]}"):
                return server, display
            if server.poll() is not None:
                break
            time.sleep(0.1)
        server.kill()
        server.wait()
    return None, None


def answer_snapshots(work, shots, x_env, stop):
    """Takes the pictures the driver asks for (NAME.want holds the title)."""
    while not stop.is_set():
        for name in sorted(os.listdir(work)):
            if not name.endswith(".want"):
                continue
            path = os.path.join(work, name)
            time.sleep(0.5)  # the window drawn after its last change
            if shots:
                with open(path, encoding="utf-8") as f:
                    title = f.read()
                ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{re.escape(title)}$"],
                                     env=x_env, capture_output=True, timeout=30).stdout.split()
                if ids:
                    target = os.path.join(shots, name[:-5] + ".png")
                    subprocess.run(["import", "-frame", "-window", ids[-1].decode(), "-strip", "PNG8:" + target],
                                   env=x_env, capture_output=True, timeout=60)
                    print(f"picture of \"{title}\": {target}")
                else:
                    print(f"no X window named \"{title}\" for {name}")
            os.remove(path)
        time.sleep(0.1)


def main():
    ap = argparse.ArgumentParser()
    for name in ("wine", "driver", "program", "script", "work"):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--copy", action="append", default=[], help="a file put beside the program")
    ap.add_argument("--env", action="append", default=[], help="NAME=VALUE for the program (a path under "
                    "the work folder may be written {work})")
    ap.add_argument("--expect-failure")
    ap.add_argument("--after", nargs="+", help="a Python check and its arguments, run with the work folder "
                    "added once the program ended")
    ap.add_argument("--shots", default=os.environ.get("WIN_DRIVER_SHOTS") or None,
                    help="the folder for the pictures of `snapshot` steps (default: $WIN_DRIVER_SHOTS)")
    a = ap.parse_args()
    if shutil.which(a.wine) is None and not os.access(a.wine, os.X_OK):
        print("wine is not installed: skipped")
        return 77
    server, display = start_x()
    if server is None:
        print("Xvfb is not installed or did not start: skipped")
        return 77
    work = os.path.abspath(a.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for f in [a.program, a.driver] + a.copy:
        shutil.copy(f, work)
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVEL_")}
    env.update({"WINE_RUN_DISPLAY": display, "WINEDEBUG": "-all"})
    x_env = {"DISPLAY": display, "PATH": os.environ.get("PATH", "")}
    wm = None
    if a.shots:  # frames and titles drawn as a desktop would
        os.makedirs(a.shots, exist_ok=True)
        wm = subprocess.Popen(["openbox"], env=x_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
    stop = threading.Event()
    watcher = threading.Thread(target=answer_snapshots, args=(work, a.shots and os.path.abspath(a.shots), x_env, stop))
    watcher.start()
    program_env = dict(env)
    for pair in a.env:
        name, _, value = pair.partition("=")
        program_env[name] = value.replace("{work}", work).replace("{winwork}", winpath(work))
    # The program's output goes to a file: a Wine service it starts would
    # hold a pipe open after the program ended.
    log = open(os.path.join(work, "program.log"), "wb")
    program = subprocess.Popen([a.wine, os.path.join(work, os.path.basename(a.program))], cwd=work,
                               env=program_env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    status = 1
    try:
        with open(os.path.join(work, "driver.log"), "wb") as f:
            driver = subprocess.run([a.wine, os.path.join(work, os.path.basename(a.driver)), winpath(a.script)],
                                    cwd=work, env=env, stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT,
                                    timeout=600)
        with open(os.path.join(work, "driver.log"), errors="replace") as f:
            out = f.read()
        print(out, end="")
        if a.expect_failure is not None:
            status = 0 if driver.returncode == 1 and a.expect_failure in out else 1
            if status:
                print(f"FAIL: expected the driver to fail naming {a.expect_failure!r}; status {driver.returncode}")
        else:
            status = driver.returncode
            try:  # after a failed step the program is only stopped
                ended = program.wait(timeout=60 if status == 0 else 1)
                print(f"the program ended with status {ended}")
            except subprocess.TimeoutExpired:
                print("FAIL: the program did not end after the script")
                status = status or 1
            if status == 0 and a.after:
                status = subprocess.run([sys.executable] + a.after + [work]).returncode
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        log.close()
        with open(os.path.join(work, "program.log"), errors="replace") as f:
            output = f.read()
        if output.strip():
            print("the program's output:\n" + output)
        stop.set()
        watcher.join()
        # Wine's desktop process was started on this X server: ended with it,
        # so the next test's programs start their own (wine-run's prefix).
        prefix = os.environ.get("WINEPREFIX") or os.path.join(
            os.path.dirname(os.path.dirname(os.path.abspath(a.wine))), "build", "mingw", "wineprefix")
        subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=prefix), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        if wm is not None:
            wm.terminate()
            wm.wait()
        server.terminate()
        server.wait()
    return status


if __name__ == "__main__":
    sys.exit(main())
