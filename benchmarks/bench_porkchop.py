#!/usr/bin/env python3
"""Porkchop scan speed: one lambert_porkchop call against Python loops over single Lambert solves.

    python3 benchmarks/bench_porkchop.py [--size 400] [--loop-cells 2000] [--repeats 5]

The grid is Earth to Mars in 2020: --size departure dates (June to September) x --size arrival dates (December
2020 to December 2021), heliocentric states from pyerfa (the porkchop extra), zero revolutions, both directions
of motion per cell as lambert_porkchop solves them. Rows:

  lambert_porkchop        the whole grid in one call, on the worker pool: wall time, CPU time of the process
                          (all threads), cells per second of wall time
  Python loop, orbelin    lambert_izzo_single prograde and retrograde per cell, the best |dv1| + |dv2| kept in
                          Python; --loop-cells cells of the same grid, extrapolated to cells per second
  Python loop, lamberthub lamberthub.izzo2015 (a peer's Izzo solver, compiled by numba; warmed up first), the
                          same cells and the same two solves per cell

Timings alternate between the rows, best of --repeats. The load average is printed with the table: other
processes on the machine slow every row.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import porkchop as example  # noqa: E402

import orbelin  # noqa: E402


def grid(size):
    jd_dep = np.linspace(example.julian_date("2020-06-01"), example.julian_date("2020-09-30"), size)
    jd_arr = np.linspace(example.julian_date("2020-12-01"), example.julian_date("2021-12-31"), size)
    return (example.planet_states("earth", jd_dep), example.planet_states("mars", jd_arr),
            (jd_dep - example.J2000) * example.DAY, (jd_arr - example.J2000) * example.DAY)


def loop_cells(dep, arr, t_dep, t_arr, count, seed=0):
    rng = np.random.default_rng(seed)
    i = rng.integers(0, len(t_dep), count)
    j = rng.integers(0, len(t_arr), count)
    return [(dep[a], arr[b], t_arr[b] - t_dep[a]) for a, b in zip(i, j)]


def best_total(v1s, v2s, s1, s2):
    best = np.inf
    for v1, v2 in zip(v1s, v2s):
        total = np.linalg.norm(v1 - s1[3:]) + np.linalg.norm(s2[3:] - v2)
        if total < best:
            best = total
    return best


def orbelin_loop(cells):
    for s1, s2, tof in cells:
        v1s, v2s = [], []
        for retrograde in (False, True):
            sol = orbelin.lambert_izzo_single(s1[:3], s2[:3], tof, 0, retrograde, mu=example.MU_SUN)
            v1s.append(sol.v1[0])
            v2s.append(sol.v2[0])
        best_total(v1s, v2s, s1, s2)


def lamberthub_loop(cells):
    from lamberthub import izzo2015

    for s1, s2, tof in cells:
        v1s, v2s = [], []
        for prograde in (True, False):
            v1, v2 = izzo2015(example.MU_SUN, s1[:3], s2[:3], tof, M=0, prograde=prograde)
            v1s.append(v1)
            v2s.append(v2)
        best_total(v1s, v2s, s1, s2)


def timed(f):
    wall, cpu = time.perf_counter(), time.process_time()
    f()
    return time.perf_counter() - wall, time.process_time() - cpu


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=400)
    parser.add_argument("--loop-cells", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args(argv)

    dep, arr, t_dep, t_arr = grid(args.size)
    cells = loop_cells(dep, arr, t_dep, t_arr, args.loop_cells)
    runs = {"lambert_porkchop": lambda: orbelin.lambert_porkchop(dep, arr, t_dep, t_arr, mu=example.MU_SUN),
            "Python loop, orbelin": lambda: orbelin_loop(cells)}
    try:
        import lamberthub

        lamberthub_loop(cells[:2])  # numba compiles on the first call
        runs["Python loop, lamberthub"] = lambda: lamberthub_loop(cells)
        peer = f"lamberthub {lamberthub.__version__}"
    except ImportError:
        peer = "lamberthub not installed"

    best = {name: (np.inf, np.inf) for name in runs}
    for _ in range(args.repeats):
        for name, run in runs.items():
            wall, cpu = timed(run)
            best[name] = (min(best[name][0], wall), min(best[name][1], cpu))

    grid_cells = args.size * args.size
    print(f"Earth-Mars 2020, {args.size} x {args.size} = {grid_cells} cells, max_rev 0, both directions; "
          f"loops over {args.loop_cells} cells; best of {args.repeats}; {peer}")
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs, pool of "
          f"{os.environ.get('ORBELIN_NUM_THREADS', 'default')} threads")
    # Ratios: how many times the porkchop call's cells per second of wall time, and its CPU time per cell.
    print(f"{'':26}{'wall s':>9}{'CPU s':>9}{'cells/s':>11}{'CPU us/cell':>13}{'wall ratio':>12}{'CPU ratio':>11}")
    base_wall, base_cpu = best["lambert_porkchop"]
    for name, (wall, cpu) in best.items():
        n = grid_cells if name == "lambert_porkchop" else args.loop_cells
        wall_ratio = (wall / n) / (base_wall / grid_cells)
        cpu_ratio = (cpu / n) / (base_cpu / grid_cells)
        print(f"{name:26}{wall:9.4f}{cpu:9.4f}{n / wall:11.0f}{cpu / n * 1e6:13.2f}{wall_ratio:11.0f}x"
              f"{cpu_ratio:10.0f}x")


if __name__ == "__main__":
    main()
