"""What the batch Lambert functions share beyond their own physics: result
slots sized by what the cases give (not by max_rev), refusal of results that
cannot be held, the tol check, and inputs that change while the time of flight
is read."""

import math

import numpy as np
import pytest

import orbelin
from helpers import min_energy_period, panic_text, random_pairs

MU = 398600.4418
LEO1 = np.array([7000.0, 0.0, 0.0])
LEO2 = np.array([0.0, 8000.0, 100.0])
U1 = np.array([0.0, 7.5, 0.1])
U2 = np.array([-7.0, 0.0, 0.2])
S1 = np.concatenate([LEO1, U1])
S2 = np.concatenate([LEO2, U2])


PERIOD = float(min_energy_period(LEO1, LEO2))


def with_velocities(r, seed):
    rng = np.random.default_rng(seed)
    t = np.cross(r, rng.normal(size=r.shape))
    t /= np.linalg.norm(t, axis=1)[:, None]
    return np.concatenate([r, np.sqrt(MU / np.linalg.norm(r, axis=1))[:, None] * t], axis=1)


def vec_arrays(result):
    if isinstance(result, np.ndarray):
        return [result]
    if isinstance(result, tuple):
        return list(result)
    return [getattr(result, name) for name in ["v1", "v2", "tof", "num_revs", "path_flag", "retrograde", "sma",
                                               "ecc", "inc", "raan", "argp", "ta_depart", "ta_arrive", "rp", "ra"]]


def call(name, a, b, tof, max_rev, **kw):
    fn = getattr(orbelin, name)
    if name == "lambert_izzo_best_dv":
        return fn(a, b, tof, max_rev, **kw)
    return fn(a, b, tof, max_rev, False, **kw)


def inputs(name, r1, r2):
    if name in ("lambert_izzo_vec_dv", "lambert_izzo_best_dv"):
        return with_velocities(r1, 1), with_velocities(r2, 2)
    return r1, r2


# ---------------------------------------------------------------------------
# Slots follow what the cases give
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["lambert_izzo_vec", "lambert_izzo_vec_dv", "lambert_izzo_jacobian"])
def test_large_max_rev_on_direct_arcs_gives_one_slot(name):
    r1, r2 = random_pairs(3, 200)
    a, b = inputs(name, r1, r2)
    # A quarter of the shortest minimum-energy period: no case admits a revolution.
    tof = 0.25 * min(float(min_energy_period(p, q)) for p, q in zip(r1, r2))
    zero = vec_arrays(call(name, a, b, [tof, 0.5 * tof], 0))
    for max_rev in (1, 16, 10**6):
        many = vec_arrays(call(name, a, b, [tof, 0.5 * tof], max_rev))
        for x, y in zip(zero, many):
            assert y.shape[:3] == (200, 2, 1)
            np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("name", ["lambert_izzo_vec", "lambert_izzo_vec_dv"])
def test_slots_are_the_widest_case_of_a_mixed_batch(name):
    # Revolutions admitted: 0, 1 and 3 (each family's minimum time is below M + 1/2 minimum-energy periods, the
    # next family needs more than M + 1 periods).
    tofs = [0.3 * PERIOD, 1.6 * PERIOD, 3.6 * PERIOD]
    a, b = inputs(name, LEO1[None], LEO2[None])
    result = vec_arrays(call(name, a, b, tofs, 16))
    assert result[0].shape[:3] == (1, 3, 7)
    counts = (~np.isnan(result[2][0])).sum(axis=-1)
    assert counts.tolist() == [1, 3, 7]


# ---------------------------------------------------------------------------
# Results that cannot be held are refused before any solving
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["lambert_izzo_vec", "lambert_izzo_vec_dv", "lambert_izzo_best_dv",
                                  "lambert_izzo_jacobian"])
def test_a_result_beyond_any_memory_is_refused_at_once(name):
    # 10^3 pairs x 10^7 times of flight: even one slot per case is terabytes. The refusal comes before the mu
    # check of the first solve, which proves that nothing was solved.
    a, b = inputs(name, *random_pairs(4, 1000))
    tofs = np.full(10**7, 3600.0)
    with pytest.raises(MemoryError) as ei:
        call(name, a, b, tofs, 3, mu=-1.0)
    assert str(ei.value).startswith(f"{name}: the result of 10000000000 cases with 1 solution slot needs ")


@pytest.mark.parametrize("name", ["lambert_izzo_vec", "lambert_izzo_vec_dv", "lambert_izzo_best_dv",
                                  "lambert_izzo_jacobian"])
def test_the_refusal_counts_the_bytes_a_result_holds(name):
    # The bytes of one slot, measured on a real result of one case and one slot, times 10^10 cases.
    a, b = inputs(name, LEO1[None], LEO2[None])
    held = sum(x.nbytes for x in vec_arrays(call(name, a, b, 3600.0, 0)))
    a, b = inputs(name, *random_pairs(4, 1000))
    with pytest.raises(MemoryError) as ei:
        call(name, a, b, np.full(10**7, 3600.0), 0)
    assert f" needs {10**10 * held:.4g} bytes, " in str(ei.value)


@pytest.mark.parametrize("name", ["lambert_izzo_vec", "lambert_izzo_vec_dv", "lambert_izzo_jacobian"])
def test_a_result_too_wide_for_memory_is_refused_before_solving(name):
    # 10^6 cases whose times of flight admit 10^5 revolutions: one slot per case fits, 2 * 10^5 + 1 do not.
    a, b = inputs(name, np.tile(LEO1, (1000, 1)), np.tile(LEO2, (1000, 1)))
    tofs = np.full(1000, 2e5 * PERIOD)
    with pytest.raises(MemoryError) as ei:
        call(name, a, b, tofs, 10**5)
    assert "the result of 1000000 cases with 200001 solution slots needs " in str(ei.value)


