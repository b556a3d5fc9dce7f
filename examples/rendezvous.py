"""
Rendezvous from low Earth orbit with a GEO satellite: Nelder-Mead against a grid scan
=====================================================================================

The chaser is on a 7000 km circular orbit, the target in GEO 90 degrees
ahead, both equatorial. Within a window of 30000 s (8.3 h) the two-impulse
rendezvous of least total delta-v is searched twice:

- lambert_grid_search evaluates every (departure, arrival) cell of a grid;
- optimize_lambert_nm_multi_py runs Nelder-Mead from starts spread over the
  window, in parallel, and refines the times continuously.

Between circular coplanar orbits the Hohmann transfer is the cheapest
two-impulse transfer, so both answers are compared with it: the search
should find it, the grid only comes as close as its step allows.

Usage::

    python examples/rendezvous.py
    python examples/rendezvous.py --step 60 --starts 32
"""

import argparse
import time

import numpy as np

import orbelin

MU = 398600.4418  # km^3/s^2
R_LEO = 7000.0  # km
R_GEO = 42164.0  # km


def circular_state(radius, phase):
    speed = np.sqrt(MU / radius)
    return np.array([radius * np.cos(phase), radius * np.sin(phase), 0.0,
                     -speed * np.sin(phase), speed * np.cos(phase), 0.0])


def hohmann():
    """(total delta-v km/s, time of flight s, departure time s) of the Hohmann rendezvous with the target 90 deg
    ahead at time 0: the chaser departs when the target leads it by pi - n_geo * tof."""
    a = (R_LEO + R_GEO) / 2
    dv = np.sqrt(MU / R_LEO) * (np.sqrt(R_GEO / a) - 1) + np.sqrt(MU / R_GEO) * (1 - np.sqrt(R_LEO / a))
    tof = np.pi * np.sqrt(a**3 / MU)
    n_leo, n_geo = np.sqrt(MU / R_LEO**3), np.sqrt(MU / R_GEO**3)
    lead_needed = np.pi - n_geo * tof
    t0 = ((np.pi / 2 - lead_needed) % (2 * np.pi)) / (n_leo - n_geo)
    return dv, tof, t0


def compare(step=300.0, starts=16, window=(0.0, 30000.0)):
    """Runs both searches; returns {method: (cost km/s, t0 s, tf s, seconds taken)}."""
    chaser = circular_state(R_LEO, 0.0)
    target = circular_state(R_GEO, np.pi / 2)

    begin = time.perf_counter()
    grid = orbelin.lambert_grid_search(chaser, target, window, step)
    grid_time = time.perf_counter() - begin
    i = int(np.argmin(grid.cost))

    begin = time.perf_counter()
    best = orbelin.optimize_lambert_nm_multi_py(chaser, target, window, 0, True, starts, True)
    nm_time = time.perf_counter() - begin

    return {
        f"grid scan, step {step:g} s ({grid.cost.size} cells)": (grid.cost[i], grid.t0[i], grid.tf[i], grid_time),
        f"Nelder-Mead, {starts} starts": (best.cost[0], best.t0[0], best.tf[0], nm_time),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.strip().split("\n")[0])
    parser.add_argument("--step", type=float, default=300.0, help="grid step, s (default 300)")
    parser.add_argument("--starts", type=int, default=16, help="Nelder-Mead starts (default 16)")
    args = parser.parse_args(argv)

    results = compare(args.step, args.starts)
    dv, tof, t0 = hohmann()
    print(f"{'method':<36} {'total dv km/s':>14} {'depart s':>10} {'arrive s':>10} {'time s':>8}")
    for method, (cost, t_dep, t_arr, seconds) in results.items():
        print(f"{method:<36} {cost:>14.6f} {t_dep:>10.1f} {t_arr:>10.1f} {seconds:>8.3f}")
    print(f"{'Hohmann (analytic)':<36} {dv:>14.6f} {t0:>10.1f} {t0 + tof:>10.1f}")
    return results


if __name__ == "__main__":
    main()
