"""Arguments of the optimisation functions (checks, their order, messages, None)
and the pair table of optimize_lambert_nm_multi_array."""

import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import orbelin
from test_optimization import LEO_INCLINED, LEO_SOURCE, LEO_TARGET, T0_REF, circular

WINDOW = (0.0, 3000.0)

# The six functions taking single states, called with cheap settings.
SINGLE = {
    "lambert_grid_search": lambda s, t, tb=WINDOW, **kw: orbelin.lambert_grid_search(s, t, tb, 1000.0, **kw),
    "optimize_lambert_nm_py": lambda s, t, tb=WINDOW, **kw: orbelin.optimize_lambert_nm_py(s, t, tb, 0, True,
                                                                                           max_iters=2, **kw),
    "optimize_lambert_nm_multi_py": lambda s, t, tb=WINDOW, **kw: orbelin.optimize_lambert_nm_multi_py(
        s, t, tb, 0, True, 2, False, max_iters=2, **kw),
    "optimize_lambert_transfer_py": lambda s, t, tb=WINDOW, **kw: orbelin.optimize_lambert_transfer_py(
        s, t, tb, 1000.0, **kw),
    "optimize_lambert_transfer_grid_py": lambda s, t, tb=WINDOW, **kw: orbelin.optimize_lambert_transfer_grid_py(
        s, t, tb, 1000.0, **kw),
    "optimize_lambert_nm_multi_sunline_py": lambda s, t, tb=WINDOW, **kw: orbelin.optimize_lambert_nm_multi_sunline_py(
        s, t, tb, 0, True, 2, False, 100.0, T0_REF, max_iters=2, **kw),
}
WAYPOINT_FUNCTIONS = ["optimize_lambert_nm_py", "optimize_lambert_nm_multi_py"]
STRIDED = np.arange(12.0) + 7000.0


@pytest.mark.parametrize("name", SINGLE)
@pytest.mark.parametrize("source, target, text", [
    (np.zeros(5), np.zeros(7), "source_state must have 6 elements"),
    (LEO_SOURCE, np.zeros(7), "target_state must have 6 elements"),
    (STRIDED[::2], np.zeros(5), "target_state must have 6 elements"),  # lengths before layouts
])
def test_state_lengths(name, source, target, text):
    with pytest.raises(Exception, match=text):
        SINGLE[name](source, target)


@pytest.mark.parametrize("name", SINGLE)
def test_state_layout_and_dimensions(name):
    for source, target in [(STRIDED[::2], LEO_TARGET), (LEO_SOURCE, STRIDED[::2])]:
        with pytest.raises(Exception):
            SINGLE[name](source, target)
    with pytest.raises(TypeError) as e:
        SINGLE[name](LEO_SOURCE[None, :], LEO_TARGET)
    assert str(e.value) == "argument 'source_state': dimensionality mismatch:\n from=2, to=1"
    # A contiguous slice of a larger array is a state like any other.
    padded = np.concatenate([LEO_SOURCE, [1.0, 2.0]])
    np.testing.assert_array_equal(SINGLE[name](padded[:6], LEO_TARGET).cost, SINGLE[name](LEO_SOURCE, LEO_TARGET).cost)


