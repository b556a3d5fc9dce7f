"""Transfer optimisers: every reported transfer checked against an independent
propagator (target, RIC waypoint, Sun-line point, heliocentric), the collinear
plane rule, the burn elements, and the multi-start searches."""

import numpy as np
import pytest

import orbelin
from helpers import propagate_state as propagate

MU = 398600.4418
MU_SUN = 1.32712440018e11
AU = 149597870.7
NAN_ROW_FIELDS = ["t0", "tf", "tof", "cost", "dv1", "dv2", "sma", "ecc", "inc", "raan", "argp", "ta_depart",
                  "ta_arrive", "rp", "ra"]


# ---------------------------------------------------------------------------
# Independent physics: two-body motion from helpers.propagate; orbital elements
# by the textbook vector formulas.
# ---------------------------------------------------------------------------

def elements(r, v, mu=MU):
    """sma (km), ecc, true anomaly (deg, [0, 360))."""
    rn = np.linalg.norm(r)
    e_vec = ((v @ v - mu / rn) * r - (r @ v) * v) / mu
    h = np.cross(r, v)
    ta = np.degrees(np.arctan2(np.cross(e_vec, r) @ h / np.linalg.norm(h), e_vec @ r)) % 360.0
    return 1.0 / (2.0 / rn - v @ v / mu), np.linalg.norm(e_vec), ta


def angle_diff(a, b):
    return abs((a - b + 180.0) % 360.0 - 180.0)


def circular(radius, phase_deg, mu=MU, inc_deg=0.0):
    a, i = np.radians(phase_deg), np.radians(inc_deg)
    speed = np.sqrt(mu / radius)
    pos = radius * np.array([np.cos(a), np.sin(a) * np.cos(i), np.sin(a) * np.sin(i)])
    vel = speed * np.array([-np.sin(a), np.cos(a) * np.cos(i), np.cos(a) * np.sin(i)])
    return np.concatenate([pos, vel])


def hohmann(r1, r2, mu=MU):
    a = 0.5 * (r1 + r2)
    dv1 = np.sqrt(mu * (2 / r1 - 1 / a)) - np.sqrt(mu / r1)
    dv2 = np.sqrt(mu / r2) - np.sqrt(mu * (2 / r2 - 1 / a))
    return abs(dv1), abs(dv2), np.pi * np.sqrt(a**3 / mu)


def transfer_angle(r1, r2, v1):
    """Angle (deg) swept from r1 to r2 in the direction of motion of v1."""
    h = np.cross(r1, v1)
    return np.degrees(np.arctan2(np.cross(r1, r2) @ h / np.linalg.norm(h), r1 @ r2)) % 360.0


@pytest.mark.parametrize("ecc", [0.0, 0.6, 1.5])
def test_independent_propagator_against_conics(ecc):
    # Over a quarter and 2.3 periods of a circle, and by the time of flight from periapsis to a true anomaly of
    # 100 degrees (Kepler's equation), for the Earth's mu and the Sun's.
    for mu, rp in [(MU, 7000.0), (MU_SUN, AU)]:
        p = rp * (1 + ecc)
        start = np.array([rp, 0.0, 0.0, 0.0, np.sqrt(mu / p) * (1 + ecc), 0.0])
        nu = np.radians(100.0)
        if ecc < 1:
            a = rp / (1 - ecc)
            e_anom = 2 * np.arctan(np.sqrt((1 - ecc) / (1 + ecc)) * np.tan(nu / 2))
            dt = (e_anom - ecc * np.sin(e_anom)) * np.sqrt(a**3 / mu)
        else:
            a = rp / (ecc - 1)
            h_anom = 2 * np.arctanh(np.sqrt((ecc - 1) / (ecc + 1)) * np.tan(nu / 2))
            dt = (ecc * np.sinh(h_anom) - h_anom) * np.sqrt(a**3 / mu)
        r = p / (1 + ecc * np.cos(nu))
        expected = [r * np.cos(nu), r * np.sin(nu), 0.0, -np.sqrt(mu / p) * np.sin(nu),
                    np.sqrt(mu / p) * (ecc + np.cos(nu)), 0.0]
        np.testing.assert_allclose(propagate(start, dt, mu), expected, rtol=0, atol=1e-10 * r)
        np.testing.assert_allclose(propagate(propagate(start, dt, mu), -dt, mu), start, rtol=0, atol=1e-10 * r)
        if ecc == 0:
            period = 2 * np.pi * np.sqrt(rp**3 / mu)
            np.testing.assert_allclose(propagate(start, 2.25 * period, mu), circular(rp, 90.0, mu), rtol=0,
                                       atol=1e-9 * rp)


