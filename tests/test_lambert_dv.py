"""lambert_izzo_vec_dv and lambert_izzo_best_dv: impulses against the
transfer velocities, choice of the cheapest solution, the plane of collinear
transfers, shapes and messages."""

import inspect
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import orbelin
from helpers import panic_text, random_directions

MU = 398600.4418




def circular_states(rng, n, lo=6700.0, hi=42000.0):
    """States on circular orbits of random radius and random plane."""
    r = rng.uniform(lo, hi, n)[:, None] * random_directions(rng, n)
    d = random_directions(rng, n)
    t = np.cross(r, d)
    t /= np.linalg.norm(t, axis=1)[:, None]
    v = np.sqrt(MU / np.linalg.norm(r, axis=1))[:, None] * t
    return np.concatenate([r, v], axis=1)


def state(r, v):
    return np.array([*r, *v], dtype=float)


# ---------------------------------------------------------------------------
# Impulses against lambert_izzo_vec on the positions
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("retro", [False, True])
@pytest.mark.parametrize("max_rev", [0, 2])
def test_impulses_are_velocity_differences(retro, max_rev):
    rng = np.random.default_rng(31)
    s1 = circular_states(rng, 25)
    s2 = circular_states(rng, 25)
    tofs = np.array([2000.0, 20000.0, 70000.0])
    dv1m, dv2m, total, dv1, dv2 = orbelin.lambert_izzo_vec_dv(s1, s2, tofs, max_rev, retro)
    ref = orbelin.lambert_izzo_vec(np.ascontiguousarray(s1[:, :3]), np.ascontiguousarray(s2[:, :3]), tofs,
                               max_rev, retro)
    assert dv1.shape == ref.v1.shape and dv1m.shape == ref.tof.shape
    u1 = s1[:, None, None, 3:]
    u2 = s2[:, None, None, 3:]
    filled = ~np.isnan(ref.tof)
    assert np.all(np.isfinite(dv1[filled]))
    np.testing.assert_array_equal(dv1, ref.v1 - u1)
    np.testing.assert_array_equal(dv2, u2 - ref.v2)
    np.testing.assert_allclose(dv1m, np.linalg.norm(ref.v1 - u1, axis=-1), rtol=1e-15, atol=0)
    np.testing.assert_allclose(dv2m, np.linalg.norm(u2 - ref.v2, axis=-1), rtol=1e-15, atol=0)
    # The total is the sum of the two returned magnitudes, exactly.
    np.testing.assert_array_equal(total, dv1m + dv2m)
    # Padding slots are NaN in all five arrays.
    for a in (dv1m, dv2m, total):
        assert np.all(np.isnan(a[~filled]))
    for a in (dv1, dv2):
        assert np.all(np.isnan(a[~filled]))


def test_zero_velocities_give_the_transfer_speeds():
    r1 = np.array([7000.0, 0.0, 0.0])
    r2 = np.array([0.0, 9000.0, 1000.0])
    s1 = state(r1, [0, 0, 0])
    s2 = state(r2, [0, 0, 0])
    dv1m, dv2m, total, dv1, dv2 = orbelin.lambert_izzo_vec_dv(s1, s2, 3000.0, 0, False)
    ref = orbelin.lambert_izzo_vec(r1, r2, 3000.0, 0, False)
    np.testing.assert_array_equal(dv1, ref.v1)
    np.testing.assert_array_equal(dv2, -ref.v2)


def test_matching_orbits_cost_nothing():
    # Source and target on the same circular orbit, a quarter period apart:
    # the orbit itself is the direct transfer, so both impulses vanish.
    r = 8000.0
    v = np.sqrt(MU / r)
    period = 2 * np.pi * np.sqrt(r**3 / MU)
    s1 = state([r, 0, 0], [0, v, 0])
    s2 = state([0, r, 0], [-v, 0, 0])
    dv1m, dv2m, total, _, _ = orbelin.lambert_izzo_vec_dv(s1, s2, period / 4, 0, False)
    assert dv1m[0] < 1e-9 and dv2m[0] < 1e-9
    best = orbelin.lambert_izzo_best_dv(s1, s2, period / 4, 0)
    assert best[2] < 1e-9


