#!/usr/bin/env python3
"""Fails when an #include in src/ points from a lower layer to a higher one,
or sideways between two folders of the same layer.

The layers, lowest first:
  base -> proxy -> encoding -> oauth -> compose -> {command, smtp} -> api -> app -> platform/{posix, win32}
A file may include its own folder and any lower layer. src/platform/*.hpp
(the folder above the two platform layers) serves both of them.
"""

import pathlib
import re
import sys

RANK = {
    "base": 0,
    "proxy": 0.5,
    "encoding": 1,
    "oauth": 1.5,
    "compose": 2,
    "command": 3,
    "smtp": 3,
    "api": 3.5,
    "app": 4,
    "platform": 5,
    "platform/posix": 6,
    "platform/win32": 6,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(relative):
    parts = pathlib.PurePosixPath(relative).parts[:-1]
    for n in (2, 1):
        key = "/".join(parts[:n])
        if key in RANK:
            return key
    return None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".") / "src"
    problems = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".hpp", ".cpp", ".h"):
            continue
        here = folder_of(path.relative_to(root).as_posix())
        if here is None:
            problems.append(f"{path}: not in a known layer folder")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = folder_of(m.group(1))
            if target is None or target == here:
                continue
            if RANK[target] >= RANK[here]:
                problems.append(f"{path}:{number}: {here} includes {m.group(1)} ({target} is not below it)")
    for p in problems:
        print(p)
    print(f"layers: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
