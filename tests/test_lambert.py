"""lambert_izzo_single, lambert_izzo_vec and LambertSolutionArray: published
examples, two-body physics of every returned arc, record order, shapes,
padding, argument and shape messages, the result class."""

import inspect
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import orbelin
from helpers import min_energy_period, panic_text, plane_directions, propagate, random_pairs

MU = 398600.4418
R_EARTH = 6378.137

FIELDS = ["v1", "v2", "tof", "num_revs", "path_flag", "retrograde", "sma", "ecc", "inc", "raan", "argp",
          "ta_depart", "ta_arrive", "rp", "ra"]
VECTOR_FIELDS = {"v1", "v2"}


# The independent two-body propagator (helpers.propagate) these tests judge arcs by.

def rel_err(a, b):
    return np.linalg.norm(a - b, axis=-1) / np.linalg.norm(b, axis=-1)


def test_independent_propagator_closes_a_circular_orbit():
    # The helper itself: one period of a circular orbit returns to the start,
    # a quarter period turns the state by 90 degrees.
    r = 7000.0
    v = np.sqrt(MU / r)
    period = 2 * np.pi * np.sqrt(r**3 / MU)
    r0 = np.array([[r, 0.0, 0.0]] * 2)
    v0 = np.array([[0.0, v, 0.0]] * 2)
    rf, vf = propagate(r0, v0, np.array([period, period / 4]))
    np.testing.assert_allclose(rf[0], [r, 0, 0], atol=1e-8)
    np.testing.assert_allclose(rf[1], [0, r, 0], atol=1e-8)
    np.testing.assert_allclose(vf[1], [-v, 0, 0], atol=1e-11)


# ---------------------------------------------------------------------------
# Published examples
# ---------------------------------------------------------------------------

CURTIS_R1 = np.array([5000.0, 10000.0, 2100.0])
CURTIS_R2 = np.array([-14600.0, 2500.0, 7000.0])
VALLADO_R1 = np.array([15945.34, 0.0, 0.0])
VALLADO_R2 = np.array([12214.83899, 10249.46731, 0.0])


def solve_both_ways(r1, r2, tof, max_rev, mu):
    """The same problem through the single and the vectorized function, as row 0 of each."""
    single = orbelin.lambert_izzo_single(r1, r2, tof, max_rev, False, mu=mu)
    vec = orbelin.lambert_izzo_vec(r1, r2, tof, max_rev, False, mu=mu)
    return [single, vec]


@pytest.mark.parametrize("which", [0, 1], ids=["single", "vec"])
def test_curtis_example_5_2(which):
    # Curtis, Orbital Mechanics for Engineering Students, Example 5.2 (mu = 398600).
    s = solve_both_ways(CURTIS_R1, CURTIS_R2, 3600.0, 0, 398600.0)[which]
    assert s.v1.shape == (1, 3)
    v1, v2 = s.v1[0], s.v2[0]
    np.testing.assert_allclose(v1, [-5.9925, 1.9254, 3.2456], rtol=0, atol=0.5e-4)
    np.testing.assert_allclose(v2[:2], [-3.3125, -4.1966], rtol=0, atol=0.5e-4)
    assert abs(v2[2] - -0.38529) <= 0.5e-5
    # The transfer orbit as printed: h = 80470 km^2/s, e = 0.4335, i = 30.19 deg,
    # raan = 44.60 deg, argp = 30.71 deg, theta1 = 350.8 deg, a = 20000 km.
    h = np.linalg.norm(np.cross(CURTIS_R1, v1))
    assert abs(h - 80470.0) <= 5.0
    assert abs(s.ecc[0] - 0.4335) <= 0.5e-4
    assert abs(s.inc[0] - 30.19) <= 0.5e-2
    assert abs(s.raan[0] - 44.60) <= 0.5e-2
    assert abs(s.argp[0] - 30.71) <= 0.5e-2
    assert abs(s.ta_depart[0] - 350.8) <= 0.5e-1
    assert abs(s.sma[0] - 20000.0) <= 5.0
    # Perigee radius. The printed h and e give h^2/mu/(1 + e) = 11330 km to
    # four digits, as does a(1 - e) from the printed a and e; the value
    # printed beside them (10250 km) follows from neither, so the check is the
    # one the printed orbit implies.
    assert abs(s.rp[0] - 80470.0**2 / 398600.0 / 1.4335) <= 5.0
    assert abs(s.rp[0] - s.sma[0] * (1 - s.ecc[0])) <= 1e-9 * s.sma[0]
    assert abs(s.ra[0] - s.sma[0] * (1 + s.ecc[0])) <= 1e-9 * s.sma[0]
    assert s.tof[0] == 3600.0 and s.num_revs[0] == 0 and s.path_flag[0] == 0 and not s.retrograde[0]


@pytest.mark.parametrize("which", [0, 1], ids=["single", "vec"])
def test_vallado_lambert_example(which):
    # Vallado, Fundamentals of Astrodynamics and Applications, Lambert example
    # (76 min). His printed digits come from an iteration stopped early: no mu
    # reproduces them to half a unit; 398600.4418 comes closest (0.75e-6 km/s
    # at worst), so the check is one unit of the last printed digit.
    s = solve_both_ways(VALLADO_R1, VALLADO_R2, 76 * 60.0, 0, 398600.4418)[which]
    np.testing.assert_allclose(s.v1[0], [2.058913, 2.915965, 0.0], rtol=0, atol=1e-6)
    np.testing.assert_allclose(s.v2[0], [-3.451565, 0.910315, 0.0], rtol=0, atol=1e-6)
    assert s.v1[0, 2] == 0.0 and s.v2[0, 2] == 0.0


def test_default_mu_is_the_earths():
    a = orbelin.lambert_izzo_vec(VALLADO_R1, VALLADO_R2, 4560.0, 0, False)
    b = orbelin.lambert_izzo_vec(VALLADO_R1, VALLADO_R2, 4560.0, 0, False, mu=398600.4418)
    c = orbelin.lambert_izzo_single(VALLADO_R1, VALLADO_R2, 4560.0, 0, False)
    np.testing.assert_array_equal(a.v1, b.v1)
    np.testing.assert_array_equal(a.v1, c.v1)