def test_hohmann_transfer_costs():
    # A half-period ellipse between circular orbits of 7000 and 42164 km: the
    # two impulses are the textbook Hohmann burns.
    r1, r2 = 7000.0, 42164.0
    a = (r1 + r2) / 2
    tof = np.pi * np.sqrt(a**3 / MU)
    # The target sits just off the exact opposite point so that the plane is fixed.
    th = np.pi - 1e-6
    s1 = state([r1, 0, 0], [0, np.sqrt(MU / r1), 0])
    s2 = state([r2 * np.cos(th), r2 * np.sin(th), 0], np.sqrt(MU / r2) * np.array([-np.sin(th), np.cos(th), 0]))
    dv1m, dv2m, total, _, _ = orbelin.lambert_izzo_vec_dv(s1, s2, tof, 0, False)
    b1 = np.sqrt(MU / r1) * (np.sqrt(2 * r2 / (r1 + r2)) - 1)
    b2 = np.sqrt(MU / r2) * (1 - np.sqrt(2 * r1 / (r1 + r2)))
    assert abs(dv1m[0] - b1) < 1e-3 and abs(dv2m[0] - b2) < 1e-3


# ---------------------------------------------------------------------------
# Best-dv selection
# ---------------------------------------------------------------------------

def rule_choice(s1, s2, tofs, max_rev, rendezvous, reentry_check):
    """The cheapest non-NaN solution over the prograde list, then the
    retrograde list, earliest on ties, from lambert_izzo_vec_dv's arrays."""
    pro = orbelin.lambert_izzo_vec_dv(s1, s2, tofs, max_rev, False, reentry_check=reentry_check)
    ret = orbelin.lambert_izzo_vec_dv(s1, s2, tofs, max_rev, True, reentry_check=reentry_check)
    both = [np.concatenate([p, r], axis=-2 if i >= 3 else -1) for i, (p, r) in enumerate(zip(pro, ret))]
    cost = both[2] if rendezvous else both[0]
    usable = ~np.isnan(both[3]).any(axis=-1)
    cost = np.where(usable, cost, np.inf)
    j = np.argmin(cost, axis=-1)
    none = ~usable.any(axis=-1)
    out = []
    for i, a in enumerate(both):
        if i < 3:
            pick = np.take_along_axis(a, j[..., None], axis=-1)[..., 0]
            out.append(np.where(none, np.nan, pick))
        else:
            pick = np.take_along_axis(a, j[..., None, None], axis=-2)[..., 0, :]
            out.append(np.where(none[..., None], np.nan, pick))
    return out, j


# max_rev 20 over five days: problems of up to 41 arcs a direction, more than the batch solves together, beside
# shorter ones.
@pytest.mark.parametrize("rendezvous", [True, False])
@pytest.mark.parametrize("reentry_check", [False, True])
@pytest.mark.parametrize("max_rev", [2, 20])
def test_best_is_the_cheapest_usable_solution(rendezvous, reentry_check, max_rev):
    rng = np.random.default_rng(41)
    s1 = circular_states(rng, 30, 6600.0, 12000.0)
    s2 = circular_states(rng, 30, 6600.0, 30000.0)
    tofs = np.array([-1.0, 1500.0, 6000.0, 25000.0, 432000.0])
    expected, _ = rule_choice(s1, s2, tofs, max_rev, rendezvous, reentry_check)
    got = orbelin.lambert_izzo_best_dv(s1, s2, tofs, max_rev, rendezvous=rendezvous, reentry_check=reentry_check)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, e)
    # Non-positive time of flight: nothing usable, all NaN.
    for g in got:
        assert np.all(np.isnan(g[:, 0]))
    if reentry_check:
        # Some cases lose every arc to the surface: NaN as well.
        assert np.isnan(got[2][:, 1:]).any()
    else:
        assert np.all(np.isfinite(got[2][:, 1:]))
    np.testing.assert_array_equal(got[2], got[0] + got[1])


