#!/usr/bin/python3
"""Checks the folder layering that the folder READMEs state.

Every top-level folder has a README.md with one line

    Depends on: core, device

naming the folders whose headers its files may include (or "nothing"). A
subfolder with a README.md of its own that has the line is a
folder of its own here: its files follow its README, and an include that
reaches it counts as reaching it, not its parent. A folder may also carry one line

    Depends on until the move: app

for an edge the tree still has but the layout is meant to lose; it is
allowed like the others and named in the output so it is not forgotten.
A rule line written a little off (indented, a blank before the colon) is
still read and enforced, and --readmes asks for it to be written as above.

    check_includes.py SOURCE_DIR          every #include "..." follows the READMEs,
                                          and no file tests which system it is built for
    check_includes.py --readmes SOURCE_DIR  every folder has a README with its line,
                                          every rule line is written as above

Only the platform seam's implementation files (core/platform/Platform*.cpp)
and the port back-end table (ports/PortSelect.cpp) may hold a
preprocessor test of the system (_WIN32, __linux__, ...): everything else
calls core/platform. The Win32 API's headers (<windows.h>, <commctrl.h>,
...) are included only by the seam's Win32 file, the Windows build's windows
(win32/) and the Windows tests' helpers (tests/windows/): the portable layers
never see them.
"""
import os
import re
import sys

TARGET = "Depends on:"
INTERIM = "Depends on until the move:"
# A rule line as people write it: leading blanks, several blanks between the
# words, blanks before the colon. Every such line counts, so a rule written a
# little off is still enforced rather than silently skipped.
RULE = re.compile(r"^\s*Depends\s+on(\s+until\s+the\s+move)?\s*:(.*)$", re.IGNORECASE)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SOURCES = (".cpp", ".h", ".hpp", ".cc", ".c", ".in")
SYSTEM_TEST = re.compile(
    r"^\s*#\s*(if|ifdef|ifndef|elif)\b.*\b(_WIN32|_WIN64|WIN32|__MINGW32__|__MINGW64__|_MSC_VER|"
    r"__linux__|__linux|__unix__|__unix|__APPLE__|__CYGWIN__|_POSIX_VERSION)\b")
SYSTEM_TEST_ALLOWED = re.compile(r"^(core/platform/Platform[A-Za-z0-9]*\.cpp|ports/PortSelect\.cpp)$")
WIN32_HEADER = re.compile(
    r"^\s*#\s*include\s*<(windows|winsock2|ws2tcpip|commctrl|shellapi|shlobj|winuser|wingdi|winbase|"
    r"objbase|shobjidl|uxtheme|dwmapi)\.h>", re.IGNORECASE)
WIN32_HEADER_ALLOWED = re.compile(r"^(core/platform/PlatformWin32\.cpp|win32/.*|tests/windows/.*)$")


def folders(root):
    return sorted(
        d for d in os.listdir(root)
        if os.path.isdir(os.path.join(root, d)) and not d.startswith(".") and not d.startswith("build"))


def parse_list(text):
    text = text.strip().rstrip(".")
    if text in ("", "nothing"):
        return set()
    return {name.strip().strip("`").rstrip("/") for name in text.split(",")}


def read_rules(root, folder):
    """(allowed, interim) for folder, or None when its README lacks the line."""
    path = os.path.join(root, folder, "README.md")
    if not os.path.isfile(path):
        return None
    allowed, interim = None, set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = RULE.match(line)
            if m and m.group(1):
                interim = parse_list(m.group(2))
            elif m:
                allowed = parse_list(m.group(2))
    return None if allowed is None else (allowed, interim)


