#!/usr/bin/env python3
"""What a program touches between two system calls, line by line.

With one write per output line, every line's work starts just after a
system call has run through the kernel, with the caches and predictors the
program had before much emptied. How much a line costs then depends less on
its instructions than on how many distinct places in memory its path
touches. This runs each PROGRAM on a fresh copy of a small generated model
under valgrind's lackey tool and, for every stretch from the end of one
write to the next system call, counts the distinct 64-byte lines of code
and of data and the distinct 4 KB pages it touched, and the instructions
it ran; it prints the medians. Valgrind's counts do not move from run to
run.

  bench/footprint.py [-s BYTES] PROGRAM...

The first PROGRAM's output is the reference: any other whose output differs
fails the script. The model generator is build/bench/bench/make_model.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAKE_MODEL = os.path.join(ROOT, "build", "bench", "bench", "make_model")
# The stretches at the start and the end are the program starting up and
# putting its result in place, not lines.
EDGE = 5


def stretches(log):
    """Yields (code lines, data lines, pages, instructions) for every stretch
    from the end of a write to the next system call."""
    current = None
    with open(log, errors="replace") as trace:
        for record in trace:
            if record.startswith("SYSCALL"):
                if "[async] -->" in record:
                    continue  # the end of a call whose start is already noted
                if current is not None:
                    yield len(current[0]), len(current[1]), len(current[2]), current[3]
                current = [set(), set(), set(), 0] if "sys_write" in record else None
                continue
            if current is None or record[:2] not in ("I ", " L", " S", " M"):
                continue
            address = int(record[3:].split(",")[0], 16)
            if record[0] == "I":
                current[0].add(address >> 6)
                current[3] += 1
            else:
                current[1].add(address >> 6)
            current[2].add(address >> 12)


def measure(program, model, work):
    copy = os.path.join(work, "model.obj")
    shutil.copyfile(model, copy)
    log = os.path.join(work, "lackey.log")
    subprocess.run(["valgrind", "--tool=lackey", "--trace-mem=yes", "--trace-syscalls=yes",
                    "--log-file=" + log, program, copy], check=True,
                   env=dict(os.environ, TMPDIR=work))
    found = list(stretches(log))[EDGE:-EDGE]
    os.remove(log)
    with open(copy, "rb") as result:
        output = result.read()
    if not found:
        sys.exit(f"footprint: {program} made no writes to measure")
    return [statistics.median(column) for column in zip(*found)], len(found), output


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-s", type=int, default=20000, help="model size in bytes (20000)")
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    if not os.access(MAKE_MODEL, os.X_OK):
        sys.exit(f"footprint: no {MAKE_MODEL}; build the bench preset first")
    with tempfile.TemporaryDirectory(prefix="sgsplit-footprint-") as work:
        model = os.path.join(work, "reference.obj")
        subprocess.run([MAKE_MODEL, str(args.s), "1", model], check=True)
        reference = None
        print(f"{'':40s} {'code lines':>10s} {'data lines':>10s} {'pages':>6s} {'instructions':>12s}")
        for program in args.programs:
            medians, count, output = measure(program, model, work)
            if reference is None:
                reference = output
            elif output != reference:
                sys.exit(f"footprint: {program} wrote other bytes than {args.programs[0]}")
            code, data, pages, instructions = medians
            print(f"{os.path.basename(program):40s} {code:10.0f} {data:10.0f} {pages:6.0f} "
                  f"{instructions:12.0f}   ({count} stretches)")


if __name__ == "__main__":
    main()