def test_rendezvous_and_departure_cost_choose_differently():
    rng = np.random.default_rng(41)
    s1 = circular_states(rng, 30, 6600.0, 12000.0)
    s2 = circular_states(rng, 30, 6600.0, 30000.0)
    tofs = np.array([1500.0, 6000.0, 25000.0])
    rv = orbelin.lambert_izzo_best_dv(s1, s2, tofs, 2, rendezvous=True)
    dep = orbelin.lambert_izzo_best_dv(s1, s2, tofs, 2, rendezvous=False)
    differ = rv[2] < dep[2]
    assert differ.any()
    # Where they differ, departure-only saved on dv1 and paid more in total;
    # nowhere does either criterion lose on its own cost.
    assert np.all(dep[0][differ] < rv[0][differ])
    assert np.all(rv[2] <= dep[2]) and np.all(dep[0] <= rv[0])
    # The third array is still the total of the chosen solution.
    np.testing.assert_array_equal(dep[2], dep[0] + dep[1])


def test_rendezvous_defaults_to_true():
    rng = np.random.default_rng(41)
    s1 = circular_states(rng, 10)
    s2 = circular_states(rng, 10)
    a = orbelin.lambert_izzo_best_dv(s1, s2, 8000.0, 1)
    b = orbelin.lambert_izzo_best_dv(s1, s2, 8000.0, 1, rendezvous=True)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("u2", [[0.0, 0.0, 0.0], [1.5, -2.0, 0.0], [-3.0, 4.0, 0.0]])
@pytest.mark.parametrize("rendezvous", [True, False])
def test_prograde_wins_a_tie(u2, rendezvous):
    # Opposite positions on the x axis and a purely radial (or zero) departure
    # velocity: no reference normal, so the plane contains z and the
    # retrograde arc is the mirror image of the prograde one through the x-y
    # plane. With both velocities in the x-y plane the costs are identical.
    r1 = np.array([7000.0, 0.0, 0.0])
    r2 = np.array([-9000.0, 0.0, 0.0])
    s1 = state(r1, [0.4, 0.0, 0.0])
    s2 = state(r2, u2)
    pro = orbelin.lambert_izzo_vec_dv(s1, s2, 5000.0, 0, False)
    ret = orbelin.lambert_izzo_vec_dv(s1, s2, 5000.0, 0, True)
    assert pro[2][0] == ret[2][0] and pro[0][0] == ret[0][0]
    assert pro[3][0, 2] == -ret[3][0, 2] != 0.0
    best = orbelin.lambert_izzo_best_dv(s1, s2, 5000.0, 0, rendezvous=rendezvous)
    np.testing.assert_array_equal(best[3], pro[3][0])
    np.testing.assert_array_equal(best[4], pro[4][0])
    ref = orbelin.lambert_izzo_vec(r1, r2, 5000.0, 0, False)
    # The winner's impulse is the arc's departure velocity minus the orbit's, bit for bit.
    np.testing.assert_array_equal(best[3], ref.v1[0] - s1[3:])


def test_winners_come_from_both_directions_and_several_families():
    rng = np.random.default_rng(43)
    s1 = circular_states(rng, 40, 6700.0, 9000.0)
    s2 = circular_states(rng, 40, 6700.0, 9000.0)
    tofs = np.array([3000.0, 9000.0, 20000.0, 40000.0])
    expected, j = rule_choice(s1, s2, tofs, 3, True, False)
    got = orbelin.lambert_izzo_best_dv(s1, s2, tofs, 3)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, e)
    k = 7  # slots per direction: three revolutions fit in 40000 s for some pair
    assert np.any(j < k) and np.any(j >= k)
    assert set(np.unique(j % k)) == set(range(7))