def check_burns(burns, source, target, mu=MU, aim=None, rtol=1e-8):
    """Every row: the source at t0 plus dv1, carried over tof, arrives at the aimed
    point (default: the target at tf); with dv2 the arrival velocity plus dv2 is
    the aimed velocity; the cost is the impulse total. Returns the departure
    and arrival states of the arcs."""
    arcs = []
    for i in range(burns.t0.shape[0]):
        t0, tf, dv1, dv2 = burns.t0[i], burns.tf[i], burns.dv1[i], burns.dv2[i]
        assert burns.tof[i] == tf - t0 and t0 < tf
        depart = propagate(source, t0, mu)
        depart[3:] += dv1
        arrive = propagate(depart, tf - t0, mu)
        target_tf = propagate(target, tf, mu)
        aimed = target_tf if aim is None else aim(target_tf, tf)
        scale = np.linalg.norm(aimed[:3])
        assert np.linalg.norm(arrive[:3] - aimed[:3]) < rtol * scale, (i, arrive[:3], aimed[:3])
        if np.isnan(dv2).any():
            assert np.isnan(dv2).all()
            assert burns.cost[i] == pytest.approx(np.linalg.norm(dv1), rel=1e-12)
        else:
            speed = np.linalg.norm(aimed[3:])
            assert np.linalg.norm(arrive[3:] + dv2 - aimed[3:]) < 100 * rtol * speed
            assert burns.cost[i] == pytest.approx(np.linalg.norm(dv1) + np.linalg.norm(dv2), rel=1e-12)
        arcs.append((depart, arrive))
    return arcs


# ---------------------------------------------------------------------------
# Reported transfers reach their aim
# ---------------------------------------------------------------------------

LEO_SOURCE = circular(7000.0, 0.0)
LEO_TARGET = circular(7300.0, 100.0)
LEO_INCLINED = circular(7600.0, 30.0, inc_deg=12.0)


@pytest.mark.parametrize("rendezvous", [True, False])
@pytest.mark.parametrize("target", [LEO_TARGET, LEO_INCLINED], ids=["coplanar", "inclined"])
def test_multi_start_transfers_reach_the_target(target, rendezvous):
    burns = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, target, (0.0, 12000.0), 1, rendezvous, 12, False)
    assert burns.t0.shape[0] >= 2
    assert np.all(np.diff(burns.cost) >= 0)
    check_burns(burns, LEO_SOURCE, target)


def test_coplanar_search_beyond_half_a_revolution_reaches_the_target():
    # Departure and arrival positions in one plane, more than 180 degrees apart
    # along the motion: the plane comes from r1 x r2 (which points against the
    # motion), not from the departure momentum, in the search and in the result.
    burns = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, (0.0, 12000.0), 0, True, 20, False)
    arcs = check_burns(burns, LEO_SOURCE, LEO_TARGET)
    angles = [transfer_angle(d[:3], a[:3], d[3:]) for d, a in arcs]
    assert max(angles) > 200.0
    # The cheapest answer is no cheaper than the Hohmann transfer between the orbits.
    assert burns.cost[0] >= sum(hohmann(7000.0, 7300.0)[:2]) * (1 - 1e-9)


