#!/usr/bin/env python3
"""Checks every #include "..." of the project against the layers.

Usage: scripts/check_includes.py [ROOT]

Each folder's include_rules file names the folders its code may include
besides its own (one per line, # for comments). An include of another
folder, an include without its folder, or a library header such as
<zlib.h> in a header of the updater's layers fails the check, with the
file, the line and the rule broken. Exit code 0 when all follow the rules.
"""
import os
import re
import sys

ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
SOURCES = (".cc", ".h", ".inc", ".in")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
# Third-party headers the updater's own headers never show their includers.
PRIVATE_HEADERS = {"zlib.h", "windows.h", "unistd.h", "fcntl.h", "sys/stat.h"}


def rules_of(folder):
    with open(os.path.join(ROOT, folder, "include_rules"), encoding="utf-8") as f:
        return {line.strip() for line in f if line.strip() and not line.startswith("#")}


def faults_in(folder, allowed):
    for base, _, names in os.walk(os.path.join(ROOT, folder)):
        for name in sorted(names):
            if not name.endswith(SOURCES):
                continue
            path = os.path.join(base, name)
            shown = os.path.relpath(path, ROOT)
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    kind, header = match.groups()
                    where = f"{shown}:{number}: {header}"
                    if kind == "<":
                        if name.endswith(".h") and folder != "platform" and header in PRIVATE_HEADERS:
                            yield f"{where}: a library's header in a header of the layers"
                        continue
                    top = header.split("/")[0]
                    if "/" not in header:
                        yield f"{where}: names no folder"
                    elif top != folder and top not in allowed:
                        yield f"{where}: {folder}/ may not include {top}/ ({folder}/include_rules)"


def main():
    folders = sorted(d for d in os.listdir(ROOT)
                     if os.path.isfile(os.path.join(ROOT, d, "include_rules")))
    faults = [fault for folder in folders for fault in faults_in(folder, rules_of(folder))]
    for fault in faults:
        print(fault)
    print(f"include rules: {len(folders)} folders, {len(faults)} faults")
    return 1 if faults or not folders else 0


if __name__ == "__main__":
    sys.exit(main())