def test_nan_solutions_are_skipped():
    # A low transfer with the re-entry check: of the ten arcs (five each way)
    # only one stays above the surface, and it is chosen although a blanked
    # arc would have been cheaper.
    r1 = np.array([6700.0, 0.0, 0.0])
    r2 = np.array([0.0, 6800.0, 500.0])
    s1 = state(r1, [0.0, 0.0, 0.0])
    s2 = state(r2, [0.0, 0.0, 0.0])
    plain = [orbelin.lambert_izzo_vec_dv(s1, s2, 8000.0, 2, retro) for retro in (False, True)]
    checked = [orbelin.lambert_izzo_vec_dv(s1, s2, 8000.0, 2, retro, reentry_check=True) for retro in (False, True)]
    kept = np.concatenate([~np.isnan(c[2]) for c in checked])
    assert kept.sum() == 1
    survivor = np.concatenate([c[2] for c in checked])[kept][0]
    cheapest = min(np.nanmin(p[2]) for p in plain)
    assert cheapest < survivor
    best = orbelin.lambert_izzo_best_dv(s1, s2, 8000.0, 2, reentry_check=True)
    assert best[2] == survivor
    assert orbelin.lambert_izzo_best_dv(s1, s2, 8000.0, 2)[2] == cheapest


@pytest.mark.parametrize("tof", [0.0, -100.0])
def test_non_positive_tof_gives_nan(tof):
    rng = np.random.default_rng(5)
    s1 = circular_states(rng, 3)
    s2 = circular_states(rng, 3)
    best = orbelin.lambert_izzo_best_dv(s1, s2, tof, 2)
    assert best[0].shape == (3,) and best[3].shape == (3, 3)
    for a in best:
        assert np.all(np.isnan(a))
    vec = orbelin.lambert_izzo_vec_dv(s1, s2, tof, 2, False)
    assert vec[0].shape == (3, 1) and vec[3].shape == (3, 1, 3)
    for a in vec:
        assert np.all(np.isnan(a))


# ---------------------------------------------------------------------------
# Reference normal for collinear positions
# ---------------------------------------------------------------------------

def rotate_about(axis, angle, v):
    axis = axis / np.linalg.norm(axis)
    return (v * np.cos(angle) + np.cross(axis, v) * np.sin(angle)
            + axis * np.dot(axis, v) * (1 - np.cos(angle)))


@pytest.mark.parametrize(
    "r1, u1",
    [
        ([7000.0, 0.0, 0.0], [0.0, 5.0, 5.0]),
        ([7000.0, 0.0, 0.0], [0.0, 5.0, -5.0]),
        ([3000.0, -4000.0, 5000.0], [1.0, 6.0, 3.0]),
        ([0.0, 0.0, 7000.0], [7.5, 0.0, 0.0]),
    ],
)
@pytest.mark.parametrize("fn, retro", [("vec_dv", False), ("vec_dv", True), ("best_dv", False)])
def test_collinear_transfer_lies_in_the_departure_plane(r1, u1, fn, retro):
    r1 = np.array(r1)
    u1 = np.array(u1)
    r2 = -2.0 * r1
    u2 = np.array([0.3, -0.2, 0.1])
    s1 = state(r1, u1)
    s2 = state(r2, u2)
    h = np.cross(r1, u1)
    h_hat = h / np.linalg.norm(h)
    if fn == "vec_dv":
        out = orbelin.lambert_izzo_vec_dv(s1, s2, 6000.0, 0, retro)
        v1 = out[3][0] + u1
        v2 = u2 - out[4][0]
    else:
        out = orbelin.lambert_izzo_best_dv(s1, s2, 6000.0, 0)
        v1 = out[3] + u1
        v2 = u2 - out[4]
    assert np.all(np.isfinite(v1))
    # The transfer plane is the plane of s1's angular momentum.
    assert abs(np.dot(v1, h_hat)) < 1e-9 * np.linalg.norm(v1)
    assert abs(np.dot(v2, h_hat)) < 1e-9 * np.linalg.norm(v2)
    # It matches the non-collinear problem with r2 turned by a hair inside that
    # plane, which the solver puts in the same plane by itself.
    # (best_dv may take either direction: compare with both.)
    r2_near = rotate_about(h_hat, -1e-7, r2)  # r1 x r2_near along +h
    directions = (retro,) if fn == "vec_dv" else (False, True)
    near = [orbelin.lambert_izzo_vec(r1, r2_near, 6000.0, 0, d) for d in directions]
    assert any(np.allclose(v1, n.v1[0], rtol=1e-5, atol=0) and np.allclose(v2, n.v2[0], rtol=1e-5, atol=0)
               for n in near)