# ---------------------------------------------------------------------------
# Physics of every arc of a random batch
# ---------------------------------------------------------------------------

RANDOM_TOFS = np.array([1500.0, 5400.0, 14400.0, 43200.0, 90000.0, 200000.0])


@pytest.fixture(scope="module", params=[False, True], ids=["prograde", "retrograde"])
def random_batch(request):
    # 60 position pairs x 6 times of flight = 360 problems in one call.
    r1, r2 = random_pairs(20240611, 60)
    res = orbelin.lambert_izzo_vec(r1, r2, RANDOM_TOFS, 3, request.param)
    return r1, r2, res, request.param


def test_random_batch_shapes(random_batch):
    r1, r2, res, _ = random_batch
    assert res.v1.shape == (60, 6, 7, 3)
    assert res.tof.shape == (60, 6, 7)
    # The batch reaches every revolution count up to the cap.
    assert set(np.unique(res.num_revs[~np.isnan(res.tof)])) == {0, 1, 2, 3}


def test_every_arc_joins_the_positions_in_the_time_of_flight(random_batch):
    r1, r2, res, _ = random_batch
    filled = ~np.isnan(res.tof)
    # Positive times of flight and no re-entry check: every listed arc is finite.
    assert np.all(np.isfinite(res.v1[filled])) and np.all(np.isfinite(res.v2[filled]))
    shape = res.v1.shape
    R1 = np.broadcast_to(r1[:, None, None, :], shape)[filled]
    R2 = np.broadcast_to(r2[:, None, None, :], shape)[filled]
    tof = np.broadcast_to(RANDOM_TOFS[None, :, None], res.tof.shape)[filled]
    np.testing.assert_array_equal(res.tof[filled], tof)
    assert filled.sum() > 700
    rf, vf = propagate(R1, res.v1[filled], tof)
    assert rel_err(rf, R2).max() < 1e-8
    assert rel_err(vf, res.v2[filled]).max() < 1e-8


@pytest.mark.parametrize("tol, maxiter", [(1e-16, 10**9), (1e-128, 2**63)])
@pytest.mark.parametrize("retro", [False, True])
def test_a_tolerance_below_rounding_gives_the_finest_arc(tol, maxiter, retro):
    # float64 cannot resolve x to these tolerances; the iteration stops once its steps no longer shrink and
    # returns the arc of the finest tolerance it can meet. The first pair, a short hop at 2 s, has |x| ~ 650.
    r1, r2 = random_pairs(11, 40)
    r1[0], r2[0] = [7000.0, 0.0, 270.0], [6759.0, 0.0, 500.0]
    tofs = np.r_[2.0, RANDOM_TOFS]
    fine = orbelin.lambert_izzo_vec(r1, r2, tofs, 2, retro, tol=1e-13)
    tiny = orbelin.lambert_izzo_vec(r1, r2, tofs, 2, retro, tol=tol, maxiter=maxiter)
    filled = ~np.isnan(fine.tof)
    for field in ("v1", "v2"):
        assert rel_err(getattr(tiny, field)[filled], getattr(fine, field)[filled]).max() < 1e-12
    # The arcs arrive (the 2 s hops, escapes at thousands of km/s, are beyond the reference propagator).
    filled[:, 0] = False
    R1 = np.broadcast_to(r1[:, None, None, :], tiny.v1.shape)[filled]
    R2 = np.broadcast_to(r2[:, None, None, :], tiny.v1.shape)[filled]
    rf, _ = propagate(R1, tiny.v1[filled], tiny.tof[filled])
    assert rel_err(rf, R2).max() < 1e-8


def test_revolution_count_matches_the_period(random_batch):
    # An arc with M complete revolutions takes more than M and less than M + 1
    # periods of its own orbit.
    r1, r2, res, _ = random_batch
    filled = ~np.isnan(res.tof)
    v1 = res.v1[filled]
    R1 = np.broadcast_to(r1[:, None, None, :], res.v1.shape)[filled]
    energy = np.einsum("ij,ij->i", v1, v1) / 2 - MU / np.linalg.norm(R1, axis=1)
    m = res.num_revs[filled].astype(float)
    multi = m > 0
    assert np.all(energy[multi] < 0)
    ell = energy < 0
    a = -MU / (2 * energy[ell])
    periods = res.tof[filled][ell] / (2 * np.pi * np.sqrt(a**3 / MU))
    assert np.all(periods > m[ell]) and np.all(periods < m[ell] + 1)
    # The element routine agrees with the energy.
    np.testing.assert_allclose(res.sma[filled][ell], a, rtol=1e-9)


def test_direction_of_motion(random_batch):
    # Prograde arcs turn counter-clockwise about +z, retrograde ones clockwise;
    # every filled slot carries the flag.
    r1, r2, res, retro = random_batch
    filled = ~np.isnan(res.tof)
    R1 = np.broadcast_to(r1[:, None, None, :], res.v1.shape)[filled]
    hz = np.cross(R1, res.v1[filled])[:, 2]
    assert np.all(hz < 0) if retro else np.all(hz > 0)
    assert np.all(res.retrograde[filled] == retro)
    assert not np.any(res.retrograde[~filled])
    assert np.all(res.inc[filled] > 90) if retro else np.all(res.inc[filled] < 90)