def test_single_search_reaches_the_target_and_beats_its_start():
    window = (0.0, 9000.0)
    start = (1000.0, 4000.0)
    burns = orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, window, 0, True, initial_guess=start)
    at_start = orbelin.lambert_grid_search(LEO_SOURCE, LEO_TARGET, start, 3000.0)
    assert at_start.t0.shape == (1,) and burns.t0.shape == (1,)
    assert burns.cost[0] < at_start.cost[0]
    assert window[0] <= burns.t0[0] < burns.tf[0] <= window[1]
    check_burns(burns, LEO_SOURCE, LEO_TARGET)


WAYPOINTS = {
    "3": np.array([-2.0, 60.0, 1.5]),
    "6": np.array([-2.0, 60.0, 1.5, 0.002, -0.001, 0.0005]),
}


def waypoint_aim(waypoint):
    return lambda target_tf, tf: orbelin.apply_ric_waypoint_offset(target_tf, waypoint)


@pytest.mark.parametrize("rendezvous", [True, False])
@pytest.mark.parametrize("kind", WAYPOINTS)
def test_waypoint_transfers_reach_the_waypoint(kind, rendezvous):
    w = WAYPOINTS[kind]
    multi = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_INCLINED, (0.0, 10000.0), 0, rendezvous, 6, False,
                                                 ric_waypoint=w)
    single = orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_INCLINED, (0.0, 10000.0), 0, rendezvous, ric_waypoint=w)
    for burns in (multi, single):
        assert burns.t0.shape[0] >= 1
        arcs = check_burns(burns, LEO_SOURCE, LEO_INCLINED, aim=waypoint_aim(w))
        check_burn_elements(burns, arcs)


def check_burn_elements(burns, arcs, mu=MU):
    """The elements describe the arc from the departure state to the point the
    transfer actually arrives at."""
    for i, (depart, arrive) in enumerate(arcs):
        sma, ecc, ta1 = elements(depart[:3], depart[3:], mu)
        _, _, ta2 = elements(arrive[:3], arrive[3:], mu)
        assert burns.sma[i] == pytest.approx(sma, rel=1e-9)
        assert burns.ecc[i] == pytest.approx(ecc, rel=1e-7, abs=1e-10)
        assert angle_diff(burns.ta_depart[i], ta1) < 1e-6
        assert angle_diff(burns.ta_arrive[i], ta2) < 1e-6
        assert burns.rp[i] == pytest.approx(sma * (1 - ecc), rel=1e-8)


T0_REF = 1.7e9  # POSIX seconds of the epoch


def sun_line_aim(offset_km):
    def aim(target_tf, tf):
        sun = orbelin.compute_sun_state_posix(np.array([T0_REF + tf]))[0, :3]
        d = sun - target_tf[:3]
        return np.concatenate([target_tf[:3] + offset_km * d / np.linalg.norm(d), target_tf[3:]])
    return aim


@pytest.mark.parametrize("offset_km", [300.0, -150.0])
@pytest.mark.parametrize("rendezvous", [True, False])
def test_sun_line_transfers_reach_the_sun_line_point(offset_km, rendezvous):
    burns = orbelin.optimize_lambert_nm_multi_sunline_py(LEO_SOURCE, LEO_INCLINED, (0.0, 10000.0), 0, rendezvous,
                                                         6, False, offset_km, T0_REF)
    assert burns.t0.shape[0] >= 1
    arcs = check_burns(burns, LEO_SOURCE, LEO_INCLINED, aim=sun_line_aim(offset_km))
    check_burn_elements(burns, arcs)


def test_zero_sun_line_offset_is_the_ordinary_search():
    args = (LEO_SOURCE, LEO_INCLINED, (0.0, 10000.0), 1, True, 6, False)
    sun = orbelin.optimize_lambert_nm_multi_sunline_py(*args, 0.0, T0_REF)
    plain = orbelin.optimize_lambert_nm_multi_py(*args)
    for name in NAN_ROW_FIELDS:
        np.testing.assert_array_equal(getattr(sun, name), getattr(plain, name), err_msg=name)


# ---------------------------------------------------------------------------
# Heliocentric transfers: the caller's mu reaches every propagation
# ---------------------------------------------------------------------------

