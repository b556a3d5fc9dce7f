"""RIC frame functions: DCMs, vector rotations, relative states, waypoint
offsets and the reference angular velocity."""

import inspect

import numpy as np
import pytest

import orbelin

MU = 398600.4418

CIRCULAR = np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0])
OMEGA_Z = 7.5 / 7000.0

DOCS = {
    "compute_angular_vel_rad_p_sec": "Python function: Compute angular velocity from state vector(s)",
    "dcm_eci2ric": "Python function: Build DCM from ECI to RIC",
    "dcm_ric2eci": "Python function: Build DCM from RIC to ECI",
    "eci2ric_state": "Python function: Convert deputy ECI state to RIC relative state",
    "ric2eci_state": "Python function: Convert deputy RIC state to ECI relative state",
    "eci2ric_vec": "Python function: Rotate ECI vector(s) into RIC\n"
    "NOTE: These are raw ECI points being rotated, not points relative to the reference state.\n"
    "For relative state conversion, use eci2ric_state.",
    "ric2eci_vec": "Python function: Rotate RIC vector(s) into ECI\n"
    "NOTE: These are raw RIC points being rotated, not points relative to the reference state.\n"
    "For relative state conversion, use ric2eci_state.",
    "apply_ric_waypoint_offset": "Python function: Apply RIC waypoint offset to target state(s)\n"
    "ric_waypoint can be either [dr_r, dr_i, dr_c] (3 elements) or "
    "[dr_r, dr_i, dr_c, dv_r, dv_i, dv_c] (6 elements)\n"
    "If only 3 elements are provided, velocity offset is assumed to be zero",
}

SIGNATURES = {
    "compute_angular_vel_rad_p_sec": ["input_state"],
    "dcm_eci2ric": ["ref_state_eci"],
    "dcm_ric2eci": ["ref_state_eci"],
    "eci2ric_state": ["dep_state_eci", "ref_state_eci"],
    "ric2eci_state": ["rel_state_ric", "ref_state_eci"],
    "eci2ric_vec": ["pos_eci", "ref_state_eci"],
    "ric2eci_vec": ["pos_ric", "ref_state_eci"],
    "apply_ric_waypoint_offset": ["target_state_eci", "ric_waypoint"],
}

# The four functions of an argument [..., width] and a reference state.
PAIRED = [
    ("eci2ric_vec", "pos_eci", 3),
    ("ric2eci_vec", "pos_ric", 3),
    ("eci2ric_state", "dep_state_eci", 6),
    ("ric2eci_state", "rel_state_ric", 6),
]
PAIRED_IDS = [name for name, _, _ in PAIRED]

# Every function with its arguments' last-axis lengths.
ALL_SHAPED = [
    ("compute_angular_vel_rad_p_sec", (6,)),
    ("dcm_eci2ric", (6,)),
    ("dcm_ric2eci", (6,)),
    ("eci2ric_state", (6, 6)),
    ("ric2eci_state", (6, 6)),
    ("eci2ric_vec", (3, 6)),
    ("ric2eci_vec", (3, 6)),
    ("apply_ric_waypoint_offset", (6, 3)),
]


def fn(name):
    return getattr(orbelin, name)


def random_orbit_states(rng, n):
    """Non-degenerate states of bound and unbound orbits around the Earth."""
    direction = rng.normal(size=(n, 3))
    r = direction / np.linalg.norm(direction, axis=1, keepdims=True) * rng.uniform(6600.0, 42000.0, (n, 1))
    heading = rng.normal(size=(n, 3))
    speed = np.sqrt(2.0 * MU / np.linalg.norm(r, axis=1, keepdims=True)) * rng.uniform(0.3, 1.3, (n, 1))
    v = heading / np.linalg.norm(heading, axis=1, keepdims=True) * speed
    return np.concatenate([r, v], axis=1)


def random_relative_states(rng, n):
    return np.concatenate([rng.uniform(-50.0, 50.0, (n, 3)), rng.uniform(-0.05, 0.05, (n, 3))], axis=1)


