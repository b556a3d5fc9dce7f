"""
A short tour of orbelin
=======================

Built-in inputs, printed as tables: Lambert transfers, delta-v
budgets, orbital elements, Kepler propagation, the Sun, the RIC frame and the
transfer optimisers."""

import time

import numpy as np

import orbelin


def table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(header)]
    print("  ".join(str(h).rjust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(r, widths)))


def fmt(x, digits=4):
    return f"{x:.{digits}f}"


def main():
    # Curtis, Example 5.2: from r1 to r2 in one hour (mu = 398600 km^3/s^2).
    r1 = np.array([5000.0, 10000.0, 2100.0])
    r2 = np.array([-14600.0, 2500.0, 7000.0])
    sol = orbelin.lambert_izzo_single(r1, r2, 3600.0, 0, False, mu=398600.0)
    table(
        "Lambert arc, Curtis Example 5.2 (km, km/s, deg)",
        ["v1", "v2", "sma", "ecc", "inc", "rp"],
        [[np.array2string(sol.v1[0], precision=4), np.array2string(sol.v2[0], precision=4),
          fmt(sol.sma[0], 1), fmt(sol.ecc[0]), fmt(sol.inc[0], 2), fmt(sol.rp[0], 1)]],
    )

    # A longer flight admits multi-revolution arcs: every family up to max_rev.
    sols = orbelin.lambert_izzo_single(r1, r2, 12 * 3600.0, 3, False)
    table(
        "All solutions for a 12 h flight (max_rev = 3)",
        ["revs", "branch", "|v1| km/s", "|v2| km/s", "sma km", "ecc"],
        [[int(m), "left" if p else ("right" if m else "direct"), fmt(np.linalg.norm(a)), fmt(np.linalg.norm(b)),
          fmt(s, 1), fmt(e)]
         for m, p, a, b, s, e in zip(sols.num_revs, sols.path_flag, sols.v1, sols.v2, sols.sma, sols.ecc)],
    )

    # Delta-v budget between two spacecraft on different orbits, for a sweep of
    # flight times, choosing the cheaper direction of motion.
    chaser = orbelin.coe2rv(np.array([7000.0, 0.001, 51.6, 10.0, 0.0, 0.0]))
    target = orbelin.coe2rv(np.array([7200.0, 0.002, 51.6, 10.0, 0.0, 40.0]))
    # The target is met where it will be at arrival.
    rows = []
    pole = np.cross(chaser[:3], chaser[3:])
    for tof in (1800.0, 2700.0, 3600.0, 4500.0, 5400.0):
        r, v = orbelin.kepler_universal_2body_py(target, tof)
        dv1, dv2, total, _, _ = orbelin.lambert_izzo_best_dv(chaser, np.concatenate([r, v]), tof, 1)
        # Angle from the chaser's start to the target's arrival point, in the chaser's direction of motion.
        sweep = np.degrees(np.arctan2(np.dot(np.cross(chaser[:3], r), pole) / np.linalg.norm(pole),
                                      np.dot(chaser[:3], r))) % 360.0
        rows.append([int(tof), fmt(sweep, 1), fmt(float(dv1)), fmt(float(dv2)), fmt(float(total))])
    table("Rendezvous cost by time of flight (target 40 deg ahead, 200 km higher)",
          ["tof s", "sweep deg", "|dv1| km/s", "|dv2| km/s", "total km/s"], rows)
    print("At 5400 s the target arrives 0.4 deg short of a full lap. A conic repeats each lap, so the arc\n"
          "must rise 200 km within 0.4 deg of true anomaly: 15 km/s. 200 s either side it is about 2 km/s.")

    # A million transfers in one call, spread over the worker pool.
    rng = np.random.default_rng(7)
    n = 1_000_000
    p1 = rng.normal(size=(n, 3)) * 7000.0
    p2 = rng.normal(size=(n, 3)) * 9000.0
    start = time.perf_counter()
    batch = orbelin.lambert_izzo_vec(p1, p2, 5000.0, 0, False)
    elapsed = time.perf_counter() - start
    table("Vectorized solve", ["cases", "seconds", "cases/s", "finite"],
          [[n, fmt(elapsed, 3), f"{n / elapsed:,.0f}", int(np.isfinite(batch.v1[..., 0]).sum())]])

    # Kepler propagation (Vallado's example, 40 minutes) and back.
    state = np.array([1131.340, -2282.343, 6672.423, -5.64305, 4.30333, 2.42879])
    r, v = orbelin.kepler_universal_2body_py(state, 2400.0)
    back_r, _ = orbelin.kepler_universal_2body_py(np.concatenate([r, v]), -2400.0)
    table("Kepler propagation, 40 min", ["r km", "v km/s", "round-trip error km"],
          [[np.array2string(r, precision=4), np.array2string(v, precision=6),
            f"{np.linalg.norm(back_r - state[:3]):.2e}"]])

    # Orbital elements of the propagated state.
    coe = orbelin.rv2coe(np.concatenate([r, v]))
    table("Classical elements", ["a km", "e", "i deg", "raan deg", "argp deg", "nu deg"],
          [[fmt(coe[0], 2), fmt(coe[1]), *(fmt(x, 3) for x in coe[2:])]])

    # The Sun at J2000.0 and a waypoint 2 km behind the target in its RIC frame.
    sun = orbelin.compute_sun_state_jd(2451545.0)[0, :3]
    waypoint = orbelin.apply_ric_waypoint_offset(target, np.array([0.0, -2.0, 0.0]))
    rel = orbelin.eci2ric_state(waypoint, target)
    table("Sun and RIC", ["Sun distance AU", "waypoint RIC position km"],
          [[fmt(np.linalg.norm(sun) / 149597870.7, 6), np.array2string(rel[:3], precision=6)]])

    # Plan a rendezvous: when should the chaser leave, and when should it arrive
    # 1 km behind the target (in the target's RIC frame), within the next three
    # hours? Sixteen Nelder-Mead searches run in parallel; near-duplicates are
    # merged and the answers come back cheapest first.
    start = time.perf_counter()
    burns = orbelin.optimize_lambert_nm_multi_py(
        chaser, target, (0.0, 3 * 3600.0), 1, True, 16, False, ric_waypoint=np.array([0.0, -1.0, 0.0]))
    elapsed = time.perf_counter() - start
    table(f"Rendezvous search, 16 starts, {1e3 * elapsed:.1f} ms (first rows, cheapest first)",
          ["depart s", "arrive s", "tof s", "total km/s", "|dv1| km/s", "|dv2| km/s", "transfer sma km"],
          [[fmt(a, 1), fmt(b, 1), fmt(b - a, 1), fmt(c), fmt(np.linalg.norm(d1)), fmt(np.linalg.norm(d2)), fmt(s, 1)]
           for a, b, c, d1, d2, s in list(zip(burns.t0, burns.tf, burns.cost, burns.dv1, burns.dv2, burns.sma))[:5]])
    # The best rows arrive at the window's end because the cost keeps falling beyond it: a wider window shows where.
    wide = orbelin.optimize_lambert_nm_multi_py(
        chaser, target, (0.0, 6 * 3600.0), 1, True, 16, True, ric_waypoint=np.array([0.0, -1.0, 0.0]))
    print(f"Most rows arrive at {3 * 3600:.0f} s, the window's end, because the cost still falls past it: in a 6 h\n"
          f"window the best transfer arrives at {wide.tf[0]:.0f} s for {fmt(wide.cost[0])} km/s.")

    # The same window scanned exhaustively on a 2-minute grid, for comparison.
    start = time.perf_counter()
    grid = orbelin.lambert_grid_search(chaser, target, (0.0, 3 * 3600.0), 120.0, max_rev=1)
    elapsed = time.perf_counter() - start
    k = int(np.argmin(grid.cost))
    table(f"Grid scan, {grid.t0.size} feasible cells, {1e3 * elapsed:.1f} ms (cheapest cell)",
          ["depart s", "arrive s", "total km/s"], [[fmt(grid.t0[k], 1), fmt(grid.tf[k], 1), fmt(grid.cost[k])]])


if __name__ == "__main__":
    main()