@pytest.mark.parametrize("name", SINGLE)
@pytest.mark.parametrize("bounds, error, text", [
    ([0.0, 3000.0], TypeError, "argument 'time_bounds': 'list' object cannot be converted to 'PyTuple'"),
    ((0.0, 1000.0, 3000.0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ((0.0,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
])
def test_time_bounds_must_be_a_pair(name, bounds, error, text):
    with pytest.raises(error) as e:
        SINGLE[name](LEO_SOURCE, LEO_TARGET, bounds)
    assert str(e.value) == text


@pytest.mark.parametrize("name", SINGLE)
def test_time_bound_elements_and_mu_are_numbers(name):
    with pytest.raises(TypeError, match="time_bounds"):
        SINGLE[name](LEO_SOURCE, LEO_TARGET, (0.0, "3000"))
    with pytest.raises(TypeError, match="argument 'mu'"):
        SINGLE[name](LEO_SOURCE, LEO_TARGET, mu=None)
    # Integers are numbers.
    np.testing.assert_array_equal(SINGLE[name](LEO_SOURCE, LEO_TARGET, (0, 3000)).cost,
                                  SINGLE[name](LEO_SOURCE, LEO_TARGET).cost)


@pytest.mark.parametrize("kw, error, text", [
    ({"max_iters": -1}, OverflowError, "negative"),
    ({"max_iters": 2.0}, TypeError, "argument 'max_iters'"),
    ({"optimize_rendezvous": 1}, TypeError, "argument 'optimize_rendezvous'"),
    ({"num_solvers": -3}, OverflowError, "negative"),
    ({"return_best_only": None}, TypeError, "argument 'return_best_only'"),
])
def test_counts_and_flags(kw, error, text):
    args = {"source_state": LEO_SOURCE, "target_state": LEO_TARGET, "time_bounds": WINDOW, "max_rev": 0,
            "optimize_rendezvous": True, "num_solvers": 2, "return_best_only": False, **kw}
    with pytest.raises(error, match=text):
        orbelin.optimize_lambert_nm_multi_py(**args)


@pytest.mark.parametrize("name", WAYPOINT_FUNCTIONS)
@pytest.mark.parametrize("waypoint, error, text", [
    (np.arange(8.0)[::2], TypeError, "The given array is not contiguous"),  # also of a wrong length
    (np.arange(12.0)[::2], TypeError, "The given array is not contiguous"),
    (np.zeros(0), ValueError, "ric_waypoint must have 3 or 6 elements"),
    (np.zeros(4), ValueError, "ric_waypoint must have 3 or 6 elements"),
    (np.zeros(7), ValueError, "ric_waypoint must have 3 or 6 elements"),
    (np.zeros((1, 3)), TypeError, "argument 'ric_waypoint': dimensionality mismatch:\n from=2, to=1"),
])
def test_single_waypoint_refusals(name, waypoint, error, text):
    with pytest.raises(error) as e:
        SINGLE[name](LEO_SOURCE, LEO_TARGET, ric_waypoint=waypoint)
    assert str(e.value) == text
    # The states are checked first; argument conversion (the waypoint's axes) comes before both.
    first = text if waypoint.ndim != 1 else "source_state must have 6 elements"
    with pytest.raises(Exception) as e:
        SINGLE[name](np.zeros(4), LEO_TARGET, ric_waypoint=waypoint)
    assert first in str(e.value)


def test_initial_guess_must_be_a_pair():
    call = SINGLE["optimize_lambert_nm_py"]
    with pytest.raises(TypeError) as e:
        call(LEO_SOURCE, LEO_TARGET, initial_guess=[0.0, 100.0])
    assert str(e.value) == "argument 'initial_guess': 'list' object cannot be converted to 'PyTuple'"
    with pytest.raises(ValueError) as e:
        call(LEO_SOURCE, LEO_TARGET, initial_guess=(0.0, 1.0, 2.0))
    assert str(e.value) == "expected tuple of length 2, but got tuple of length 3"


def test_three_element_waypoint_is_six_with_zero_velocity():
    three = orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, WINDOW, 0, True, ric_waypoint=np.array(
        [1.0, -3.0, 0.5]))
    six = orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, WINDOW, 0, True, ric_waypoint=np.array(
        [1.0, -3.0, 0.5, 0.0, 0.0, 0.0]))
    for name in ("t0", "tf", "cost", "dv1", "dv2", "sma", "ta_arrive"):
        np.testing.assert_array_equal(getattr(three, name), getattr(six, name))


# ---------------------------------------------------------------------------
# optimize_lambert_nm_multi_array
# ---------------------------------------------------------------------------

COLUMNS = ["source_idx", "target_idx", "t0", "tf", "cost", "dv1_x", "dv1_y", "dv1_z", "dv2_x", "dv2_y", "dv2_z"]
SOURCES = np.stack([LEO_SOURCE, circular(6900.0, 45.0)])
TARGETS = np.stack([LEO_TARGET, LEO_INCLINED, circular(7100.0, 200.0, inc_deg=3.0)])
TABLE_WINDOW = (0.0, 8000.0)


def table(sources, targets, best_only=True, **kw):
    return orbelin.optimize_lambert_nm_multi_array(sources, targets, TABLE_WINDOW, 0, True, 4, best_only,
                                                   max_iters=20, **kw)


def expected_rows(sources, targets, best_only=True, waypoints=None, **kw):
    rows = []
    for i, s in enumerate(sources):
        for j, t in enumerate(targets):
            if waypoints is not None:
                kw["ric_waypoint"] = waypoints[j] if len(waypoints) > 1 else waypoints[0]
            b = orbelin.optimize_lambert_nm_multi_py(s, t, TABLE_WINDOW, 0, True, 4, best_only, max_iters=20, **kw)
            for k in range(b.t0.shape[0]):
                rows.append([i, j, b.t0[k], b.tf[k], b.cost[k], *b.dv1[k], *b.dv2[k]])
    return rows


def rows_of(frame):
    return frame[COLUMNS].values.tolist()


@pytest.mark.parametrize("best_only", [True, False])
def test_pair_table_follows_the_pairs_in_order(best_only):
    frame = table(SOURCES, TARGETS, best_only)
    assert table(SOURCES, TARGETS, best_only, ric_waypoint=None).equals(frame)
    assert isinstance(frame, pd.DataFrame) and list(frame.columns) == COLUMNS
    assert frame["source_idx"].dtype.kind == "i" and frame["t0"].dtype == np.float64
    expected = expected_rows(SOURCES, TARGETS, best_only)
    assert rows_of(frame) == expected
    pairs = [tuple(r[:2]) for r in expected]
    assert sorted(set(pairs)) == [(i, j) for i in range(2) for j in range(3)]
    assert pairs == sorted(pairs) and (best_only or len(pairs) > 6)


@pytest.mark.parametrize("waypoint, rows", [
    (np.array([0.0, 5.0, 1.0, 0.0, 0.001, 0.0]), [0]),
    (np.array([[0.0, 5.0, 1.0, 0.0, 0.001, 0.0]]), [0]),
    (np.array([[0.0, 5.0, 1.0], [2.0, -4.0, 0.0], [-1.0, 0.0, 3.0]]), [0, 1, 2]),
], ids=["one-axis", "one-row", "per-target"])
def test_pair_table_waypoints(waypoint, rows):
    frame = table(SOURCES, TARGETS, ric_waypoint=waypoint)
    per_target = np.atleast_2d(waypoint)
    assert rows_of(frame) == expected_rows(SOURCES, TARGETS, waypoints=[per_target[r] for r in rows])


def test_pair_table_batch_layouts():
    # A (1, 6) source is a batch of one; batch axes are read in row-major order; a column-major
    # batch is read as the same rows.
    one = table(SOURCES[:1], TARGETS)
    assert rows_of(one) == rows_of(table(SOURCES[0], TARGETS))
    grid = table(SOURCES, np.stack([TARGETS[:2], TARGETS[1:]]))
    assert rows_of(grid) == expected_rows(SOURCES, np.concatenate([TARGETS[:2], TARGETS[1:]]))
    assert rows_of(table(np.asfortranarray(SOURCES), TARGETS)) == rows_of(table(SOURCES, TARGETS))


@pytest.mark.parametrize("sources, targets, kw, text", [
    (np.zeros(5), np.zeros(4), {}, "source_state must have shape [..., 6]"),
    (np.zeros((2, 7)), TARGETS, {}, "source_state must have shape [..., 6]"),
    (np.array(1.0), TARGETS, {}, "source_state must have shape [..., 6]"),
    (SOURCES, np.zeros((3, 5)), {}, "target_state must have shape [..., 6]"),
    (np.zeros((2, 12))[:, ::2], np.zeros((3, 12))[:, ::2], {}, "Failed to reshape source_state"),
    (SOURCES, np.zeros((3, 12))[:, ::2], {}, "Failed to reshape target_state"),
    (SOURCES, TARGETS, {"ric_waypoint": np.zeros((3, 4))}, "ric_waypoint must have shape [..., 3] or [..., 6]"),
    (SOURCES, TARGETS, {"ric_waypoint": np.zeros((2, 6))},
     "If ric_waypoint is an array, it must have the same batch size as target_state"),
    (SOURCES, TARGETS[:1], {"ric_waypoint": np.zeros((3, 6))},
     "If ric_waypoint is an array, it must have the same batch size as target_state"),
    (SOURCES, TARGETS, {"ric_waypoint": np.zeros((0, 6))},
     "If ric_waypoint is an array, it must have the same batch size as target_state"),
    (SOURCES, TARGETS, {"ric_waypoint": np.zeros((6, 6))[::2]}, "Failed to reshape ric_waypoint"),
])
def test_pair_table_refusals(sources, targets, kw, text):
    with pytest.raises(ValueError) as e:
        table(sources, targets, **kw)
    assert str(e.value) == text


def test_pair_table_refuses_a_waypoint_without_axes():
    with pytest.raises(Exception):
        table(SOURCES, TARGETS, ric_waypoint=np.array(1.0))


def test_empty_pair_table():
    for frame in (table(SOURCES, TARGETS[:0]),
                  orbelin.optimize_lambert_nm_multi_array(SOURCES, TARGETS, TABLE_WINDOW, 0, True, 0, False)):
        assert isinstance(frame, pd.DataFrame)
        assert list(frame.columns) == COLUMNS and len(frame) == 0


def test_dictionary_without_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now raises ImportError
    got = orbelin.optimize_lambert_nm_multi_array(SOURCES, TARGETS[:2], TABLE_WINDOW, 0, False, 4, True,
                                                  max_iters=20)
    assert type(got) is dict and list(got) == COLUMNS
    assert all(type(v) is list and len(v) == 4 for v in got.values())
    assert got["source_idx"] == [0, 0, 1, 1] and got["target_idx"] == [0, 1, 0, 1]
    assert all(type(x) is int for x in got["source_idx"] + got["target_idx"])
    assert all(type(x) is float for c in COLUMNS[2:] for x in got[c])
    assert np.all(np.isnan(got["dv2_x"] + got["dv2_y"] + got["dv2_z"]))
    ref = orbelin.optimize_lambert_nm_multi_py(SOURCES[1], TARGETS[0], TABLE_WINDOW, 0, False, 4, True,
                                               max_iters=20)
    assert [got[c][2] for c in ("t0", "tf", "cost")] == [ref.t0[0], ref.tf[0], ref.cost[0]]
    empty = orbelin.optimize_lambert_nm_multi_array(SOURCES, TARGETS, TABLE_WINDOW, 0, True, 0, False)
    assert empty == {c: [] for c in COLUMNS}


# ---------------------------------------------------------------------------
# Thread-count invariance (one worker runs the nested loops of the pair table alone)
# ---------------------------------------------------------------------------

_DIGEST_SCRIPT = r"""
import hashlib, sys
import numpy as np
import orbelin
sys.modules["pandas"] = None
from test_optimization import LEO_SOURCE, LEO_TARGET, LEO_INCLINED, NAN_ROW_FIELDS
out = hashlib.sha256()
table = orbelin.optimize_lambert_nm_multi_array(np.stack([LEO_SOURCE, LEO_INCLINED]), np.stack([LEO_TARGET] * 3),
                                                (0.0, 8000.0), 1, True, 6, False, max_iters=15)
out.update(repr(table).encode())
for burns in [orbelin.optimize_lambert_transfer_grid_py(LEO_SOURCE, LEO_TARGET, (0.0, 9000.0), 500.0),
              orbelin.lambert_grid_search(LEO_SOURCE, LEO_INCLINED, (0.0, 9000.0), 500.0, max_rev=1),
              orbelin.optimize_lambert_nm_multi_sunline_py(LEO_SOURCE, LEO_TARGET, (0.0, 8000.0), 0, True, 8, False,
                                                           200.0, 1.7e9)]:
    for name in NAN_ROW_FIELDS:
        out.update(np.ascontiguousarray(getattr(burns, name)).tobytes())
print(out.hexdigest())
"""


def _digest(prefix):
    env = dict(os.environ)
    tests = os.path.dirname(os.path.abspath(__file__))
    mod_dir = os.path.dirname(os.path.abspath(orbelin.__file__))
    env["PYTHONPATH"] = os.pathsep.join([mod_dir, tests, env.get("PYTHONPATH", "")])
    out = subprocess.run(prefix + [sys.executable, "-c", _DIGEST_SCRIPT], env=env, capture_output=True, text=True,
                         timeout=120, check=True)
    return out.stdout.strip()


@pytest.mark.skipif(shutil.which("taskset") is None, reason="taskset is not installed")
def test_results_do_not_depend_on_the_thread_count():
    one = _digest(["taskset", "-c", "0"])
    assert len(one) == 64
    assert one == _digest([])


# Every function taking max_rev, over a window (or time of flight) of 1e11 s: millions of revolutions fit.
FAR = (0.0, 1e11)
MAX_REV_CALLS = {
    "lambert_grid_search": lambda rev, tb: orbelin.lambert_grid_search(LEO_SOURCE, LEO_TARGET, tb, tb[1] / 3,
                                                                       max_rev=rev),
    "optimize_lambert_nm_py": lambda rev, tb: orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, tb, rev, True,
                                                                             max_iters=2),
    "optimize_lambert_nm_multi_py": lambda rev, tb: orbelin.optimize_lambert_nm_multi_py(
        LEO_SOURCE, LEO_TARGET, tb, rev, True, 2, False, max_iters=2),
    "optimize_lambert_nm_multi_array": lambda rev, tb: orbelin.optimize_lambert_nm_multi_array(
        np.tile(LEO_SOURCE, (2, 1)), LEO_TARGET, tb, rev, True, 2, False, max_iters=2),
    "optimize_lambert_nm_multi_sunline_py": lambda rev, tb: orbelin.optimize_lambert_nm_multi_sunline_py(
        LEO_SOURCE, LEO_TARGET, tb, rev, True, 2, False, 100.0, T0_REF, max_iters=2),
    "lambert_izzo_single": lambda rev, tb: orbelin.lambert_izzo_single(LEO_SOURCE[:3], LEO_TARGET[:3], tb[1], rev,
                                                                       False),
    "lambert_izzo_vec": lambda rev, tb: orbelin.lambert_izzo_vec(LEO_SOURCE[:3], LEO_TARGET[:3], tb[1], rev, False),
    "lambert_izzo_vec_dv": lambda rev, tb: orbelin.lambert_izzo_vec_dv(LEO_SOURCE, LEO_TARGET, tb[1], rev, False),
    "lambert_izzo_best_dv": lambda rev, tb: orbelin.lambert_izzo_best_dv(LEO_SOURCE, LEO_TARGET, tb[1], rev),
}


@pytest.mark.parametrize("name", MAX_REV_CALLS)
def test_more_revolutions_than_the_solver_solves_are_refused_at_the_call(name):
    with pytest.raises(ValueError) as info:
        MAX_REV_CALLS[name](10**7, FAR)
    text = str(info.value)
    assert text.startswith("max_rev = 10000000 admits ")
    assert text.endswith("; at most 1000000 revolutions can be solved in one call")
    # A low orbit's period is under two hours: 1e11 s hold more than a million revolutions, and the count quoted
    # is no more than the window allows.
    count = int(re.search(r" admits (?:up to )?(\d+) revolutions", text).group(1))
    assert 10**6 < count < 2 * 1e11 / (2 * np.pi * np.sqrt(6000.0**3 / 398600.4418))
    # The same max_rev over an hour is answered.
    MAX_REV_CALLS[name](10**7, (0.0, 3600.0))


def test_a_start_count_beyond_any_memory_is_a_memory_error_with_a_message():
    with pytest.raises(MemoryError) as info:
        orbelin.optimize_lambert_nm_multi_py(LEO_SOURCE, LEO_TARGET, WINDOW, 0, True, 2**64 - 1, True)
    assert str(info.value)
