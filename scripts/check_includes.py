#!/usr/bin/env python3
"""Checks the include graph of the tracked C++ files against the layer chart.

Fails (exit 1, one line per offence) when
  - a file includes a project header from a folder its layer may not reach (a lower layer
    including a higher one, or a sibling it does not build on), or
  - a file outside platform/ includes a POSIX header or a system library's header, or a file
    outside ui/ includes Qt.
tests/, tools/ and bench/ stand above every layer: they may include any project header, and may
use POSIX directly (forked lock holders, signals, stand-in programs), but they are still checked
for headers that do not exist.
"""
import os
import re
import subprocess
import sys

# Each layer and the layers it builds on directly; what those reach, it reaches too.
LAYERS = {
    "platform": [],
    "dataset": ["platform"],
    "dumpfile": ["platform"],
    "engine/storage": ["platform"],
    "engine/values": ["engine/storage"],
    "engine/tables": ["engine/values", "engine/storage"],
    "engine/sql": ["engine/tables"],
    "engine/components": ["engine/sql", "dataset"],
    "dataaccess": ["dataset", "platform"],
    "oracle": ["dataaccess", "dataset", "platform"],
    "tasks": ["engine/components", "dataaccess", "oracle", "dumpfile"],
    "ui": ["tasks"],
}
FREE = ("tests", "tools", "bench")

SYSTEM_HEADER = re.compile(
    r"^(unistd|fcntl|signal|dirent|dlfcn|pthread|poll|netdb|pwd|grp|termios|spawn|sched|semaphore|"
    r"strings|syslog|glob|fnmatch|libgen|utime|ifaddrs|zlib|sqlite3)\.h$"
    r"|^(sys|netinet|arpa|net|unicode|curl)/")
QT_HEADER = re.compile(r"^Q[A-Za-z]*(/|$)")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def reach(layer, seen=None):
    seen = set() if seen is None else seen
    if layer not in seen:
        seen.add(layer)
        for lower in LAYERS[layer]:
            reach(lower, seen)
    return seen


def layer_of(path):
    for layer in sorted(LAYERS, key=len, reverse=True):
        if path == layer or path.startswith(layer + "/"):
            return layer
    return None


def main():
    root = subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip()
    os.chdir(root)
    files = subprocess.check_output(["git", "ls-files", "*.cpp", "*.h"], text=True).split()
    bad = []
    for path in files:
        top = path.split("/")[0]
        own = layer_of(path)
        free = top in FREE
        if own is None and not free:
            bad.append(f"{path}: in no layer of the chart (scripts/check_includes.py)")
            continue
        allowed = reach(own) if own else set()
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                quote, name = m.groups()
                if quote == "<":
                    if own != "platform" and not free and SYSTEM_HEADER.search(name):
                        bad.append(f"{path}:{number}: <{name}> is the system's; only platform/ includes it")
                    elif own not in ("ui", None) and QT_HEADER.search(name):
                        bad.append(f"{path}:{number}: <{name}> is Qt's; only ui/ includes it")
                    continue
                target = layer_of(name)
                if target is None:
                    continue  # a header beside the file (tests' helpers, generated tables)
                if not free and target not in allowed:
                    bad.append(f"{path}:{number}: {own}/ may not include {name} ({target}/)")
    for line in bad:
        print(line, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
