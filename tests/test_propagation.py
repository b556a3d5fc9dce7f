"""Universal-variable Kepler propagation through kepler_universal_2body_py."""

import inspect

import mpmath
import numpy as np
import pytest

import orbelin
from helpers import panic_text

MU = 398600.4418  # km^3/s^2, built into the propagation


def conic_state(rp, ecc, inc_deg=0.0):
    """State at periapsis (km, km/s) of a conic with periapsis radius rp."""
    speed = np.sqrt(MU * (1.0 + ecc) / rp)
    inc = np.radians(inc_deg)
    return np.array([rp, 0.0, 0.0, 0.0, speed * np.cos(inc), speed * np.sin(inc)])


def off_periapsis_state(rp, ecc, true_anomaly_deg, inc_deg=30.0):
    """State at a given true anomaly of a conic, in an inclined plane."""
    p = rp * (1.0 + ecc)
    nu = np.radians(true_anomaly_deg)
    r = p / (1.0 + ecc * np.cos(nu))
    pos_pf = r * np.array([np.cos(nu), np.sin(nu), 0.0])
    vel_pf = np.sqrt(MU / p) * np.array([-np.sin(nu), ecc + np.cos(nu), 0.0])
    inc = np.radians(inc_deg)
    rot = np.array([[1.0, 0.0, 0.0], [0.0, np.cos(inc), -np.sin(inc)], [0.0, np.sin(inc), np.cos(inc)]])
    return np.concatenate([rot @ pos_pf, rot @ vel_pf])


def inverse_sma(state):
    r = np.linalg.norm(state[:3])
    v = np.linalg.norm(state[3:])
    return 2.0 / r - v * v / MU


def propagate(state, dt):
    r, v = orbelin.kepler_universal_2body_py(np.asarray(state, dtype=np.float64), dt)
    return np.concatenate([r, v])


def specific_energy(state):
    return 0.5 * state[3:] @ state[3:] - MU / np.linalg.norm(state[:3])


# Periapsis 7000 km: eccentricities of an ellipse, ellipses and hyperbolas just
# outside the near-parabolic band, a near-parabola inside it, and a hyperbola.
KINDS = {
    "elliptic": off_periapsis_state(7000.0, 0.3, 40.0),
    "elliptic-0.99": off_periapsis_state(7000.0, 0.99, 60.0),
    "near-parabolic": off_periapsis_state(7000.0, 1.0 + 2e-4, 30.0),
    "hyperbolic-1.01": off_periapsis_state(7000.0, 1.01, -20.0),
    "hyperbolic": off_periapsis_state(7000.0, 1.8, 25.0),
}


def test_kinds_cover_the_initial_guess_branches():
    assert inverse_sma(KINDS["elliptic"]) > 1e-6
    assert inverse_sma(KINDS["elliptic-0.99"]) > 1e-6
    assert abs(inverse_sma(KINDS["near-parabolic"])) < 1e-6
    assert inverse_sma(KINDS["hyperbolic-1.01"]) < -1e-6
    assert inverse_sma(KINDS["hyperbolic"]) < -1e-6


def test_vallado_example():
    # Vallado, Fundamentals of Astrodynamics and Applications, Example 2-4.
    state = np.array([1131.340, -2282.343, 6672.423, -5.64305, 4.30333, 2.42879])
    r, v = orbelin.kepler_universal_2body_py(state, 40.0 * 60.0)
    np.testing.assert_allclose(r, [-4219.7527, 4363.0292, -3958.7666], rtol=0, atol=5e-5)
    np.testing.assert_allclose(v, [3.689866, -1.916735, -6.112511], rtol=0, atol=5e-7)


@pytest.mark.parametrize("inc_deg", [0.0, 28.5, 98.0, 180.0])
def test_circular_orbit_returns_after_one_period(inc_deg):
    start = conic_state(7000.0, 0.0, inc_deg)
    period = 2.0 * np.pi * np.sqrt(7000.0**3 / MU)
    end = propagate(start, period)
    np.testing.assert_allclose(end[:3], start[:3], rtol=0, atol=1e-6)
    np.testing.assert_allclose(end[3:], start[3:], rtol=0, atol=1e-9)