def test_record_order_and_family_count(random_batch):
    r1, r2, res, _ = random_batch
    counts = (~np.isnan(res.tof)).sum(axis=-1)
    for i in range(res.tof.shape[0]):
        for k in range(res.tof.shape[1]):
            n = counts[i, k]
            assert n % 2 == 1
            j = np.arange(n)
            np.testing.assert_array_equal(res.num_revs[i, k, :n], (j + 1) // 2)
            np.testing.assert_array_equal(res.path_flag[i, k, :n], j % 2)
            # Slots after the case's own solutions are never filled.
            assert np.all(np.isnan(res.tof[i, k, n:]))
    # A family is never missed: M + 1 revolutions always fit when the time of
    # flight exceeds M + 2 periods of the minimum-energy ellipse, and never
    # fit when it is shorter than M + 1 of them.
    m = (counts - 1) // 2
    pm = min_energy_period(r1, r2)[:, None]
    t = RANDOM_TOFS[None, :]
    assert np.all((m == 3) | (t < (m + 2) * pm))
    assert np.all(t > m * pm)


# ---------------------------------------------------------------------------
# Records: order, the cap by the time of flight, tof <= 0, mu <= 0
# ---------------------------------------------------------------------------

LEO1 = np.array([7000.0, 0.0, 0.0])
LEO2 = np.array([0.0, 8000.0, 100.0])


def long_case_tof(max_revs):
    """A time of flight of max_revs + 0.6 minimum-energy periods: families up to
    max_revs exist (their minimum time is below (M + 1/2) such periods), the
    next one cannot (it needs more than max_revs + 1 periods)."""
    return (max_revs + 0.6) * float(min_energy_period(LEO1, LEO2))


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_record_order_two_revolutions(fn):
    s = fn(LEO1, LEO2, long_case_tof(2), 2, False)
    assert list(zip(s.num_revs.tolist(), s.path_flag.tolist())) == [(0, 0), (1, 1), (1, 0), (2, 1), (2, 0)]
    assert np.all(np.isfinite(s.v1))


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
@pytest.mark.parametrize("feasible", [0, 1, 2, 3])
def test_max_rev_is_capped_by_the_time_of_flight(fn, feasible):
    s = fn(LEO1, LEO2, long_case_tof(feasible), 5, False)
    assert s.tof.shape == (2 * feasible + 1,)
    assert s.num_revs.max() == feasible
    assert np.all(np.isfinite(s.v1))
    rf, vf = propagate(np.broadcast_to(LEO1, s.v1.shape), s.v1, s.tof)
    assert rel_err(rf, np.broadcast_to(LEO2, rf.shape)).max() < 1e-8


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_max_rev_zero_gives_the_direct_arc(fn):
    s = fn(LEO1, LEO2, long_case_tof(3), 0, False)
    assert s.tof.shape == (1,) and s.num_revs[0] == 0 and s.path_flag[0] == 0


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
@pytest.mark.parametrize("tof", [0.0, -0.0, -60.0, -1e9])
@pytest.mark.parametrize("retro", [False, True])
def test_non_positive_tof_gives_one_nan_record(fn, tof, retro):
    s = fn(LEO1, LEO2, tof, 3, retro)
    assert s.tof.shape == (1,)
    assert np.all(np.isnan(s.v1)) and np.all(np.isnan(s.v2))
    assert s.tof[0] == tof and s.num_revs[0] == 0 and s.path_flag[0] == 0 and s.retrograde[0] == retro
    for name in ["sma", "ecc", "inc", "raan", "rp", "ra"]:
        assert np.isnan(getattr(s, name)[0]), name
    for name in ["argp", "ta_depart", "ta_arrive"]:
        assert getattr(s, name)[0] == 0.0, name


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
@pytest.mark.parametrize(
    "mu, text",
    [(-1.0, "-1"), (0.0, "0"), (-0.0, "-0"), (-398600.4418, "-398600.4418"), (-1e20, "-100000000000000000000"),
     (-2.5e-7, "-0.00000025")],
)
def test_non_positive_mu_is_an_internal_fault(fn, mu, text):
    msg = panic_text(fn, LEO1, LEO2, 3600.0, 0, False, mu=mu)
    assert msg == "Gravity parameter mu must be positive, got: " + text


def test_non_positive_mu_is_checked_before_the_time_of_flight():
    msg = panic_text(orbelin.lambert_izzo_vec, LEO1, LEO2, -5.0, 0, False, mu=-1)
    assert msg == "Gravity parameter mu must be positive, got: -1"


def test_mu_fault_leaves_the_module_usable():
    panic_text(orbelin.lambert_izzo_vec, np.tile(LEO1, (50, 1)), np.tile(LEO2, (50, 1)), [1.0, 2.0], 1, False, mu=-1)
    s = orbelin.lambert_izzo_vec(CURTIS_R1, CURTIS_R2, 3600.0, 0, False, mu=398600.0)
    np.testing.assert_allclose(s.v1[0], [-5.9925, 1.9254, 3.2456], atol=0.5e-4)


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_retrograde_is_copied_into_every_row(fn):
    s = fn(LEO1, LEO2, long_case_tof(2), 2, True)
    assert s.retrograde.shape == (5,) and s.retrograde.all()
    assert np.all(np.cross(LEO1, s.v1)[:, 2] < 0)


# ---------------------------------------------------------------------------
# Re-entry check
# ---------------------------------------------------------------------------

LOW1 = np.array([6700.0, 0.0, 0.0])
LOW2 = np.array([0.0, 6800.0, 500.0])


def periapsis_radius(r, v, mu=MU):
    rn = np.linalg.norm(r, axis=-1)
    energy = np.einsum("...i,...i", v, v) / 2 - mu / rn
    h = np.linalg.norm(np.cross(r, v), axis=-1)
    e = np.sqrt(1 + 2 * energy * h * h / mu**2)
    return h * h / mu / (1 + e)


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_reentry_check_blanks_only_the_low_arcs(fn):
    plain = fn(LOW1, LOW2, 8000.0, 2, False)
    checked = fn(LOW1, LOW2, 8000.0, 2, False, reentry_check=True)
    rp = periapsis_radius(LOW1, plain.v1)
    low = rp < R_EARTH
    assert low.any() and not low.all()
    np.testing.assert_allclose(plain.rp, rp, rtol=1e-9)
    assert np.all(np.isnan(checked.v1[low])) and np.all(np.isnan(checked.v2[low]))
    for name in ["sma", "ecc", "inc", "raan", "rp", "ra"]:
        assert np.all(np.isnan(getattr(checked, name)[low])), name
    for name in ["argp", "ta_depart", "ta_arrive"]:
        assert np.all(getattr(checked, name)[low] == 0.0), name
    # The blanked rows keep their place and bookkeeping; the others are unchanged.
    for name in ["tof", "num_revs", "path_flag", "retrograde"]:
        np.testing.assert_array_equal(getattr(checked, name), getattr(plain, name))
    for name in FIELDS:
        np.testing.assert_array_equal(getattr(checked, name)[~low], getattr(plain, name)[~low])


def test_reentry_check_keeps_a_high_hyperbola():
    r2 = np.array([0.0, 20000.0, 0.0])
    plain = orbelin.lambert_izzo_vec(LEO1, r2, 600.0, 0, False)
    checked = orbelin.lambert_izzo_vec(LEO1, r2, 600.0, 0, False, reentry_check=True)
    assert plain.ecc[0] > 1 and plain.rp[0] > R_EARTH
    np.testing.assert_array_equal(checked.v1, plain.v1)


def test_reentry_check_in_a_batch_matches_the_periapsis():
    r1, r2 = random_pairs(77, 40)
    r1 = r1 / np.linalg.norm(r1, axis=1)[:, None] * 6700.0
    tofs = np.array([900.0, 3000.0, 9000.0])
    plain = orbelin.lambert_izzo_vec(r1, r2, tofs, 1, False)
    checked = orbelin.lambert_izzo_vec(r1, r2, tofs, 1, False, reentry_check=True)
    filled = ~np.isnan(plain.tof)
    R1 = np.broadcast_to(r1[:, None, None, :], plain.v1.shape)
    rp = periapsis_radius(R1, plain.v1)
    low = filled & (rp < R_EARTH)
    assert 0 < low.sum() < filled.sum()
    assert np.all(np.isnan(checked.v1[low]))
    np.testing.assert_array_equal(checked.v1[filled & ~low], plain.v1[filled & ~low])


# ---------------------------------------------------------------------------
# Collinear positions
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "r1, r2",
    [
        (LEO1, -2 * LEO1),
        (LEO1, -LEO1),
        (np.array([0.0, 0.0, 7000.0]), np.array([0.0, 0.0, -9000.0])),
        (np.array([3000.0, 4000.0, 5000.0]), np.array([-6000.0, -8000.0, -10000.0])),
    ],
    ids=["x-axis", "opposite-equal", "z-axis", "oblique"],
)
@pytest.mark.parametrize("retro", [False, True])
def test_opposite_positions_give_finite_arcs_that_arrive(r1, r2, retro):
    s = orbelin.lambert_izzo_vec(r1, r2, 5000.0, 0, retro)
    assert np.all(np.isfinite(s.v1)) and np.all(np.isfinite(s.v2))
    rf, vf = propagate(r1[None], s.v1, s.tof)
    assert rel_err(rf, r2[None]).max() < 1e-8
    assert rel_err(vf, s.v2).max() < 1e-8