def test_collinear_without_angular_momentum_uses_the_fallback_plane():
    # A radial departure velocity has no angular momentum: no reference normal,
    # so the impulses match lambert_izzo_vec on the positions.
    r1 = np.array([7000.0, 0.0, 0.0])
    s1 = state(r1, [2.0, 0.0, 0.0])
    s2 = state(-2 * r1, [0.0, 1.0, 0.0])
    out = orbelin.lambert_izzo_vec_dv(s1, s2, 6000.0, 0, False)
    ref = orbelin.lambert_izzo_vec(r1, -2 * r1, 6000.0, 0, False)
    np.testing.assert_array_equal(out[3][0], ref.v1[0] - s1[3:])


@pytest.mark.parametrize("u1", [[0.0, 0.0, 7.5], [0.0, 0.0, -7.5], [0.0, -7.5, 0.0], [1.0, 2.0, -3.0]])
def test_non_collinear_positions_ignore_the_departure_plane(u1):
    r1 = np.array([7000.0, 0.0, 0.0])
    r2 = np.array([1000.0, 8000.0, 2000.0])
    s1 = state(r1, u1)
    s2 = state(r2, [0.0, 0.0, 0.0])
    out = orbelin.lambert_izzo_vec_dv(s1, s2, 3000.0, 1, False)
    ref = orbelin.lambert_izzo_vec(r1, r2, 3000.0, 1, False)
    np.testing.assert_array_equal(out[3], ref.v1 - s1[3:])
    np.testing.assert_array_equal(out[4], -ref.v2)


# ---------------------------------------------------------------------------
# Shapes
# ---------------------------------------------------------------------------

S1 = state([7000.0, 0.0, 0.0], [0.0, 7.5, 0.0])
S2 = state([0.0, 9000.0, 500.0], [-6.6, 0.0, 0.0])


@pytest.mark.parametrize("max_rev", [0, 2])
def test_single_state_scalar_tof_shapes(max_rev):
    vec = orbelin.lambert_izzo_vec_dv(S1, S2, 40000.0, max_rev, False)
    k = vec[0].shape[0]
    assert k == 2 * max_rev + 1
    assert [a.shape for a in vec] == [(k,), (k,), (k,), (k, 3), (k, 3)]
    best = orbelin.lambert_izzo_best_dv(S1, S2, 40000.0, max_rev)
    assert [a.shape for a in best] == [(), (), (), (3,), (3,)]
    for a in list(vec) + list(best):
        assert type(a) is np.ndarray and a.dtype == np.float64
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata


