#!/usr/bin/env python3
"""Throughput of orbelin's Lambert functions, printed as a plain-text table.

    PYTHONPATH=build/lt python3 benchmarks/bench_lambert.py [--quick]

Sections:
  1. lambert_izzo_vec and lambert_izzo_best_dv, cases per second, on 10^5 and
     10^6 seeded random cases, zero-revolution (max_rev = 0) and max_rev = 3.
  2. lambert_izzo_single, time per call in a Python loop.
  3. The bare C++ solver (benchmarks/cpp/bench_lambert_core, single thread),
     ns per solution, when that executable has been built:
         cmake -S . -B build/bench -DORBELIN_BENCHMARKS=ON -DORBELIN_PYTHON=OFF
         cmake --build build/bench
  4. How the time of lambert_izzo_vec on 10^6 zero-revolution cases splits
     into solver, element annotation and the rest (the Python boundary).
  5. Scaling: section 1's zero-revolution vec measurement in subprocesses
     pinned to one CPU and to two CPUs.

Random cases: radii 6600-42000 km in uniformly random directions, time of
flight log-uniform between 0.02 and 2 (zero-revolution) or 4 (max_rev = 3)
periods of the minimum-energy ellipse, the same distribution as the C++
benchmark. The vectorized functions take one time of flight per call (or a
grid), so each case is rescaled to a common time of flight of 10^4 s: a Lambert
problem (r1, r2, t) is the same dimensionless problem as (k r1, k r2, k^1.5 t),
with the same solver iterations, so the work per case is unchanged.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

import numpy as np

import orbelin

MU = 398600.4418
TOF = 1.0e4
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIELDS = ["v1", "v2", "tof", "num_revs", "path_flag", "retrograde", "sma", "ecc", "inc", "raan", "argp",
          "ta_depart", "ta_arrive", "rp", "ra"]
CORE_EXE = os.path.join(ROOT, "build", "bench", "benchmarks", "cpp", "bench_lambert_core")


def make_positions(n, seed, hi_periods):
    """n position pairs rescaled so that every case has time of flight TOF."""
    rng = np.random.default_rng(seed)

    def directions():
        v = rng.normal(size=(n, 3))
        return v / np.linalg.norm(v, axis=1)[:, None]

    r1 = rng.uniform(6600.0, 42000.0, n)[:, None] * directions()
    r2 = rng.uniform(6600.0, 42000.0, n)[:, None] * directions()
    s = (np.linalg.norm(r1, axis=1) + np.linalg.norm(r2, axis=1) + np.linalg.norm(r2 - r1, axis=1)) / 2
    period = 2 * np.pi * np.sqrt((s / 2) ** 3 / MU)
    tof = np.exp(rng.uniform(np.log(0.02), np.log(hi_periods), n)) * period
    k = (TOF / tof) ** (2.0 / 3.0)
    return np.ascontiguousarray(r1 * k[:, None]), np.ascontiguousarray(r2 * k[:, None])


def make_states(r1, r2):
    """States at the given positions with circular-speed velocities in random planes."""
    rng = np.random.default_rng(1)

    def with_velocity(r):
        t = np.cross(r, rng.normal(size=r.shape))
        t /= np.linalg.norm(t, axis=1)[:, None]
        return np.concatenate([r, np.sqrt(MU / np.linalg.norm(r, axis=1))[:, None] * t], axis=1)

    return with_velocity(r1), with_velocity(r2)


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
        del out
    return best


def threads_in_use():
    """CPUs usable by this process; the pool has max(1, cpus - 1) workers and
    the calling thread takes chunks of each loop as well."""
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    workers = max(1, cpus - 1)
    return cpus, workers, workers + 1


def run_core(cases):
    if not os.path.exists(CORE_EXE):
        return None, None
    out = subprocess.run([CORE_EXE, str(cases)], capture_output=True, text=True, check=True).stdout
    rows = {}
    for line in out.splitlines():
        m = re.match(r"(zero-rev \(max_rev = 0\)|max_rev = 3)\s+(\w+)\s+\d+\s+\d+\s+([\d.]+)\s+([\d.]+)", line)
        if m:
            rows[(m.group(1), m.group(2))] = (float(m.group(3)), float(m.group(4)))
    return rows, out


SCALING_CHILD = r"""
import sys, time
sys.path.insert(0, {bench_dir!r})
import bench_lambert as b
r1, r2 = b.make_positions({n}, 12345, 2.0)
b.orbelin.lambert_izzo_vec(r1[:1000], r2[:1000], b.TOF, 0, False)
t = b.best_time(lambda: b.orbelin.lambert_izzo_vec(r1, r2, b.TOF, 0, False), {repeats})
print({n} / t)
"""


def scaling_rate(cpus, n, repeats):
    code = SCALING_CHILD.format(bench_dir=os.path.dirname(os.path.abspath(__file__)), n=n, repeats=repeats)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.abspath(orbelin.__file__)),
                                         env.get("PYTHONPATH", "")])
    out = subprocess.run(["taskset", "-c", cpus, sys.executable, "-c", code], capture_output=True, text=True,
                         env=env, check=True)
    return float(out.stdout.strip())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^4 and 10^5 cases instead of 10^5 and 10^6")
    args = parser.parse_args()
    sizes = [10**4, 10**5] if args.quick else [10**5, 10**6]
    big = sizes[-1]
    cpus, workers, threads = threads_in_use()
    t_start = time.perf_counter()

    print("orbelin Lambert benchmark")
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, usable CPUs {cpus}, pool workers {workers} "
          f"(+ the calling thread = {threads} threads per loop)")
    print(f"cases: seeded random, rescaled to a common time of flight of {TOF:.0f} s; best of repeated runs")
    print()

    # Warm-up: first touches of the pool and of the allocator.
    r1, r2 = make_positions(1000, 3, 2.0)
    orbelin.lambert_izzo_vec(r1, r2, TOF, 3, False)

    # 1. Vectorized throughput.
    print("1. Vectorized functions")
    print(f"{'function':<22} {'max_rev':>7} {'cases':>9} {'solutions':>10} {'seconds':>9} {'cases/s':>12} "
          f"{'ns/solution':>12} {'result MB':>10}")
    measured = {}
    for max_rev, hi in [(0, 2.0), (3, 4.0)]:
        for n in sizes:
            r1, r2 = make_positions(n, 12345 if max_rev == 0 else 67890, hi)
            s1, s2 = make_states(r1, r2)
            repeats = 3 if n <= 10**5 else 2
            res = orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, False)
            solutions = int(np.count_nonzero(~np.isnan(res.tof)))
            vec_mb = sum(getattr(res, f).nbytes for f in FIELDS) / 1e6
            del res
            # best_dv solves every case twice, prograde and retrograde.
            res = orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, True)
            both = solutions + int(np.count_nonzero(~np.isnan(res.tof)))
            del res
            best_mb = 9 * 8 * n / 1e6
            t_vec = best_time(lambda: orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, False), repeats)
            t_best = best_time(lambda: orbelin.lambert_izzo_best_dv(s1, s2, TOF, max_rev), repeats)
            measured[("vec", max_rev, n)] = t_vec
            print(f"{'lambert_izzo_vec':<22} {max_rev:>7} {n:>9} {solutions:>10} {t_vec:>9.3f} {n / t_vec:>12.4g} "
                  f"{t_vec * 1e9 / solutions:>12.1f} {vec_mb:>10.1f}")
            print(f"{'lambert_izzo_best_dv':<22} {max_rev:>7} {n:>9} {both:>10} {t_best:>9.3f} "
                  f"{n / t_best:>12.4g} {t_best * 1e9 / both:>12.1f} {best_mb:>10.1f}")
            if max_rev == 0 and n == big:
                measured["dv0"] = best_time(lambda: orbelin.lambert_izzo_vec_dv(s1, s2, TOF, 0, False), repeats)
                measured["r1"], measured["r2"], measured["s1"] = r1, r2, s1
    print("   solutions: arcs solved (best_dv: prograde and retrograde lists together); ns/solution is wall")
    print("   time over all threads, not CPU time; result MB: size of the returned arrays, padding included")
    print()

    # 2. Single-case calls.
    print("2. lambert_izzo_single in a Python loop")
    r1, r2 = make_positions(20000, 5, 2.0)
    rows1 = list(r1)
    rows2 = list(r2)
    for max_rev in (0, 3):
        def loop():
            f = orbelin.lambert_izzo_single
            for a, b in zip(rows1, rows2):
                f(a, b, TOF, max_rev, False)
        t = best_time(loop, 2)
        print(f"   max_rev = {max_rev}: {t / len(rows1) * 1e6:8.2f} us per call ({len(rows1)} calls, "
              f"{len(rows1) / t:.4g} calls/s)")
    print()

    # 3. The bare C++ core.
    print("3. Bare C++ solver core (single thread)")
    core, raw = run_core(big)
    core_ns = None
    if core is None:
        print(f"   skipped: {os.path.relpath(CORE_EXE, ROOT)} is not built")
    else:
        for (problem, form), (per_case, per_sol) in sorted(core.items()):
            print(f"   {problem:<24} {form:<7} {per_case:8.1f} ns/case {per_sol:8.1f} ns/solution")
        core_ns = core.get(("zero-rev (max_rev = 0)", "visit"), (None, None))[1]
    print()

    # 4. Where the time of lambert_izzo_vec goes (10^6 zero-revolution cases).
    print(f"4. Split of lambert_izzo_vec, {big} zero-revolution cases")
    t_vec = measured[("vec", 0, big)]
    t_dv = measured["dv0"]
    # The element annotation: two rv2coe kernels per solution. rv2coe runs on
    # the calling thread only, so its per-state time is a single-thread figure.
    s1 = measured["s1"]
    t_coe = best_time(lambda: orbelin.rv2coe(s1, deg=False), 2)
    coe_ns = t_coe * 1e9 / len(s1)
    print(f"   lambert_izzo_vec     wall {t_vec * 1e3:8.1f} ms   (solve + 2 element sets + 15 result arrays)")
    print(f"   lambert_izzo_vec_dv  wall {t_dv * 1e3:8.1f} ms   (solve + impulses + 5 result arrays)")
    print(f"   rv2coe               {coe_ns:8.1f} ns per state, single thread (includes its own boundary)")
    if core_ns is not None:
        solve = big * core_ns * 1e-9 / threads
        elements = 2 * big * coe_ns * 1e-9 / threads
        rest = t_vec - solve - elements
        print(f"   estimate: solver      {solve * 1e3:8.1f} ms = {big} x {core_ns:.1f} ns (C++ core) / {threads} "
              f"threads  -> {100 * solve / t_vec:5.1f} %")
        print(f"   estimate: elements    {elements * 1e3:8.1f} ms = 2 x {big} x {coe_ns:.1f} ns (rv2coe) / {threads} "
              f"threads  -> {100 * elements / t_vec:5.1f} %")
        print(f"   remainder (boundary)  {rest * 1e3:8.1f} ms: argument checks, result allocation and filling, "
              f"pool dispatch, imperfect scaling -> {100 * rest / t_vec:5.1f} %")
        dv_rest = t_dv - solve
        print(f"   cross-check: lambert_izzo_vec_dv minus the solver estimate = {dv_rest * 1e3:.1f} ms "
              f"({100 * dv_rest / t_dv:.1f} % of its wall time)")
    else:
        print("   solver share not estimated (no C++ core timing); "
              f"vec minus vec_dv = {(t_vec - t_dv) * 1e3:.1f} ms is the element annotation and the extra arrays")
    print("   method: the bare core's single-thread ns/solution times the case count, divided by the threads that")
    print("   run the loop, is the solver's share of the wall time; the element kernels are costed the same way")
    print("   from rv2coe; whatever is left is attributed to the Python boundary.")
    print()

    # 5. Scaling over CPUs.
    print(f"5. Scaling of lambert_izzo_vec, {big} zero-revolution cases, subprocesses pinned with taskset")
    if shutil.which("taskset") is None:
        print("   skipped: taskset is not installed")
    else:
        available = sorted(os.sched_getaffinity(0))
        if len(available) < 2:
            print("   skipped: fewer than two CPUs")
        else:
            one_cpu = str(available[0])
            two_cpu = f"{available[0]},{available[1]}"
            rate1 = scaling_rate(one_cpu, big, 2)
            rate2 = scaling_rate(two_cpu, big, 2)
            print(f"   taskset -c {one_cpu:<5} (1 worker + caller on 1 CPU)   {rate1:12.4g} cases/s")
            print(f"   taskset -c {two_cpu:<5} (1 worker + caller on 2 CPUs)  {rate2:12.4g} cases/s")
            print(f"   ratio 2 CPUs / 1 CPU: {rate2 / rate1:.2f}")
    print()
    print(f"total benchmark time {time.perf_counter() - t_start:.1f} s")


if __name__ == "__main__":
    main()