# ---------------------------------------------------------------------------
# tol
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("tol, text", [(0.0, "0"), (-1e-8, "-1e-08"), (math.nan, "nan"), (math.inf, "inf"),
                                       (-math.inf, "-inf")])
@pytest.mark.parametrize("name", ["lambert_izzo_single", "lambert_izzo_vec", "lambert_izzo_vec_dv",
                                  "lambert_izzo_best_dv"])
def test_tol_must_be_positive_and_finite(name, tol, text):
    a, b = (S1, S2) if "dv" in name else (LEO1, LEO2)
    # A non-positive mu would fault in the first solve: the tol refusal comes before it.
    with pytest.raises(ValueError) as ei:
        call(name, a, b, 3600.0, 0, tol=tol, mu=-1.0)
    assert str(ei.value) == "tol must be a positive finite number, got " + text


@pytest.mark.parametrize("name", ["lambert_izzo_single", "lambert_izzo_vec", "lambert_izzo_vec_dv",
                                  "lambert_izzo_best_dv"])
def test_a_large_tol_is_accepted(name):
    a, b = (S1, S2) if "dv" in name else (LEO1, LEO2)
    assert "Gravity parameter" in panic_text(call, name, a, b, 3600.0, 0, tol=5.0, mu=-1.0)


# ---------------------------------------------------------------------------
# The time of flight is read before the positions are: its conversion may run
# Python code that changes the arrays
# ---------------------------------------------------------------------------

class Shrinking:
    """A time-of-flight list whose conversion resizes the first array in place, freeing its old buffer."""

    def __init__(self, victim, new_shape):
        self.victim = victim
        self.new_shape = new_shape

    def __array__(self, dtype=None, copy=None):
        self.victim.resize(self.new_shape, refcheck=False)
        return np.array([3000.0, 5000.0])


BATCH_NAMES = {
    "lambert_izzo_vec": ("r1 must have shape [..., 3]", "r1 and r2 must have matching shapes", 3),
    "lambert_izzo_vec_dv": ("s1 must have shape [..., 6]", "s1 and s2 must have matching shapes", 6),
    "lambert_izzo_best_dv": ("s1 must have shape [..., 6]", "s1 and s2 must have matching shapes", 6),
    "lambert_izzo_jacobian": ("r1 must have shape [..., 3]", "r1 and r2 must have matching shapes", 3),
}


@pytest.mark.parametrize("name", BATCH_NAMES)
@pytest.mark.parametrize("change", ["emptied", "no last axis", "fewer rows"])
def test_arrays_changed_by_the_time_of_flight_are_checked_again(name, change):
    last_axis, matching, width = BATCH_NAMES[name]
    first = np.tile(S1[:width], (40, 1)).copy()
    second = np.tile(S2[:width], (40, 1)).copy()
    new_shape, expected = {"emptied": ((0,), last_axis), "no last axis": ((7, 2), last_axis),
                           "fewer rows": ((20, width), matching)}[change]
    with pytest.raises(ValueError) as ei:
        call(name, first, second, Shrinking(first, new_shape), 1)
    assert str(ei.value) == expected


@pytest.mark.parametrize("name", BATCH_NAMES)
def test_arrays_reallocated_by_the_time_of_flight_are_read_from_their_new_memory(name):
    _, _, width = BATCH_NAMES[name]
    first = np.tile(1.5 * S1[:width], (50, 1)).copy()
    second = np.tile(S2[:width], (50, 1))

    class Reallocating:
        def __array__(self, dtype=None, copy=None):
            # Two resizes move the data to new buffers and free the old ones; the final shape is the original.
            first.resize((5000, width), refcheck=False)
            first.resize((50, width), refcheck=False)
            first[:] = S1[:width]
            return np.array([3000.0, 5000.0])

    got = vec_arrays(call(name, first, second, Reallocating(), 1))
    want = vec_arrays(call(name, np.tile(S1[:width], (50, 1)), second, [3000.0, 5000.0], 1))
    for x, y in zip(got, want):
        np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("call", [
    lambda s1, s2, tof: orbelin.lambert_izzo_vec_dv(s1, s2, tof, 1, False),
    lambda s1, s2, tof: orbelin.lambert_izzo_best_dv(s1, s2, tof, 1),
], ids=["vec_dv", "best_dv"])
def test_a_kept_large_column_outlives_its_result_and_the_next_calls(call):
    # The columns of a result share one block of memory, reused by a later result only once all of them are gone;
    # a column of 4 MB or more hands its pages back as soon as it is freed.
    r1, r2 = random_pairs(7, 200_000)
    s1, s2 = with_velocities(r1, 1), with_velocities(r2, 2)
    first = call(s1, s2, 4000.0)
    assert first[3].nbytes >= 4 << 20
    kept, expected = first[3], [a.copy() for a in first]
    del first
    other = call(s1, s2, 5000.0)  # written while `kept` lives: must not land in its memory
    assert not np.array_equal(other[3], expected[3], equal_nan=True)
    np.testing.assert_array_equal(kept, expected[3])
    del other, kept
    for _ in range(2):  # into the block given back
        again = call(s1, s2, 4000.0)
        for a, b in zip(again, expected):
            np.testing.assert_array_equal(a, b)
        del again
