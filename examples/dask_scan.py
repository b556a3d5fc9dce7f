#!/usr/bin/env python3
"""
Porkchop scan of a LEO rendezvous on Dask
=========================================

The cheapest two-impulse transfer
from a chaser to a target over a grid of departure times and times of flight,
ten million Lambert problems by default.

Usage::

    python3 examples/dask_scan.py                               # a local cluster, one process per CPU
    python3 examples/dask_scan.py --cases 100000                # a smaller grid
    python3 examples/dask_scan.py --scheduler tcp://host:8786   # an existing cluster
    python3 examples/dask_scan.py --local                       # the same scan in this process, no Dask

The grid (departures x times of flight) is a dask.array built with map_blocks:
each block solves its cases with lambert_izzo_best_dv, one call per time of
flight over the block's departures, and returns a plain float64 array of total
delta-v. Blocks are independent, so they run wherever the scheduler sends them;
only the minimum and its position come back.

Threads: an orbelin call holds the interpreter lock, so a worker process runs
one call at a time, and that call uses ORBELIN_NUM_THREADS threads. Each worker
therefore needs ORBELIN_NUM_THREADS equal to its number of Dask threads, set
before the process starts (orbelin reads it at import). The local cluster does
that itself; workers of another cluster are started with it, for example::

    ORBELIN_NUM_THREADS=1 dask worker tcp://host:8786 --nworkers 16 --nthreads 1   # a 16-core machine

and this script warns about any worker whose setting differs.

Orbits: two-body circular orbits at 51.6 deg inclination, the chaser at 350 km,
the target at 420 km, 0.2 deg of node and 60 deg of phase ahead, so every state
is a closed-form function of time (coe2rv of the elements at that time).
"""

import argparse
import contextlib
import datetime
import importlib.util
import math
import os
import sys
import time

import numpy as np

import orbelin

# Dask is imported where it is used, so that --local runs without it.

MU = 398600.4418  # km^3/s^2
R_EARTH = 6378.137  # km
EPOCH = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)

# Circular orbits: altitude [km], inclination, right ascension of the node and
# argument of latitude at EPOCH [deg].
CHASER = (350.0, 51.6, 10.0, 0.0)
TARGET = (420.0, 51.6, 10.2, 60.0)

DEPARTURE_STEP = 60.0  # s between departures
TOF_FIRST, TOF_STEP, TOF_COUNT = 600.0, 10.0, 1000  # times of flight 600 s .. 10590 s (almost two orbits)
DEFAULT_CHUNKS = (2000, 125)  # departures x times of flight per block: 250,000 cases


def circular_states(orbit, t):
    """States (..., 6) [km, km/s] on a circular orbit at times t [s after EPOCH]."""
    altitude, inc, raan, u0 = orbit
    a = R_EARTH + altitude
    rate = math.degrees(math.sqrt(MU / a**3))  # deg/s
    t = np.asarray(t, dtype=np.float64)
    coe = np.empty(t.shape + (6,))
    coe[..., 0] = a
    coe[..., 1] = 0.0
    coe[..., 2] = inc
    coe[..., 3] = raan
    coe[..., 4] = 0.0
    coe[..., 5] = np.fmod(u0 + rate * t, 360.0)  # argument of latitude (e = 0, argp = 0)
    return orbelin.coe2rv(coe)


