#!/usr/bin/python3
"""Holds the docs' lists of TARVEL_PORT forms to the back-end table
(ports/PortSelect.cpp), which the program prints in `--help`:

- `tarvel --help` lists one row per form, with its help line;
- the "not a port choice" message names every form;
- README.md's table of forms has the same rows, form and help line;
- the man page's TARVEL_PORT entry has one item per form, no more.

usage: port_choices_check.py PATH/TO/tarvel README.md tarvel.1
"""
import os
import re
import subprocess
import sys
import tempfile

problems = []


def check(what, ok, detail=""):
    if not ok:
        problems.append(f"{what}: {detail}")


def help_rows(program):
    """(form, help) rows of the TARVEL_PORT part of `tarvel --help`."""
    out = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip().startswith("TARVEL_PORT "))
    rows = []
    for line in lines[start + 1:]:
        m = re.match(r"^ {9}(\S+) +(\S.*)$", line)
        if not m:
            break
        rows.append((m.group(1), m.group(2)))
    return rows


def readme_rows(path):
    """(form, help) rows of README.md's table headed `| TARVEL_PORT | port |`."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    start = lines.index("| `TARVEL_PORT` | port |")
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = [c.strip() for c in line.strip("|").split("|")]
        form = re.match(r"^`([^`]+)`", cells[0]).group(1)
        rows.append((form, cells[1]))
    return rows


def roff_text(line):
    """The text of one roff line: font macros' arguments joined, escapes gone."""
    m = re.match(r"^\.(B|I|BI|IB|BR|RB|IR|RI)\s+(.*)$", line)
    if m:
        line = "".join(re.findall(r'"[^"]*"|\S+', m.group(2))).replace('"', "")
    line = re.sub(r"\\f[BIRP]", "", line)
    return line.replace("\\-", "-").replace("\\(en", "-")


def man_forms(path):
    """The item terms of the man page's TARVEL_PORT entry under ENVIRONMENT (.RS ... .RE)."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    start = lines.index(".B TARVEL_PORT", lines.index(".SH ENVIRONMENT"))
    rs = lines.index(".RS", start)
    re_ = lines.index(".RE", rs)
    return [roff_text(lines[i + 1]) for i in range(rs, re_) if lines[i] == ".TP"]


def main(program, readme, man):
    program = os.path.abspath(program)
    rows = help_rows(program)
    forms = [form for form, _ in rows]
    check("--help lists the forms", len(rows) >= 3, rows)
    for form, text in rows:
        check(f"--help {form}: one short line", len(text) <= 60, text)

    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ, TARVEL_PORT="no-such-port")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "TARVEL_TRACE", "TARVEL_PORT_DELAY_NS"):
            env.pop(name, None)
        run = subprocess.run([program, "RX4410", "1", "2"], cwd=work, env=env, capture_output=True, text=True)
    check("not a port choice: status 69", run.returncode == 69, run.returncode)
    check("not a port choice: said", "not a port choice" in run.stderr, run.stderr)
    for form in forms:
        check(f"not a port choice: names {form}", form in run.stderr, run.stderr)

    # The docs describe the Linux build; the Windows build's --help is
    # checked under Wine.
    if "/dev/parportN" in forms:
        check("README.md's TARVEL_PORT table", readme_rows(readme) == rows,
              f"\n  README: {readme_rows(readme)}\n  table:  {rows}")
        check("tarvel.1's TARVEL_PORT items", man_forms(man) == forms,
              f"\n  man page: {man_forms(man)}\n  table:    {forms}")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