@pytest.mark.parametrize("inc_deg", [0.0, 51.6])
def test_circular_orbit_half_period_reaches_the_opposite_point(inc_deg):
    start = conic_state(7000.0, 0.0, inc_deg)
    half = np.pi * np.sqrt(7000.0**3 / MU)
    end = propagate(start, half)
    np.testing.assert_allclose(end, -start, rtol=0, atol=1e-6)


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("dt", [600.0, 3600.0, -1800.0, -7200.0])
def test_forward_then_backward_round_trip(kind, dt):
    start = KINDS[kind]
    there = propagate(start, dt)
    assert np.all(np.isfinite(there))
    assert not np.allclose(there[:3], start[:3])
    back = propagate(there, -dt)
    np.testing.assert_allclose(back[:3], start[:3], rtol=0, atol=1e-6)
    np.testing.assert_allclose(back[3:], start[3:], rtol=0, atol=1e-9)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_steps_compose(kind):
    start = KINDS[kind]
    direct = propagate(start, 5000.0)
    stepped = propagate(propagate(start, 2000.0), 3000.0)
    np.testing.assert_allclose(stepped[:3], direct[:3], rtol=0, atol=1e-6)
    np.testing.assert_allclose(stepped[3:], direct[3:], rtol=0, atol=1e-9)


@pytest.mark.parametrize("kind", ["elliptic", "near-parabolic", "hyperbolic"])
def test_zero_interval_returns_the_input(kind):
    start = KINDS[kind]
    np.testing.assert_allclose(propagate(start, 0.0), start, rtol=1e-15, atol=0)


@pytest.mark.parametrize("kind", ["elliptic", "hyperbolic"])
def test_backward_propagation_retraces_the_orbit_before_periapsis(kind):
    # Mirror symmetry about the apse line: the state dt before periapsis is the
    # state dt after it, reflected through the x axis with the velocity reversed.
    start = conic_state(7000.0, 0.3 if kind == "elliptic" else 1.8)
    after = propagate(start, 1500.0)
    before = propagate(start, -1500.0)
    mirror = np.array([1.0, -1.0, 1.0, -1.0, 1.0, -1.0])
    np.testing.assert_allclose(before, after * mirror, rtol=0, atol=1e-7)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_energy_and_angular_momentum_are_conserved(seed):
    rng = np.random.default_rng(seed)
    checked = 0
    while checked < 200:
        direction = rng.normal(size=3)
        r0 = direction / np.linalg.norm(direction) * rng.uniform(6600.0, 42000.0)
        heading = rng.normal(size=3)
        escape = np.sqrt(2.0 * MU / np.linalg.norm(r0))
        v0 = heading / np.linalg.norm(heading) * escape * rng.uniform(0.3, 1.5)
        h0 = np.cross(r0, v0)
        ecc = np.linalg.norm(np.cross(v0, h0) / MU - r0 / np.linalg.norm(r0))
        if (h0 @ h0 / MU) / (1.0 + ecc) < 6500.0:
            continue  # the orbit would pass through the Earth
        checked += 1
        start = np.concatenate([r0, v0])
        end = propagate(start, rng.uniform(-86400.0, 86400.0))
        scale = MU / np.linalg.norm(r0)
        assert abs(specific_energy(end) - specific_energy(start)) < 1e-10 * scale
        np.testing.assert_allclose(np.cross(end[:3], end[3:]), h0, rtol=0, atol=1e-10 * np.linalg.norm(h0))


MU_SUN = 1.32712440018e11  # km^3/s^2
AU = 1.495978707e8  # km


