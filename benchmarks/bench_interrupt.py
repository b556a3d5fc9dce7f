#!/usr/bin/env python3
"""How soon Ctrl-C stops a long call, printed as a plain-text table.

    PYTHONPATH=build/dev python3 benchmarks/bench_interrupt.py [--repeats N]

For each long call a child process prepares its inputs, prints "ready" and starts the call; the parent waits a
delay (cycled through 0.2, 0.5, 1 and 2 s, so the signal lands in allocation, in the parallel loop and deep into
it), sends SIGINT and reads back the CLOCK_MONOTONIC time at which the child caught KeyboardInterrupt. The latency
is that time minus the time of sending: the wait for the running chunks or searches, the unwinding and freeing of
everything the call had built, and the delivery of the exception. Calls are interleaved round by round; the table
gives min, median and max over the rounds and the load average before and after, since other processes on the
machine stretch every figure.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import textwrap
import time

SETUP = textwrap.dedent(
    """
    import time
    import numpy as np
    import orbelin
    source = np.array([7000.0, 0.0, 0.0, 0.0, 7.546, 0.0])
    target = np.array([0.0, 7100.0, 0.0, -7.49, 0.0, 0.1])
    r1 = np.tile(source[:3], (1000000, 1)); r2 = np.tile([0.0, 8000.0, 1000.0], (1000000, 1))
    """
)

# Each runs for many seconds uninterrupted on two cores.
CALLS = {
    "lambert_izzo_vec, 1e6 x 8 tof (8e6 cases)": (
        "orbelin.lambert_izzo_vec(r1, r2, [3000.0 + 100 * k for k in range(8)], 0, False)"
    ),
    "lambert_izzo_best_dv, 1e6 cases, max_rev 10": (
        "orbelin.lambert_izzo_best_dv(np.tile(source, (50000, 1)), np.tile(target, (50000, 1)), "
        "np.linspace(30000.0, 60000.0, 20), 10)"
    ),
    "optimize_lambert_nm_multi_py, 1e6 starts": (
        "orbelin.optimize_lambert_nm_multi_py(source, target, (0.0, 20000.0), 1, False, 10**6, True)"
    ),
    "optimize_lambert_nm_multi_array, 400 x 40 pairs": (
        "orbelin.optimize_lambert_nm_multi_array(np.tile(source, (400, 1)), np.tile(target, (40, 1)), "
        "(0.0, 20000.0), 1, False, 100, True)"
    ),
    "lambert_grid_search, 8e6 cells": "orbelin.lambert_grid_search(source, target, (0.0, 20000.0), 5.0)",
    # A flight of a million revolutions, the most one call solves: two million arcs on the calling thread.
    "lambert_izzo_single, 1e6 revolutions": (
        "orbelin.lambert_izzo_single(np.array([7000.0, 0.0, 0.0]), np.array([0.0, 7100.0, 0.0]), "
        "1.0000001e6 * np.pi / np.sqrt(2.0 * 398600.4418 / ((14100.0 + np.hypot(7000.0, 7100.0)) / 2.0) ** 3), "
        "10**6, False)"
    ),
}

CHILD = SETUP + textwrap.dedent(
    """
    print("ready", flush=True)
    try:
        {call}
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    """
)


def latency(call, delay):
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(call=call)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        words = child.stdout.readline().split()
        return float(words[1]) - sent if words and words[0] == "interrupted" else None
    finally:
        child.kill()
        child.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=8)
    repeats = parser.parse_args().repeats
    delays = [0.2, 0.5, 1.0, 2.0]
    load_before = os.getloadavg()[0]
    figures = {name: [] for name in CALLS}
    for k in range(repeats):
        for name, call in CALLS.items():
            figures[name].append(latency(call, delays[k % len(delays)]))
    load_after = os.getloadavg()[0]
    print(f"Ctrl-C latency, {repeats} rounds, {os.cpu_count()} CPUs, "
          f"load average {load_before:.2f} -> {load_after:.2f}")
    print(f"{'call':48s} {'min ms':>8s} {'median ms':>10s} {'max ms':>8s}")
    for name, values in figures.items():
        got = [v * 1e3 for v in values if v is not None]
        missed = len(values) - len(got)
        note = f"  ({missed} finished before the signal)" if missed else ""
        if got:
            print(f"{name:48s} {min(got):8.1f} {statistics.median(got):10.1f} {max(got):8.1f}{note}")
        else:
            print(f"{name:48s} {'-':>8s} {'-':>10s} {'-':>8s}{note}")


if __name__ == "__main__":
    main()
