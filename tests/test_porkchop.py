"""lambert_porkchop: every cell is lambert_izzo_best_dv's arc for the same states and time of flight (bit for bit),
cells without a transfer are NaN, the cheapest cell is found, Hohmann on circular orbits, the argument checks, and
LambertPorkchopArray as a result class."""

import copy
import pickle

import numpy as np
import pytest

import orbelin
from helpers import propagate_state, random_directions

MU_SUN = 1.32712440018e11
AU = 149597870.7
DAY = 86400.0


def random_states(rng, n, mu=398600.4418):
    """n states on random orbits: radii of 7000 to 40000 km, speeds of 0.6 to 1.2 times the circular speed."""
    r = random_directions(rng, n) * rng.uniform(7000.0, 40000.0, (n, 1))
    speed = rng.uniform(0.6, 1.2, (n, 1)) * np.sqrt(mu / np.linalg.norm(r, axis=1, keepdims=True))
    return np.concatenate([r, random_directions(rng, n) * speed], axis=1)


@pytest.mark.parametrize("max_rev, rendezvous", [(0, True), (0, False), (2, True), (2, False)])
def test_every_cell_is_the_best_dv_arc(max_rev, rendezvous):
    rng = np.random.default_rng(19 + max_rev)
    dep, arr = random_states(rng, 5), random_states(rng, 7)
    t_dep = np.sort(rng.uniform(0.0, 20000.0, 5))
    t_arr = np.sort(rng.uniform(5000.0, 90000.0, 7))
    pc = orbelin.lambert_porkchop(dep, arr, t_dep, t_arr, max_rev, rendezvous=rendezvous)
    assert (t_arr[None, :] <= t_dep[:, None]).any()  # some cells arrive before they depart
    for i in range(5):
        for j in range(7):
            tof = t_arr[j] - t_dep[i]
            if tof <= 0:
                continue
            m1, m2, total, dv1, dv2 = orbelin.lambert_izzo_best_dv(dep[i], arr[j], tof, max_rev,
                                                                   rendezvous=rendezvous)
            got = [pc.dv1_mag[i, j], pc.dv2_mag[i, j], pc.total[i, j], pc.dv1[i, j], pc.dv2[i, j]]
            for a, b in zip(got, [m1, m2, total, dv1, dv2]):
                assert np.asarray(a).tobytes() == np.asarray(b).tobytes(), (i, j)
            assert pc.c3[i, j] == pc.dv1_mag[i, j] ** 2 and pc.tof[i, j] == tof
            # The reported arc is the one that gives these impulses.
            arcs = orbelin.lambert_izzo_single(dep[i, :3], arr[j, :3], tof, max_rev, bool(pc.retrograde[i, j]))
            slot = np.flatnonzero((arcs.num_revs == pc.num_revs[i, j]) & (arcs.path_flag == pc.path_flag[i, j]))
            np.testing.assert_array_equal(arcs.v1[slot[0]] - dep[i, 3:], pc.dv1[i, j])
    cost = pc.total if rendezvous else pc.dv1_mag
    assert tuple(pc.best_index) == np.unravel_index(np.nanargmin(cost), cost.shape)


@pytest.mark.parametrize("t_dep, t_arr, best", [
    ([0.0, 100.0], [100.0, 50.0, 6000.0], (0, 2)),  # equal and earlier arrivals, one cell arrives later
    ([5000.0], [4999.0, 5000.0, np.nan], (-1, -1)),  # none arrives after its departure
    ([np.nan, 0.0], [7000.0], (1, 0)),  # a NaN date compares false
])
def test_cells_arriving_before_departure_are_empty(t_dep, t_arr, best):
    leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
    geo = np.array([0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0])
    t_dep, t_arr = np.array(t_dep), np.array(t_arr)
    pc = orbelin.lambert_porkchop(np.tile(leo, (t_dep.size, 1)), np.tile(geo, (t_arr.size, 1)), t_dep, t_arr)
    empty = ~(t_arr[None, :] > t_dep[:, None])
    for name in ("dv1_mag", "dv2_mag", "total", "c3", "tof", "dv1", "dv2"):
        values = getattr(pc, name)
        assert np.isnan(values[empty]).all() and not np.isnan(values[~empty]).any(), name
    assert not pc.num_revs[empty].any() and not pc.path_flag[empty].any() and not pc.retrograde[empty].any()
    assert tuple(pc.best_index) == best and pc.best_index.dtype == np.int64


def circular_states(radius, phase):
    speed = np.sqrt(MU_SUN / radius)
    c, s = np.cos(phase), np.sin(phase)
    return np.stack([radius * c, radius * s, 0 * c, -speed * s, speed * c, 0 * c], axis=-1)


def test_circular_coplanar_orbits_reach_the_hohmann_transfer():
    # Earth at 1 AU and Mars at 1.524 AU, phased so that a Hohmann transfer leaves on day 200.
    r1, r2 = AU, 1.524 * AU
    a = (r1 + r2) / 2
    hohmann_dv = np.sqrt(MU_SUN / r1) * (np.sqrt(r2 / a) - 1) + np.sqrt(MU_SUN / r2) * (1 - np.sqrt(r1 / a))
    hohmann_tof = np.pi * np.sqrt(a**3 / MU_SUN)
    n1, n2 = np.sqrt(MU_SUN / r1**3), np.sqrt(MU_SUN / r2**3)
    lead = np.pi - n2 * hohmann_tof + (n1 - n2) * 200.0 * DAY
    t_dep = np.arange(150.0, 250.0, 2.0) * DAY
    t_arr = np.arange(350.0, 560.0, 2.0) * DAY
    pc = orbelin.lambert_porkchop(circular_states(r1, n1 * t_dep), circular_states(r2, lead + n2 * t_arr), t_dep,
                                  t_arr, mu=MU_SUN)
    i, j = pc.best_index
    assert hohmann_dv == pytest.approx(5.59, abs=0.01)
    # The Hohmann transfer is the cheapest two-impulse transfer between these orbits; a 2-day grid gets close.
    assert hohmann_dv * (1 - 1e-9) <= pc.total[i, j] < hohmann_dv * 1.005
    assert abs(t_dep[i] - 200.0 * DAY) <= 6 * DAY and abs(pc.tof[i, j] - hohmann_tof) <= 6 * DAY