def reference_propagation(state, dt, mu):
    """State after dt from the eccentric (or hyperbolic) anomaly, Kepler's equation solved in 40-digit arithmetic:
    an independent route to the same physics."""
    with mpmath.workdps(40):
        r0 = [mpmath.mpf(float(x)) for x in state[:3]]
        v0 = [mpmath.mpf(float(x)) for x in state[3:]]
        mu, dt = mpmath.mpf(mu), mpmath.mpf(dt)
        rn = mpmath.sqrt(sum(x * x for x in r0))
        rv = sum(x * y for x, y in zip(r0, v0))
        a = 1 / (2 / rn - sum(x * x for x in v0) / mu)
        if a > 0:
            e_cos, e_sin = 1 - rn / a, rv / mpmath.sqrt(mu * a)
            e = mpmath.hypot(e_cos, e_sin)
            e0 = mpmath.atan2(e_sin, e_cos)
            m = mpmath.sqrt(mu / a**3) * dt
            d = mpmath.findroot(lambda x: x - e * (mpmath.sin(e0 + x) - mpmath.sin(e0)) - m, (m - 2, m + 2),
                                solver="anderson")
            r = a * (1 - e * mpmath.cos(e0 + d))
            f, g = 1 - a / rn * (1 - mpmath.cos(d)), dt - mpmath.sqrt(a**3 / mu) * (d - mpmath.sin(d))
            fd, gd = -mpmath.sqrt(mu * a) * mpmath.sin(d) / (r * rn), 1 - a / r * (1 - mpmath.cos(d))
        else:
            e_cosh, e_sinh = 1 - rn / a, rv / mpmath.sqrt(-mu * a)
            e = mpmath.sqrt(e_cosh**2 - e_sinh**2)
            h0 = mpmath.asinh(e_sinh / e)
            m = mpmath.sqrt(mu / (-a) ** 3) * dt
            # e sinh(h0 + x) - e sinh(h0) - x = m, bracketed by doubling.
            k = lambda x: e * (mpmath.sinh(h0 + x) - mpmath.sinh(h0)) - x - m
            lo, hi = mpmath.mpf(-1), mpmath.mpf(1)
            while k(lo) > 0:
                lo *= 2
            while k(hi) < 0:
                hi *= 2
            d = mpmath.findroot(k, (lo, hi), solver="anderson")
            r = a * (1 - e * mpmath.cosh(h0 + d))
            f, g = 1 - a / rn * (1 - mpmath.cosh(d)), dt - mpmath.sqrt((-a) ** 3 / mu) * (mpmath.sinh(d) - d)
            fd, gd = -mpmath.sqrt(-mu * a) * mpmath.sinh(d) / (r * rn), 1 - a / r * (1 - mpmath.cosh(d))
        position = [f * x + g * y for x, y in zip(r0, v0)]
        velocity = [fd * x + gd * y for x, y in zip(r0, v0)]
        return np.array([float(c) for c in position + velocity])


def random_conic_state(rng, rp, ecc, mu):
    """A state on the conic (periapsis rp, eccentricity ecc) at a random true anomaly, in a random plane."""
    limit = np.pi if ecc < 1.0 else 0.95 * np.arccos(-1.0 / ecc)
    nu = rng.uniform(-limit, limit)
    p = rp * (1.0 + ecc)
    r = p / (1.0 + ecc * np.cos(nu))
    pos = r * np.array([np.cos(nu), np.sin(nu), 0.0])
    vel = np.sqrt(mu / p) * np.array([-np.sin(nu), ecc + np.cos(nu), 0.0])
    basis, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    return np.concatenate([basis @ pos, basis @ vel])


