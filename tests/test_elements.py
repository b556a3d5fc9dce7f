"""rv2coe and coe2rv: published values, degenerate orbits, round trips,
shapes and messages."""

import numpy as np
import pytest

import orbelin

MU = 398600.4418


def state(r, v):
    return np.array([*r, *v], dtype=float)


def test_curtis_example_4_3():
    # Curtis, Orbital Mechanics for Engineering Students, Example 4.3 (mu = 398600).
    coe = orbelin.rv2coe(state([-6045.0, -3490.0, 2500.0], [-3.457, 6.618, 2.533]), mu=398600.0)
    a, e, i, raan, argp, nu = coe
    assert round(a) == 8788
    assert round(e, 4) == 0.1712
    assert round(i, 1) == 153.2
    assert round(raan, 1) == 255.3
    assert round(argp, 2) == 20.07
    assert round(nu, 2) == 28.45
    h = np.sqrt(398600.0 * a * (1 - e * e))
    assert round(h, -1) == 58310


def circular_speed(r):
    return np.sqrt(MU / r)


@pytest.mark.parametrize("longitude", [0.0, 35.0, 120.0, 200.0, 315.0])
def test_circular_equatorial_uses_true_longitude(longitude):
    th = np.radians(longitude)
    r = 7000.0 * np.array([np.cos(th), np.sin(th), 0.0])
    v = circular_speed(7000.0) * np.array([-np.sin(th), np.cos(th), 0.0])
    a, e, i, raan, argp, nu = orbelin.rv2coe(state(r, v))
    assert e < 1e-8 and i == 0.0 and raan == 0.0 and argp == 0.0
    assert nu == pytest.approx(longitude, abs=1e-9)


@pytest.mark.parametrize("u", [10.0, 100.0, 250.0])
def test_circular_inclined_uses_argument_of_latitude(u):
    inc = np.radians(40.0)
    th = np.radians(u)
    # Node on the x axis: position in the orbit plane rotated about x by inc.
    r = 7000.0 * np.array([np.cos(th), np.sin(th) * np.cos(inc), np.sin(th) * np.sin(inc)])
    v = circular_speed(7000.0) * np.array([-np.sin(th), np.cos(th) * np.cos(inc), np.cos(th) * np.sin(inc)])
    coe = orbelin.rv2coe(state(r, v), special=True)
    assert coe[4] == 0.0
    assert coe[2] == pytest.approx(40.0)
    assert coe[5] == pytest.approx(u, abs=1e-8)
    assert coe[6] == pytest.approx(u, abs=1e-8)


def test_equatorial_ellipse_uses_longitude_of_periapsis():
    rv = orbelin.coe2rv(np.array([9000.0, 0.3, 0.0, 0.0, 75.0, 30.0]))
    a, e, i, raan, argp, nu = orbelin.rv2coe(rv)
    assert raan == 0.0
    assert argp == pytest.approx(75.0)
    assert nu == pytest.approx(30.0)
    assert a == pytest.approx(9000.0) and e == pytest.approx(0.3)


def equatorial_state(ecc, periapsis_deg, nu_deg, direction, rp=8000.0):
    """A state in the equator built from the conic itself: periapsis at periapsis_deg (counter-clockwise from x),
    true anomaly nu_deg counted along the motion, direction +1 counter-clockwise (i = 0) or -1 clockwise
    (i = 180 deg)."""
    p = rp * (1 + ecc)
    nu = np.radians(nu_deg)
    phi = np.radians(periapsis_deg) + direction * nu
    radial = np.array([np.cos(phi), np.sin(phi), 0.0])
    along = direction * np.array([-np.sin(phi), np.cos(phi), 0.0])
    speed = np.sqrt(MU / p)
    velocity = speed * (ecc * np.sin(nu) * radial + (1 + ecc * np.cos(nu)) * along)
    return state(p / (1 + ecc * np.cos(nu)) * radial, velocity)


QUADRANTS = [30.0, 120.0, 210.0, 300.0]