@pytest.mark.parametrize("side", [-1.0, 1.0], ids=["short-of-half-turn", "past-half-turn"])
@pytest.mark.parametrize("retro", [False, True])
def test_nearly_opposite_positions_give_arcs_that_arrive(side, retro):
    # 1e-10 to 1e-7 rad from a half turn c/s rounds to about 1, and to just above it: lambda must still be
    # right to the last bits for the arcs to arrive.
    rng = np.random.default_rng(1507)
    n = 150
    u, w = plane_directions(rng, n)
    angle = np.pi + side * 10 ** rng.uniform(-10, -7, n)
    r1 = rng.uniform(6600.0, 42000.0, n)[:, None] * u
    r2 = rng.uniform(6600.0, 42000.0, n)[:, None] * (np.cos(angle)[:, None] * u + np.sin(angle)[:, None] * w)
    # The published geometry 1.2e-8 rad short of a half turn.
    r1[0] = [16718.63661173809, -24014.444488250567, 6051.1551195147385]
    r2[0] = [-12115.558647859867, 17402.639849339896, -4385.113966569254]
    tofs = np.array([3000.0, 5527.581595619311, 40000.0, 150000.0])
    s = orbelin.lambert_izzo_vec(r1, r2, tofs, 2, retro)
    filled = ~np.isnan(s.tof)
    assert np.all(np.isfinite(s.v1[filled])) and np.all(np.isfinite(s.v2[filled]))
    R1 = np.broadcast_to(r1[:, None, None, :], s.v1.shape)[filled]
    R2 = np.broadcast_to(r2[:, None, None, :], s.v1.shape)[filled]
    rf, vf = propagate(R1, s.v1[filled], s.tof[filled])
    assert rel_err(rf, R2).max() < 1e-10
    assert rel_err(vf, s.v2[filled]).max() < 1e-10


@pytest.mark.parametrize("retro", [False, True])
def test_nearly_full_turn_arcs_all_arrive(retro):
    # Positions 1e-4 to 0.1 rad short of a full turn or past none, times of one to four and a half minimum-energy
    # periods: with lambda near -1 or 1 the minimum time of a revolution count is far from T(0), and a family that
    # does not exist must not be counted (its arcs would come back NaN or miss r2).
    rng = np.random.default_rng(2311)
    n = 400
    u, w = plane_directions(rng, n)
    angle = np.where(rng.random(n) < 0.5, 2 * np.pi - 10 ** rng.uniform(-4, -1, n), 10 ** rng.uniform(-4, -1, n))
    r1 = rng.uniform(6600.0, 42000.0, n)[:, None] * u
    r2 = np.linalg.norm(r1, axis=1)[:, None] * rng.uniform(0.8, 1.25, (n, 1)) * (
        np.cos(angle)[:, None] * u + np.sin(angle)[:, None] * w)
    # The arc that once gave a three-revolution family below its minimum time.
    r1[0] = [11681.286988966196, 52182.036505558484, -20669.911173873705]
    r2[0] = [11756.875709033055, 52338.26808212805, -20761.437675798767]
    tof = rng.uniform(1.0, 4.5, n) * min_energy_period(r1, r2)
    tof[0] = 150000.0
    rows = [orbelin.lambert_izzo_single(r1[k], r2[k], tof[k], 4, retro) for k in range(n)]
    v1 = np.concatenate([r.v1 for r in rows])
    assert np.all(np.isfinite(v1))
    R1 = np.concatenate([np.broadcast_to(r1[k], rows[k].v1.shape) for k in range(n)])
    R2 = np.concatenate([np.broadcast_to(r2[k], rows[k].v1.shape) for k in range(n)])
    rf, _ = propagate(R1, v1, np.concatenate([r.tof for r in rows]))
    assert rel_err(rf, R2).max() < 1e-8
    # Its time admits two prograde revolutions (lambda near -1), not three; three the other way round.
    assert rows[0].num_revs.max() == (3 if retro else 2)