# (mu, periapsis range km, eccentricity range, interval in periods or periapsis time scales, cases). The heliocentric
# and the low-periapsis Earth ellipses include dozens of cases that 50 Newton steps from Vallado's guess leave far
# from the answer.
HARD_CASES = {
    "sun-e0.9-0.99": (MU_SUN, (0.3 * AU, 1.5 * AU), (0.9, 0.99), 3.0, 1000),
    "earth-e0.9-0.999": (MU, (6600.0, 7200.0), (0.9, 0.999), 20.0, 500),
    "earth-hyperbolic": (MU, (6600.0, 50000.0), (1.0001, 4.0), 30.0, 200),
    "sun-hyperbolic": (MU_SUN, (0.3 * AU, 3.0 * AU), (1.0001, 4.0), 30.0, 200),
}


@pytest.mark.parametrize("name", sorted(HARD_CASES))
def test_matches_kepler_equation_at_high_eccentricity_and_heliocentric_scale(name):
    mu, (rp_lo, rp_hi), (e_lo, e_hi), periods, count = HARD_CASES[name]
    rng = np.random.default_rng(sorted(HARD_CASES).index(name))
    worst = 0.0
    for _ in range(count):
        rp, ecc = rng.uniform(rp_lo, rp_hi), rng.uniform(e_lo, e_hi)
        state = random_conic_state(rng, rp, ecc, mu)
        a = abs(rp / (1.0 - ecc))
        dt = rng.uniform(-periods, periods) * 2.0 * np.pi * np.sqrt(a**3 / mu)
        r, v = orbelin.kepler_universal_2body_py(state, dt, mu=mu)
        want = reference_propagation(state, dt, mu)
        error = max(np.linalg.norm(r - want[:3]) / np.linalg.norm(want[:3]),
                    np.linalg.norm(v - want[3:]) / np.linalg.norm(want[3:]))
        worst = max(worst, error)
    assert worst < 1e-9


@pytest.mark.parametrize(
    "state, dt, mu",
    [
        (np.array([0.0, 0.0, 0.0, 1.0, 2.0, 3.0]), 100.0, MU),
        (np.array([7000.0, np.inf, 0.0, 0.0, 7.5, 0.0]), 100.0, MU),
        (np.array([7000.0, 0.0, 0.0, 0.0, 7.5, np.nan]), 100.0, MU),
        (np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0]), np.inf, MU),
        (np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0]), 100.0, 0.0),
        (np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0]), 100.0, -MU),
    ],
)
def test_no_answer_gives_nan(state, dt, mu):
    r, v = orbelin.kepler_universal_2body_py(state, dt, mu=mu)
    assert np.all(np.isnan(r)) and np.all(np.isnan(v))


def test_result_is_a_tuple_of_position_and_velocity():
    start = KINDS["elliptic"]
    result = orbelin.kepler_universal_2body_py(start, 100.0)
    assert type(result) is tuple
    assert len(result) == 2
    for part in result:
        assert isinstance(part, np.ndarray)
        assert part.shape == (3,)
        assert part.dtype == np.float64
        assert part.flags.c_contiguous and part.flags.writeable
    assert not np.shares_memory(result[0], start)


def test_input_is_not_modified():
    start = KINDS["hyperbolic"].copy()
    kept = start.copy()
    orbelin.kepler_universal_2body_py(start, 1234.0)
    np.testing.assert_array_equal(start, kept)


def test_keywords_and_int_interval_are_accepted():
    start = KINDS["elliptic"]
    by_keyword = orbelin.kepler_universal_2body_py(dt_sec=60, init_state_vec=start)
    positional = orbelin.kepler_universal_2body_py(start, 60.0)
    np.testing.assert_array_equal(by_keyword[0], positional[0])
    np.testing.assert_array_equal(by_keyword[1], positional[1])


def test_nan_interval_gives_nan():
    r, v = orbelin.kepler_universal_2body_py(KINDS["elliptic"], float("nan"))
    assert np.all(np.isnan(r)) and np.all(np.isnan(v))


def expect_panic(call, *fragments):
    text = panic_text(call)
    for fragment in fragments:
        assert fragment in text


