#!/usr/bin/env python3
"""enbase/debase base 64 of 100 MB of random bytes beside Python's base64.b64encode and
base64.b64decode on the same data, in one run (best of three rounds each). Prints the
times and the ratios Zel/Python. Not part of the tests.

    bench/base64/run.py [megabytes]"""
import base64
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
ZEL = os.environ.get("ZEL", os.path.join(ROOT, "build", "zel"))


def python_times(data):
    enc = dec = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        text = base64.b64encode(data)
        t1 = time.perf_counter()
        back = base64.b64decode(text)
        t2 = time.perf_counter()
        assert back == data
        enc, dec = min(enc, t1 - t0), min(dec, t2 - t1)
    return enc, dec


def main():
    mb = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    data = random.Random(1).randbytes(mb * 1000 * 1000)
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        f.write(data)
        path = f.name
    try:
        env = dict(os.environ, ZEL_BENCH_DATA=path)
        out = subprocess.run([ZEL, os.path.join(HERE, "base64.zel")], env=env, capture_output=True, text=True)
        fields = out.stdout.split()
        if out.returncode != 0 or len(fields) != 3 or fields[2] != "true":
            sys.exit("zel failed: " + out.stdout + out.stderr)
        zel_enc, zel_dec = float(fields[0]), float(fields[1])
        py_enc, py_dec = python_times(data)
    finally:
        os.unlink(path)
    print(f"base64 of {mb} MB      zel (s)  python (s)  ratio")
    print(f"  encode  enbase     {zel_enc:8.3f}  {py_enc:9.3f}  {zel_enc / py_enc:5.2f}")
    print(f"  decode  debase     {zel_dec:8.3f}  {py_dec:9.3f}  {zel_dec / py_dec:5.2f}")


if __name__ == "__main__":
    main()
