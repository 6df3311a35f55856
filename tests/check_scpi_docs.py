#!/usr/bin/python3
"""Holds the README's and the manual page's remote-control command tables
against the SCPI instrument's command table (printed by tarvel_scpi_commands):
the same commands in the same order, the same "answered at once" marks and
the same help texts.

    check_scpi_docs.py TARVEL_SCPI_COMMANDS README.md tarvel.1
"""
import re
import subprocess
import sys

README_HEAD = "| command | answered at once | effect |"
MAN_START = ".\\\" SCPI commands: one .TP per row of the command table"
MAN_END = ".\\\" end of the SCPI commands"


def table(program):
    rows = []
    out = subprocess.run([program], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        form, reads, help_text = line.split("\t")
        rows.append((form, reads == "1", help_text))
    return rows


def readme_rows(path):
    lines = open(path, encoding="utf-8").read().splitlines()
    if README_HEAD not in lines:
        sys.exit(f"{path}: no table headed {README_HEAD!r}")
    rows = []
    for line in lines[lines.index(README_HEAD) + 2:]:
        if not line.startswith("|"):
            break
        cells = [c.strip().replace("\\|", "|") for c in re.split(r"(?<!\\)\|", line)[1:-1]]
        if len(cells) != 3 or not re.fullmatch(r"`[^`]+`", cells[0]) or cells[1] not in ("yes", ""):
            sys.exit(f"{path}: a row not of the form | `FORM` | yes or nothing | HELP |: {line}")
        rows.append((cells[0][1:-1], cells[1] == "yes", cells[2]))
    return rows


def unroff(text):
    return text.replace("\\-", "-").replace("\\(dq", '"').replace("\\e", "\\").replace("\\&", "")


def man_rows(path):
    lines = open(path, encoding="utf-8").read().splitlines()
    if MAN_START not in lines or MAN_END not in lines:
        sys.exit(f"{path}: no lines {MAN_START!r} ... {MAN_END!r}")
    body = lines[lines.index(MAN_START) + 1:lines.index(MAN_END)]
    rows = []
    i = 0
    while i < len(body):
        if body[i] != ".TP":
            sys.exit(f"{path}: expected .TP, found {body[i]!r}")
        tag = body[i + 1]
        m = re.fullmatch(r'\.B "([^"]+)"', tag) or re.fullmatch(r'\.BR "([^"]+)" " \(answered at once\)"', tag)
        if not m:
            sys.exit(f'{path}: not .B "FORM" nor .BR "FORM" " (answered at once)": {tag}')
        text = []
        i += 2
        while i < len(body) and body[i] != ".TP":
            text.append(body[i])
            i += 1
        rows.append((unroff(m.group(1)), tag.startswith(".BR"), unroff(" ".join(text))))
    return rows


def compare(name, documented, expected):
    problems = []
    for n, (doc, want) in enumerate(zip(documented, expected)):
        if doc != want:
            problems.append(f"{name}: row {n + 1} is {doc}, the command table has {want}")
    if len(documented) != len(expected):
        problems.append(f"{name}: {len(documented)} commands, the command table has {len(expected)}")
    return problems


def main():
    program, readme, manual = sys.argv[1:4]
    expected = table(program)
    problems = compare(readme, readme_rows(readme), expected) + compare(manual, man_rows(manual), expected)
    for p in problems:
        print(p)
    if problems:
        return 1
    print(f"{len(expected)} commands: the README and the manual page list them as the command table does")
    return 0


if __name__ == "__main__":
    sys.exit(main())