EARTH = circular(AU, 0.0, MU_SUN)
MARS = circular(1.523679 * AU, 60.0, MU_SUN)
DAY = 86400.0


def test_propagation_takes_the_callers_mu():
    dt = 100 * DAY
    r, v = orbelin.kepler_universal_2body_py(EARTH, dt, mu=MU_SUN)
    np.testing.assert_allclose(np.concatenate([r, v]), propagate(EARTH, dt, MU_SUN), rtol=1e-9)
    np.testing.assert_allclose(r, circular(AU, np.degrees(dt * np.sqrt(MU_SUN / AU**3)), MU_SUN)[:3], rtol=1e-10)


def test_heliocentric_multi_start_reaches_mars():
    burns = orbelin.optimize_lambert_nm_multi_py(EARTH, MARS, (0.0, 500 * DAY), 0, True, 10, True, mu=MU_SUN)
    assert burns.t0.shape == (1,)
    arcs = check_burns(burns, EARTH, MARS, mu=MU_SUN)
    check_burn_elements(burns, arcs, mu=MU_SUN)
    dv1, dv2, tof = hohmann(AU, 1.523679 * AU, MU_SUN)
    # Near the Hohmann transfer (5.59 km/s), never below it.
    assert dv1 + dv2 <= burns.cost[0] < 1.05 * (dv1 + dv2)
    assert burns.tof[0] == pytest.approx(tof, rel=0.1)


def test_heliocentric_grid_scans_reach_mars():
    window, step = (0.0, 400 * DAY), 50 * DAY
    grid = orbelin.lambert_grid_search(EARTH, MARS, window, step, mu=MU_SUN)
    assert grid.t0.shape == (36,)
    check_burns(grid, EARTH, MARS, mu=MU_SUN)
    cells = orbelin.optimize_lambert_transfer_grid_py(EARTH, MARS, window, step, mu=MU_SUN)
    check_burns(cells, EARTH, MARS, mu=MU_SUN)
    best = orbelin.optimize_lambert_transfer_py(EARTH, MARS, window, step, mu=MU_SUN)
    check_burns(best, EARTH, MARS, mu=MU_SUN)
    # Every cell is feasible and prograde arcs are the cheaper ones here, so the
    # scan picks the cell of the smallest departure impulse (the last of equals).
    assert cells.t0.shape == (36,)
    last_min = np.flatnonzero(cells.cost == cells.cost.min())[-1]
    assert (best.t0[0], best.tf[0]) == (cells.t0[last_min], cells.tf[last_min])
    assert best.cost[0] == cells.cost[last_min]


# ---------------------------------------------------------------------------
# Collinear positions: the departure plane, by the solver's relative test
# ---------------------------------------------------------------------------

H_DV1, H_DV2, H_TOF = hohmann(7000.0, 14000.0)


@pytest.mark.parametrize("off", [0.0, 1e-14, -1e-14])
def test_half_revolution_transfer_is_the_hohmann(off):
    s1 = circular(7000.0, 0.0)
    s2 = circular(14000.0, 180.0 + np.degrees(off))
    s2[:3] = 14000.0 * np.array([-np.cos(off), -np.sin(off), 0.0])
    assert H_DV1 + H_DV2 == pytest.approx(2.147, abs=1e-3)
    dv1m, dv2m, total, _, _ = orbelin.lambert_izzo_vec_dv(s1, s2, H_TOF, 0, False)
    assert dv1m[0] == pytest.approx(H_DV1, rel=1e-6) and dv2m[0] == pytest.approx(H_DV2, rel=1e-6)
    best = orbelin.lambert_izzo_best_dv(s1, s2, H_TOF, 0)
    assert best[2] == pytest.approx(H_DV1 + H_DV2, rel=1e-6)


