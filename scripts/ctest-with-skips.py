#!/usr/bin/python3
"""Runs ctest in a build directory with the given arguments, passes its output
through unchanged, then lists the tests that did not run with the reason each
gave ("skipped: ..." of a script, GoogleTest's skip message). The exit status
is ctest's own, so whoever reads the run's status or ctest's closing lines
sees what they would without this wrapper.

usage: ctest-with-skips.py BUILD_DIR [ctest arguments...]"""
import os
import re
import subprocess
import sys


def reasons(log_path):
    """Test name -> the reason it gave for skipping, from ctest's log."""
    found = {}
    try:
        text = open(log_path, errors="replace").read()
    except OSError:
        return found
    for block in re.split(r"\n(?=\d+/\d+ Testing: )", text):
        m = re.match(r"\d+/\d+ Testing: (\S+)", block.lstrip())
        if not m:
            continue
        lines = block.splitlines()
        why = None
        for i, line in enumerate(lines):
            if line.startswith("skipped:"):
                why = line[len("skipped:"):].strip()
                break
            if line.endswith(": Skipped") and i + 1 < len(lines):
                why = lines[i + 1].strip()
                break
        if why is not None:
            found[m.group(1)] = why
    return found


def main():
    build = sys.argv[1]
    proc = subprocess.Popen(["ctest"] + sys.argv[2:], cwd=build, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    not_run = []
    in_list = False
    for line in proc.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        if line.startswith("The following tests did not run:"):
            in_list = True
            continue
        if in_list:
            m = re.match(r"\s+\d+ - (\S+) \((.*)\)\s*$", line)
            if m:
                not_run.append((m.group(1), m.group(2)))
            else:
                in_list = False
    rc = proc.wait()
    if not_run:
        why = reasons(os.path.join(build, "Testing", "Temporary", "LastTest.log"))
        print("\nSkipped tests and why:")
        for name, status in not_run:
            print("  %s (%s): %s" % (name, status, why.get(name, "no reason given")))
    return rc


if __name__ == "__main__":
    sys.exit(main())
