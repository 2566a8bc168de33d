#!/usr/bin/env python3
"""Times Zel workloads and prints medians; beside the shared peer workloads it runs the same
work in the peer languages and prints the ratio Zel/peer. Not part of the tests.

    bench/run.py                      every workload, 3 runs each
    bench/run.py fib loop -n 5        chosen workloads, 5 runs each
    bench/run.py --list

Workloads: the folders of the shared peer benchmarks (../shared/bench-peers) and the Zel
scripts in bench/zel/. A script of bench/zel/ whose first comment line reads "; peer: NAME"
does the work of the peer workload NAME its own way (for example with a native the peer's
Zel version does not use yet): it runs in that workload's folder, beside its peers."""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEERS = os.environ.get("ZEL_BENCH_PEERS", os.path.join(ROOT, "..", "shared", "bench-peers"))
ZEL = os.environ.get("ZEL", os.path.join(ROOT, "build", "zel"))
LANGS = [("py", "python3"), ("lua", "lua5.4"), ("tcl", "tclsh8.6"), ("pl", "perl")]


def workloads():
    found = {}
    if os.path.isdir(PEERS):
        for name in sorted(os.listdir(PEERS)):
            folder = os.path.join(PEERS, name)
            zel = [f for f in os.listdir(folder) if f.endswith(".zel")] if os.path.isdir(folder) else []
            if zel:
                found[name] = ("peer", folder, os.path.splitext(zel[0])[0])
    own = os.path.join(HERE, "zel")
    if os.path.isdir(own):
        for f in sorted(os.listdir(own)):
            if f.endswith(".zel"):
                stem = os.path.splitext(f)[0]
                peer = peer_of(os.path.join(own, f))
                if peer and os.path.isdir(os.path.join(PEERS, peer)):
                    found[stem] = ("own-peer", own, stem, peer)
                else:
                    found[stem] = ("own", own, stem)
    return found


def peer_of(script):
    """The peer workload a script names in a "; peer: NAME" comment line, or None."""
    with open(script, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("; peer:"):
                return line.split(":", 1)[1].strip()
            if line and not line.startswith(";") and not line.startswith("Zel"):
                return None
    return None


def time_run(cmd, cwd):
    start = time.perf_counter()
    proc = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    elapsed = time.perf_counter() - start
    last = proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else ""
    return elapsed, proc.returncode, last


def median_of(cmd, cwd, runs):
    times, line, status = [], "", 0
    for _ in range(runs):
        t, status, line = time_run(cmd, cwd)
        if status != 0:
            return None, status, line
        times.append(t)
    return statistics.median(times), status, line


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("names", nargs="*")
    ap.add_argument("-n", "--runs", type=int, default=3)
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--no-peers", action="store_true")
    args = ap.parse_args()
    all_work = workloads()
    if args.list:
        print("\n".join(all_work))
        return 0
    names = args.names or list(all_work)
    print(f"{'workload':14} {'runner':8} {'median s':>9} {'Zel/peer':>9}  result")
    for name in names:
        if name not in all_work:
            print(f"{name:14} unknown workload")
            continue
        kind, folder, stem = all_work[name][:3]
        script = os.path.join(folder, stem + ".zel")
        run_in = folder
        if kind == "own-peer":
            # Runs in the peer workload's folder and is compared with its peers.
            peer = all_work[name][3]
            kind, folder, stem, run_in = "peer", os.path.join(PEERS, peer), peer, os.path.join(PEERS, peer)
        if kind == "peer":
            data_gen = os.path.join(folder, "gen.py")
            if os.path.exists(data_gen) and not os.path.isdir(os.path.join(PEERS, "data")):
                subprocess.run([sys.executable, data_gen], cwd=PEERS)
        zt, status, line = median_of([ZEL, script], run_in, args.runs)
        if zt is None:
            print(f"{name:14} {'zel':8} {'failed':>9} {'':>9}  status {status}: {line}")
            continue
        print(f"{name:14} {'zel':8} {zt:9.3f} {'':>9}  {line}")
        if kind != "peer" or args.no_peers:
            continue
        for ext, exe in LANGS:
            src = os.path.join(folder, stem + "." + ext)
            if not os.path.exists(src) or not shutil.which(exe):
                continue
            pt, status, pline = median_of([exe, src], PEERS, args.runs)
            if pt is None:
                print(f"{'':14} {ext:8} {'failed':>9}")
                continue
            print(f"{'':14} {ext:8} {pt:9.3f} {zt / pt:9.2f}  {pline}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