def scan_grid(cases):
    """Departure times and times of flight [s] of a grid of at least `cases` cases."""
    tofs = TOF_FIRST + TOF_STEP * np.arange(min(TOF_COUNT, max(1, cases)))
    departures = DEPARTURE_STEP * np.arange(-(-cases // tofs.size))
    return departures, tofs


def transfer_cost(departures, tofs, max_rev):
    """Total delta-v [km/s] of the cheapest transfer (both directions of motion,
    up to max_rev revolutions) for every departure of the column `departures`
    (n, 1) and every time of flight of the row `tofs` (1, m): an (n, m) array,
    NaN where no arc exists."""
    t0 = departures[:, 0]
    chaser = circular_states(CHASER, t0)
    cost = np.empty((t0.size, tofs.shape[1]))
    for j, tof in enumerate(tofs[0]):
        target = circular_states(TARGET, t0 + tof)  # where the target is at arrival
        cost[:, j] = orbelin.lambert_izzo_best_dv(chaser, target, float(tof), max_rev)[2]
    return cost


def scan(departures, tofs, max_rev, chunks=DEFAULT_CHUNKS):
    """The scan as a lazy (departures x times of flight) dask.array of total delta-v."""
    import dask.array as da

    column = da.from_array(departures[:, None], chunks=(chunks[0], 1))
    row = da.from_array(tofs[None, :], chunks=(1, chunks[1]))
    return da.map_blocks(transfer_cost, column, row, max_rev=max_rev, dtype=np.float64)


def cheapest(cost):
    """(departure index, tof index, total delta-v) of the smallest finite cost,
    for a NumPy or a dask array."""
    finite = np.where(np.isnan(cost), np.inf, cost)  # dask dispatches np.where to da.where
    if isinstance(finite, np.ndarray):
        flat, best = finite.argmin(), finite.min()
    else:
        import dask

        flat, best = dask.compute(finite.argmin(), finite.min())
    i, j = np.unravel_index(int(flat), cost.shape)
    return int(i), int(j), float(best)


def usable_cpus():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def start_local_cluster(workers, threads_per_worker, dashboard_address=":8787"):
    """A LocalCluster of worker processes whose orbelin calls use one thread per Dask thread."""
    import dask
    from dask.distributed import LocalCluster

    # Pre-spawn variables are in a worker's environment from its first
    # instruction, before anything imports orbelin (Dask sets OMP_NUM_THREADS
    # the same way). Dask also sets them in this process, whose own pool was
    # sized when it imported orbelin.
    setting = {"distributed.nanny.pre-spawn-environ.ORBELIN_NUM_THREADS": str(threads_per_worker)}
    with dask.config.set(setting):
        return LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker, processes=True,
                            dashboard_address=dashboard_address)


def _worker_setting():
    return os.environ.get("ORBELIN_NUM_THREADS")


def check_workers(client):
    """Warnings for workers whose ORBELIN_NUM_THREADS is not their number of Dask threads."""
    settings = client.run(_worker_setting)
    warnings = []
    for address, threads in sorted(client.nthreads().items()):
        value = settings.get(address)
        if value is None or value.strip() != str(threads):
            found = "unset" if value is None else f"={value!r}"
            warnings.append(f"warning: worker {address} runs {threads} Dask thread(s) with ORBELIN_NUM_THREADS "
                            f"{found}; start it with ORBELIN_NUM_THREADS={threads}")
    return warnings


def describe_transfer(departures, tofs, i, j, max_rev):
    """One line on the transfer of case (i, j), its two impulses solved again here."""
    t0, tof = departures[i], tofs[j]
    chaser = circular_states(CHASER, t0)
    target = circular_states(TARGET, t0 + tof)
    dv1, dv2, total, _, _ = orbelin.lambert_izzo_best_dv(chaser, target, float(tof), max_rev)
    when = EPOCH + datetime.timedelta(seconds=float(t0))
    return (f"depart {when:%Y-%m-%d %H:%M:%S} UTC (+{t0 / 3600:.2f} h), time of flight {tof / 60:.1f} min, "
            f"total {1000 * float(total):.2f} m/s (dv1 {1000 * float(dv1):.2f} m/s, dv2 {1000 * float(dv2):.2f} m/s)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.strip().split("\n")[0])
    parser.add_argument("--cases", type=int, default=10_000_000, help="Lambert problems in the grid (default 10^7)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="an existing scheduler, e.g. tcp://host:8786")
    parser.add_argument("--workers", type=int, default=None, help="local cluster: worker processes (default: CPUs)")
    parser.add_argument("--threads-per-worker", type=int, default=None,
                        help="local cluster: Dask threads per worker (default: CPUs / workers, at least 1)")
    parser.add_argument("--local", action="store_true", help="solve the whole grid in this process, without Dask")
    parser.add_argument("--max-rev", type=int, default=1, help="most revolutions of a transfer arc (default 1)")
    parser.add_argument("--chunks", default=f"{DEFAULT_CHUNKS[0]},{DEFAULT_CHUNKS[1]}", metavar="DEP,TOF",
                        help="departures and times of flight per block (default %(default)s)")
    args = parser.parse_args(argv)
    if args.cases < 1:
        parser.error("--cases must be at least 1")
    chunks = tuple(int(c) for c in args.chunks.split(","))

    departures, tofs = scan_grid(args.cases)
    cases = departures.size * tofs.size
    print(f"scan: {departures.size:,} departures every {DEPARTURE_STEP:.0f} s from {EPOCH:%Y-%m-%d %H:%M} UTC x "
          f"{tofs.size:,} times of flight {tofs[0]:.0f}-{tofs[-1]:.0f} s = {cases:,} Lambert problems "
          f"(lambert_izzo_best_dv, max_rev {args.max_rev})")

    if args.local:
        print("run: this process, without Dask: one lambert_izzo_best_dv call per time of flight on all departures")
        start = time.perf_counter()
        i, j, best = cheapest(transfer_cost(departures[:, None], tofs[None, :], args.max_rev))
        elapsed = time.perf_counter() - start
    else:
        try:
            from dask.distributed import Client
        except ImportError:
            sys.exit('Dask is not installed: run with --local, or install it from the repository root with\n'
                     '    python3 -m pip install ".[dask]"')

        with contextlib.ExitStack() as stack:
            if args.scheduler:
                client = stack.enter_context(Client(args.scheduler))
                print(f"run: scheduler {args.scheduler}, {len(client.nthreads())} workers, "
                      f"{sum(client.nthreads().values())} Dask threads")
                missing_bokeh = False  # the scheduler's own affair
            else:
                workers = args.workers or usable_cpus()
                threads = args.threads_per_worker or max(1, usable_cpus() // workers)
                startup = time.perf_counter()
                client = stack.enter_context(Client(stack.enter_context(start_local_cluster(workers, threads))))
                print(f"run: LocalCluster of {workers} worker process(es) x {threads} thread(s), "
                      f"ORBELIN_NUM_THREADS={threads} in each (started in {time.perf_counter() - startup:.1f} s)")
                missing_bokeh = importlib.util.find_spec("bokeh") is None
            note = " (served only when bokeh is installed)" if missing_bokeh else ""
            print(f"dashboard: {client.dashboard_link}{note}")
            for warning in check_workers(client):
                print(warning)
            grid = scan(departures, tofs, args.max_rev, chunks)
            print(f"blocks: {grid.npartitions} of up to {chunks[0]} x {chunks[1]} cases")
            start = time.perf_counter()
            i, j, best = cheapest(grid)
            elapsed = time.perf_counter() - start

    if not math.isfinite(best):
        print("cheapest transfer: none, no case of the grid has a solution")
    else:
        print(f"cheapest transfer: {describe_transfer(departures, tofs, i, j, args.max_rev)}")
    print(f"throughput: {cases:,} cases in {elapsed:.2f} s = {cases / elapsed:,.0f} cases/s")


if __name__ == "__main__":
    main()