def test_batch_with_times_shapes():
    rng = np.random.default_rng(8)
    s1 = circular_states(rng, 4)
    s2 = circular_states(rng, 4)
    tofs = [3000.0, 9000.0, 50000.0]
    vec = orbelin.lambert_izzo_vec_dv(s1, s2, tofs, 1, False)
    k = vec[0].shape[-1]
    assert k == 3
    assert [a.shape for a in vec] == [(4, 3, k)] * 3 + [(4, 3, k, 3)] * 2
    best = orbelin.lambert_izzo_best_dv(s1, s2, tofs, 1)
    assert [a.shape for a in best] == [(4, 3)] * 3 + [(4, 3, 3)] * 2
    # Element [i, t] belongs to state pair i and tof[t].
    one = orbelin.lambert_izzo_best_dv(s1[2], s2[2], tofs[1], 1)
    for a, b in zip(best, one):
        np.testing.assert_array_equal(a[2, 1], b)
    one = orbelin.lambert_izzo_vec_dv(s1[3], s2[3], tofs[2], 1, False)
    for a, b in zip(vec, one):
        np.testing.assert_array_equal(a[3, 2], b)


def test_three_axis_batch_shapes():
    rng = np.random.default_rng(9)
    s1 = circular_states(rng, 6).reshape(3, 2, 6)
    s2 = circular_states(rng, 6).reshape(3, 2, 6)
    vec = orbelin.lambert_izzo_vec_dv(s1, s2, np.linspace(2000, 9000, 5), 0, False)
    assert [a.shape for a in vec] == [(3, 2, 5, 1)] * 3 + [(3, 2, 5, 1, 3)] * 2
    best = orbelin.lambert_izzo_best_dv(s1, s2, np.linspace(2000, 9000, 5), 0)
    assert [a.shape for a in best] == [(3, 2, 5)] * 3 + [(3, 2, 5, 3)] * 2
    best = orbelin.lambert_izzo_best_dv(s1, s2, 5000.0, 0)
    assert [a.shape for a in best] == [(3, 2)] * 3 + [(3, 2, 3)] * 2


@pytest.mark.parametrize("tof", [np.array([5000.0]), np.array([[5000.0]]), [5000.0]], ids=["1", "1x1", "list"])
def test_length_one_tof_adds_no_axis(tof):
    rng = np.random.default_rng(10)
    s1 = circular_states(rng, 2)
    s2 = circular_states(rng, 2)
    assert orbelin.lambert_izzo_vec_dv(s1, s2, tof, 0, False)[3].shape == (2, 1, 3)
    assert orbelin.lambert_izzo_best_dv(s1, s2, tof, 0)[3].shape == (2, 3)


def test_fortran_order_gives_identical_results():
    rng = np.random.default_rng(12)
    s1 = circular_states(rng, 8)
    s2 = circular_states(rng, 8)
    for fn, extra in [(orbelin.lambert_izzo_vec_dv, (False,)), (orbelin.lambert_izzo_best_dv, ())]:
        c = fn(s1, s2, [4000.0, 9000.0], 1, *extra)
        f = fn(np.asfortranarray(s1), np.asfortranarray(s2), [4000.0, 9000.0], 1, *extra)
        for a, b in zip(c, f):
            np.testing.assert_array_equal(a, b)


def test_empty_batch():
    empty = np.zeros((0, 6))
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_vec_dv(empty, empty, 100.0, 0, False)
    assert str(ei.value) == "No solutions found for any input"
    best = orbelin.lambert_izzo_best_dv(empty, empty, 100.0, 0)
    assert [a.shape for a in best] == [(0,), (0,), (0,), (0, 3), (0, 3)]
    best = orbelin.lambert_izzo_best_dv(empty, empty, [100.0, 200.0], 0)
    assert [a.shape for a in best] == [(0, 2), (0, 2), (0, 2), (0, 2, 3), (0, 2, 3)]


def test_empty_tof():
    s = np.ones((3, 6))
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_vec_dv(s, s, [], 0, False)
    assert str(ei.value) == "Time-of-flight array cannot be empty"
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_best_dv(s, s, [], 0)
    assert str(ei.value) == "Reshape dv1_mag: ShapeError/IncompatibleShape: incompatible shapes"
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_best_dv(s, s, np.zeros(0), 0)
    assert str(ei.value) == "Reshape dv1_mag: ShapeError/IncompatibleShape: incompatible shapes"


