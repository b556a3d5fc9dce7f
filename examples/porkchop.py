"""Porkchop chart of Earth-to-Mars transfers, saved as a PNG.

Earth and Mars move on circular, coplanar heliocentric orbits (1 AU and
1.524 AU, the Sun's gravitational parameter). Every departure day of one
synodic period is combined with every time of flight from 100 to 400 days;
the whole departure x arrival grid is solved in one call of
orbelin.lambert_grid_search, which propagates both planets and solves
Lambert's problem in both directions for each cell. The chart shows
contours of the total delta-v |dv1| + |dv2| (leaving Earth's orbit and
matching Mars's velocity; hyperbolic excess speeds, no planetary gravity)
and marks the cheapest transfer, which lies close to the Hohmann transfer
(5.59 km/s in about 259 days).

    python examples/porkchop.py                      # writes porkchop.png
    python examples/porkchop.py --step-days 2 --output fine.png

The chart needs matplotlib, an optional dependency of orbelin:

    python -m pip install "orbelin[plot]"      # or: python -m pip install matplotlib
"""

import argparse
import sys

import numpy as np

import orbelin

MU_SUN = 1.32712440018e11  # km^3/s^2
AU = 149597870.7  # km
DAY = 86400.0  # s
R_EARTH_ORBIT = 1.0 * AU
R_MARS_ORBIT = 1.524 * AU

INSTALL_HINT = (
    "This example draws its chart with matplotlib, which orbelin does not install by itself.\n"
    "Install it with:\n"
    '    python -m pip install "orbelin[plot]"\n'
    "or simply:\n"
    "    python -m pip install matplotlib"
)


def circular_state(radius, phase):
    """Heliocentric state (km, km/s) on a prograde circular orbit in the ecliptic plane."""
    speed = np.sqrt(MU_SUN / radius)
    return np.array([radius * np.cos(phase), radius * np.sin(phase), 0.0,
                     -speed * np.sin(phase), speed * np.cos(phase), 0.0])


def mean_motion(radius):
    return np.sqrt(MU_SUN / radius**3)  # rad/s


def hohmann():
    """Total delta-v (km/s) and time of flight (days) of the Hohmann transfer between the two orbits."""
    a = (R_EARTH_ORBIT + R_MARS_ORBIT) / 2
    dv1 = np.sqrt(MU_SUN / R_EARTH_ORBIT) * (np.sqrt(R_MARS_ORBIT / a) - 1)
    dv2 = np.sqrt(MU_SUN / R_MARS_ORBIT) * (1 - np.sqrt(R_EARTH_ORBIT / a))
    return dv1 + dv2, np.pi * np.sqrt(a**3 / MU_SUN) / DAY


def initial_states(best_departure_day=200.0):
    """Earth and Mars at day 0, phased so that the Hohmann window opens on best_departure_day."""
    _, tof_days = hohmann()
    # At a Hohmann departure Mars leads Earth by pi - n_mars * tof.
    lead = np.pi - mean_motion(R_MARS_ORBIT) * tof_days * DAY
    lead += (mean_motion(R_EARTH_ORBIT) - mean_motion(R_MARS_ORBIT)) * best_departure_day * DAY
    return circular_state(R_EARTH_ORBIT, 0.0), circular_state(R_MARS_ORBIT, lead)


def scan(step_days=5.0, departure_days=780.0, tof_min_days=100.0, tof_max_days=400.0):
    """Total delta-v (km/s) on the grid of departure days x times of flight (days), from one grid search.

    Returns (departure days, times of flight in days, cost array of shape (departures, times), NaN where a
    cell has no transfer)."""
    earth, mars = initial_states()
    departures = np.arange(0.0, departure_days + step_days / 2, step_days)
    tofs = np.arange(tof_min_days, tof_max_days + step_days / 2, step_days)
    window = (0.0, (departures[-1] + tofs[-1]) * DAY)
    # One call: every (t0, tf) cell of the window, propagated and solved on the worker pool.
    burns = orbelin.lambert_grid_search(earth, mars, window, step_days * DAY, mu=MU_SUN)

    cost = np.full((departures.size, tofs.size), np.nan)
    i = np.rint(burns.t0 / DAY / step_days).astype(int)
    k = np.rint((burns.tof / DAY - tof_min_days) / step_days).astype(int)
    inside = (i < departures.size) & (k >= 0) & (k < tofs.size)
    cost[i[inside], k[inside]] = burns.cost[inside]
    return departures, tofs, cost


def cheapest(departures, tofs, cost):
    """(departure day, time of flight in days, total delta-v) of the cheapest cell."""
    i, k = np.unravel_index(np.nanargmin(cost), cost.shape)
    return float(departures[i]), float(tofs[k]), float(cost[i, k])


def plot(departures, tofs, cost, best, output):
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit(INSTALL_HINT)

    hohmann_dv, hohmann_tof = hohmann()
    fig, ax = plt.subplots(figsize=(9, 6), dpi=110)
    levels = np.arange(np.floor(best[2]), 20.5, 0.5)
    cmap = plt.get_cmap("viridis_r").with_extremes(over="0.85")  # light grey: above the last contour
    filled = ax.contourf(departures, tofs, cost.T, levels=levels, cmap=cmap, extend="max")
    lines = ax.contour(departures, tofs, cost.T, levels=levels[::2], colors="black", linewidths=0.4)
    ax.clabel(lines, fmt="%.0f", fontsize=8)
    fig.colorbar(filled, ax=ax, label="total delta-v |dv1| + |dv2| (km/s)")
    ax.plot(best[0], best[1], marker="*", markersize=16, color="red", markeredgecolor="black",
            label=f"cheapest: {best[2]:.2f} km/s, depart day {best[0]:.0f}, {best[1]:.0f} days")
    ax.axhline(hohmann_tof, color="red", linestyle=":", linewidth=1,
               label=f"Hohmann: {hohmann_dv:.2f} km/s, {hohmann_tof:.0f} days")
    ax.set_xlabel("departure (days after epoch)")
    ax.set_ylabel("time of flight (days)")
    ax.set_title("Earth to Mars, circular coplanar orbits: porkchop of total delta-v")
    ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(output)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--step-days", type=float, default=5.0, help="grid step in days (default 5)")
    parser.add_argument("--departure-days", type=float, default=780.0, help="span of departure days (default 780)")
    parser.add_argument("--tof-min", type=float, default=100.0, help="shortest time of flight, days (default 100)")
    parser.add_argument("--tof-max", type=float, default=400.0, help="longest time of flight, days (default 400)")
    parser.add_argument("--output", default="porkchop.png", help="PNG file to write (default porkchop.png)")
    args = parser.parse_args(argv)

    departures, tofs, cost = scan(args.step_days, args.departure_days, args.tof_min, args.tof_max)
    best = cheapest(departures, tofs, cost)
    plot(departures, tofs, cost, best, args.output)

    hohmann_dv, hohmann_tof = hohmann()
    print(f"{departures.size} departures x {tofs.size} times of flight, step {args.step_days:g} days")
    print(f"cheapest transfer: {best[2]:.3f} km/s, departure day {best[0]:g}, time of flight {best[1]:g} days")
    print(f"Hohmann transfer:  {hohmann_dv:.3f} km/s, time of flight {hohmann_tof:.1f} days")
    print(f"chart written to {args.output}")
    return best


if __name__ == "__main__":
    main()
