#!/usr/bin/env python3
"""Counts the instructions the interpreter spends per operation of the three call and loop
workloads (fib call, while-loop step, early-return call step), with callgrind. Each workload
runs at two sizes and the difference is divided by the difference in operations, so start-up
cancels out. Instruction counts are deterministic: small regressions show. Not part of the
tests; needs valgrind.

    bench/callgrind.py              every workload
    ZEL=path/to/zel bench/callgrind.py fib
"""
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ZEL = os.environ.get("ZEL", os.path.join(os.path.dirname(HERE), "build", "zel"))


def fib_calls(n):
    a, b = 0, 1   # fib(n) makes 2 * fib(n + 1) - 1 calls
    for _ in range(n + 1):
        a, b = b, a + b
    return 2 * a - 1


WORKLOADS = {
    "fib": (
        "fib: func [n] [either n < 2 [n] [(fib n - 1) + (fib n - 2)]]\nprint fib {N}\n",
        (14, 17), fib_calls, "call"),
    "loop": (
        "i: 0 acc: 0\nwhile [i < {N}] [i: i + 1 acc: (acc + (i * 3)) % 1000003]\nprint acc\n",
        (20000, 40000), lambda n: n, "step"),
    "early-return": (
        "clamp: func [x] [if x > 100 [return 100] x]\ntotal: 0\n"
        "repeat i {N} [total: total + (clamp i % 150)]\nprint total\n",
        (20000, 40000), lambda n: n, "step"),
}


def instructions(source):
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "w.zel")
        with open(script, "w", encoding="utf-8") as f:
            f.write("Zel []\n" + source)
        proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", ZEL, script],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        m = re.search(r"Collected : (\d+)", proc.stderr)
        if proc.returncode != 0 or not m:
            sys.exit(f"callgrind failed: {proc.stderr[-400:]}")
        return int(m.group(1))


def main():
    names = sys.argv[1:] or list(WORKLOADS)
    for name in names:
        source, (small, big), ops, unit = WORKLOADS[name]
        a = instructions(source.replace("{N}", str(small)))
        b = instructions(source.replace("{N}", str(big)))
        print(f"{name:14} {(b - a) / (ops(big) - ops(small)):8.0f} instructions per {unit}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
