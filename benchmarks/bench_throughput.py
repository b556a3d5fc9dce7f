#!/usr/bin/env python3
"""CPU time per solution of orbelin's batch functions, before and after, printed as one table.

    python3 benchmarks/bench_throughput.py --before DIR [--n N] [--repeats R] [--only TASKS] [--paths P,...]

"after" is the orbelin module this interpreter imports (and the C++ microbenchmark
build/bench/benchmarks/cpp/bench_lambert_core); "before" is an older build: DIR holds its module (orbelin*.so)
and, for the kernel rows, bench_lambert_core built from the older tree:

    git archive OLD | tar -x -C /tmp/old && cmake -S /tmp/old -B /tmp/old/build -DORBELIN_BENCHMARKS=ON \\
        -DORBELIN_PYTHON=OFF && cmake --build /tmp/old/build --target bench_lambert_core

Every figure is process CPU time (user + system, all threads) per solution (per cell, per state), so that it
does not depend on a free core; each measurement runs in a fresh subprocess, before and after alternately, and
the table keeps the minimum over the repeats. The load average is printed with the table. Each child makes one
untimed call of the same size before the timed one, so the figures are those of a repeated call (a process's first
large result also pays the system's zeroing of fresh pages, which later calls skip where the module reuses them).

The batch rows are measured once per instruction-set path of the "after" module (ORBELIN_SIMD in the child:
off = the portable kernel, avx2 = 4 lanes, avx512 = 8 lanes; by default every path this machine runs), each
against the same "before" figure.

Rows:
  kernel, elements            C++ microbenchmark, one thread (bench_lambert_core): bare solve, elements alone (one
                              arc a call, and in a batch per kernel of compute_transfer_orbit_elements_batch);
                              and the Householder solves alone per kernel of householder_jobs (bench_householder)
  lambert_izzo_vec, _vec_dv   --n random cases (benchmarks/cases.py, 0.02-4 minimum-energy periods, so some admit
  lambert_izzo_best_dv        up to three revolutions), max_rev 0 and 3; per filled solution (per case for best_dv)
  lambert_grid_search         LEO -> GEO over one day, 300 grid values (44,850 cells), per cell; beside it
                              lambert_izzo_best_dv over the same cells, one call per time-of-flight diagonal with
                              the states propagated beforehand
  lambert_porkchop            300 x 300 cells of random Earth orbits (radii 7000-40000 km) and dates, per cell,
                              max_rev 0 and 3
  kepler_universal_2body_vec  10^6 states, per state; beside it a Python loop of kepler_universal_2body_py
  numba loop                  when numba and the peer library (ORBELIN_BENCH_PEER, default lamberthub) are
                              installed: a numba-compiled loop calling the peer's Izzo solver once per arc, one
                              thread, over the same cases and the same arcs (each case's revolution counts as
                              lambert_izzo_vec finds them); and a numba loop doing lambert_izzo_best_dv's work
                              per case (both directions, every arc, the impulses, the cheapest kept), per case
  scaling                     wall time of lambert_izzo_vec (max_rev 0) and of kepler_universal_2body_vec pinned
                              with taskset to one CPU over two CPUs
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
from bench_lambert import AFTER_CORE, run_core  # noqa: E402

AFTER_HOUSEHOLDER = os.path.join(os.path.dirname(AFTER_CORE), "bench_householder")

CHILD = r'''
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[6])
import numpy as np
import orbelin
import cases
task, n, max_rev, repeats = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
MU, TOF = cases.MU, cases.TOF

def cpu_best(fn):
    best_cpu, best_wall, out = float("inf"), float("inf"), None
    fn()  # untimed: the timed call is a repeated one, as in a script's loop or a notebook
    for _ in range(repeats):
        out = None
        c0, w0 = time.process_time(), time.perf_counter()
        out = fn()
        best_cpu = min(best_cpu, time.process_time() - c0)
        best_wall = min(best_wall, time.perf_counter() - w0)
    return out, best_cpu, best_wall

def leo_geo_grid():
    leo = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(MU / 7000.0), 0.0])
    geo = np.array([0.0, 42164.0, 0.0, -np.sqrt(MU / 42164.0), 0.0, 0.0])
    bounds, step = (0.0, 86400.0), 86400.0 / 299
    x = [bounds[0]]
    while x[-1] + step <= bounds[1]:
        x.append(x[-1] + step)
    return leo, geo, bounds, step, np.array(x)

if task == "vec":
    r1, r2 = cases.pairs(n, 12345, 4.0)
    res, cpu, wall = cpu_best(lambda: orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, False))
    count = int(np.count_nonzero(~np.isnan(res.tof)))
elif task == "vec_dv":
    s1, s2 = cases.state_pairs(n, 12345, 4.0)
    res, cpu, wall = cpu_best(lambda: orbelin.lambert_izzo_vec_dv(s1, s2, TOF, max_rev, False))
    count = int(np.count_nonzero(~np.isnan(res[2])))
elif task == "best_dv":
    s1, s2 = cases.state_pairs(n, 12345, 4.0)
    res, cpu, wall = cpu_best(lambda: orbelin.lambert_izzo_best_dv(s1, s2, TOF, max_rev))
    count = n
elif task == "grid":
    leo, geo, bounds, step, x = leo_geo_grid()
    orbelin.lambert_grid_search(leo, geo, bounds, step * 20, max_rev=max_rev)
    res, cpu, wall = cpu_best(lambda: orbelin.lambert_grid_search(leo, geo, bounds, step, max_rev=max_rev))
    count = len(x) * (len(x) - 1) // 2
elif task == "grid_best_dv":
    leo, geo, bounds, step, x = leo_geo_grid()
    m = len(x)
    src = orbelin.kepler_universal_2body_vec(np.tile(leo, (m, 1)), x)
    tgt = orbelin.kepler_universal_2body_vec(np.tile(geo, (m, 1)), x)
    diagonals = [(np.ascontiguousarray(src[: m - d]), np.ascontiguousarray(tgt[d:]), d * step) for d in range(1, m)]
    def scan():
        for a, b, t in diagonals:
            orbelin.lambert_izzo_best_dv(a, b, t, max_rev)
    scan()
    _, cpu, wall = cpu_best(scan)
    count = m * (m - 1) // 2
elif task == "porkchop":
    rng = np.random.default_rng(7)
    def states(k):
        d = rng.normal(size=(2, k, 3))
        d /= np.linalg.norm(d, axis=2, keepdims=True)
        r = d[0] * rng.uniform(7000.0, 40000.0, (k, 1))
        v = d[1] * rng.uniform(0.6, 1.2, (k, 1)) * np.sqrt(MU / np.linalg.norm(r, axis=1, keepdims=True))
        return np.concatenate([r, v], axis=1)
    side = 300
    dep, arr = states(side), states(side)
    t_dep = np.sort(rng.uniform(0.0, 20000.0, side))
    t_arr = np.sort(rng.uniform(5000.0, 90000.0, side))
    orbelin.lambert_porkchop(dep[:20], arr[:20], t_dep[:20], t_arr[:20], max_rev)
    _, cpu, wall = cpu_best(lambda: orbelin.lambert_porkchop(dep, arr, t_dep, t_arr, max_rev))
    count = side * side
elif task in ("propagate", "propagate_loop"):
    rng = np.random.default_rng(3)
    m = n if task == "propagate" else min(n, 100000)  # a Python loop: a sample is enough
    states = np.tile([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0], (m, 1))
    states[:, 3:] += rng.normal(size=(m, 3)) * 0.3
    dt = rng.uniform(-5000.0, 5000.0, m)
    if task == "propagate":
        orbelin.kepler_universal_2body_vec(states[:1000], dt[:1000])
        _, cpu, wall = cpu_best(lambda: orbelin.kepler_universal_2body_vec(states, dt))
    else:
        f = orbelin.kepler_universal_2body_py
        rows, dts = list(states), dt.tolist()
        def loop():
            for s, d in zip(rows, dts):
                f(s, d)
        _, cpu, wall = cpu_best(loop)
    count = m
elif task == "numba":
    import importlib
    from numba import njit
    peer = importlib.import_module(os.environ.get("ORBELIN_BENCH_PEER", "lamberthub"))
    solve = peer.izzo2015
    r1, r2 = cases.pairs(n, 12345, 4.0)
    revs = orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, False).num_revs.reshape(n, -1).max(axis=1).astype(np.int64)

    @njit
    def loop(r1, r2, revs):
        acc = 0.0
        for i in range(r1.shape[0]):
            v1, v2 = solve(MU, r1[i], r2[i], TOF, 0, True, True)
            acc += v1[0]
            for m in range(1, revs[i] + 1):
                v1, v2 = solve(MU, r1[i], r2[i], TOF, m, True, True)
                acc += v1[0]
                v1, v2 = solve(MU, r1[i], r2[i], TOF, m, True, False)
                acc += v1[0]
        return acc

    loop(r1[:10], r2[:10], revs[:10])
    _, cpu, wall = cpu_best(lambda: loop(r1, r2, revs))
    count = int(n + 2 * revs.sum())
elif task == "numba_best":
    # What lambert_izzo_best_dv does, written as a numba loop over the peer: every arc of both directions (each
    # direction's revolution counts as lambert_izzo_vec finds them), the impulses of each, the cheapest total kept.
    import importlib
    from numba import njit
    peer = importlib.import_module(os.environ.get("ORBELIN_BENCH_PEER", "lamberthub"))
    solve = peer.izzo2015
    s1, s2 = cases.state_pairs(n, 12345, 4.0)
    r1, r2 = np.ascontiguousarray(s1[:, :3]), np.ascontiguousarray(s2[:, :3])
    u1, u2 = np.ascontiguousarray(s1[:, 3:]), np.ascontiguousarray(s2[:, 3:])
    def revs_of(retrograde):
        found = orbelin.lambert_izzo_vec(r1, r2, TOF, max_rev, retrograde).num_revs.reshape(n, -1)
        return np.nan_to_num(found, nan=0.0).max(axis=1).astype(np.int64)
    revs = np.stack([revs_of(False), revs_of(True)], axis=1)

    @njit
    def cost(v1, v2, u1, u2):  # |v1 - u1| + |u2 - v2| without temporary arrays
        a = (v1[0] - u1[0]) ** 2 + (v1[1] - u1[1]) ** 2 + (v1[2] - u1[2]) ** 2
        b = (u2[0] - v2[0]) ** 2 + (u2[1] - v2[1]) ** 2 + (u2[2] - v2[2]) ** 2
        return np.sqrt(a) + np.sqrt(b)

    @njit
    def loop(r1, r2, u1, u2, revs):
        best = np.empty(r1.shape[0])
        for i in range(r1.shape[0]):
            b = np.inf
            for d in range(2):
                prograde = d == 0
                v1, v2 = solve(MU, r1[i], r2[i], TOF, 0, prograde, True)
                b = min(b, cost(v1, v2, u1[i], u2[i]))
                for m in range(1, revs[i, d] + 1):
                    for low in (True, False):
                        v1, v2 = solve(MU, r1[i], r2[i], TOF, m, prograde, low)
                        b = min(b, cost(v1, v2, u1[i], u2[i]))
            best[i] = b
        return best

    loop(r1[:10], r2[:10], u1[:10], u2[:10], revs[:10])
    _, cpu, wall = cpu_best(lambda: loop(r1, r2, u1, u2, revs))
    count = n
print(json.dumps({"cpu": cpu, "wall": wall, "count": count}))
'''


# The instruction-set paths of the batch rows (ORBELIN_SIMD values).
PATHS = ("off", "avx2", "avx512")


def run_child(module_dir, task, n, max_rev, cpus=None, simd=None):
    prefix = ["taskset", "-c", cpus] if cpus else []
    # NumPy's BLAS threads would otherwise spin in the child and count as its CPU time.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env.pop("ORBELIN_SIMD", None)
    if simd:
        env["ORBELIN_SIMD"] = simd
    out = subprocess.run(prefix + [sys.executable, "-c", CHILD, module_dir, task, str(n), str(max_rev), "1",
                                   BENCH_DIR], capture_output=True, text=True, timeout=3600, env=env)
    if out.returncode != 0:
        raise RuntimeError(f"{task} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def runnable_paths(module_dir):
    """The ORBELIN_SIMD values the module at module_dir imports with on this machine."""
    code = "import sys; sys.path.insert(0, sys.argv[1]); import orbelin"
    ok = []
    for value in PATHS:
        env = dict(os.environ, ORBELIN_SIMD=value)
        if subprocess.run([sys.executable, "-c", code, module_dir], capture_output=True, env=env).returncode == 0:
            ok.append(value)
    return ok


def have_numba():
    try:
        import importlib
        import numba  # noqa: F401
        importlib.import_module(os.environ.get("ORBELIN_BENCH_PEER", "lamberthub"))
        return True
    except ImportError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="directory of the older build (module, bench_lambert_core)")
    parser.add_argument("--n", type=int, default=200000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--only", help="comma-separated task names (kernel, vec, vec_dv, best_dv, grid, "
                                       "grid_best_dv, porkchop, propagate, propagate_loop, numba, numba_best, "
                                       "scaling)")
    parser.add_argument("--paths", help="comma-separated ORBELIN_SIMD values for the batch rows (default: every "
                                        "one of off, avx2, avx512 that this machine runs)")
    args = parser.parse_args()

    import orbelin
    after_dir = os.path.dirname(os.path.abspath(orbelin.__file__))
    sides = [("after", after_dir)]
    before_dir = None
    if args.before:
        before_dir = os.path.abspath(args.before)
        if not glob.glob(os.path.join(before_dir, "orbelin*.so")):
            sys.exit(f"no orbelin module in {before_dir}")
        sides.insert(0, ("before", before_dir))
    paths = args.paths.split(",") if args.paths else runnable_paths(after_dir)
    keep = set(args.only.split(",")) if args.only else None
    wanted = lambda task: keep is None or task in keep  # noqa: E731
    load0 = os.getloadavg()
    t_start = time.perf_counter()
    rows = []  # (label, before, after, note)

    if wanted("kernel"):
        exes = [("after", AFTER_CORE)]
        if before_dir:
            exes.insert(0, ("before", os.path.join(before_dir, "bench_lambert_core")))
        core = {}
        for _ in range(args.repeats):
            for side, exe in exes:
                if os.path.exists(exe):
                    for key, value in run_core(exe, args.n, 1).items():
                        core[side, key] = min(core.get((side, key), float("inf")), value)
        for key, label in [(("zero", "visit"), "kernel, max_rev 0 (C++, 1 thread)"),
                           (("three", "visit"), "kernel, max_rev 3 (C++, 1 thread)"),
                           (("zero", "direct"), "elements alone (C++, 1 thread)")]:
            rows.append((label, core.get(("before", key)), core.get(("after", key)), "ns/solution, thread CPU"))
        # The elements of stored arcs through each kernel of the batch conversion (the older build converts one arc
        # at a time: its "elements alone" figure is the before).
        for path in ("off", "avx2", "avx512"):
            if ("after", ("zero", f"batch {path}")) in core:
                rows.append((f"elements in a batch [{path}] (C++, 1 thread)", core.get(("before", ("zero", "direct"))),
                             core["after", ("zero", f"batch {path}")], "ns/solution, thread CPU"))
        # The Householder solves of a batch alone, per kernel (the older build has one kernel, without this
        # program: no "before").
        if os.path.exists(AFTER_HOUSEHOLDER):
            out = subprocess.run([AFTER_HOUSEHOLDER, str(args.n), str(args.repeats)], capture_output=True, text=True,
                                 check=True).stdout
            for line in out.splitlines()[2:]:
                max_rev, path, _, ns = line.split()[:4]
                rows.append((f"Householder solves, max_rev {max_rev} [{path}] (C++, 1 thread)", None, float(ns),
                             "ns/solve, thread CPU"))

    tasks = [("vec", 0), ("vec", 3), ("vec_dv", 0), ("vec_dv", 3), ("best_dv", 0), ("best_dv", 3), ("grid", 0),
             ("grid_best_dv", 0), ("porkchop", 0), ("porkchop", 3), ("propagate", 0), ("propagate_loop", 0)]
    tasks = [t for t in tasks if wanted(t[0])]
    numba_tasks = [(t, m) for t in ("numba", "numba_best") for m in (0, 3) if wanted(t) and have_numba()]
    # Batch rows use the lane kernels and are measured on each path; the others once, on the default path.
    per_path = {"vec", "vec_dv", "best_dv", "grid", "grid_best_dv", "porkchop", "propagate"}
    got = {}
    for _ in range(args.repeats):
        for task, max_rev in tasks:
            n = 10**6 if task == "propagate" else args.n
            runs = [(side, d, None) for side, d in sides if side == "before"]
            runs += [("after", after_dir, p) for p in (paths if task in per_path else [None])]
            for side, d, simd in runs:
                r = run_child(d, task, n, max_rev, simd=simd)
                key = (task, max_rev, side, simd)
                got[key] = min(got.get(key, float("inf")), r["cpu"] * 1e9 / r["count"])
        for task, max_rev in numba_tasks:
            r = run_child(after_dir, task, args.n, max_rev)
            got[task, max_rev, "peer"] = min(got.get((task, max_rev, "peer"), float("inf")),
                                             r["cpu"] * 1e9 / r["count"])
    labels = {"vec": "lambert_izzo_vec", "vec_dv": "lambert_izzo_vec_dv", "best_dv": "lambert_izzo_best_dv",
              "grid": "lambert_grid_search, per cell", "grid_best_dv": "  best_dv over the same cells, per cell",
              "porkchop": "lambert_porkchop, per cell",
              "propagate": "kepler_universal_2body_vec, per state",
              "propagate_loop": "  Python loop of kepler_universal_2body_py"}
    for task, max_rev in tasks:
        label = labels[task] + (f", max_rev {max_rev}" if task in ("vec", "vec_dv", "best_dv", "porkchop") else "")
        for simd in (paths if task in per_path else [None]):
            rows.append((label + (f" [{simd}]" if simd else ""), got.get((task, max_rev, "before", None)),
                         got[task, max_rev, "after", simd], "ns CPU"))
    numba_labels = {"numba": ("numba loop over the peer's izzo", "ns CPU per solution, 1 thread"),
                    "numba_best": ("numba loop doing best_dv's work", "ns CPU per case, 1 thread")}
    for task, max_rev in numba_tasks:
        label, unit = numba_labels[task]
        rows.append((f"{label}, max_rev {max_rev}", None, got[task, max_rev, "peer"], unit))

    ratios = []
    for side, simd in [("before", None)] + [("after", p) for p in paths]:
        g = lambda task, max_rev: got.get((task, max_rev, side, simd if task in per_path else None))  # noqa: E731
        tag = side + (f" {simd}" if simd else "")
        if g("grid", 0) and g("grid_best_dv", 0):
            ratios.append((f"grid / best_dv per cell ({tag})", g("grid", 0) / g("grid_best_dv", 0)))
        if g("propagate_loop", 0) and g("propagate", 0):
            ratios.append((f"Python loop / kepler_universal_2body_vec ({tag})",
                           g("propagate_loop", 0) / g("propagate", 0)))
        for task in ("vec", "vec_dv", "best_dv"):
            for max_rev in (0, 3):
                if g(task, max_rev) and got.get(("numba", max_rev, "peer")):
                    ratios.append((f"numba loop / {labels[task]}, max_rev {max_rev} ({tag})",
                                   got["numba", max_rev, "peer"] / g(task, max_rev)))
                if task == "best_dv" and g(task, max_rev) and got.get(("numba_best", max_rev, "peer")):
                    ratios.append((f"numba best-dv loop / {labels[task]}, max_rev {max_rev} ({tag})",
                                   got["numba_best", max_rev, "peer"] / g(task, max_rev)))

    if wanted("scaling") and shutil.which("taskset") and len(os.sched_getaffinity(0)) >= 2:
        cpus = sorted(os.sched_getaffinity(0))
        one, two = str(cpus[0]), f"{cpus[0]},{cpus[1]}"
        for task, n in [("vec", args.n), ("propagate", 10**6)]:
            for side, d in sides:
                t1 = min(run_child(d, task, n, 0, one)["wall"] for _ in range(args.repeats))
                t2 = min(run_child(d, task, n, 0, two)["wall"] for _ in range(args.repeats))
                ratios.append((f"scaling 1 -> 2 CPUs, {labels[task].split(',')[0]} ({side})", t1 / t2))

    load1 = os.getloadavg()
    print("orbelin throughput: CPU time per solution, before / after")
    print(f"python {sys.version.split()[0]}, usable CPUs {len(os.sched_getaffinity(0))}, {args.n} cases; min of "
          f"{args.repeats}; load average {load0[0]:.2f} at the start, {load1[0]:.2f} at the end")
    print(f"{'measurement':<54} {'before':>9} {'after':>9} {'after/before':>12}  unit")
    for label, b, a, note in rows:
        bs = f"{b:9.1f}" if b else f"{'-':>9}"
        as_ = f"{a:9.1f}" if a else f"{'-':>9}"
        ratio = f"{a / b:12.2f}" if (a and b) else f"{'-':>12}"
        print(f"{label:<54} {bs} {as_} {ratio}  {note}")
    for label, value in ratios:
        print(f"{label:<54} {value:9.2f}x")
    print(f"total benchmark time {time.perf_counter() - t_start:.0f} s")


if __name__ == "__main__":
    main()