def misspelt_rules(root, folder):
    """Rule lines in folder/README.md not written as the canonical line."""
    path = os.path.join(root, folder, "README.md")
    if not os.path.isfile(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [f'{folder}/README.md:{n}: write the rule as "{INTERIM if m.group(1) else TARGET} ..." '
                "at the start of the line"
                for n, line in enumerate(f, 1)
                if (m := RULE.match(line)) and not line.startswith(INTERIM if m.group(1) else TARGET)]


def check_readmes(root):
    problems = []
    for folder in folders(root):
        if not os.path.isfile(os.path.join(root, folder, "README.md")):
            problems.append(f"{folder}/ has no README.md")
        elif read_rules(root, folder) is None:
            problems.append(f'{folder}/README.md has no "{TARGET}" line')
    for folder in sorted(units(root)):
        problems += misspelt_rules(root, folder)
    return problems


def units(root):
    """Top-level folders, and their subfolders that state rules of their own."""
    found = set(folders(root))
    for top in list(found):
        for dirpath, dirnames, _ in os.walk(os.path.join(root, top)):
            dirnames[:] = [d for d in dirnames if not d.startswith(".")]
            rel = os.path.relpath(dirpath, root).replace(os.sep, "/")
            if rel != top and read_rules(root, rel) is not None:
                found.add(rel)
    return found


def unit_of(rel_path, all_units):
    """The deepest unit holding rel_path (a path relative to the root)."""
    parts = rel_path.replace(os.sep, "/").split("/")
    for n in range(len(parts) - 1, 0, -1):
        candidate = "/".join(parts[:n])
        if candidate in all_units:
            return candidate
    return None


def included_folder(root, source, name, all_units):
    """The unit an include reaches, or None (system or generated)."""
    beside = os.path.normpath(os.path.join(os.path.dirname(source), name))
    if os.path.isfile(beside):
        rel = os.path.relpath(beside, root)
        return None if rel.startswith("..") else unit_of(rel, all_units)
    return unit_of(name, all_units) if "/" in name else None


def check_includes(root):
    all_units = units(root)
    problems, interim_used = [], set()
    for folder in sorted(all_units):
        rules = read_rules(root, folder)
        if rules is None:
            problems.append(f'{folder}/README.md: no "{TARGET}" line')
            continue
        allowed, interim = rules
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, folder)):
            dirnames[:] = sorted(d for d in dirnames if not d.startswith("."))
            for file in sorted(f for f in filenames if f.endswith(SOURCES)):
                source = os.path.join(dirpath, file)
                if unit_of(os.path.relpath(source, root), all_units) != folder:
                    continue  # a subfolder with rules of its own
                with open(source, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = included_folder(root, source, m.group(1), all_units)
                        if target is None or target == folder or target in allowed:
                            continue
                        if target in interim:
                            interim_used.add((folder, target))
                            continue
                        problems.append(
                            f'{os.path.relpath(source, root)}:{number}: includes "{m.group(1)}" from '
                            f"{target}/, which {folder}/README.md does not allow "
                            f"({TARGET} {', '.join(sorted(allowed)) or 'nothing'})")
        for target in sorted(interim):
            if (folder, target) in interim_used:
                print(f"note: {folder}/ still includes {target}/ (allowed until the move)")
            else:
                print(f"note: {folder}/ no longer includes {target}/: "
                      f'drop it from "{INTERIM}" in {folder}/README.md')
    return problems


def check_system_tests(root):
    """Preprocessor tests of the system outside the seam and the back-end table."""
    problems = []
    for top in folders(root):
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            dirnames[:] = sorted(d for d in dirnames if not d.startswith("."))
            for file in sorted(f for f in filenames if f.endswith(SOURCES)):
                source = os.path.join(dirpath, file)
                rel = os.path.relpath(source, root).replace(os.sep, "/")
                with open(source, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = SYSTEM_TEST.match(line)
                        if m and not SYSTEM_TEST_ALLOWED.match(rel):
                            problems.append(f"{rel}:{number}: tests for the system ({m.group(2)}); "
                                            "put the difference behind core/platform/Platform.h")
                        if WIN32_HEADER.match(line) and not WIN32_HEADER_ALLOWED.match(rel):
                            problems.append(f"{rel}:{number}: includes a Win32 header; only "
                                            "core/platform/PlatformWin32.cpp and win32/ use the Win32 API")
    return problems


def main(argv):
    if len(argv) == 3 and argv[1] == "--readmes":
        problems = check_readmes(argv[2])
    elif len(argv) == 2:
        problems = check_includes(argv[1]) + check_system_tests(argv[1])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
