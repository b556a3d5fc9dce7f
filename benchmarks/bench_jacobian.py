#!/usr/bin/env python3
"""Cost of lambert_izzo_jacobian beside the solve it belongs to, printed as one table.

    python3 benchmarks/bench_jacobian.py [--cases N] [--repeats R]

Rows:
  C++ kernel           ns per solution of the bare solve and of the solve with its Jacobian, one thread, thread
                       CPU time (build/bench/benchmarks/cpp/bench_lambert_jacobian, configured with
                       -DORBELIN_BENCHMARKS=ON)
  Python               CPU ns per solution (process time, all threads) of lambert_izzo_vec and of
                       lambert_izzo_jacobian on the same random cases, max_rev 0 and 3, the two interleaved,
                       best of --repeats
  memory               peak resident growth of a 10^6-case Jacobian batch at max_rev 0 (peak reset through
                       /proc/self/clear_refs before the call) against the bytes of its result, in a fresh process

The load average is printed with the table: other processes inflate every figure.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import orbelin  # noqa: E402
from helpers import min_energy_period, random_pairs  # noqa: E402

MEMORY = """
import sys
sys.path.insert(0, {tests!r})
import orbelin
from helpers import random_pairs

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))

r1, r2 = random_pairs(1, 10**6)
orbelin.lambert_izzo_jacobian(r1[:10], r2[:10], 3000.0, 0, False)
with open("/proc/self/clear_refs", "w") as f:  # the peak restarts from the present size
    f.write("5")
before = status("VmRSS")
jac = orbelin.lambert_izzo_jacobian(r1, r2, 3000.0, 0, False)
print(jac.nbytes, status("VmHWM") - before)
"""


def cpu_seconds(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t = time.process_time()
        fn()
        best = min(best, time.process_time() - t)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cases", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs")

    kernel = ROOT / "build" / "bench" / "benchmarks" / "cpp" / "bench_lambert_jacobian"
    if kernel.exists():
        print(subprocess.run([str(kernel), str(args.cases), str(args.repeats)], capture_output=True, text=True,
                             check=True).stdout, end="")
    else:
        print(f"(no {kernel.relative_to(ROOT)}: C++ rows skipped)")

    r1, r2 = random_pairs(1, args.cases)
    tof = 0.3 * float(np.median(min_energy_period(r1, r2)))
    print(f"{'Python, CPU ns per solution':<28} {'solutions':>10} {'lambert_izzo_vec':>17} "
          f"{'lambert_izzo_jacobian':>22} {'ratio':>7}")
    for max_rev, t in ((0, tof), (3, 10 * tof)):
        n = int(np.isfinite(orbelin.lambert_izzo_vec(r1, r2, t, max_rev, False).tof).sum())
        vec = jac = float("inf")
        for _ in range(args.repeats):  # interleaved
            vec = min(vec, cpu_seconds(lambda: orbelin.lambert_izzo_vec(r1, r2, t, max_rev, False), 1))
            jac = min(jac, cpu_seconds(lambda: orbelin.lambert_izzo_jacobian(r1, r2, t, max_rev, False), 1))
        print(f"{'max_rev ' + str(max_rev):<28} {n:>10} {1e9 * vec / n:>17.0f} {1e9 * jac / n:>22.0f} "
              f"{jac / vec:>7.2f}")

    out = subprocess.run([sys.executable, "-c", MEMORY.format(tests=str(ROOT / "tests"))], capture_output=True,
                         text=True, check=True).stdout.split()
    nbytes, grown = int(out[0]), int(out[1])
    print(f"memory: 10^6-case Jacobian batch, result {nbytes / 1e6:.1f} MB, peak growth {grown / 1e6:.1f} MB "
          f"({grown / nbytes:.3f}x)")


if __name__ == "__main__":
    main()