@pytest.mark.parametrize("direction", [1, -1], ids=["prograde", "retrograde"])
@pytest.mark.parametrize("ecc", [0.0, 0.3])
def test_equatorial_elements_follow_the_motion_and_round_trip(direction, ecc):
    # Angles in the equator are measured from x in the orbit's own direction of motion, so that coe2rv turns them
    # back into the state: a clockwise orbit with periapsis at -60 deg has argp 60 deg. For a circular orbit
    # the anomaly is the position's true longitude.
    for angle in QUADRANTS:
        for nu in QUADRANTS if ecc else [0.0]:
            s = equatorial_state(ecc, angle, nu, direction)
            coe = orbelin.rv2coe(s, special=True)
            assert coe[2] == (0.0 if direction == 1 else 180.0)
            longitude = (direction * angle) % 360.0
            if ecc:
                assert coe[4] == pytest.approx(longitude) and coe[8] == pytest.approx(longitude)
                assert coe[5] == pytest.approx(nu)
            else:
                assert coe[4] == 0.0 and coe[5] == pytest.approx(longitude) and coe[7] == pytest.approx(longitude)
            np.testing.assert_allclose(orbelin.coe2rv(coe[:6]), s, rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("retro", [False, True])
def test_transfer_elements_of_equatorial_arcs_agree_with_rv2coe(retro):
    # Arcs in the equator both ways round, departures and arrivals in every quadrant.
    th = np.radians(np.array(QUADRANTS) + 10.0)
    r1 = 7000.0 * np.column_stack([np.cos(th), np.sin(th), np.zeros(4)])
    r2 = 9000.0 * np.column_stack([np.cos(th + 2.0), np.sin(th + 2.0), np.zeros(4)])
    arcs = orbelin.lambert_izzo_vec(r1, r2, 4000.0, 0, retro)
    dep = orbelin.rv2coe(np.concatenate([r1, arcs.v1[:, 0]], axis=1))
    arr = orbelin.rv2coe(np.concatenate([r2, arcs.v2[:, 0]], axis=1))
    assert np.all(dep[:, 2] == (180.0 if retro else 0.0))
    for k, name in enumerate(["sma", "ecc", "inc", "raan", "argp", "ta_depart"]):
        np.testing.assert_allclose(getattr(arcs, name)[:, 0], dep[:, k], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(arcs.ta_arrive[:, 0], arr[:, 5], rtol=1e-12, atol=1e-12)
    # The elements describe the arc: coe2rv of them gives back the departure state.
    np.testing.assert_allclose(orbelin.coe2rv(dep), np.concatenate([r1, arcs.v1[:, 0]], axis=1), rtol=1e-10, atol=1e-9)


def test_parabolic_state_has_infinite_axis_and_coe2rv_gives_nan():
    r = 7000.0
    coe = orbelin.rv2coe(state([r, 0, 0], [0, np.sqrt(2 * MU / r), 0]))
    assert coe[0] == np.inf
    assert coe[1] == pytest.approx(1.0)
    assert np.isnan(orbelin.coe2rv(coe)).all()


def test_hyperbolic_state():
    r = 7000.0
    v = 1.3 * np.sqrt(2 * MU / r)
    a, e, *_ = orbelin.rv2coe(state([r, 0, 0], [0, v, 0]))
    energy = v * v / 2 - MU / r
    assert a == pytest.approx(-MU / (2 * energy))
    assert a < 0 and e > 1
    # Periapsis at the start: rp = (e - 1)|a| = r.
    assert (e - 1) * -a == pytest.approx(r)


def test_nan_velocity_gives_nan_shape_elements_and_zero_angles():
    coe = orbelin.rv2coe(state([7000.0, 100.0, 50.0], [np.nan, 7.5, 0.0]))
    assert np.isnan(coe[:4]).all()
    assert coe[4] == 0.0 and coe[5] == 0.0


def test_retrograde_orbit_flips_true_longitude_once():
    # Circular, i = 150 deg, position below the x axis (r_y < 0): one flip.
    th = np.radians(60.0)
    inc = np.radians(150.0)
    r = 7000.0 * np.array([np.cos(th), np.sin(th) * np.cos(inc), np.sin(th) * np.sin(inc)])
    v = circular_speed(7000.0) * np.array([-np.sin(th), np.cos(th) * np.cos(inc), np.cos(th) * np.sin(inc)])
    coe = orbelin.rv2coe(state(r, v), special=True)
    lam0 = np.degrees(np.arccos(r[0] / np.linalg.norm(r)))
    assert r[1] < 0
    assert coe[7] == pytest.approx(360.0 - lam0)


def random_elements(rng, n, hyperbolic):
    e = rng.uniform(1.2, 3.0, n) if hyperbolic else rng.uniform(0.01, 0.9, n)
    rp = rng.uniform(6600.0, 30000.0, n)
    a = rp / (1 - e)
    nu_max = np.degrees(np.arccos(-1 / e)) - 5 if hyperbolic else np.full(n, 180.0)
    nu = rng.uniform(-1, 1, n) * nu_max % 360.0
    return np.column_stack([a, e, rng.uniform(5, 175, n), rng.uniform(0, 360, n), rng.uniform(0, 360, n), nu])


@pytest.mark.parametrize("hyperbolic", [False, True])
@pytest.mark.parametrize("deg", [True, False])
def test_coe2rv_rv2coe_round_trip(hyperbolic, deg):
    rng = np.random.default_rng(11 + hyperbolic)
    coe = random_elements(rng, 300, hyperbolic)
    if not deg:
        coe[:, 2:] = np.radians(coe[:, 2:])
    states = orbelin.coe2rv(coe, deg=deg)
    back = orbelin.rv2coe(states, deg=deg)
    np.testing.assert_allclose(orbelin.coe2rv(back, deg=deg), states, rtol=1e-11, atol=1e-9)
    np.testing.assert_allclose(back[:, :2], coe[:, :2], rtol=1e-10)


def test_coe2rv_state_has_the_elements_energy_and_momentum():
    rng = np.random.default_rng(5)
    coe = random_elements(rng, 200, False)
    rv = orbelin.coe2rv(coe, mu=MU)
    r = np.linalg.norm(rv[:, :3], axis=1)
    v = np.linalg.norm(rv[:, 3:], axis=1)
    np.testing.assert_allclose(v**2 / 2 - MU / r, -MU / (2 * coe[:, 0]), rtol=1e-11)
    h = np.cross(rv[:, :3], rv[:, 3:])
    np.testing.assert_allclose(np.degrees(np.arccos(h[:, 2] / np.linalg.norm(h, axis=1))), coe[:, 2], atol=1e-9)


@pytest.mark.parametrize("shape", [(6,), (4, 6), (2, 3, 6), (0, 6)])
@pytest.mark.parametrize("special", [False, True])
def test_shapes(shape, special):
    rng = np.random.default_rng(0)
    states = orbelin.coe2rv(random_elements(rng, int(np.prod(shape[:-1])), False).reshape(shape))
    assert states.shape == shape
    out = orbelin.rv2coe(states, special=special)
    assert out.shape == shape[:-1] + (9 if special else 6,)
    assert out.dtype == np.float64 and out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    rows = orbelin.rv2coe(states.reshape(-1, 6), special=special)
    np.testing.assert_array_equal(out.reshape(-1, out.shape[-1]), rows)


def test_fortran_ordered_input_gives_the_same_rows():
    rng = np.random.default_rng(2)
    states = orbelin.coe2rv(random_elements(rng, 12, False)).reshape(3, 4, 6)
    np.testing.assert_array_equal(orbelin.rv2coe(np.asfortranarray(states)), orbelin.rv2coe(states))
    np.testing.assert_array_equal(orbelin.coe2rv(np.asfortranarray(orbelin.rv2coe(states))),
                                  orbelin.coe2rv(orbelin.rv2coe(states)))


@pytest.mark.parametrize(
    "fn, value, message",
    [
        (orbelin.rv2coe, np.zeros((3, 7)), "eci_state_rv must have shape [..., 6]"),
        (orbelin.rv2coe, np.array(1.0), "eci_state_rv must have shape [..., 6]"),
        (orbelin.rv2coe, np.zeros((4, 12))[:, ::2], "Failed to reshape eci_state_rv"),
        (orbelin.coe2rv, np.zeros(5), "coe must have shape [..., 6]"),
        (orbelin.coe2rv, np.zeros((6, 6)).T[::2], "Failed to reshape coe"),
    ],
)
def test_messages(fn, value, message):
    with pytest.raises(ValueError) as info:
        fn(value)
    assert str(info.value) == message


def test_docstrings():
    # The published first paragraph; the sections after it are checked in test_docstrings.py.
    assert orbelin.rv2coe.__doc__.startswith(
        "Python function: Convert ECI state vector(s) to classical orbital elements\n\n")
    assert orbelin.coe2rv.__doc__.startswith(
        "Python function: Convert classical orbital elements to ECI state vector(s)\n"
        "Angles are assumed to be in degrees by default (can be changed to radians by setting deg=False)\n\n"
    )
