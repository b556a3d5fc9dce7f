"""
Porkchop chart of the 2020 Earth-to-Mars opportunity, saved as a PNG
====================================================================

Earth's and Mars's heliocentric states come from pyerfa (the IAU SOFA
routines: epv00 for the Earth, plan94 for Mars; J2000 equatorial, no
download), converted to km and km/s, for every departure day from June to
September 2020 and every arrival day from December 2020 to December 2021.
One call of orbelin.lambert_porkchop solves the whole departure x arrival
grid about the Sun, keeping in each cell the arc of least departure
impulse. The chart shows contours of the launch energy C3 (v_inf squared) at
Earth (km^2/s^2) and of the hyperbolic excess speed at Mars (km/s) against
calendar dates, with the cheapest cells marked.

Usage::

    python examples/porkchop.py                  # writes porkchop.png
    python examples/porkchop.py --step-days 0.5 --output fine.png

It needs pyerfa and matplotlib, which orbelin's porkchop extra names; from
the repository root::

    python -m pip install ".[porkchop]"    # or: python -m pip install pyerfa matplotlib
"""

import argparse
import datetime
import sys

import numpy as np

import orbelin

MU_SUN = 1.32712440018e11  # km^3/s^2
AU = 149597870.7  # km
DAY = 86400.0  # s
J2000 = 2451545.0  # Julian date of the epoch the times count from

DEPARTURES = ("2020-06-01", "2020-09-30")
ARRIVALS = ("2020-12-01", "2021-12-31")

INSTALL_HINT = (
    "This example reads planetary states with pyerfa and draws with matplotlib, which orbelin does not\n"
    "install by itself. Install both with:\n"
    "    python -m pip install pyerfa matplotlib\n"
    "or, from the root of orbelin's repository, with its porkchop extra:\n"
    '    python -m pip install ".[porkchop]"'
)


def julian_date(iso):
    """Julian date (TDB, taken equal to the calendar date at 0h) of an ISO date such as '2020-07-19'."""
    day = datetime.date.fromisoformat(iso)
    return J2000 + (day - datetime.date(2000, 1, 1)).days - 0.5


def calendar_date(jd):
    return datetime.date(2000, 1, 1) + datetime.timedelta(days=float(jd - J2000 + 0.5))


def planet_states(body, jd):
    """Heliocentric states (km, km/s; J2000 equatorial) of 'earth' or 'mars' at the Julian dates jd, shape (n, 6)."""
    import erfa

    jd = np.asarray(jd, dtype=float)
    if body == "earth":
        pv, _ = erfa.epv00(jd, 0.0)
    elif body == "mars":
        pv = erfa.plan94(jd, 0.0, 4)
    else:
        raise ValueError(f"no ephemeris for {body!r}")
    return np.concatenate([pv["p"] * AU, pv["v"] * (AU / DAY)], axis=-1)


def porkchop(departures, arrivals, step_days=1.0, rendezvous=False):
    """(departure Julian dates, arrival Julian dates, LambertPorkchopArray) of Earth to Mars on a daily grid."""
    jd_dep = np.arange(julian_date(departures[0]), julian_date(departures[1]) + step_days / 2, step_days)
    jd_arr = np.arange(julian_date(arrivals[0]), julian_date(arrivals[1]) + step_days / 2, step_days)
    cells = orbelin.lambert_porkchop(planet_states("earth", jd_dep), planet_states("mars", jd_arr),
                                     (jd_dep - J2000) * DAY, (jd_arr - J2000) * DAY, mu=MU_SUN,
                                     rendezvous=rendezvous)
    return jd_dep, jd_arr, cells


def plot(jd_dep, jd_arr, cells, output):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.dates as mdates
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit(INSTALL_HINT)

    dep = [calendar_date(j) for j in jd_dep]
    arr = [calendar_date(j) for j in jd_arr]
    c3 = cells.c3.T  # arrival dates down the rows, departure dates along the columns
    v_inf = cells.dv2_mag.T
    i, j = cells.best_index
    k = np.unravel_index(np.nanargmin(cells.dv2_mag), cells.dv2_mag.shape)

    fig, ax = plt.subplots(figsize=(9, 7), dpi=110)
    c3_levels = [8, 10, 12, 13, 14, 15, 16, 18, 20, 25, 30, 40, 50]
    cmap = plt.get_cmap("viridis").with_extremes(over="0.88")  # light grey: C3 above the last contour
    filled = ax.contourf(dep, arr, c3, levels=c3_levels, cmap=cmap, extend="max")
    lines = ax.contour(dep, arr, c3, levels=c3_levels, colors="black", linewidths=0.5)
    ax.clabel(lines, fmt="%g", fontsize=7)
    fig.colorbar(filled, ax=ax, spacing="proportional", label="launch energy C3 at Earth (km$^2$/s$^2$)")
    vinf = ax.contour(dep, arr, v_inf, levels=[2.5, 3, 4, 6], colors="tab:red", linewidths=0.9,
                      linestyles="--")
    ax.clabel(vinf, fmt="%g km/s", fontsize=7)
    ax.plot(dep[i], arr[j], marker="*", markersize=16, color="white", markeredgecolor="black", linestyle="none",
            label=f"least C3: {cells.c3[i, j]:.2f} km$^2$/s$^2$, {dep[i]} to {arr[j]}")
    ax.plot(dep[k[0]], arr[k[1]], marker="o", markersize=9, color="tab:red", markeredgecolor="black",
            linestyle="none",
            label=f"least arrival v$_\\infty$: {cells.dv2_mag[k]:.2f} km/s, {dep[k[0]]} to {arr[k[1]]}")
    ax.plot([], [], color="tab:red", linestyle="--", label="arrival v$_\\infty$ at Mars (km/s)")
    ax.xaxis.set_major_locator(mdates.MonthLocator())
    ax.yaxis.set_major_locator(mdates.MonthLocator(interval=2))
    ax.xaxis.set_major_formatter(mdates.DateFormatter("%Y-%m-%d"))
    ax.yaxis.set_major_formatter(mdates.DateFormatter("%Y-%m-%d"))
    ax.set_xlabel("Earth departure date")
    ax.set_ylabel("Mars arrival date")
    ax.set_title("Earth to Mars, 2020 opportunity (pyerfa ephemeris, one lambert_porkchop call)")
    ax.legend(loc="upper left", fontsize=8, framealpha=0.9)
    ax.grid(color="white", alpha=0.3, linewidth=0.5)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(output)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.strip().split("\n")[0])
    parser.add_argument("--step-days", type=float, default=1.0, help="grid step in days (default 1)")
    parser.add_argument("--output", default="porkchop.png", help="PNG file to write (default porkchop.png)")
    args = parser.parse_args(argv)

    try:
        import erfa  # noqa: F401
    except ImportError:
        sys.exit(INSTALL_HINT)
    jd_dep, jd_arr, cells = porkchop(DEPARTURES, ARRIVALS, args.step_days)
    plot(jd_dep, jd_arr, cells, args.output)

    i, j = cells.best_index
    best = (calendar_date(jd_dep[i]), calendar_date(jd_arr[j]), float(cells.c3[i, j]))
    print(f"{jd_dep.size} departure dates x {jd_arr.size} arrival dates, step {args.step_days:g} days")
    print(f"least C3: {best[2]:.3f} km^2/s^2, departing {best[0]}, arriving {best[1]} "
          f"({cells.tof[i, j] / DAY:.0f} days), arrival v_inf {cells.dv2_mag[i, j]:.3f} km/s")
    print(f"chart written to {args.output}")
    return best


if __name__ == "__main__":
    main()