def test_same_direction_positions_give_finite_results():
    s = orbelin.lambert_izzo_vec(LEO1, 2 * LEO1, 5000.0, 0, False)
    assert np.all(np.isfinite(s.v1)) and np.all(np.isfinite(s.v2))


# ---------------------------------------------------------------------------
# Binding and conversion texts
# ---------------------------------------------------------------------------

def test_int_flag_is_refused():
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_single(LEO1, LEO2, 3600.0, 0, 1)
    assert str(ei.value) == "argument 'retrograde': 'int' object cannot be converted to 'PyBool'"
    orbelin.lambert_izzo_single(LEO1, LEO2, 3600.0, 0, False)


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_int_flag_is_refused_for_reentry_check(fn):
    with pytest.raises(TypeError) as ei:
        fn(LEO1, LEO2, 3600.0, 0, False, reentry_check=0)
    assert str(ei.value) == "argument 'reentry_check': 'int' object cannot be converted to 'PyBool'"


def test_int_time_of_flight_is_accepted():
    a = orbelin.lambert_izzo_single(LEO1, LEO2, 3600, 0, False)
    b = orbelin.lambert_izzo_single(LEO1, LEO2, 3600.0, 0, False)
    np.testing.assert_array_equal(a.v1, b.v1)
    assert a.tof.dtype == np.float64 and a.tof[0] == 3600.0


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
@pytest.mark.parametrize("kw", [{"max_rev": -1}, {"maxiter": -5}])
def test_negative_count_is_an_overflow(fn, kw):
    args = dict(r1=LEO1, r2=LEO2, tof=3600.0, max_rev=0, retrograde=False)
    args.update(kw)
    with pytest.raises(OverflowError):
        fn(**args)


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_float_count_is_a_type_error(fn):
    with pytest.raises(TypeError) as ei:
        fn(LEO1, LEO2, 3600.0, 1.0, False)
    assert str(ei.value).startswith("argument 'max_rev': ")


@pytest.mark.parametrize("name", ["lambert_izzo_single", "lambert_izzo_vec"])
def test_unexpected_keyword(name):
    with pytest.raises(TypeError) as ei:
        getattr(orbelin, name)(LEO1, LEO2, 3600.0, 0, False, tolerance=1e-9)
    assert str(ei.value) == f"{name}() got an unexpected keyword argument 'tolerance'"


@pytest.mark.parametrize("name", ["lambert_izzo_single", "lambert_izzo_vec"])
def test_binding_texts(name):
    fn = getattr(orbelin, name)
    with pytest.raises(TypeError) as ei:
        fn(LEO1, LEO2, 3600.0)
    assert str(ei.value) == f"{name}() missing 2 required positional arguments: 'max_rev' and 'retrograde'"
    with pytest.raises(TypeError) as ei:
        fn(LEO1, LEO2, 3600.0, 0, False, MU, 1e-8, 50, False, 1)
    assert str(ei.value) == f"{name}() takes from 5 to 9 positional arguments but 10 were given"
    with pytest.raises(TypeError) as ei:
        fn(LEO1, LEO2, 3600.0, 0, False, r1=LEO1)
    assert str(ei.value) == f"{name}() got multiple values for argument 'r1'"


def test_keywords_match_positionals():
    a = orbelin.lambert_izzo_vec(r2=LEO2, r1=LEO1, retrograde=False, max_rev=1, tof=long_case_tof(1),
                                 reentry_check=False, maxiter=50, tol=1e-8, mu=MU)
    b = orbelin.lambert_izzo_vec(LEO1, LEO2, long_case_tof(1), 1, False)
    np.testing.assert_array_equal(a.v1, b.v1)