def test_optimisers_evaluate_the_half_revolution_in_the_departure_plane():
    # The target is placed so that it sits opposite the source after exactly
    # the Hohmann time: the only grid cell is the Hohmann transfer.
    n2 = np.sqrt(MU / 14000.0**3)
    target = circular(14000.0, 180.0 - np.degrees(n2 * H_TOF))
    window = (0.0, H_TOF)
    grid = orbelin.lambert_grid_search(LEO_SOURCE, target, window, H_TOF)
    assert grid.t0.shape == (1,)
    assert grid.cost[0] == pytest.approx(H_DV1 + H_DV2, rel=1e-6)
    scan = orbelin.optimize_lambert_transfer_py(LEO_SOURCE, target, window, H_TOF)
    assert scan.cost[0] == pytest.approx(H_DV1, rel=1e-6)
    nm = orbelin.optimize_lambert_nm_py(LEO_SOURCE, target, window, 0, True, max_iters=0, initial_guess=window)
    assert (nm.t0[0], nm.tf[0]) == window
    assert nm.cost[0] == pytest.approx(H_DV1 + H_DV2, rel=1e-6)
    for burns in (grid, scan, nm):
        check_burns(burns, LEO_SOURCE, target)


# ---------------------------------------------------------------------------
# Multi-start: the starts, their order, duplicates and the best
# ---------------------------------------------------------------------------

def starts_of(n, lo, hi):
    """Start pairs on a regular grid of max(ceil(sqrt(2n)), 2) values."""
    if n == 0:
        return []
    g = max(int(np.ceil(np.sqrt(2 * n))), 2)
    x = [(k * (hi - lo)) / (g - 1) + lo for k in range(g)]
    pairs = [(x[i], x[j]) for i in range(g) for j in range(i + 1, g)]
    if len(pairs) <= n:
        return pairs
    step = len(pairs) / n
    return [pairs[min(int(k * step), len(pairs) - 1)] for k in range(n)]


def test_start_examples():
    assert starts_of(1, 0, 100) == starts_of(2, 0, 100) == [(0, 100)]
    assert starts_of(3, 0, 100) == starts_of(4, 0, 100) == [(0, 50), (0, 100), (50, 100)]
    assert starts_of(5, 0, 9) == [(0, 3), (0, 6), (0, 9), (3, 6), (3, 9)]
    assert len(starts_of(10, 0, 100)) == 10


def cost_at(t0, tf, rendezvous=True):
    """The full evaluation of one (t0, tf): a grid of exactly one cell."""
    one = orbelin.lambert_grid_search(LEO_SOURCE, LEO_TARGET, (t0, tf), tf - t0, rendezvous=rendezvous)
    assert (one.t0[0], one.tf[0]) == (t0, tf)
    return one.cost[0]


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 10])
def test_zero_iteration_searches_in_start_order(n):
    # Without iterations each search answers with the best vertex of its first
    # simplex: the start, t0 a tenth of the window later, tf a tenth later (at most hi).
    lo, hi = 0.0, 9000.0
    expected = []
    for t0, tf in starts_of(n, lo, hi):
        vertices = [(t0, tf), (min(t0 + 900.0, hi), tf), (t0, min(tf + 900.0, hi))]
        costs = [cost_at(*v) for v in vertices]
        expected.append((*vertices[int(np.argmin(costs))], min(costs)))
    burns = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, (lo, hi), 0, True, n, False,
                                                 remove_duplicates=False, max_iters=0)
    got = list(zip(burns.t0, burns.tf, burns.cost))
    assert got == expected
    best = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, (lo, hi), 0, True, n, True,
                                                remove_duplicates=False, max_iters=0)
    first_min = expected[int(np.argmin([e[2] for e in expected]))]
    assert list(zip(best.t0, best.tf, best.cost)) == [first_min]
    # No two of these answers are within 0.1 % of the window: removing duplicates only sorts them.
    ranked = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, (lo, hi), 0, True, n, False, max_iters=0)
    assert list(zip(ranked.t0, ranked.tf, ranked.cost)) == sorted(expected, key=lambda e: e[2])