def test_empty_tof_and_empty_batch_for_best_dv():
    # No cases and a batch of zero rows: the empty result takes the batch shape.
    empty = np.zeros((0, 6))
    best = orbelin.lambert_izzo_best_dv(empty, empty, [], 0)
    assert [a.shape for a in best] == [(0,), (0,), (0,), (0, 3), (0, 3)]


# ---------------------------------------------------------------------------
# Messages
# ---------------------------------------------------------------------------

S10 = np.random.default_rng(3).uniform(7000, 9000, (10, 6))


@pytest.mark.parametrize(
    "s1, s2, vec_text, best_text",
    [
        (np.zeros((4, 3)), np.zeros((4, 3)), "s1 must have shape [..., 6]", "s1 must have shape [..., 6]"),
        (np.zeros(6)[:0], np.zeros(0), "s1 must have shape [..., 6]", "s1 must have shape [..., 6]"),
        (np.zeros(()), np.zeros(()), "s1 must have shape [..., 6]", "s1 must have shape [..., 6]"),
        (np.zeros((4, 6)), np.zeros((5, 6)), "s1 and s2 must have matching shapes",
         "s1 and s2 must have matching shapes"),
        (np.zeros((4, 6)), np.zeros((1, 6)), "s1 and s2 must have matching shapes",
         "s1 and s2 must have matching shapes"),
        (np.zeros((4, 6)), np.zeros((4, 3)), "s1 and s2 must have matching shapes",
         "s1 and s2 must have matching shapes"),
        (S10[::2], S10[:5], "Failed to reshape s1",
         "Reshape s1 failed: ShapeError/IncompatibleLayout: incompatible memory layout"),
        (S10[:5], S10[::2], "Failed to reshape s2",
         "Reshape s2 failed: ShapeError/IncompatibleLayout: incompatible memory layout"),
        (S10[::-1], S10, "Failed to reshape s1",
         "Reshape s1 failed: ShapeError/IncompatibleLayout: incompatible memory layout"),
    ],
)
def test_shape_messages(s1, s2, vec_text, best_text):
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_vec_dv(s1, s2, 3600.0, 0, False)
    assert str(ei.value) == vec_text
    with pytest.raises(ValueError) as ei:
        orbelin.lambert_izzo_best_dv(s1, s2, 3600.0, 0)
    assert str(ei.value) == best_text


@pytest.mark.parametrize(
    "tof, exc, vec_text, best_text",
    [
        (np.ones((2, 2)), ValueError, "Time-of-flight array must be 1D, got 2D", "Time-of-flight must be 1D"),
        (np.ones((1, 2, 2)), ValueError, "Time-of-flight array must be 1D, got 3D", "Time-of-flight must be 1D"),
        ([1000, 2000], TypeError, "type mismatch:\n from=int64, to=float64", "type mismatch:\n from=int64, to=float64"),
    ],
)
def test_tof_messages(tof, exc, vec_text, best_text):
    with pytest.raises(exc) as ei:
        orbelin.lambert_izzo_vec_dv(S1, S2, tof, 0, False)
    assert type(ei.value) is exc and str(ei.value) == vec_text
    with pytest.raises(exc) as ei:
        orbelin.lambert_izzo_best_dv(S1, S2, tof, 0)
    assert type(ei.value) is exc and str(ei.value) == best_text