def strided(shape):
    """An array of the given shape that is neither C- nor F-contiguous."""
    full = np.zeros(shape[:-1] + (2 * shape[-1],))
    view = full[..., ::2]
    assert view.shape == shape and not view.flags.c_contiguous and not view.flags.f_contiguous
    return view


def raises_value_error(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


# ---- Worked examples ------------------------------------------------------


@pytest.mark.parametrize(
    "state, rows",
    [
        (CIRCULAR, [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
        ([0.0, 7000.0, 0.0, -7.5, 0.0, 0.0], [[0, 1, 0], [-1, 0, 0], [0, 0, 1]]),
        # Zero position: every axis falls back to x.
        ([0.0, 0.0, 0.0, 1.0, 2.0, 3.0], [[1, 0, 0], [1, 0, 0], [1, 0, 0]]),
        ([0.0] * 6, [[1, 0, 0], [1, 0, 0], [1, 0, 0]]),
        # Velocity parallel to position: C falls back to x, then I = unit(C x R).
        ([7000.0, 0.0, 0.0, 3.0, 0.0, 0.0], [[1, 0, 0], [1, 0, 0], [1, 0, 0]]),
        ([0.0, 7000.0, 0.0, 0.0, -2.0, 0.0], [[0, 1, 0], [0, 0, 1], [1, 0, 0]]),
        # Retrograde equatorial orbit: the cross-track axis points south.
        ([7000.0, 0.0, 0.0, 0.0, -7.5, 0.0], [[1, 0, 0], [0, -1, 0], [0, 0, -1]]),
    ],
)
def test_dcm_examples(state, rows):
    state = np.array(state, dtype=np.float64)
    np.testing.assert_allclose(orbelin.dcm_eci2ric(state), rows, rtol=0, atol=1e-15)
    np.testing.assert_allclose(orbelin.dcm_ric2eci(state), np.transpose(rows), rtol=0, atol=1e-15)


@pytest.mark.parametrize(
    "state, omega",
    [
        (CIRCULAR, [0.0, 0.0, OMEGA_Z]),
        ([0.0] * 6, [0.0, 0.0, 0.0]),
        ([1e-13, 0.0, 0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0]),
        ([7000.0, 0.0, 0.0, 2.0, 0.0, 0.0], [0.0, 0.0, 0.0]),
        ([0.0, 0.0, 10000.0, 5.0, 0.0, 0.0], [0.0, 5.0 / 10000.0, 0.0]),
    ],
)
def test_angular_velocity_examples(state, omega):
    result = orbelin.compute_angular_vel_rad_p_sec(np.array(state, dtype=np.float64))
    assert result.shape == (3,)
    np.testing.assert_allclose(result, omega, rtol=1e-15, atol=0)
    if state is CIRCULAR:
        np.testing.assert_allclose(result[2], 0.00107142857, rtol=0, atol=5e-12)


def test_relative_state_examples():
    np.testing.assert_array_equal(orbelin.eci2ric_state(CIRCULAR, CIRCULAR), np.zeros(6))
    np.testing.assert_array_equal(orbelin.ric2eci_state(np.zeros(6), CIRCULAR), CIRCULAR)
    # Same velocity, 1 km further out: the in-track rate is the frame rotation alone.
    deputy = CIRCULAR + np.array([1.0, 0.0, 0.0, 0.0, 0.0, 0.0])
    np.testing.assert_allclose(orbelin.eci2ric_state(deputy, CIRCULAR), [1.0, 0.0, 0.0, 0.0, -OMEGA_Z, 0.0],
                               rtol=0, atol=1e-15)


def test_rotation_examples():
    np.testing.assert_allclose(orbelin.eci2ric_vec(np.array([0.0, 2.0, 3.0]),
                                                   np.array([0.0, 7000.0, 0.0, -7.5, 0.0, 0.0])),
                               [2.0, 0.0, 3.0], rtol=0, atol=1e-15)
    np.testing.assert_allclose(orbelin.ric2eci_vec(np.array([2.0, 0.0, 3.0]),
                                                   np.array([0.0, 7000.0, 0.0, -7.5, 0.0, 0.0])),
                               [0.0, 2.0, 3.0], rtol=0, atol=1e-15)


@pytest.mark.parametrize(
    "waypoint, expected",
    [
        ([0.0, 0.0, 0.0], CIRCULAR),
        ([0.0] * 6, CIRCULAR),
        ([0.0, -2.0, 0.0], [7000.0, -2.0, 0.0, 7.5 * 2.0 / 7000.0, 7.5, 0.0]),
        ([1.0, 0.0, 0.0, 0.0, 0.0, 0.0], [7001.0, 0.0, 0.0, 0.0, 7.5 + OMEGA_Z, 0.0]),
        ([1.0, 0.0, 0.0], [7001.0, 0.0, 0.0, 0.0, 7.5 + OMEGA_Z, 0.0]),
        ([0.0, 0.0, 3.0, 0.1, 0.2, 0.3], [7000.0, 0.0, 3.0, 0.1, 7.7, 0.3]),
    ],
)
def test_waypoint_examples(waypoint, expected):
    result = orbelin.apply_ric_waypoint_offset(CIRCULAR, np.array(waypoint))
    assert result.shape == (6,)
    np.testing.assert_allclose(result, expected, rtol=1e-15, atol=1e-15)


def test_waypoint_velocity_example_digits():
    result = orbelin.apply_ric_waypoint_offset(CIRCULAR, np.array([0.0, -2.0, 0.0]))
    np.testing.assert_allclose(result[3], 0.0021428571, rtol=0, atol=5e-11)


# ---- Frame properties over random references --------------------------------


@pytest.mark.parametrize("seed", [0, 1])
def test_dcm_is_a_proper_rotation_aligned_with_the_orbit(seed):
    states = random_orbit_states(np.random.default_rng(seed), 50)
    m = orbelin.dcm_eci2ric(states)
    assert m.shape == (50, 3, 3)
    np.testing.assert_allclose(m @ np.swapaxes(m, 1, 2), np.broadcast_to(np.eye(3), m.shape), rtol=0, atol=1e-14)
    np.testing.assert_allclose(np.linalg.det(m), 1.0, rtol=0, atol=1e-14)
    r, v = states[:, :3], states[:, 3:]
    h = np.cross(r, v)
    np.testing.assert_allclose(m[:, 0], r / np.linalg.norm(r, axis=1, keepdims=True), rtol=0, atol=1e-15)
    np.testing.assert_allclose(m[:, 2], h / np.linalg.norm(h, axis=1, keepdims=True), rtol=0, atol=1e-15)
    assert np.all(np.einsum("ij,ij->i", m[:, 1], v) > 0.0)
    np.testing.assert_array_equal(orbelin.dcm_ric2eci(states), np.swapaxes(m, 1, 2))


@pytest.mark.parametrize("seed", [0, 1])
def test_angular_velocity_is_h_over_r_squared(seed):
    states = random_orbit_states(np.random.default_rng(seed), 40)
    r, v = states[:, :3], states[:, 3:]
    expected = np.cross(r, v) / np.sum(r * r, axis=1, keepdims=True)
    np.testing.assert_allclose(orbelin.compute_angular_vel_rad_p_sec(states), expected, rtol=1e-14, atol=0)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_relative_state_round_trips(seed):
    rng = np.random.default_rng(seed)
    refs = random_orbit_states(rng, 30)
    deputies = refs + random_relative_states(rng, 30)
    rel = orbelin.eci2ric_state(deputies, refs)
    np.testing.assert_allclose(orbelin.ric2eci_state(rel, refs), deputies, rtol=1e-13, atol=1e-11)
    given = random_relative_states(rng, 30)
    np.testing.assert_allclose(orbelin.eci2ric_state(orbelin.ric2eci_state(given, refs), refs), given,
                               rtol=0, atol=1e-9)


@pytest.mark.parametrize("seed", [0, 1])
def test_relative_position_is_the_rotated_difference(seed):
    rng = np.random.default_rng(seed)
    refs = random_orbit_states(rng, 20)
    deputies = refs + random_relative_states(rng, 20)
    rel = orbelin.eci2ric_state(deputies, refs)
    m = orbelin.dcm_eci2ric(refs)
    np.testing.assert_allclose(rel[:, :3], np.einsum("nij,nj->ni", m, deputies[:, :3] - refs[:, :3]),
                               rtol=0, atol=1e-10)
    # A deputy moving rigidly with the rotating frame has no relative rate.
    omega = orbelin.compute_angular_vel_rad_p_sec(refs)
    dr = deputies[:, :3] - refs[:, :3]
    rigid = np.concatenate([deputies[:, :3], refs[:, 3:] + np.cross(omega, dr)], axis=1)
    np.testing.assert_allclose(orbelin.eci2ric_state(rigid, refs)[:, 3:], 0.0, rtol=0, atol=1e-14)


@pytest.mark.parametrize("seed", [0, 1])
def test_vector_rotations(seed):
    rng = np.random.default_rng(seed)
    refs = random_orbit_states(rng, 25)
    p = rng.normal(size=(25, 3)) * 1000.0
    m = orbelin.dcm_eci2ric(refs)
    in_ric = orbelin.eci2ric_vec(p, refs)
    np.testing.assert_allclose(in_ric, np.einsum("nij,nj->ni", m, p), rtol=0, atol=1e-10)
    np.testing.assert_allclose(np.linalg.norm(in_ric, axis=1), np.linalg.norm(p, axis=1), rtol=1e-14)
    np.testing.assert_allclose(orbelin.ric2eci_vec(in_ric, refs), p, rtol=0, atol=1e-10)
    # The reference position itself is not subtracted: it lies along R.
    radial = orbelin.eci2ric_vec(np.ascontiguousarray(refs[:, :3]), refs)
    np.testing.assert_allclose(radial[:, 0], np.linalg.norm(refs[:, :3], axis=1), rtol=1e-14)
    np.testing.assert_allclose(radial[:, 1:], 0.0, rtol=0, atol=1e-10)


@pytest.mark.parametrize("seed", [0, 1])
def test_waypoint_is_the_relative_state_inverse(seed):
    rng = np.random.default_rng(seed)
    targets = random_orbit_states(rng, 15)
    six = random_relative_states(rng, 15)
    np.testing.assert_array_equal(orbelin.apply_ric_waypoint_offset(targets, six), orbelin.ric2eci_state(six, targets))
    three = np.ascontiguousarray(six[:, :3])
    padded = np.concatenate([three, np.zeros((15, 3))], axis=1)
    np.testing.assert_array_equal(orbelin.apply_ric_waypoint_offset(targets, three),
                                  orbelin.apply_ric_waypoint_offset(targets, padded))
    np.testing.assert_allclose(orbelin.eci2ric_state(orbelin.apply_ric_waypoint_offset(targets, six), targets), six,
                               rtol=0, atol=1e-9)


@pytest.mark.parametrize(
    "ref",
    [np.zeros(6), np.array([0.0, 0.0, 0.0, 1.0, 2.0, 3.0]), np.array([7000.0, 0.0, 0.0, 3.0, 0.0, 0.0])],
    ids=["zero", "zero-position", "radial-velocity"],
)
def test_degenerate_references_give_finite_results(ref):
    deputy = np.array([7001.0, 2.0, 3.0, 0.1, 7.4, 0.2])
    results = [
        orbelin.eci2ric_state(deputy, ref),
        orbelin.ric2eci_state(deputy, ref),
        orbelin.eci2ric_vec(deputy[:3].copy(), ref),
        orbelin.ric2eci_vec(deputy[:3].copy(), ref),
        orbelin.apply_ric_waypoint_offset(ref, deputy),
        orbelin.dcm_eci2ric(ref),
        orbelin.compute_angular_vel_rad_p_sec(ref),
    ]
    for result in results:
        assert np.all(np.isfinite(result))


# ---- Result shapes and pairing ----------------------------------------------


@pytest.mark.parametrize("name", ["dcm_eci2ric", "dcm_ric2eci"])
@pytest.mark.parametrize("shape, expected", [((6,), (3, 3)), ((4, 6), (4, 3, 3)), ((2, 5, 6), (2, 5, 3, 3)),
                                             ((0, 6), (0, 3, 3)), ((1, 6), (1, 3, 3)), ((3, 0, 6), (3, 0, 3, 3))])
def test_dcm_shapes(name, shape, expected):
    assert fn(name)(np.ones(shape)).shape == expected


@pytest.mark.parametrize("shape, expected", [((6,), (3,)), ((2, 3, 6), (2, 3, 3)), ((0, 6), (0, 3)),
                                             ((4, 1, 6), (4, 1, 3))])
def test_angular_velocity_shapes(shape, expected):
    assert orbelin.compute_angular_vel_rad_p_sec(np.ones(shape)).shape == expected


@pytest.mark.parametrize("name, first, width", PAIRED, ids=PAIRED_IDS)
@pytest.mark.parametrize(
    "first_batch, ref_batch, result_batch",
    [
        ((), (), ()),
        ((5,), (), (5,)),
        ((), (5,), (5,)),
        ((5,), (1,), (5,)),
        ((1,), (5,), (5,)),
        ((2, 3), (6,), (2, 3)),
        ((6,), (2, 3), (6,)),
        ((1,), (2, 2), (2, 2)),
        ((2, 2), (1, 1), (2, 2)),
        ((0,), (0,), (0,)),
        ((0,), (2, 0), (0,)),
        ((1,), (), (1,)),
        ((), (1, 1), ()),
    ],
)
def test_paired_shapes(name, first, width, first_batch, ref_batch, result_batch):
    result = fn(name)(np.ones(first_batch + (width,)), np.tile(CIRCULAR, ref_batch + (1,)))
    assert result.shape == result_batch + (width,)
    assert result.dtype == np.float64
    assert result.flags.c_contiguous and result.flags.writeable


def test_listed_vector_shapes():
    assert orbelin.eci2ric_vec(np.ones((5, 3)), np.ones(6)).shape == (5, 3)
    assert orbelin.eci2ric_vec(np.ones(3), np.ones((5, 6))).shape == (5, 3)
    assert orbelin.eci2ric_vec(np.ones((0, 3)), np.ones((0, 6))).shape == (0, 3)
    assert orbelin.eci2ric_state(np.ones(6), np.ones(6)).shape == (6,)


@pytest.mark.parametrize(
    "target_shape, waypoint_shape, expected",
    [
        ((6,), (3,), (6,)),
        ((5, 6), (3,), (5, 6)),
        ((6,), (4, 6), (4, 6)),
        ((4, 6), (4, 3), (4, 6)),
        ((2, 2, 6), (4, 3), (2, 2, 6)),
        ((4, 6), (2, 2, 6), (4, 6)),
        ((1, 6), (2, 2, 3), (2, 2, 6)),
        ((0, 6), (0, 6), (0, 6)),
    ],
)
def test_waypoint_shapes(target_shape, waypoint_shape, expected):
    result = orbelin.apply_ric_waypoint_offset(np.tile(CIRCULAR, target_shape[:-1] + (1,)), np.ones(waypoint_shape))
    assert result.shape == expected


@pytest.mark.parametrize("name, first, width", PAIRED, ids=PAIRED_IDS)
@pytest.mark.parametrize("first_batch, ref_batch", [((2, 3), (6,)), ((6,), (3, 2)), ((4,), ()), ((), (2, 2)),
                                                    ((5,), (1,))])
def test_pairing_takes_elements_in_row_major_order(name, first, width, first_batch, ref_batch):
    rng = np.random.default_rng(7)
    a = int(np.prod(first_batch))
    b = int(np.prod(ref_batch))
    firsts = random_relative_states(rng, a)[:, :width].reshape(first_batch + (width,)).copy()
    refs = random_orbit_states(rng, b).reshape(ref_batch + (6,))
    result = fn(name)(firsts, refs).reshape(-1, width)
    flat_first = firsts.reshape(-1, width)
    flat_ref = refs.reshape(-1, 6)
    for i in range(max(a, b)):
        single = fn(name)(flat_first[0 if a == 1 else i].copy(), flat_ref[0 if b == 1 else i].copy())
        np.testing.assert_array_equal(result[i], single)


@pytest.mark.parametrize("target_batch, waypoint_batch, width", [((2, 2), (4,), 3), ((3,), (), 6), ((), (3,), 3),
                                                                 ((1,), (2, 2), 6)])
def test_waypoint_pairing_takes_elements_in_row_major_order(target_batch, waypoint_batch, width):
    rng = np.random.default_rng(3)
    t = int(np.prod(target_batch))
    w = int(np.prod(waypoint_batch))
    targets = random_orbit_states(rng, t).reshape(target_batch + (6,))
    waypoints = random_relative_states(rng, w)[:, :width].reshape(waypoint_batch + (width,)).copy()
    result = orbelin.apply_ric_waypoint_offset(targets, waypoints).reshape(-1, 6)
    for i in range(max(t, w)):
        single = orbelin.apply_ric_waypoint_offset(targets.reshape(-1, 6)[0 if t == 1 else i].copy(),
                                                   waypoints.reshape(-1, width)[0 if w == 1 else i].copy())
        np.testing.assert_array_equal(result[i], single)


@pytest.mark.parametrize("name, first, width", PAIRED, ids=PAIRED_IDS)
@pytest.mark.parametrize(
    "first_batch, ref_batch",
    [((2,), (3,)), ((0,), ()), ((), (0,)), ((0,), (1,)), ((0,), (5,)), ((4, 2), (3, 3)), ((2, 0), (1, 1))],
)
def test_unpairable_batches(name, first, width, first_batch, ref_batch):
    def shape_text(shape):
        return "(" + ", ".join(str(d) for d in shape) + ("," if len(shape) == 1 else "") + ")"

    raises_value_error(
        lambda: fn(name)(np.ones(first_batch + (width,)), np.ones(ref_batch + (6,))),
        f"{first} and ref_state_eci have batch shapes {shape_text(first_batch)} and {shape_text(ref_batch)}, "
        "which cannot be paired: the counts must be equal, or the smaller count must be 1",
    )


@pytest.mark.parametrize("target_shape, waypoint_shape", [((4, 6), (5, 3)), ((2, 6), (3, 6)), ((2, 2, 6), (3, 3))])
def test_waypoint_batch_size_mismatch(target_shape, waypoint_shape):
    raises_value_error(lambda: orbelin.apply_ric_waypoint_offset(np.ones(target_shape), np.ones(waypoint_shape)),
                       "If both target_state_eci and ric_waypoint are arrays, they must have matching batch sizes")


@pytest.mark.parametrize(
    "target_shape, waypoint_shape, message",
    [
        ((0, 6), (3,), "target_state_eci and ric_waypoint have batch shapes (0,) and (), which cannot be paired: "
                       "the counts must be equal, or the smaller count must be 1"),
        ((6,), (0, 6), "target_state_eci and ric_waypoint have batch shapes () and (0,), which cannot be paired: "
                       "the counts must be equal, or the smaller count must be 1"),
        ((0, 6), (5, 3), "target_state_eci and ric_waypoint have batch shapes (0,) and (5,), which cannot be "
                         "paired: the counts must be equal, or the smaller count must be 1"),
    ],
)
def test_waypoint_zero_against_non_zero(target_shape, waypoint_shape, message):
    raises_value_error(lambda: orbelin.apply_ric_waypoint_offset(np.ones(target_shape), np.ones(waypoint_shape)),
                       message)


# ---- Messages and their order ------------------------------------------------


@pytest.mark.parametrize("name, first, width", PAIRED, ids=PAIRED_IDS)
def test_paired_check_order(name, first, width):
    call = fn(name)
    bad_last = width + 1
    first_shape = f"{first} must have shape [..., {width}]"
    ref_shape = "ref_state_eci must have shape [..., 6]"
    first_layout = f"Failed to reshape {first}"
    ref_layout = "Failed to reshape ref_state_eci"
    # The first argument's shape comes first, even when the reference is wrong too.
    raises_value_error(lambda: call(np.ones((3, bad_last)), np.ones((3, 5))), first_shape)
    raises_value_error(lambda: call(np.array(1.0), np.array(1.0)), first_shape)
    raises_value_error(lambda: call(np.ones(0), np.ones(6)), first_shape)
    # Then the reference's shape, before any layout.
    raises_value_error(lambda: call(strided((3, width)), np.ones((3, 5))), ref_shape)
    raises_value_error(lambda: call(np.ones(width), np.array(1.0)), ref_shape)
    # Then the layouts, first argument before reference, before the pairing.
    raises_value_error(lambda: call(strided((3, width)), strided((2, 6))), first_layout)
    raises_value_error(lambda: call(np.ones((3, width)), strided((2, 6))), ref_layout)
    raises_value_error(lambda: call(strided((width,)), np.ones(6)), first_layout)
    raises_value_error(lambda: call(np.ones(width), np.ones(12)[::2]), ref_layout)


@pytest.mark.parametrize("name", ["dcm_eci2ric", "dcm_ric2eci"])
def test_dcm_messages(name):
    raises_value_error(lambda: fn(name)(np.ones((2, 3))), "ref_state_eci must have shape [..., 6]")
    raises_value_error(lambda: fn(name)(np.array(1.0)), "ref_state_eci must have shape [..., 6]")
    raises_value_error(lambda: fn(name)(strided((4, 6))), "Failed to reshape ref_state_eci")


def test_angular_velocity_messages():
    raises_value_error(lambda: orbelin.compute_angular_vel_rad_p_sec(np.ones(3)),
                       "input_state must have shape [..., 6]")
    raises_value_error(lambda: orbelin.compute_angular_vel_rad_p_sec(np.array(1.0)),
                       "input_state must have shape [..., 6]")
    raises_value_error(lambda: orbelin.compute_angular_vel_rad_p_sec(strided((2, 2, 6))),
                       "Failed to reshape input_state")


def test_waypoint_check_order():
    call = orbelin.apply_ric_waypoint_offset
    target_shape = "target_state_eci must have shape [..., 6]"
    waypoint_shape = "ric_waypoint must have shape [..., 3] or [..., 6]"
    batch = "If both target_state_eci and ric_waypoint are arrays, they must have matching batch sizes"
    raises_value_error(lambda: call(np.ones((4, 5)), np.ones((2, 4))), target_shape)
    raises_value_error(lambda: call(np.array(1.0), np.ones(3)), target_shape)
    for bad in (np.ones(4), np.ones(5), np.ones((2, 7)), np.array(1.0), np.ones(0)):
        raises_value_error(lambda: call(np.ones(6), bad), waypoint_shape)
    # The batch sizes are compared before the layouts are looked at.
    raises_value_error(lambda: call(strided((4, 6)), strided((5, 3))), batch)
    raises_value_error(lambda: call(strided((4, 6)), strided((4, 3))), "Failed to reshape target_state_eci")
    raises_value_error(lambda: call(np.ones((4, 6)), strided((4, 6))), "Failed to reshape ric_waypoint")
    raises_value_error(lambda: call(np.ones(6), np.ones(6)[::-1]), "Failed to reshape ric_waypoint")
    # A zero count is refused only after the layouts.
    raises_value_error(lambda: call(np.ones((0, 6)), strided((1, 3))), "Failed to reshape ric_waypoint")


# ---- Memory layouts ------------------------------------------------------------


@pytest.mark.parametrize("name, widths", ALL_SHAPED, ids=[name for name, _ in ALL_SHAPED])
@pytest.mark.parametrize("batch", [(10,), (2, 5), (3, 1, 2)])
def test_fortran_order_gives_the_c_order_result(name, widths, batch):
    rng = np.random.default_rng(11)
    n = int(np.prod(batch))
    arrays = []
    for k, width in enumerate(widths):
        if width == 6 and (k == len(widths) - 1 or name in ("eci2ric_state", "apply_ric_waypoint_offset")):
            values = random_orbit_states(rng, n)
        else:
            values = random_relative_states(rng, n)[:, :width]
        arrays.append(np.ascontiguousarray(values.reshape(batch + (width,))))
    fortran = [np.asfortranarray(a) for a in arrays]
    assert all(f.flags.f_contiguous and not f.flags.c_contiguous for f in fortran)
    expected = fn(name)(*arrays)
    np.testing.assert_array_equal(fn(name)(*fortran), expected)
    if len(arrays) == 2:
        np.testing.assert_array_equal(fn(name)(fortran[0], arrays[1]), expected)
        np.testing.assert_array_equal(fn(name)(arrays[0], fortran[1]), expected)


@pytest.mark.parametrize("name, widths", ALL_SHAPED, ids=[name for name, _ in ALL_SHAPED])
def test_strided_views_are_refused(name, widths):
    names = SIGNATURES[name]
    for position, arg in enumerate(names):
        args = [np.ones((4, w)) for w in widths]
        args[position] = strided((4, widths[position]))
        raises_value_error(lambda: fn(name)(*args), f"Failed to reshape {arg}")
        args[position] = np.ones((4, 2 * widths[position]))[::-1, ::2]
        raises_value_error(lambda: fn(name)(*args), f"Failed to reshape {arg}")


@pytest.mark.parametrize("name, widths", ALL_SHAPED, ids=[name for name, _ in ALL_SHAPED])
def test_inputs_are_not_modified_and_results_are_new(name, widths):
    rng = np.random.default_rng(5)
    args = [random_orbit_states(rng, 4)[:, :w].copy() for w in widths]
    kept = [a.copy() for a in args]
    result = fn(name)(*args)
    assert result.flags.owndata and result.flags.c_contiguous and result.flags.writeable
    result[...] = np.nan
    for a, k in zip(args, kept):
        np.testing.assert_array_equal(a, k)


# ---- Arguments, docstrings, registration -------------------------------------------


@pytest.mark.parametrize("name, widths", ALL_SHAPED, ids=[name for name, _ in ALL_SHAPED])
def test_argument_conversion_errors(name, widths):
    names = SIGNATURES[name]
    for position, arg in enumerate(names):
        for bad, text in [
            ([1.0] * widths[position], "'list' object cannot be converted to 'PyArray<T, D>'"),
            (np.ones(widths[position], dtype=np.int64), "type mismatch:\n from=int64, to=float64"),
            (np.ones(widths[position], dtype=np.float32), "type mismatch:\n from=float32, to=float64"),
        ]:
            args = [np.ones(w) for w in widths]
            args[position] = bad
            with pytest.raises(TypeError) as info:
                fn(name)(*args)
            assert str(info.value) == f"argument '{arg}': {text}"


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_binding(name):
    names = SIGNATURES[name]
    widths = dict(ALL_SHAPED)[name]
    args = [np.ones(w) for w in widths]
    np.testing.assert_array_equal(fn(name)(**dict(zip(names, args))), fn(name)(*args))
    with pytest.raises(TypeError) as info:
        fn(name)()
    quoted = [f"'{n}'" for n in names]
    listed = " and ".join(quoted)
    count = len(names)
    noun = "argument" if count == 1 else "arguments"
    assert str(info.value) == f"{name}() missing {count} required positional {noun}: {listed}"
    with pytest.raises(TypeError) as info:
        fn(name)(*args, mu=1.0)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'mu'"


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings_and_signatures(name):
    f = fn(name)
    assert f.__doc__.startswith(DOCS[name] + "\n\n")
    assert f.__text_signature__ == "(" + ", ".join(SIGNATURES[name]) + ")"
    assert list(inspect.signature(f).parameters) == SIGNATURES[name]
    assert f.__module__ == "orbelin"


def test_registration_order():
    order = ["kepler_universal_2body_py", "compute_angular_vel_rad_p_sec", "dcm_eci2ric", "dcm_ric2eci",
             "eci2ric_state", "ric2eci_state", "eci2ric_vec", "ric2eci_vec", "apply_ric_waypoint_offset",
             "compute_sun_state_jd", "compute_sun_state_posix"]
    positions = [orbelin.__all__.index(name) for name in order]
    assert positions == sorted(positions)
    ric_block = orbelin.__all__[positions[1]:positions[-1] + 1]
    assert ric_block == order[1:]