def test_remove_duplicates_sorts_and_separates():
    window = (0.0, 12000.0)
    raw = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, window, 0, True, 15, False,
                                               remove_duplicates=False)
    kept = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, window, 0, True, 15, False)
    tol = 0.001 * (window[1] - window[0])
    assert np.all(np.diff(kept.cost) >= 0)
    rows = list(zip(kept.t0, kept.tf))
    for i in range(len(rows)):
        for j in range(i):
            assert abs(rows[i][0] - rows[j][0]) >= tol or abs(rows[i][1] - rows[j][1]) >= tol
    # Every raw answer is kept or lies within the tolerance of a cheaper kept one.
    raw_rows = list(zip(raw.t0, raw.tf, raw.cost))
    assert set(zip(kept.t0, kept.tf, kept.cost)) <= set(raw_rows)
    for t0, tf, cost in raw_rows:
        assert any(abs(t0 - a) < tol and abs(tf - b) < tol and c <= cost for a, b, c in zip(kept.t0, kept.tf,
                                                                                             kept.cost))
    assert raw.t0.shape[0] > kept.t0.shape[0]


def test_no_starts_and_no_feasible_window_give_no_rows():
    assert orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, (0.0, 5000.0), 0, True, 0, False).t0.shape \
        == (0,)
    for best_only in (False, True):
        for window in [(100.0, 100.0), (5000.0, 0.0), (np.nan, np.nan)]:  # every start costs the penalty
            empty = orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, window, 0, True, 8, best_only)
            assert empty.t0.shape == (0,) and empty.dv1.shape == (0, 3)


@pytest.mark.parametrize("call", [
    lambda: orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, (100.0, 100.0), 0, True),
    lambda: orbelin.optimize_lambert_nm_py(LEO_SOURCE, np.full(6, np.nan), (0.0, 5000.0), 0, False),
    lambda: orbelin.optimize_lambert_transfer_py(LEO_SOURCE, np.full(6, np.nan), (0.0, 5000.0), 1000.0),
    lambda: orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, (0.0, 5000.0), 0, True,
                                           initial_guess=(np.nan, np.nan)),
], ids=["empty-window", "nan-target-nm", "nan-target-scan", "nan-start"])
def test_nothing_found_gives_one_nan_row(call):
    burns = call()
    # Every column, the angles included (their formulas would otherwise substitute 0 for undefined angles).
    for name in NAN_ROW_FIELDS:
        value = getattr(burns, name)
        assert value.shape == ((1, 3) if name in ("dv1", "dv2") else (1,)), name
        assert np.all(np.isnan(value)), name


def test_start_at_the_window_end_varies_only_the_departure():
    # The third vertex of a start with tf = hi is clipped to hi, i.e. the start itself: every point of
    # the simplex, and so the answer, keeps tf = hi exactly.
    burns = orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, (0.0, 9000.0), 0, True, max_iters=30,
                                           initial_guess=(1000.0, 9000.0))
    assert burns.tf[0] == 9000.0 and burns.t0[0] != 1000.0
    check_burns(burns, LEO_SOURCE, LEO_TARGET)


def test_start_outside_the_window_can_still_reach_it():
    # The start costs the penalty; its second vertex (t0 + 900 s) lies inside the window.
    burns = orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, (0.0, 9000.0), 0, True,
                                           initial_guess=(-500.0, 3000.0))
    assert 0.0 <= burns.t0[0] < burns.tf[0] <= 9000.0
    check_burns(burns, LEO_SOURCE, LEO_TARGET)


def test_none_is_the_same_as_omitting():
    args = (LEO_SOURCE, LEO_TARGET, (0.0, 9000.0), 0, True)
    plain = orbelin.optimize_lambert_nm_py(*args)
    explicit = orbelin.optimize_lambert_nm_py(*args, max_iters=None, initial_guess=None, ric_waypoint=None)
    fifty = orbelin.optimize_lambert_nm_py(*args, max_iters=50, initial_guess=(4500.0, 6750.0))
    for name in NAN_ROW_FIELDS:
        np.testing.assert_array_equal(getattr(explicit, name), getattr(plain, name))
        np.testing.assert_array_equal(getattr(fifty, name), getattr(plain, name))