@pytest.mark.parametrize("name", ["lambert_izzo_vec_dv", "lambert_izzo_best_dv"])
@pytest.mark.parametrize(
    "arg, text",
    [
        ([0.0] * 6, "argument 's1': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.zeros(6, dtype=np.int64), "argument 's1': type mismatch:\n from=int64, to=float64"),
    ],
)
def test_array_conversion_messages(name, arg, text):
    fn = getattr(orbelin, name)
    extra = (False,) if name == "lambert_izzo_vec_dv" else ()
    with pytest.raises(TypeError) as ei:
        fn(arg, S2, 3600.0, 0, *extra)
    assert str(ei.value) == text


@pytest.mark.parametrize("mu, text", [(-1.0, "-1"), (0.0, "0")])
def test_non_positive_mu_is_an_internal_fault(mu, text):
    expected = "Gravity parameter mu must be positive, got: " + text
    assert panic_text(orbelin.lambert_izzo_vec_dv, S1, S2, 3600.0, 0, False, mu=mu) == expected
    assert panic_text(orbelin.lambert_izzo_best_dv, S1, S2, 3600.0, 0, mu=mu) == expected


def test_flags_and_counts():
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_best_dv(S1, S2, 3600.0, 0, rendezvous=1)
    assert str(ei.value) == "argument 'rendezvous': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_vec_dv(S1, S2, 3600.0, 0, 0)
    assert str(ei.value) == "argument 'retrograde': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(OverflowError):
        orbelin.lambert_izzo_best_dv(S1, S2, 3600.0, -1)
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_best_dv(S1, S2, 3600.0, 0, retrograde=False)
    assert str(ei.value) == "lambert_izzo_best_dv() got an unexpected keyword argument 'retrograde'"
    with pytest.raises(TypeError) as ei:
        orbelin.lambert_izzo_vec_dv(S1, S2, 3600.0, 0, False, rendezvous=True)
    assert str(ei.value) == "lambert_izzo_vec_dv() got an unexpected keyword argument 'rendezvous'"


@pytest.mark.parametrize(
    "name, params",
    [
        ("lambert_izzo_vec_dv", ["s1", "s2", "tof", "max_rev", "retrograde", "mu", "tol", "maxiter",
                                 "reentry_check"]),
        ("lambert_izzo_best_dv", ["s1", "s2", "tof", "max_rev", "mu", "tol", "maxiter", "rendezvous",
                                  "reentry_check"]),
    ],
)
def test_signature(name, params):
    sig = inspect.signature(getattr(orbelin, name))
    assert list(sig.parameters) == params
    required = 5 if name == "lambert_izzo_vec_dv" else 4
    for i, p in enumerate(sig.parameters.values()):
        assert p.default is (inspect.Parameter.empty if i < required else Ellipsis), p.name


# ---------------------------------------------------------------------------
# Thread-count invariance
# ---------------------------------------------------------------------------

_DIGEST_SCRIPT = r"""
import hashlib
import numpy as np
import orbelin
rng = np.random.default_rng(7)
n = 2000
def states():
    d = rng.normal(size=(n, 3)); d /= np.linalg.norm(d, axis=1)[:, None]
    r = rng.uniform(6700, 42000, n)[:, None] * d
    t = np.cross(r, rng.normal(size=(n, 3))); t /= np.linalg.norm(t, axis=1)[:, None]
    return np.concatenate([r, np.sqrt(398600.4418 / np.linalg.norm(r, axis=1))[:, None] * t], axis=1)
s1, s2 = states(), states()
out = hashlib.sha256()
for a in orbelin.lambert_izzo_vec_dv(s1, s2, [3000.0, 30000.0], 2, False):
    out.update(a.tobytes())
for a in orbelin.lambert_izzo_best_dv(s1, s2, [3000.0, 30000.0], 2):
    out.update(a.tobytes())
print(out.hexdigest())
"""


def _digest(prefix):
    env = dict(os.environ)
    mod_dir = os.path.dirname(os.path.abspath(orbelin.__file__))
    env["PYTHONPATH"] = os.pathsep.join([mod_dir, env.get("PYTHONPATH", "")])
    out = subprocess.run(prefix + [sys.executable, "-c", _DIGEST_SCRIPT], env=env, capture_output=True, text=True,
                         timeout=120, check=True)
    return out.stdout.strip()


@pytest.mark.skipif(shutil.which("taskset") is None, reason="taskset is not installed")
def test_results_do_not_depend_on_the_thread_count():
    one = _digest(["taskset", "-c", "0"])
    assert len(one) == 64
    assert one == _digest([])
