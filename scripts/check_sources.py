#!/usr/bin/env python3
"""Refuses numbers that mean something only elsewhere, so they cannot creep back into the sources:

- the SDK's version in any of its forms ("11.15.0", 111500, 111500000 for version 11.15.0), which
  only the header generated from the CMake project version may hold.

Tests may pin the version as a literal (they check what the code produces); everything else is
checked.

usage: check_sources.py [source-dir]     (default: the directory above this script)
Prints one line per finding and exits with 1 when there is any.
"""

import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")
SKIPPED_DIRS = {".git", "build"}


def source_files(root):
    for directory, subdirs, files in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs if d not in SKIPPED_DIRS and not d.startswith("build"))
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                path = os.path.join(directory, name)
                yield os.path.relpath(path, root).replace(os.sep, "/"), path


def project_version(root):
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"project\([^)]*\bVERSION\s+(\d+)\.(\d+)\.(\d+)", f.read())
    if not match:
        raise SystemExit("check_sources: no project(... VERSION x.y.z) in CMakeLists.txt")
    return tuple(int(part) for part in match.groups())


def line_of(text, position):
    return text.count("\n", 0, position) + 1


def check_version(relative, text, version):
    major, minor, patch = version
    number = major * 10000 + minor * 100 + patch
    forms = [
        (r"(?<![\w.])%d\.%d\.%d(?![\w.])" % version, "the version text"),
        (r"(?<![\w.])%d(?![\w.])" % number, "the library version"),
        (r"(?<![\w.])%d(?![\w.])" % (number * 1000), "the built-in version"),
    ]
    for pattern, what in forms:
        for match in re.finditer(pattern, text):
            yield "%s:%d: %s written out (%s): use MeasurementVersion.h" % (
                relative, line_of(text, match.start()), what, match.group(0))


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    version = project_version(root)
    findings = []
    for relative, path in source_files(root):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        is_test = relative.startswith("tests/")
        if not is_test:
            # Comments too: a version written out in a comment goes stale as surely as one in code.
            findings += check_version(relative, text, version)
    for finding in findings:
        print(finding)
    if findings:
        print("check_sources: %d finding(s)" % len(findings), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
