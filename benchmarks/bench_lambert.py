#!/usr/bin/env python3
"""Before/after benchmark of orbelin's Lambert functions and batch propagation, printed as one table.

    python3 benchmarks/bench_lambert.py [--quick] [--before DIR]

The "after" column measures the orbelin module this interpreter imports and the C++ microbenchmark
build/bench/benchmarks/cpp/bench_lambert_core. The "before" column measures an older build: DIR must hold its
module (orbelin*.so) and bench_lambert_core_before, the C++ microbenchmark compiled against the older core with
-DORBELIN_BENCH_BASELINE. For example, with the older commit OLD:

    git archive OLD | tar -x -C /tmp/orbelin-before
    cmake -S /tmp/orbelin-before -B /tmp/orbelin-before/build -DORBELIN_PYTHON=ON
    cmake --build /tmp/orbelin-before/build
    g++ -O3 -DNDEBUG -std=c++20 -DORBELIN_BENCH_BASELINE -I/tmp/orbelin-before/src \
        benchmarks/cpp/bench_lambert_core.cpp /tmp/orbelin-before/build/liborbelin_core.a -lpthread \
        -o /tmp/orbelin-before/build/bench_lambert_core_before

Rows:
  kernel ns/solution      the bare solver, one thread, thread CPU time (C++ microbenchmark, visiting form)
  elements ns/solution    the nine transfer elements of an arc: added to a solve (annotated solve minus bare
                          solve, same program), and alone (computed over arcs solved beforehand)
  lambert_izzo_vec        ns per solution (wall time over the pool) and peak memory added by the call, for
                          max_rev 0, 3 and 16 on 10^6 random cases (times of flight 0.02-4 minimum-energy periods,
                          so some cases admit up to three revolutions) and on 10^6 cases that admit none
  propagation             us per state: kepler_universal_2body_py in a Python loop before,
                          kepler_universal_2body_vec after, 10^6 states
  scaling                 lambert_izzo_vec (10^6 zero-revolution cases) and kepler_universal_2body_vec
                          in subprocesses pinned with taskset to one CPU and to two: the speed-up

Every measurement runs in a fresh subprocess, before and after alternately, best of --repeats runs. Peak memory
is the process's peak resident size during the call (reset before it through /proc/self/clear_refs) minus its
resident size just before (after malloc_trim has returned freed memory to the system), beside the size of the
arrays the call returns. Other processes on the machine slow
wall-time figures; the load average is printed with the table.
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AFTER_CORE = os.path.join(ROOT, "build", "bench", "benchmarks", "cpp", "bench_lambert_core")
MU = 398600.4418
TOF = 1.0e4

# Runs in a child process: argv = module dir, task, n, max_rev, repeats. Prints one JSON line.
CHILD = r'''
import ctypes, json, os, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
import orbelin
sys.path.insert(0, sys.argv[6])
import cases
task, n, max_rev, repeats = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
MU, TOF = 398600.4418, 1.0e4

def rss_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])

def pairs(seed, hi_periods):
    return cases.pairs(n, seed, hi_periods)

def best(fn):
    out, t_best = None, float("inf")
    for _ in range(repeats):
        out = None
        t0 = time.perf_counter()
        out = fn()
        t_best = min(t_best, time.perf_counter() - t0)
    return out, t_best

if task.startswith("vec"):
    # mixed: 0.02-4 periods (up to 3 revolutions); direct: below half a period (no revolution possible).
    r1, r2 = pairs(12345, 4.0) if task == "vec-mixed" else pairs(777, 0.45)
    orbelin.lambert_izzo_vec(r1[:1000], r2[:1000], TOF, max_rev, False)
    # Memory freed while the inputs were made goes back to the system, so that the call cannot reuse it unseen.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = rss_kb("VmRSS:")
    t0 = time.perf_counter()
    res = orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, False)
    first = time.perf_counter() - t0
    peak = rss_kb("VmHWM:") - before
    solutions = int(np.count_nonzero(~np.isnan(res.tof)))
    nbytes = sum(a.nbytes for a in (res.v1, res.v2, res.tof, res.num_revs, res.path_flag, res.retrograde,
                                    res.sma, res.ecc, res.inc, res.raan, res.argp, res.ta_depart,
                                    res.ta_arrive, res.rp, res.ra))
    slots = res.tof.shape[-1]
    del res
    _, t = best(lambda: orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, False))
    print(json.dumps({"seconds": min(t, first), "solutions": solutions, "peak_mb": peak / 1024,
                      "result_mb": nbytes / 2**20, "slots": slots}))
elif task == "propagate":
    rng = np.random.default_rng(3)
    states = np.tile([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0], (n, 1))
    states[:, 3:] += rng.normal(size=(n, 3)) * 0.3
    dt = rng.uniform(-5000.0, 5000.0, n)
    if hasattr(orbelin, "kepler_universal_2body_vec"):
        orbelin.kepler_universal_2body_vec(states[:1000], dt[:1000])
        _, t = best(lambda: orbelin.kepler_universal_2body_vec(states, dt))
        print(json.dumps({"seconds": t, "form": "vec"}))
    else:
        m = min(n, 200000)  # a Python loop: a sample is enough
        f = orbelin.kepler_universal_2body_py
        rows = list(states[:m])
        def loop():
            for s, d in zip(rows, dt[:m]):
                f(s, float(d))
        _, t = best(loop)
        print(json.dumps({"seconds": t * n / m, "form": "loop"}))
'''


def run_child(module_dir, task, n, max_rev, repeats, cpus=None):
    prefix = ["taskset", "-c", cpus] if cpus else []
    out = subprocess.run(prefix + [sys.executable, "-c", CHILD, module_dir, task, str(n), str(max_rev),
                                   str(repeats), os.path.dirname(os.path.abspath(__file__))],
                         capture_output=True, text=True, check=True, timeout=3600)
    return json.loads(out.stdout.strip().splitlines()[-1])


def run_core(exe, n, repeats):
    """{(problem, form): ns/solution} from the C++ microbenchmark."""
    out = subprocess.run([exe, str(n), str(repeats)], capture_output=True, text=True, check=True).stdout
    rows = {}
    for line in out.splitlines():
        parts = line.split()
        for prefix, problem, at in (("zero-rev", "zero", 4), ("max_rev = 3", "three", 3)):
            if not line.startswith(prefix):
                continue
            form = parts[at]
            if form == "batch":  # the elements through one kernel of the batch: "batch off", "batch avx2", ...
                rows[(problem, f"batch {parts[at + 1]}")] = float(parts[-1])
            else:
                rows[(problem, form)] = float(parts[-1] if form in ("elements", "direct") else parts[at + 4])
    return rows


def fmt(x, spec):
    return "-" if x is None else format(x, spec)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^5 cases instead of 10^6")
    parser.add_argument("--before", help="directory of the older build (module and bench_lambert_core_before)")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    n = 10**5 if args.quick else 10**6

    import orbelin
    after_dir = os.path.dirname(os.path.abspath(orbelin.__file__))
    before_dir = os.path.abspath(args.before) if args.before else None
    before_core = os.path.join(before_dir, "bench_lambert_core_before") if before_dir else None
    if before_dir and not glob.glob(os.path.join(before_dir, "orbelin*.so")):
        sys.exit(f"no orbelin module in {before_dir}")
    sides = [("before", before_dir), ("after", after_dir)] if before_dir else [("after", after_dir)]
    cpus = sorted(os.sched_getaffinity(0))
    t_start = time.perf_counter()
    load0 = os.getloadavg()

    rows = []  # (label, unit, before, after, note)

    # C++ kernel and elements, alternately.
    core = {"before": {}, "after": {}}
    exes = [("before", before_core)] if before_core and os.path.exists(before_core) else []
    exes.append(("after", AFTER_CORE if os.path.exists(AFTER_CORE) else None))
    for _ in range(args.repeats):
        for side, exe in exes:
            if exe is None:
                continue
            for key, value in run_core(exe, n // 5, 1).items():
                core[side][key] = min(core[side].get(key, float("inf")), value)
    for key, label in [(("zero", "visit"), "kernel, max_rev 0"), (("three", "visit"), "kernel, max_rev 3"),
                       (("zero", "vector"), "kernel returning a vector, max_rev 0"),
                       (("zero", "elements"), "elements added to a solve, max_rev 0"),
                       (("three", "elements"), "elements added to a solve, max_rev 3"),
                       (("zero", "direct"), "elements alone, max_rev 0"), (("three", "direct"), "elements alone, max_rev 3")]:
        rows.append((label, "ns/solution", core["before"].get(key), core["after"].get(key), "1 thread, CPU time"))

    # lambert_izzo_vec: time and memory.
    for task, what in [("vec-mixed", "random"), ("vec-direct", "direct only")]:
        for max_rev in (0, 3, 16):
            got = {}
            for _ in range(args.repeats):
                for side, d in sides:
                    r = run_child(d, task, n, max_rev, 1)
                    if side not in got or r["seconds"] < got[side]["seconds"]:
                        peak = min(r["peak_mb"], got[side]["peak_mb"]) if side in got else r["peak_mb"]
                        got[side] = dict(r, peak_mb=peak)
            b, a = got.get("before"), got["after"]
            rows.append((f"lambert_izzo_vec {what}, max_rev {max_rev}", "ns/solution",
                         b and b["seconds"] * 1e9 / b["solutions"], a["seconds"] * 1e9 / a["solutions"],
                         f"{a['solutions']} solutions, K = {a['slots']}"))
            rows.append((f"  peak memory of the call", "MB", b and b["peak_mb"], a["peak_mb"],
                         f"result {a['result_mb']:.0f} MB"))

    # Propagation.
    prop = {}
    for _ in range(args.repeats):
        for side, d in sides:
            r = run_child(d, "propagate", n, 0, 1)
            prop[side] = min(prop.get(side, float("inf")), r["seconds"])
    rows.append(("propagation", "us/state", prop.get("before") and prop["before"] * 1e6 / n, prop["after"] * 1e6 / n,
                 "before: kepler_universal_2body_py loop; after: kepler_universal_2body_vec"))

    # Scaling.
    if shutil.which("taskset") and len(cpus) >= 2:
        one, two = str(cpus[0]), f"{cpus[0]},{cpus[1]}"
        for task, label in [("vec-mixed", "scaling 1 -> 2 CPUs, lambert_izzo_vec max_rev 0"),
                            ("propagate", "scaling 1 -> 2 CPUs, kepler_universal_2body_vec")]:
            ratio = {}
            for side, d in sides:
                if task == "propagate" and side == "before":
                    continue
                t1 = min(run_child(d, task, n, 0, 1, one)["seconds"] for _ in range(args.repeats))
                t2 = min(run_child(d, task, n, 0, 1, two)["seconds"] for _ in range(args.repeats))
                ratio[side] = t1 / t2
            rows.append((label, "x", ratio.get("before"), ratio["after"], "time on 1 CPU / time on 2 CPUs"))
    else:
        rows.append(("scaling", "x", None, None, "skipped: needs taskset and two CPUs"))

    load1 = os.getloadavg()
    print("orbelin benchmark: before / after")
    print(f"python {sys.version.split()[0]}, usable CPUs {len(cpus)}, {n} cases; best of {args.repeats}; "
          f"load average {load0[0]:.2f} at the start, {load1[0]:.2f} at the end")
    print(f"{'measurement':<52} {'unit':<12} {'before':>10} {'after':>10} {'after/before':>12}  note")
    for label, unit, b, a, note in rows:
        ratio = f"{a / b:12.2f}" if (a is not None and b) else f"{'-':>12}"
        spec = ".2f" if unit in ("x", "us/state") else ".1f"
        print(f"{label:<52} {unit:<12} {fmt(b, '10' + spec)} {fmt(a, '10' + spec)} {ratio}  {note}")
    print(f"total benchmark time {time.perf_counter() - t_start:.0f} s")


if __name__ == "__main__":
    main()
