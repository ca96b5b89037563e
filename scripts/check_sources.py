#!/usr/bin/env python3
"""Refuses numbers that mean something only elsewhere, so they cannot creep back into the sources:

- the SDK's version in any of its forms ("11.15.0", 111500, 111500000 for version 11.15.0), which
  only the header generated from the CMake project version may hold;
- a bare number as the field argument of the APMNano field accessors, where the generated field
  constants (APMPBEvent::kName ...) say which field is meant;
- a bare number as the level or the message code of a log call, where the level's name
  (APMLogLevel::kErrorSampled, DULLoggerLevel::kWarning) says what the line does and the component's
  code constant says where it comes from; the logger's own tables are enum definitions, not calls.

Tests are left out: they pin the version, the field indices and the log levels and codes as the
literals the service, the wire format and the logger define, to check what the code produces.

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


def code_only(text):
    """The text with comments and string and character literals blanked out; newlines stay, so
    positions keep their line numbers."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == 'R' and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            delimiter_end = text.find("(", i + 2)
            closing = ")" + text[i + 2:delimiter_end] + '"'
            end = text.find(closing, delimiter_end)
            end = n if end < 0 else end + len(closing)
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c in "\"'":
            # A digit separator (1'000) is no character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum():
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            end = min(j + 1, n)
            out.append(c + " " * (end - i - 2) + c)
            i = end
        else:
            out.append(c)
            i += 1
    return "".join(out)


def line_of(text, position):
    return text.count("\n", 0, position) + 1


def call_arguments(code, open_paren):
    """The top-level arguments of the call whose "(" is at open_paren (stripped texts)."""
    depth, start, arguments = 0, open_paren + 1, []
    for i in range(open_paren, len(code)):
        c = code[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                arguments.append(code[start:i].strip())
                return arguments
        elif c == "," and depth == 1:
            arguments.append(code[start:i].strip())
            start = i + 1
    return arguments


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


ACCESSOR_CALL = re.compile(r"\bAPMNano(?:Has|Clear|Get|Set)\w*\s*(?:<[^;(]*?>)?\s*\(")
BARE_NUMBER = re.compile(r"^[-+]?\s*(?:0[xX][0-9a-fA-F']+|\d[\d']*)[uUlL]*$")


def check_field_indices(relative, code):
    for match in ACCESSOR_CALL.finditer(code):
        arguments = call_arguments(code, match.end() - 1)
        if len(arguments) >= 2 and BARE_NUMBER.match(arguments[1]):
            yield "%s:%d: bare field index %s: name the field by its generated constant" % (
                relative, line_of(code, match.start()), arguments[1])


# Log calls and what is checked: the positions of the level and of the message code.
LOG_CALL = re.compile(r"\b(APMLog|logWithLevel|VIZUzedaru_logWithLevel|isLoggableLevel|APMLogWouldProcess|wouldProcess|"
                      r"DULLoggerLogMessage|DULLoggerLogMessageFormat|DULLoggerIsLoggableLevel|DULLoggerLogError|"
                      r"DULLoggerLogWarning|DULLoggerLogNotice|DULLoggerLogInfo|DULLoggerLogDebug)\s*\(")
LOG_ARGUMENTS = {
    "APMLog": (0, 1), "logWithLevel": (0, 1), "VIZUzedaru_logWithLevel": (0, 1),
    "isLoggableLevel": (0,), "APMLogWouldProcess": (0,), "wouldProcess": (0,), "DULLoggerIsLoggableLevel": (0,),
    "DULLoggerLogMessage": (0, 4), "DULLoggerLogMessageFormat": (0, 4),
    "DULLoggerLogError": (2,), "DULLoggerLogWarning": (2,), "DULLoggerLogNotice": (2,), "DULLoggerLogInfo": (2,),
    "DULLoggerLogDebug": (2,),
}
BARE_INTEGER = re.compile(r"(?<![\w.'])\d[\d']*(?![\w.'])")
STRING_LITERAL = re.compile(r'^"[^\n]*"$')


def check_log_calls(relative, code):
    for match in LOG_CALL.finditer(code):
        arguments = call_arguments(code, match.end() - 1)
        for position in LOG_ARGUMENTS[match.group(1)]:
            if position >= len(arguments):
                continue
            argument = arguments[position]
            # A string literal where a code goes: the core logger's codes are texts ("I-COR000023").
            if BARE_INTEGER.search(argument) or (position > 1 and STRING_LITERAL.match(argument)):
                yield "%s:%d: bare log level or code in %s(): use the level's name and the component's code constant" % (
                    relative, line_of(code, match.start()), match.group(1))
                break


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    version = project_version(root)
    findings = []
    for relative, path in source_files(root):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if not relative.startswith("tests/"):
            # Comments too: a version written out in a comment goes stale as surely as one in code.
            findings += check_version(relative, text, version)
            code = code_only(text)
            findings += check_field_indices(relative, code)
            findings += check_log_calls(relative, code)
    for finding in findings:
        print(finding)
    if findings:
        print("check_sources: %d finding(s)" % len(findings), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