@pytest.mark.parametrize(
    "r1, text",
    [
        (LEO1[None, :], "argument 'r1': dimensionality mismatch:\n from=2, to=1"),
        (np.array(7000.0), "argument 'r1': dimensionality mismatch:\n from=0, to=1"),
        (np.zeros((1, 3), dtype=np.int64), "argument 'r1': dimensionality mismatch:\n from=2, to=1"),
        (np.float64(7000.0), "argument 'r1': 'float64' object cannot be converted to 'PyArray<T, D>'"),
        ([7000.0, 0.0, 0.0], "argument 'r1': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((7000.0, 0.0, 0.0), "argument 'r1': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
        (np.array([7000, 0, 0]), "argument 'r1': type mismatch:\n from=int64, to=float64"),
        (np.zeros(3, dtype=np.float32), "argument 'r1': type mismatch:\n from=float32, to=float64"),
    ],
    ids=["2d", "0d", "2d-int", "scalar", "list", "tuple", "int64", "float32"],
)
def test_single_array_refusals(r1, text):
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_single(r1, LEO2, 3600.0, 0, False)
    assert str(ei.value) == text


def test_single_refuses_r2_with_its_name():
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_single(LEO1, [0.0, 8000.0, 0.0], 3600.0, 0, False)
    assert str(ei.value) == "argument 'r2': 'list' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("which", [0, 1])
def test_single_refuses_non_contiguous(which):
    args = [LEO1, LEO2]
    args[which] = (np.arange(6.0) * 1000 + 7000)[::2]
    assert not args[which].flags.c_contiguous
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_single(*args, 3600.0, 0, False)
    assert str(ei.value) == "The given array is not contiguous"


@pytest.mark.parametrize("r1, r2", [(np.arange(4.0), LEO2), (LEO1, np.arange(2.0)), (np.zeros(0), LEO2)])
def test_single_refuses_wrong_length(r1, r2):
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_single(r1, r2, 3600.0, 0, False)
    assert str(ei.value) == "r1 and r2 must be 1-D arrays of length 3"


class _Subclass(np.ndarray):
    pass


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_array_subclasses_are_accepted(fn):
    a = fn(LEO1.view(_Subclass), LEO2.view(_Subclass), 3600.0, 0, False)
    b = fn(LEO1, LEO2, 3600.0, 0, False)
    np.testing.assert_array_equal(a.v1, b.v1)


def test_single_reads_a_contiguous_slice_of_a_larger_array():
    buf = np.concatenate([[99.0], LEO1, LEO2])
    a = orbelin.lambert_izzo_single(buf[1:4], buf[4:7], 3600.0, 0, False)
    b = orbelin.lambert_izzo_single(LEO1, LEO2, 3600.0, 0, False)
    np.testing.assert_array_equal(a.v1, b.v1)


@pytest.mark.parametrize("name", ["lambert_izzo_single", "lambert_izzo_vec"])
def test_signature(name):
    sig = inspect.signature(getattr(orbelin, name))
    assert list(sig.parameters) == ["r1", "r2", "tof", "max_rev", "retrograde", "mu", "tol", "maxiter",
                                    "reentry_check"]
    defaults = [p.default for p in sig.parameters.values()]
    assert defaults[:5] == [inspect.Parameter.empty] * 5
    assert defaults[5:] == [Ellipsis] * 4
    assert str(sig) == "(r1, r2, tof, max_rev, retrograde, mu=Ellipsis, tol=Ellipsis, maxiter=Ellipsis, " \
                       "reentry_check=Ellipsis)"
    assert getattr(orbelin, name).__module__ == "orbelin"


def test_inputs_are_not_written():
    r1, r2 = random_pairs(5, 20)
    c1, c2 = r1.copy(), r2.copy()
    tof = np.array([3000.0, 9000.0])
    ct = tof.copy()
    r1.flags.writeable = False
    r2.flags.writeable = False
    s = orbelin.lambert_izzo_vec(r1, r2, tof, 1, False)
    s.v1[...] = 0.0
    np.testing.assert_array_equal(r1, c1)
    np.testing.assert_array_equal(r2, c2)
    np.testing.assert_array_equal(tof, ct)


# ---------------------------------------------------------------------------
# lambert_izzo_vec shapes, padding and messages
# ---------------------------------------------------------------------------

def check_shapes(s, shape):
    for name in FIELDS:
        a = getattr(s, name)
        expected = shape + (3,) if name in VECTOR_FIELDS else shape
        assert a.shape == expected, name


@pytest.mark.parametrize("max_rev, k", [(0, 1), (1, 3), (2, 5)])
def test_vec_single_pair_scalar_tof(max_rev, k):
    s = orbelin.lambert_izzo_vec(LEO1, LEO2, long_case_tof(2), max_rev, False)
    check_shapes(s, (k,))


@pytest.mark.parametrize("tof", [np.array([long_case_tof(1)]), np.array([[long_case_tof(1)]]), [long_case_tof(1)]],
                         ids=["length-1", "1x1", "list-1"])
def test_vec_length_one_tof_adds_no_axis(tof):
    s = orbelin.lambert_izzo_vec(np.stack([LEO1, LEO2]), np.stack([LEO2, LEO1]), tof, 1, False)
    check_shapes(s, (2, 3))
    s1 = orbelin.lambert_izzo_vec(np.stack([LEO1, LEO2]), np.stack([LEO2, LEO1]), long_case_tof(1), 1, False)
    np.testing.assert_array_equal(s.v1, s1.v1)


def test_vec_pairs_and_times_grid_matches_single_solves():
    r1, r2 = random_pairs(11, 4)
    tofs = [2000.0, 20000.0, 60000.0]
    s = orbelin.lambert_izzo_vec(r1, r2, tofs, 2, False)
    k = s.tof.shape[-1]
    check_shapes(s, (4, 3, k))
    assert k == 5
    for i in range(4):
        for t, tof in enumerate(tofs):
            one = orbelin.lambert_izzo_single(r1[i], r2[i], tof, 2, False)
            n = one.tof.shape[0]
            for name in FIELDS:
                np.testing.assert_array_equal(getattr(s, name)[i, t, :n], getattr(one, name), err_msg=name)
            assert np.all(s.tof[i, t, :n] == tof)


def test_vec_three_dimensional_batch():
    r1, r2 = random_pairs(12, 10)
    tofs = np.linspace(3000.0, 30000.0, 7)
    s = orbelin.lambert_izzo_vec(r1.reshape(5, 2, 3), r2.reshape(5, 2, 3), tofs, 1, False)
    k = s.tof.shape[-1]
    check_shapes(s, (5, 2, 7, k))
    flat = orbelin.lambert_izzo_vec(r1, r2, tofs, 1, False)
    np.testing.assert_array_equal(s.v1.reshape(flat.v1.shape), flat.v1)
    np.testing.assert_array_equal(s.tof[3, 1, 4], flat.tof[7, 4])


def test_vec_list_of_floats_for_tof():
    s = orbelin.lambert_izzo_vec(LEO1, LEO2, [3000.0, 6000.0], 0, False)
    check_shapes(s, (2, 1))
    np.testing.assert_array_equal(s.tof[:, 0], [3000.0, 6000.0])


def test_vec_padding_of_short_cases():
    tofs = np.array([-10.0, 1000.0, long_case_tof(2)])
    s = orbelin.lambert_izzo_vec(LEO1, LEO2, tofs, 2, True)
    check_shapes(s, (3, 5))
    for t, n in [(0, 1), (1, 1), (2, 5)]:
        for name in FIELDS:
            pad = getattr(s, name)[t, n:]
            if name in ("num_revs", "path_flag"):
                assert np.all(pad == 0), name
            elif name == "retrograde":
                assert not pad.any()
            else:
                assert np.all(np.isnan(pad)), name
        assert s.retrograde[t, :n].all()


def test_vec_dtypes_and_flags():
    s = orbelin.lambert_izzo_vec(np.stack([LEO1, LEO2]), np.stack([LEO2, LEO1]), [3000.0, 40000.0], 1, False)
    for name in FIELDS:
        a = getattr(s, name)
        if name in ("num_revs", "path_flag"):
            assert a.dtype == np.uint64, name
        elif name == "retrograde":
            assert a.dtype == np.bool_, name
        else:
            assert a.dtype == np.float64, name
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata, name
        assert a.base is None, name


def test_vec_fortran_order_gives_identical_results():
    r1, r2 = random_pairs(13, 10)
    c = orbelin.lambert_izzo_vec(r1, r2, [4000.0, 30000.0], 2, False)
    f = orbelin.lambert_izzo_vec(np.asfortranarray(r1), np.asfortranarray(r2), [4000.0, 30000.0], 2, False)
    assert not np.asfortranarray(r1).flags.c_contiguous
    for name in FIELDS:
        np.testing.assert_array_equal(getattr(f, name), getattr(c, name), err_msg=name)


def test_vec_fortran_order_three_axes():
    r1, r2 = random_pairs(14, 6)
    a1, a2 = r1.reshape(3, 2, 3), r2.reshape(3, 2, 3)
    c = orbelin.lambert_izzo_vec(a1, a2, 5000.0, 0, False)
    f = orbelin.lambert_izzo_vec(np.asfortranarray(a1), np.asfortranarray(a2), 5000.0, 0, False)
    np.testing.assert_array_equal(f.v1, c.v1)


R10 = np.random.default_rng(3).uniform(7000, 9000, (10, 3))


@pytest.mark.parametrize(
    "r1, r2, exc, text",
    [
        (np.zeros((4, 6)), np.zeros((4, 6)), ValueError, "r1 must have shape [..., 3]"),
        (np.zeros(4), np.zeros(4), ValueError, "r1 must have shape [..., 3]"),
        (np.zeros(()), np.zeros(()), ValueError, "r1 must have shape [..., 3]"),
        (np.zeros((4, 3)), np.zeros((5, 3)), ValueError, "r1 and r2 must have matching shapes"),
        (np.zeros((4, 3)), np.zeros((1, 3)), ValueError, "r1 and r2 must have matching shapes"),
        (np.zeros((4, 3)), np.zeros((4, 6)), ValueError, "r1 and r2 must have matching shapes"),
        (np.zeros((2, 2, 3)), np.zeros((4, 3)), ValueError, "r1 and r2 must have matching shapes"),
        (R10[::2], R10[:5], ValueError, "Failed to reshape r1"),
        (R10[::-1], R10, ValueError, "Failed to reshape r1"),
        (R10[:5], R10[::2], ValueError, "Failed to reshape r2"),
        (R10.reshape(2, 5, 3).transpose(1, 0, 2), R10.reshape(5, 2, 3), ValueError, "Failed to reshape r1"),
        (np.zeros((0, 3)), np.zeros((0, 3)), ValueError, "No valid solutions found for any input"),
        (np.zeros((2, 0, 3)), np.zeros((2, 0, 3)), ValueError, "No valid solutions found for any input"),
        ([[7000.0, 0.0, 0.0]], R10[:1], TypeError,
         "argument 'r1': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (R10[:1], np.zeros((1, 3), dtype=np.int64), TypeError,
         "argument 'r2': type mismatch:\n from=int64, to=float64"),
    ],
)
def test_vec_array_messages(r1, r2, exc, text):
    with pytest.raises(exc) as ei:
        orbelin.lambert_izzo_vec(r1, r2, 3600.0, 0, False)
    assert type(ei.value) is exc
    assert str(ei.value) == text


@pytest.mark.parametrize(
    "tof, exc, text",
    [
        (np.ones((2, 2)), ValueError, "Time-of-flight array must be 1D, got 2D"),
        (np.ones((2, 1, 2)), ValueError, "Time-of-flight array must be 1D, got 3D"),
        ([[1000.0, 2000.0]], ValueError, "Time-of-flight array must be 1D, got 2D"),
        ([], ValueError, "Time-of-flight array cannot be empty"),
        (np.zeros(0), ValueError, "Time-of-flight array cannot be empty"),
        ([1000, 2000], TypeError, "type mismatch:\n from=int64, to=float64"),
        (np.array([1000, 2000], dtype=np.int32), TypeError, "type mismatch:\n from=int32, to=float64"),
        ("soon", TypeError, "type mismatch:\n from=<U4, to=float64"),
    ],
)
def test_vec_tof_messages(tof, exc, text):
    with pytest.raises(exc) as ei:
        orbelin.lambert_izzo_vec(LEO1, LEO2, tof, 0, False)
    assert type(ei.value) is exc
    assert str(ei.value) == text


def test_vec_shape_checks_come_before_tof():
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_vec(np.zeros((4, 3)), np.zeros((5, 3)), [], 0, False)
    assert str(ei.value) == "r1 and r2 must have matching shapes"
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_vec(np.zeros((0, 3)), np.zeros((0, 3)), [], 0, False)
    assert str(ei.value) == "Time-of-flight array cannot be empty"


# ---------------------------------------------------------------------------
# LambertSolutionArray
# ---------------------------------------------------------------------------

GETTER_DOCS = {
    "v1": "Velocity at the first position (r1) [km/s] - shape (..., K, 3)",
    "v2": "Velocity at the second position (r2) [km/s] - shape (..., K, 3)",
    "tof": "Time of flight used for each solution [s] - shape (..., K)",
    "num_revs": "Number of revolutions for each solution - shape (..., K)",
    "path_flag": "Path flag for each solution - shape (..., K)",
    "retrograde": "Whether each solution uses retrograde motion - shape (..., K)",
    "sma": "Semi-major axis [km] - shape (..., K)",
    "ecc": "Eccentricity - shape (..., K)",
    "inc": "Inclination [deg] - shape (..., K)",
    "raan": "Right Ascension of Ascending Node [deg] - shape (..., K)",
    "argp": "Argument of Perigee [deg] - shape (..., K)",
    "ta_depart": "True anomaly at departure [deg] - shape (..., K)",
    "ta_arrive": "True anomaly at arrival [deg] - shape (..., K)",
    "rp": "Radius of perigee [km] - shape (..., K)",
    "ra": "Radius of apogee [km] - shape (..., K)",
}


def test_class_has_no_constructor():
    with pytest.raises(TypeError) as ei:
        orbelin.LambertSolutionArray()
    assert str(ei.value) == "No constructor defined"
    with pytest.raises(TypeError) as ei:
        orbelin.LambertSolutionArray(1, v1=2)
    assert str(ei.value) == "No constructor defined"


def test_class_and_getter_docstrings():
    cls = orbelin.LambertSolutionArray
    assert cls.__doc__.startswith("Python wrapper for LambertSolution that exposes all fields as arrays\n\n")
    assert cls.__name__ == "LambertSolutionArray"
    for name, doc in GETTER_DOCS.items():
        assert getattr(cls, name).__doc__ == doc, name


@pytest.mark.parametrize("name", FIELDS)
def test_attributes_are_read_only(name):
    s = orbelin.lambert_izzo_vec(LEO1, LEO2, 3600.0, 0, False)
    with pytest.raises(AttributeError):
        setattr(s, name, np.zeros(1))
    with pytest.raises(AttributeError):
        delattr(s, name)


def test_no_new_attributes():
    s = orbelin.lambert_izzo_vec(LEO1, LEO2, 3600.0, 0, False)
    with pytest.raises(AttributeError):
        s.extra = 1


@pytest.mark.parametrize("fn", [orbelin.lambert_izzo_single, orbelin.lambert_izzo_vec])
def test_reads_return_the_stored_array(fn):
    s = fn(LEO1, LEO2, long_case_tof(1), 1, False)
    assert s.v1 is s.v1
    for name in FIELDS:
        assert getattr(s, name) is getattr(s, name), name
    t = s.tof
    t[1] = 42.0
    assert s.tof[1] == 42.0
    s.v1[0, 0] = -1.0
    assert s.v1[0, 0] == -1.0


def test_arrays_outlive_the_result_object():
    s = orbelin.lambert_izzo_vec(LEO1, LEO2, long_case_tof(1), 1, False)
    v1 = s.v1
    expected = v1.copy()
    del s
    np.testing.assert_array_equal(v1, expected)


def expected_repr(shape):
    vec = list(shape) + [3]
    lines = [("v1:", vec), ("v2:", vec)] + [(f"{n}:", list(shape)) for n in FIELDS[2:8]]
    return "LambertSolutionArray with Attributes:\n" + "\n".join(
        f"{label:>20} [{', '.join(str(d) for d in dims)}]" for label, dims in lines)


def test_repr_single_pair_three_slots():
    s = orbelin.lambert_izzo_vec(LEO1, LEO2, long_case_tof(1), 1, False)
    text = repr(s)
    assert text == expected_repr((3,))
    assert text.splitlines()[1] == "                 v1: [3, 3]"
    assert text.splitlines()[3] == "                tof: [3]"
    assert not text.endswith("\n")
    assert str(s) == text


def test_repr_of_a_grid():
    r1, r2 = random_pairs(21, 4)
    s = orbelin.lambert_izzo_vec(r1.reshape(2, 2, 3), r2.reshape(2, 2, 3), [3000.0, 30000.0, 90000.0], 2, False)
    k = s.tof.shape[-1]
    assert repr(s) == expected_repr((2, 2, 3, k))
    assert repr(s).count("\n") == 8
    for label in ["inc:", "raan:", "argp:", "ta_depart:", "ta_arrive:", "rp:", "ra:"]:
        assert label not in repr(s)


def test_repr_exact_text():
    s = orbelin.lambert_izzo_single(LEO1, LEO2, 3600.0, 0, False)
    assert repr(s) == (
        "LambertSolutionArray with Attributes:\n"
        "                 v1: [1, 3]\n"
        "                 v2: [1, 3]\n"
        "                tof: [1]\n"
        "           num_revs: [1]\n"
        "          path_flag: [1]\n"
        "         retrograde: [1]\n"
        "                sma: [1]\n"
        "                ecc: [1]"
    )


# ---------------------------------------------------------------------------
# Thread-count invariance
# ---------------------------------------------------------------------------

_DIGEST_SCRIPT = r"""
import hashlib, sys
import numpy as np
import orbelin
rng = np.random.default_rng(99)
n = 3000
d1 = rng.normal(size=(n, 3)); d1 /= np.linalg.norm(d1, axis=1)[:, None]
d2 = rng.normal(size=(n, 3)); d2 /= np.linalg.norm(d2, axis=1)[:, None]
r1 = rng.uniform(6600, 42000, n)[:, None] * d1
r2 = rng.uniform(6600, 42000, n)[:, None] * d2
out = hashlib.sha256()
for max_rev, tof in [(0, 7200.0), (2, [3000.0, 30000.0, 90000.0])]:
    s = orbelin.lambert_izzo_vec(r1, r2, tof, max_rev, False)
    for name in %r:
        out.update(np.ascontiguousarray(getattr(s, name)).tobytes())
print(out.hexdigest())
"""


def _digest(prefix):
    env = dict(os.environ)
    here = os.path.dirname(os.path.dirname(os.path.abspath(orbelin.__file__)))
    mod_dir = os.path.dirname(os.path.abspath(orbelin.__file__))
    env["PYTHONPATH"] = os.pathsep.join([mod_dir, here, env.get("PYTHONPATH", "")])
    out = subprocess.run(prefix + [sys.executable, "-c", _DIGEST_SCRIPT % (FIELDS,)], env=env,
                         capture_output=True, text=True, timeout=120, check=True)
    return out.stdout.strip()


@pytest.mark.skipif(shutil.which("taskset") is None, reason="taskset is not installed")
def test_results_do_not_depend_on_the_thread_count():
    one = _digest(["taskset", "-c", "0"])
    every = _digest([])
    assert len(one) == 64
    assert one == every
    # The same digest in this process.
    here = {}
    exec(compile((_DIGEST_SCRIPT % (FIELDS,)).replace("print(out.hexdigest())", "result = out.hexdigest()"),
                 "<digest>", "exec"), here)
    assert here["result"] == one