def test_the_cheapest_arc_lands_on_the_arrival_state():
    rng = np.random.default_rng(3)
    dep, arr = random_states(rng, 4), random_states(rng, 6)
    t_dep, t_arr = np.linspace(0.0, 3000.0, 4), np.linspace(4000.0, 40000.0, 6)
    pc = orbelin.lambert_porkchop(dep, arr, t_dep, t_arr, 1)
    i, j = pc.best_index
    start = dep[i].copy()
    start[3:] += pc.dv1[i, j]
    end = propagate_state(start, pc.tof[i, j])
    np.testing.assert_allclose(end[:3], arr[j, :3], rtol=0, atol=1e-5 * np.linalg.norm(arr[j, :3]))
    np.testing.assert_allclose(arr[j, 3:] - end[3:], pc.dv2[i, j], atol=1e-7)


STATES = np.zeros((2, 6))
TIMES = np.array([0.0, 1.0])


@pytest.mark.parametrize("args, error, message", [
    ((np.zeros((2, 3)), STATES, TIMES, TIMES), ValueError, "departure_states must have shape (n, 6)"),
    ((np.zeros(6), STATES, TIMES, TIMES), ValueError, "departure_states must have shape (n, 6)"),
    ((STATES, np.zeros((1, 2, 6)), TIMES, TIMES), ValueError, "arrival_states must have shape (m, 6)"),
    ((STATES, np.zeros((4, 6))[::2], TIMES, TIMES), ValueError, "Failed to reshape arrival_states"),
    ((STATES, STATES, TIMES[:1], TIMES), ValueError,
     "departure_times must hold one time per row of departure_states: 2 rows, 1 times"),
    ((STATES, STATES, TIMES, np.zeros(3)), ValueError,
     "arrival_times must hold one time per row of arrival_states: 2 rows, 3 times"),
    ((STATES, STATES, np.zeros((2, 1)), TIMES), TypeError,
     "argument 'departure_times': dimensionality mismatch:\n from=2, to=1"),
    ((STATES, STATES, np.zeros(4)[::2], TIMES), TypeError, "The given array is not contiguous"),
    ((STATES, STATES.astype(np.float32), TIMES, TIMES), TypeError,
     "argument 'arrival_states': type mismatch:\n from=float32, to=float64"),
])
def test_arguments_are_refused_with_their_messages(args, error, message):
    with pytest.raises(error) as info:
        orbelin.lambert_porkchop(*args)
    assert str(info.value) == message


def test_the_result_class_is_read_only_picklable_and_has_no_constructor():
    leo = np.array([[7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0]])
    geo = np.array([[0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0]] * 2)
    pc = orbelin.lambert_porkchop(leo, geo, np.array([0.0]), np.array([9000.0, 18000.0]))
    with pytest.raises(TypeError, match="No constructor defined"):
        orbelin.LambertPorkchopArray()
    with pytest.raises(AttributeError):
        pc.total = pc.total
    assert pc.total is pc.total
    for twin in (pickle.loads(pickle.dumps(pc)), copy.deepcopy(pc)):
        assert type(twin) is orbelin.LambertPorkchopArray and repr(twin) == repr(pc)
        for name in ("dv1", "total", "c3", "num_revs", "retrograde", "best_index"):
            a, b = getattr(pc, name), getattr(twin, name)
            assert (a.dtype, a.shape, a.tobytes()) == (b.dtype, b.shape, b.tobytes())
    assert repr(pc) == "\n".join([
        "LambertPorkchopArray with Attributes:",
        f"{'dv1:':>20} [1, 2, 3]",
        f"{'dv2:':>20} [1, 2, 3]",
        f"{'total:':>20} [1, 2] (min={np.min(pc.total):.6f}, max={np.max(pc.total):.6f}, "
        f"avg={np.mean(pc.total):.6f} km/s)",
        f"{'c3:':>20} [1, 2]",
        f"{'tof:':>20} [1, 2]",
        f"{'best_index:':>20} [2]",
    ])


def test_a_grid_beyond_any_memory_is_refused_before_solving():
    # 2 * 10^5 departures x 2 * 10^5 arrivals: terabytes of cells. The refusal comes before the mu check of the
    # first solve, which proves that nothing was solved; it counts the bytes each cell's arrays hold.
    one = orbelin.lambert_porkchop(STATES[:1] + 7000.0, STATES[:1] + 9000.0, TIMES[:1], TIMES[1:])
    per_cell = sum(getattr(one, n).nbytes for n in ("dv1", "dv2", "dv1_mag", "dv2_mag", "total", "c3", "tof",
                                                     "num_revs", "path_flag", "retrograde"))
    n = 2 * 10**5
    states, times = np.tile(STATES[:1] + 7000.0, (n, 1)), np.arange(float(n))
    with pytest.raises(MemoryError) as info:
        orbelin.lambert_porkchop(states, states, times, times, mu=-1.0)
    assert str(info.value).startswith(f"lambert_porkchop: the result of {n * n} cases with 1 solution slot needs "
                                      f"{n * n * per_cell:.4g} bytes, ")
