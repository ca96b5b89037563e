#!/usr/bin/env python3
"""The source check refuses what it exists to refuse: each case is a small source tree handed to
scripts/check_sources.py, which must pass the clean form and fail the planted one."""

import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "check_sources.py")

CASES = [
    # (what, source text, whether the check must refuse it)
    ("named level and code", 'void f() { APMLog(APMLogLevel::kWarning, APMStoreLogCode::kOpenFailed, "x"); }', False),
    ("bare level", 'void f() { APMLog(3, APMStoreLogCode::kOpenFailed, "x"); }', True),
    ("bare code", 'void f() { APMLog(APMLogLevel::kWarning, 23068, "x"); }', True),
    ("level made from a number", 'void f() { APMLog(static_cast<APMLogLevel>(4), Code::kA, "x"); }', True),
    ("bare level of a level check", "bool f() { return monitor->isLoggableLevel(7); }", True),
    ("named level check", "bool f() { return monitor->isLoggableLevel(APMLogLevel::kDebug); }", False),
    ("bare level of the utilities' logger", 'void f() { DULLoggerLogMessage(2, s, "n", "I-COR000001", "m"); }', True),
    ("text code of the utilities' logger", 'void f() { DULLoggerLogError(s, "n", "I-COR000001", "m"); }', True),
    ("numbers in a log call's message", 'void f() { APMLog(APMLogLevel::kError, C::kA, "limit 25 of 500", n); }', False),
    ("a bare number commented out", 'void f() { APMLog(APMLogLevel::kError, C::kA /* was 23068 */, "x"); }', False),
    ("bare field index", "void f() { APMNanoSetInt64(message, 3, 1); }", True),
    ("named field index", "void f() { APMNanoSetInt64(message, APMPBEvent::kCount, 1); }", False),
    ("version written out", 'const char* v = "11.15.0";', True),
    ("library version written out", "int v = 111500;", True),
]


def refuses(source):
    with tempfile.TemporaryDirectory() as root:
        with open(os.path.join(root, "CMakeLists.txt"), "w") as f:
            f.write("project(Check VERSION 11.15.0 LANGUAGES CXX)\n")
        os.makedirs(os.path.join(root, "src"))
        with open(os.path.join(root, "src", "a.cpp"), "w") as f:
            f.write(source + "\n")
        # The tests pin levels, codes and the version as literals on purpose.
        os.makedirs(os.path.join(root, "tests"))
        with open(os.path.join(root, "tests", "t.cpp"), "w") as f:
            f.write('void t() { APMLog(3, 23068, "x"); int v = 111500; }\n')
        run = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
        return run.returncode != 0


def main():
    failures = [what for what, source, refused in CASES if refuses(source) != refused]
    for what in failures:
        print("check_sources answers wrongly for: %s" % what)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
