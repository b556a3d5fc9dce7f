"""lambert_izzo_jacobian: the derivatives against an independent derivation through the two-body state transition
matrix of each arc, the symmetry under rotations, the solution slots of lambert_izzo_vec, and NaN where the
derivatives are not defined. (Central differences of the solver itself: tests/cpp/test_lambert_jacobian.cpp.)"""

import numpy as np
import pytest

import orbelin
from helpers import MU, min_energy_period, random_directions, random_pairs, state_transition

MU_SUN = 1.32712440018e11
AU = 1.495978707e8


def random_arcs(seed, n, mu):
    """n (r1, r2, tof): Earth orbits (radii 6600-42000 km) or, for the Sun's mu, the same scaled to 0.3-2 AU;
    times of flight from 1/30 of a minimum-energy period (hyperbolas) to eight of them (five revolutions and more);
    transfer angles at least 6 degrees away from 0 and 180."""
    rng = np.random.default_rng(seed)
    r1, r2 = random_pairs(rng, 4 * n)
    if mu == MU_SUN:
        r1, r2 = r1 * (AU / 21000.0), r2 * (AU / 21000.0)
    keep = np.linalg.norm(np.cross(r1, r2), axis=1) > 0.1 * np.linalg.norm(r1, axis=1) * np.linalg.norm(r2, axis=1)
    r1, r2 = r1[keep][:n], r2[keep][:n]
    tof = min_energy_period(r1, r2, mu) * np.exp(rng.uniform(np.log(1 / 30), np.log(8.0), n))
    return r1, r2, tof


def stm_jacobian(r1, v1, r2, v2, tof, mu):
    """The 6x7 Jacobian from the state transition matrix of the arc: r2 = r(r1, v1, t) gives
    dv1 = Phi_rv^-1 (dr2 - Phi_rr dr1 - v2 dt), and v2 = v(r1, v1, t) then gives dv2 = Phi_vr dr1 + Phi_vv dv1 + a2 dt."""
    phi = state_transition(r1, v1, tof, mu)
    rr, rv, vr, vv = phi[:3, :3], phi[:3, 3:], phi[3:, :3], phi[3:, 3:]
    inv = np.linalg.inv(rv)
    a2 = -mu * r2 / np.linalg.norm(r2) ** 3
    dv1 = np.hstack([-inv @ rr, inv, (-inv @ v2)[:, None]])
    dv2 = vv @ dv1 + np.hstack([vr, np.zeros((3, 3)), a2[:, None]])
    return np.vstack([dv1, dv2])


def column_errors(got, want):
    """Per arc, the largest relative difference of a column (Euclidean norms)."""
    return (np.linalg.norm(got - want, axis=-2) / np.linalg.norm(want, axis=-2)).max(axis=-1)


@pytest.mark.parametrize("retrograde", [False, True])
@pytest.mark.parametrize("mu", [MU, MU_SUN])
def test_jacobian_agrees_with_the_state_transition_matrix(mu, retrograde):
    errors, revs = [], []
    for r1, r2, tof in zip(*random_arcs(5 if mu == MU else 6, 40, mu)):
        sols = orbelin.lambert_izzo_vec(r1, r2, tof, 5, retrograde, mu=mu)
        jac = orbelin.lambert_izzo_jacobian(r1, r2, tof, 5, retrograde, mu=mu)
        assert jac.shape == sols.v1.shape[:-1] + (6, 7)
        for j in range(jac.shape[0]):
            want = stm_jacobian(r1, sols.v1[j], r2, sols.v2[j], tof, mu)
            errors.append(column_errors(jac[j], want))
            revs.append(int(sols.num_revs[j]))
    assert len(errors) > 60 and max(revs) == 5
    assert max(errors) < 1e-8


@pytest.mark.parametrize("max_rev", [0, 3])
def test_rotating_the_geometry_rotates_the_jacobian(max_rev):
    r1, r2, tof = random_arcs(8, 30, MU)
    rng = np.random.default_rng(9)
    for a, b, t in zip(r1, r2, tof):
        rot, _ = np.linalg.qr(rng.normal(size=(3, 3)))
        # The solver's sense of motion follows the sign of the z component of r1 x r2: keep it.
        if np.sign(np.cross(a, b)[2]) != np.sign(np.cross(rot @ a, rot @ b)[2]):
            continue
        jac = orbelin.lambert_izzo_jacobian(a, b, t, max_rev, False)
        turned = orbelin.lambert_izzo_jacobian(rot @ a, rot @ b, t, max_rev, False)
        rows = np.kron(np.eye(2), rot)
        cols = np.zeros((7, 7))
        cols[:6, :6], cols[6, 6] = rows, 1.0
        assert np.all(column_errors(turned, rows @ jac @ cols.T) < 1e-10)


def test_slots_are_those_of_lambert_izzo_vec():
    r1, r2 = random_pairs(10, 6)
    tofs = [0.3 * float(min_energy_period(r1[0], r2[0])), 3.5 * float(min_energy_period(r1[0], r2[0]))]
    sols = orbelin.lambert_izzo_vec(r1.reshape(2, 3, 3), r2.reshape(2, 3, 3), tofs, 3, True)
    jac = orbelin.lambert_izzo_jacobian(r1.reshape(2, 3, 3), r2.reshape(2, 3, 3), tofs, 3, True)
    assert jac.shape == sols.tof.shape + (6, 7) and jac.dtype == np.float64 and jac.flags.c_contiguous
    empty = np.isnan(sols.tof)
    assert empty.any() and not empty.all()
    assert np.isnan(jac[empty]).all() and np.isfinite(jac[~empty]).all()
    # One case alone gives its own slots of the batch.
    alone = orbelin.lambert_izzo_jacobian(r1[4], r2[4], tofs[1], 3, True)
    np.testing.assert_array_equal(alone, jac[1, 1, 1, : alone.shape[0]])


@pytest.mark.parametrize("r2, tof", [
    ([-9000.0, 0.0, 0.0], 5000.0),      # 180 degrees
    ([9000.0, 0.0, 0.0], 5000.0),       # 0 degrees
    ([-9000.0, 1e-3, 0.0], 5000.0),     # within 1e-6 rad of 180 degrees
    ([0.0, 9000.0, 0.0], 0.0),          # no time
    ([0.0, 9000.0, 0.0], float("nan")),
])
def test_jacobian_is_nan_where_it_is_not_defined(r2, tof):
    jac = orbelin.lambert_izzo_jacobian(np.array([7000.0, 0.0, 0.0]), np.array(r2), tof, 2, False)
    assert jac.ndim == 3 and np.isnan(jac).all()
