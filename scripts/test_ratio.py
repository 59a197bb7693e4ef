#!/usr/bin/env python3
"""Prints the size of the test suite against the code it tests: non-blank lines that are not only
a comment, in the tracked C, C++ and Python files of tests/ against those of src/, tools/ and
bench/. Usage: scripts/test_ratio.py [REPO]"""
import os
import subprocess
import sys

repo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
EXTENSIONS = (".c", ".cc", ".cpp", ".h", ".hpp", ".py")


def counted_lines(path):
    n, in_block = 0, False
    with open(os.path.join(repo, path), errors="replace") as f:
        for line in f:
            s = line.strip()
            if not s:
                continue
            if in_block:
                in_block = "*/" not in s
                continue
            if s.startswith("//") or (s.startswith("#") and path.endswith(".py")):
                continue
            if s.startswith("/*"):
                in_block = "*/" not in s
                continue
            n += 1
    return n


files = subprocess.run(["git", "-C", repo, "ls-files"], capture_output=True, text=True,
                       check=True).stdout.split()
tests = code = 0
for path in files:
    if not path.endswith(EXTENSIONS):
        continue
    top = path.split("/")[0]
    if top == "tests":
        tests += counted_lines(path)
    elif top in ("src", "tools", "bench"):
        code += counted_lines(path)
print(f"tests {tests} code {code} ratio {100 * tests / code:.1f}%")
