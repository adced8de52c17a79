#!/usr/bin/env python3
"""Checks the include graph of the tracked C++ files and the CMake links against the layer chart.

The chart below is the one list of the layers' edges: each folder names the folders it includes
directly. Fails (exit 1, one line per offence) when
  - a file includes a project header from a folder that its own folder does not name (an edge
    through other layers does not count), or a folder names one it never includes;
  - a folder's library in its CMakeLists.txt does not link exactly the libraries of the folders
    it names (velmaron_<folder with "/" as "_">), or the chart has a cycle;
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

# Each folder and the folders it includes directly; its library links exactly their libraries.
LAYERS = {
    "platform": [],
    "lexyacc": [],
    "dataset": ["platform"],
    "dumpfile": ["lexyacc", "platform"],
    "engine/base": ["platform"],
    "engine/storage": ["engine/base", "platform"],
    "engine/values": ["engine/base", "platform"],
    "engine/tables": ["engine/values", "engine/storage", "engine/base", "platform"],
    "engine/sql": ["engine/tables", "engine/values", "engine/base", "platform"],
    "engine/components": ["engine/sql", "engine/tables", "engine/storage", "engine/base", "dataset", "platform"],
    "dataaccess": ["dataset", "platform"],
    "oracle": ["dataaccess", "dataset", "platform"],
    "tasks": ["engine/components", "engine/tables", "engine/base", "dataset", "dumpfile", "lexyacc", "platform"],
    "ui": ["tasks", "oracle", "dataaccess", "engine/components", "dumpfile", "dataset", "platform"],
}
FREE = ("tests", "tools", "bench")

SYSTEM_HEADER = re.compile(
    r"^(unistd|fcntl|signal|dirent|dlfcn|pthread|poll|netdb|pwd|grp|termios|spawn|sched|semaphore|"
    r"strings|syslog|glob|fnmatch|libgen|utime|ifaddrs|zlib|sqlite3)\.h$"
    r"|^(sys|netinet|arpa|net|unicode|curl)/")
QT_HEADER = re.compile(r"^Q[A-Za-z]*(/|$)")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def library(layer):
    return "velmaron_" + layer.replace("/", "_")


def cycle_offences():
    bad, state = [], {}

    def visit(layer, path):
        state[layer] = "open"
        for lower in LAYERS[layer]:
            if lower not in LAYERS:
                bad.append(f"scripts/check_includes.py: {layer}/ names {lower}/, which is no layer")
            elif state.get(lower) == "open":
                bad.append("scripts/check_includes.py: the chart has a cycle: " + " -> ".join(path + [lower]))
            elif lower not in state:
                visit(lower, path + [lower])
        state[layer] = "done"

    for layer in LAYERS:
        if layer not in state:
            visit(layer, [layer])
    return bad


LIBRARY_CALL = re.compile(r"velmaron_library\(\s*(\w+)(.*?)\)", re.S)


def link_offences():
    """The velmaron_* libraries each layer's library links, against the chart."""
    bad = []
    names = {library(layer): layer for layer in LAYERS}
    for layer in LAYERS:
        cmake = os.path.join(layer, "CMakeLists.txt")
        with open(cmake, encoding="utf-8") as f:
            text = re.sub(r"#[^\n]*", "", f.read())
        calls = {m.group(1): m.group(2) for m in LIBRARY_CALL.finditer(text)}
        if library(layer) not in calls:
            bad.append(f"{cmake}: no velmaron_library({library(layer)} ...)")
            continue
        words = calls[library(layer)].split()
        deps = words[words.index("DEPS") + 1:] if "DEPS" in words else []
        linked = {names[d] for d in deps if d in names}
        for d in deps:
            if d.startswith("velmaron_") and d not in names:
                bad.append(f"{cmake}: {library(layer)} links {d}, which is no layer's library")
        for missing in sorted(set(LAYERS[layer]) - linked):
            bad.append(f"{cmake}: {library(layer)} does not link {library(missing)}, which the chart names")
        for extra in sorted(linked - set(LAYERS[layer])):
            bad.append(f"{cmake}: {library(layer)} links {library(extra)}, which the chart does not name")
    return bad


def layer_of(path):
    for layer in sorted(LAYERS, key=len, reverse=True):
        if path == layer or path.startswith(layer + "/"):
            return layer
    return None


def main():
    root = subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip()
    os.chdir(root)
    files = subprocess.check_output(["git", "ls-files", "*.cpp", "*.h"], text=True).split()
    bad = cycle_offences() + link_offences()
    used = {layer: set() for layer in LAYERS}
    for path in files:
        top = path.split("/")[0]
        own = layer_of(path)
        free = top in FREE
        if own is None and not free:
            bad.append(f"{path}: in no layer of the chart (scripts/check_includes.py)")
            continue
        allowed = ({own} | set(LAYERS[own])) if own else set()
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
                if free:
                    continue
                if target not in allowed:
                    bad.append(f"{path}:{number}: {own}/ does not name {target}/ in the chart, so may not include {name}")
                elif target != own:
                    used[own].add(target)
    for layer, lowers in LAYERS.items():
        for lower in lowers:
            if lower not in used[layer]:
                bad.append(f"scripts/check_includes.py: {layer}/ names {lower}/ but includes none of its headers")
    for line in bad:
        print(line, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