@pytest.mark.parametrize("length", [0, 1, 5, 7, 12])
def test_wrong_length_is_an_internal_fault(length):
    state = np.zeros(length)
    expect_panic(lambda: orbelin.kepler_universal_2body_py(state, 10.0),
                 "Input vector must have 6 elements", str(length), "6")


def test_non_contiguous_state_is_an_internal_fault():
    state = np.arange(12.0)[::2]
    assert state.shape == (6,) and not state.flags.c_contiguous
    expect_panic(lambda: orbelin.kepler_universal_2body_py(state, 10.0), "not contiguous")


def test_panic_is_not_caught_by_except_exception():
    with pytest.raises(BaseException) as info:
        try:
            orbelin.kepler_universal_2body_py(np.zeros(5), 1.0)
        except Exception:  # must not catch the internal fault
            pytest.fail("internal fault caught as Exception")
    assert type(info.value).__name__ == "PanicException"


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros((1, 6)), "argument 'init_state_vec': dimensionality mismatch:\n from=2, to=1"),
        (np.zeros(6, dtype=np.int64), "argument 'init_state_vec': type mismatch:\n from=int64, to=float64"),
        (np.zeros(6, dtype=np.float32), "argument 'init_state_vec': type mismatch:\n from=float32, to=float64"),
        ([0.0] * 6, "argument 'init_state_vec': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_state_argument_errors(value, message):
    with pytest.raises(TypeError) as info:
        orbelin.kepler_universal_2body_py(value, 1.0)
    assert str(info.value) == message


def test_interval_argument_error():
    with pytest.raises(TypeError) as info:
        orbelin.kepler_universal_2body_py(KINDS["elliptic"], "60")
    assert str(info.value).startswith("argument 'dt_sec': ")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "kepler_universal_2body_py() missing 2 required positional arguments: 'init_state_vec' and 'dt_sec'"),
        (
            (np.zeros(6), 1.0, 2.0, 3.0),
            {},
            "kepler_universal_2body_py() takes from 2 to 3 positional arguments but 4 were given",
        ),
        ((np.zeros(6), 1.0), {"nu": 1.0}, "kepler_universal_2body_py() got an unexpected keyword argument 'nu'"),
        ((np.zeros(6), 1.0, 2.0), {"mu": 1.0}, "kepler_universal_2body_py() got multiple values for argument 'mu'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        orbelin.kepler_universal_2body_py(*args, **kwargs)
    assert str(info.value) == message


def test_docstring_and_signature():
    fn = orbelin.kepler_universal_2body_py
    assert fn.__doc__.startswith("Python-accessible version of `kepler_universal_2body`\n\n")
    assert fn.__text_signature__ == "(init_state_vec, dt_sec, mu=...)"
    assert list(inspect.signature(fn).parameters) == ["init_state_vec", "dt_sec", "mu"]
    assert fn.__module__ == "orbelin"


# ---------------------------------------------------------------------------
# kepler_universal_2body_vec: batches on the worker pool
# ---------------------------------------------------------------------------

def single(state, dt, mu=MU):
    r, v = orbelin.kepler_universal_2body_py(np.ascontiguousarray(state), float(dt), mu=mu)
    return np.concatenate([r, v])


BATCH = np.stack(list(KINDS.values()))  # (5, 6)


@pytest.mark.parametrize(
    "states, dt, shape",
    [
        (BATCH[0], 1234.5, (6,)),
        (BATCH, 900.0, (5, 6)),
        (BATCH, np.linspace(-4000.0, 4000.0, 5), (5, 6)),
        (BATCH, np.array([[-600.0], [0.0], [2500.0]]), (3, 5, 6)),
        (BATCH[0], np.array([1.0, 10.0, 1e4]), (3, 6)),
        (BATCH.reshape(5, 1, 6), np.array([300.0, -300.0]), (5, 2, 6)),
        (np.asfortranarray(np.stack([BATCH, BATCH[::-1]])), np.array([[100.0], [7000.0]]), (2, 5, 6)),
    ],
    ids=["one-state", "scalar-dt", "dt-per-state", "dt-column", "one-state-many-dt", "outer", "fortran"],
)
def test_batch_rows_equal_single_propagations(states, dt, shape):
    out = orbelin.kepler_universal_2body_vec(states, dt)
    assert out.shape == shape and out.dtype == np.float64 and out.flags.c_contiguous
    b_states, b_dt = np.broadcast_arrays(states[..., 0], dt)
    full = np.broadcast_to(states, b_states.shape + (6,))
    for idx in np.ndindex(b_states.shape):
        np.testing.assert_array_equal(out[idx], single(full[idx], b_dt[idx]), err_msg=str(idx))


def test_batch_passes_mu_and_accepts_lists():
    out = orbelin.kepler_universal_2body_vec(BATCH[:2], [60, 120], mu=3.986e5)
    for k, dt in enumerate([60.0, 120.0]):
        np.testing.assert_array_equal(out[k], single(BATCH[k], dt, mu=3.986e5))


def test_batch_of_a_large_random_set_conserves_energy():
    rng = np.random.default_rng(5)
    states = np.stack([off_periapsis_state(rng.uniform(6600, 20000), rng.uniform(0, 0.9), rng.uniform(0, 360),
                                           rng.uniform(0, 180)) for _ in range(2000)])
    dt = rng.uniform(-20000.0, 20000.0, 2000)
    out = orbelin.kepler_universal_2body_vec(states, dt)
    e0 = 0.5 * np.einsum("ij,ij->i", states[:, 3:], states[:, 3:]) - MU / np.linalg.norm(states[:, :3], axis=1)
    e1 = 0.5 * np.einsum("ij,ij->i", out[:, 3:], out[:, 3:]) - MU / np.linalg.norm(out[:, :3], axis=1)
    np.testing.assert_allclose(e1, e0, rtol=1e-9)
    for k in range(0, 2000, 97):
        np.testing.assert_array_equal(out[k], single(states[k], dt[k]))


@pytest.mark.parametrize(
    "states, dt, text",
    [
        (np.zeros((4, 5)), 1.0, "states must have shape [..., 6]"),
        (np.zeros(()), 1.0, "states must have shape [..., 6]"),
        (np.zeros((4, 6))[::2], 1.0, "Failed to reshape states"),
        (np.zeros((4, 6)), np.ones(3), "dt of shape (3,) does not broadcast against the batch axes (4,) of states"),
        (np.zeros((2, 4, 6)), np.ones((3, 1)),
         "dt of shape (3, 1) does not broadcast against the batch axes (2, 4) of states"),
    ],
)
def test_batch_refusals(states, dt, text):
    with pytest.raises(ValueError) as ei:
        orbelin.kepler_universal_2body_vec(states, dt)
    assert str(ei.value) == text


def test_batch_argument_errors():
    with pytest.raises(TypeError) as ei:
        orbelin.kepler_universal_2body_vec(np.zeros((2, 6), dtype=np.float32), 1.0)
    assert str(ei.value) == "argument 'states': type mismatch:\n from=float32, to=float64"
    with pytest.raises(TypeError):
        orbelin.kepler_universal_2body_vec(np.zeros((2, 6)), [1j, 2j])


def test_states_changed_while_dt_is_read_are_checked_again():
    states = np.tile(BATCH[0], (10, 1)).copy()

    class Shrinking:
        def __array__(self, dtype=None, copy=None):
            states.resize((0,), refcheck=False)
            return np.ones(10)

    with pytest.raises(ValueError) as ei:
        orbelin.kepler_universal_2body_vec(states, Shrinking())
    assert str(ei.value) == "states must have shape [..., 6]"


def test_batch_docstring_and_signature():
    assert str(inspect.signature(orbelin.kepler_universal_2body_vec)) == "(states, dt, mu=Ellipsis)"
    assert "kepler_universal_2body_py" in orbelin.kepler_universal_2body_vec.__doc__
