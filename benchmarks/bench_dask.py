#!/usr/bin/env python3
"""Throughput of examples/dask_scan.py on a LocalCluster of 1 and 2 worker
processes against the same scan without Dask, printed as a plain-text table.

    python3 benchmarks/bench_dask.py [--cases N] [--repeats R]

Each configuration runs the example as a fresh process and reads the
throughput it prints, which times the scan alone (cluster start-up is shown
apart). The configurations take turns, R rounds, and the table keeps each
one's best round, so that a passing load on the machine spoils one round
rather than one configuration. The 1-minute load average is read before every
run and shown for the best one; on a shared machine it says how much the
figures may be off.

Configurations (C = usable CPUs):
  plain       --local: this process alone, the orbelin pool of C - 1 workers
              plus the calling thread (ORBELIN_NUM_THREADS unset)
  1 process   --workers 1: one worker process of C Dask threads,
              ORBELIN_NUM_THREADS = C
  2 processes --workers 2: two worker processes of max(1, C / 2) threads each,
              ORBELIN_NUM_THREADS to match

A second table times 20 columns of the scan (each a lambert_izzo_best_dv call
on 10^4 cases, and the target states computed before it) with 1 to C threads
per call: the parts of a plain call that do not scale with its threads.
"""

import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "dask_scan.py")

CONFIGS = [
    ("plain (no Dask)", ["--local"]),
    ("LocalCluster, 1 process", ["--workers", "1"]),
    ("LocalCluster, 2 processes", ["--workers", "2"]),
]


def run(args, cases):
    env = {k: v for k, v in os.environ.items() if k != "ORBELIN_NUM_THREADS"}
    load = os.getloadavg()[0]
    out = subprocess.run([sys.executable, EXAMPLE, "--cases", str(cases), *args], capture_output=True, text=True,
                         env=env, check=True).stdout
    rate = float(re.search(r"= ([\d,]+) cases/s", out).group(1).replace(",", ""))
    started = re.search(r"started in ([\d.]+) s", out)
    cluster = re.search(r"(\d+) worker process\(es\) x (\d+) thread\(s\), ORBELIN_NUM_THREADS=(\d+)", out)
    if cluster:
        layout = f"{cluster.group(1)} x {cluster.group(2)}", cluster.group(3)
    else:
        cpus = len(os.sched_getaffinity(0))
        layout = "-", str(max(1, cpus - 1) + 1)  # the default pool and the calling thread
    cheapest = re.search(r"cheapest transfer: (.*)", out).group(1)
    return {"rate": rate, "load": load, "startup": float(started.group(1)) if started else None, "layout": layout,
            "cheapest": cheapest}


# One column of the scan (10^4 departures, one time of flight), solved in a
# child whose calls use the given number of threads.
COLUMN_CHILD = r"""
import sys, time
sys.path.insert(0, {examples!r})
import numpy as np
import dask_scan as scan
import orbelin
departures = scan.DEPARTURE_STEP * np.arange(10_000)
tofs = scan.TOF_FIRST + scan.TOF_STEP * np.arange(0, scan.TOF_COUNT, 50)
chaser = scan.circular_states(scan.CHASER, departures)
best_solve, best_states = float("inf"), float("inf")
for _ in range(3):
    solve = states = 0.0
    for tof in tofs:
        t = time.perf_counter()
        target = scan.circular_states(scan.TARGET, departures + tof)
        states += time.perf_counter() - t
        t = time.perf_counter()
        orbelin.lambert_izzo_best_dv(chaser, target, float(tof), 1)
        solve += time.perf_counter() - t
    best_solve, best_states = min(best_solve, solve), min(best_states, states)
cases = departures.size * tofs.size
print(best_solve / cases * 1e9, best_states / cases * 1e9)
"""


def column_costs(threads):
    """(ns per case of lambert_izzo_best_dv, ns per state of the target states) over 20 columns, best of 3."""
    code = COLUMN_CHILD.format(examples=os.path.dirname(EXAMPLE))
    env = dict(os.environ, ORBELIN_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True).stdout
    return tuple(float(x) for x in out.split())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=10_000_000, help="Lambert problems per run (default 10^7)")
    parser.add_argument("--repeats", type=int, default=5, help="rounds over the configurations (default 5)")
    args = parser.parse_args()
    cpus = len(os.sched_getaffinity(0))
    t_start = time.perf_counter()

    best = {}
    for _ in range(args.repeats):
        for name, extra in CONFIGS:
            result = run(extra, args.cases)
            if name not in best or result["rate"] > best[name]["rate"]:
                best[name] = result
    cheapest = {r["cheapest"] for r in best.values()}
    assert len(cheapest) == 1, cheapest  # every configuration finds the same transfer

    print("orbelin on Dask: examples/dask_scan.py")
    print(f"python {sys.version.split()[0]}, usable CPUs {cpus}, {args.cases:,} Lambert problems per run "
          f"(lambert_izzo_best_dv, max_rev 1), best of {args.repeats} interleaved rounds")
    print()
    plain = best[CONFIGS[0][0]]["rate"]
    print(f"{'configuration':<27} {'workers x threads':>17} {'threads/call':>12} {'cases/s':>10} {'vs plain':>9} "
          f"{'start-up s':>10} {'load 1 min':>10}")
    for name, _ in CONFIGS:
        r = best[name]
        startup = f"{r['startup']:.1f}" if r["startup"] is not None else "-"
        print(f"{name:<27} {r['layout'][0]:>17} {r['layout'][1]:>12} {r['rate']:>10,.0f} {r['rate'] / plain:>9.2f} "
              f"{startup:>10} {r['load']:>10.2f}")
    print("threads/call: threads of each orbelin call (ORBELIN_NUM_THREADS in the workers); start-up is not in")
    print("cases/s, which times the scan alone; load: 1-minute load average before the run shown")
    print()
    print(f"cheapest transfer (all runs): {cheapest.pop()}")
    print()
    print("Where a plain call loses time: 20 columns of the scan (10^4 departures each), best of 3")
    one, states = column_costs(1)
    print(f"   target states (coe2rv, calling thread only)   {states:8.1f} ns per state")
    print(f"   lambert_izzo_best_dv, ORBELIN_NUM_THREADS=1   {one:8.1f} ns per case")
    for threads in range(2, cpus + 1):
        many, _ = column_costs(threads)
        print(f"   lambert_izzo_best_dv, ORBELIN_NUM_THREADS={threads}   {many:8.1f} ns per case "
              f"(x{one / many:.2f})")
    print(f"total benchmark time {time.perf_counter() - t_start:.0f} s")


if __name__ == "__main__":
    main()
