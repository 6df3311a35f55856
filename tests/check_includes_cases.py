#!/usr/bin/python3
"""Cases for check_includes.py: each builds a small tree and says whether the
check must find an upward include in it."""
import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_includes.py")

# (case, core/platform/README.md's rule line, the include in core/platform/P.cpp, problems expected)
CASES = [
    ("canonical rule, upward include", "Depends on: nothing", "core/Globals.h", True),
    ("indented rule, blank before the colon", "        Depends on : nothing", "core/Globals.h", True),
    ("indented rule, include it allows", "    Depends on : core", "core/Globals.h", False),
    ("include within the folder", "Depends on: nothing", "core/platform/Platform.h", False),
    ("Win32 header outside the seam's Win32 file", "Depends on: nothing", "<windows.h>", True),
]


def make_tree(root, rule, include):
    files = {
        "core/README.md": "# core\n\nDepends on: core/platform\n",
        "core/Globals.h": '#include "core/platform/Platform.h"\n',
        "core/platform/README.md": f"# core/platform\n\n{rule}\n",
        "core/platform/Platform.h": "",
        "core/platform/P.cpp": f"#include {include}\n" if include.startswith("<") else f'#include "{include}"\n',
    }
    for rel, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
        with open(os.path.join(root, rel), "w", encoding="utf-8") as f:
            f.write(text)


def main():
    failures = 0
    for name, rule, include, expected in CASES:
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, rule, include)
            run = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True, check=False)
            found = run.returncode != 0
            if found != expected:
                failures += 1
                print(f"FAIL {name}: expected {'problems' if expected else 'none'}, got rc {run.returncode}\n"
                      f"{run.stdout}{run.stderr}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
