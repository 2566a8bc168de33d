#!/usr/bin/env python3
"""Reads and writes a 200 MiB file with Zel and beside it with cat and cp, in the same run,
and prints the medians and the ratios Zel/peer. Not part of the tests.

    bench/file_io.py [-n RUNS] [--size MIB] [--dir FOLDER]

read:  zel `read/binary %big`            vs  cat big > /dev/null
text:  zel `read %big` (UTF-8 decoded)   vs  cat big > /dev/null
write: zel `write %copy read/binary %big` vs  cp big copy"""
import argparse
import os
import statistics
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ZEL = os.environ.get("ZEL", os.path.join(os.path.dirname(HERE), "build", "zel"))


def timed(cmd, cwd):
    start = time.perf_counter()
    subprocess.run(cmd, cwd=cwd, shell=True, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("-n", type=int, default=5)
    ap.add_argument("--size", type=int, default=200)
    ap.add_argument("--dir", default=None)
    opts = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=opts.dir) as work:
        line = b"The quick brown fox jumps over the lazy dog, 0123456789 \xc3\xa9\xc3\xa0\n"
        with open(os.path.join(work, "big"), "wb") as f:
            block = line * (1024 * 1024 // len(line) + 1)
            for _ in range(opts.size):
                f.write(block[:1024 * 1024])
        scripts = {
            "empty": "Zel []",
            "read": "Zel [] read/binary %big",
            "text": "Zel [] read %big",
            "write": "Zel [] write %copy read/binary %big",
        }
        for name, text in scripts.items():
            with open(os.path.join(work, name + ".zel"), "w") as f:
                f.write(text + "\n")
        pairs = [
            ("read", f"{ZEL} read.zel", "cat big > /dev/null"),
            ("text", f"{ZEL} text.zel", "cat big > /dev/null"),
            ("write", f"{ZEL} write.zel", "cp big copy"),
        ]
        timed("cat big > /dev/null", work)   # the file in the page cache
        # Zel's own start-up (an empty script) is measured beside each pair, so that the
        # ratio of the work alone can be shown too.
        print(f"{'workload':8} {'zel s':>8} {'peer s':>8} {'ratio':>6} {'start s':>8} {'ratio without start-up':>23}")
        for name, zel_cmd, peer_cmd in pairs:
            zel_times, peer_times, start_times = [], [], []
            for _ in range(opts.n):
                peer_times.append(timed(peer_cmd, work))
                zel_times.append(timed(zel_cmd, work))
                start_times.append(timed(f"{ZEL} empty.zel", work))
            z, p = statistics.median(zel_times), statistics.median(peer_times)
            st = statistics.median(start_times)
            print(f"{name:8} {z:8.3f} {p:8.3f} {z / p:6.2f} {st:8.3f} {max(z - st, 0) / p:23.2f}")


if __name__ == "__main__":
    main()
