"""Grid scans of departure and arrival times, the refusal of grids without end,
and the LambertBurnArray result class."""

import numpy as np
import pytest

import orbelin
from test_optimization import LEO_SOURCE, LEO_TARGET, MU, NAN_ROW_FIELDS, check_burns

NAN_TARGET = np.full(6, np.nan)


def grid_cells(lo, hi, step):
    """Cells (t0, tf), t0 < tf, of the values lo, lo + step, ... (repeated addition) not above hi."""
    values = [lo]
    while values[-1] + step <= hi:
        values.append(values[-1] + step)
    return [(a, b) for i, a in enumerate(values) for b in values[i + 1:]]


def cells_of(burns):
    return list(zip(burns.t0.tolist(), burns.tf.tolist()))


SCANS = {
    "grid_search": lambda s, t, bounds, step, **kw: orbelin.lambert_grid_search(s, t, bounds, step, **kw),
    "transfer_grid": lambda s, t, bounds, step, **kw: orbelin.optimize_lambert_transfer_grid_py(s, t, bounds, step,
                                                                                               **kw),
}


@pytest.mark.parametrize("scan", SCANS)
@pytest.mark.parametrize("bounds, step, target", [
    ((0.0, 4000.0), 1000.0, LEO_TARGET),    # (0, 1000), (0, 2000), ... (3000, 4000): 10 cells
    ((0.0, 4500.0), 1000.0, LEO_TARGET),    # not a multiple of the step: the same 10 cells
    ((300.0, 1300.0), 1000.0, LEO_TARGET),  # hi = lo + step: one cell
    ((0.0, 0.7), 0.1, LEO_SOURCE),          # 0.1 added 7 times is 0.7 (7 * 0.1 is not)
    ((0.0, 0.3), 0.1, LEO_SOURCE),          # 0.1 added 3 times is above 0.3
], ids=["multiple", "non-multiple", "one-cell", "sum-reaches-hi", "sum-passes-hi"])
def test_scans_visit_the_grid_in_order(scan, bounds, step, target):
    burns = SCANS[scan](LEO_SOURCE, target, bounds, step)
    expected = grid_cells(*bounds, step)
    assert cells_of(burns) == expected
    assert len(expected) == {1000.0: {4000.0: 10, 4500.0: 10, 1300.0: 1}, 0.1: {0.7: 28, 0.3: 3}}[step][bounds[1]]
    check_burns(burns, LEO_SOURCE, target)


@pytest.mark.parametrize("bounds, step", [((0.0, 900.0), 1000.0), ((500.0, 0.0), 100.0), ((7.0, 7.0), 1.0)])
def test_empty_grid(bounds, step):
    for scan in SCANS.values():
        assert scan(LEO_SOURCE, LEO_TARGET, bounds, step).t0.shape == (0,)
    # The transfer scan then evaluates (lo, lo + dt_step) itself.
    best = orbelin.optimize_lambert_transfer_py(LEO_SOURCE, LEO_TARGET, bounds, step)
    assert (best.t0[0], best.tf[0]) == (bounds[0], bounds[0] + step)
    check_burns(best, LEO_SOURCE, LEO_TARGET)


# A body released at rest falls radially and is back at the same position at -t and t: the cells (-t, t) join
# a point to itself and have no arc, so later rows of the result move up over them.
FALLING = np.array([7000.0, 0.0, 0.0, 0.0, 0.0, 0.0])


@pytest.mark.parametrize("source, target, bounds, step, rows", [
    (LEO_SOURCE, LEO_TARGET, (0.0, 12000.0), 1000.0, 78),
    (FALLING, FALLING, (-1000.0, 1000.0), 500.0, 8),
], ids=["all-cells", "cells-dropped"])
def test_grid_rows_match_one_cell_results(source, target, bounds, step, rows):
    # Rows of a large grid are written by the worker pool, a one-cell grid's row on its own: the same rows.
    large = orbelin.lambert_grid_search(source, target, bounds, step)
    assert large.t0.shape == (rows,)
    kept = cells_of(large)
    assert kept == [c for c in grid_cells(*bounds, step) if c[0] != -c[1]]
    for k, (t0, tf) in enumerate(kept):
        one = orbelin.lambert_grid_search(source, target, (t0, tf), tf - t0)
        for name in NAN_ROW_FIELDS:
            np.testing.assert_array_equal(getattr(large, name)[k], getattr(one, name)[0], err_msg=name)


def test_infeasible_cells_are_dropped():
    for scan in SCANS.values():
        assert scan(LEO_SOURCE, NAN_TARGET, (0.0, 3000.0), 1000.0).t0.shape == (0,)


def test_grid_search_defaults_and_options():
    args = (LEO_SOURCE, LEO_TARGET, (0.0, 16000.0), 4000.0)
    plain = orbelin.lambert_grid_search(*args)
    explicit = orbelin.lambert_grid_search(*args, max_rev=0, mu=MU, tol=1e-8, maxiter=50, rendezvous=True)
    for name in NAN_ROW_FIELDS:
        np.testing.assert_array_equal(getattr(plain, name), getattr(explicit, name))
    assert np.all(np.isfinite(plain.dv2))
    departure_only = orbelin.lambert_grid_search(*args, rendezvous=False)
    assert np.all(np.isnan(departure_only.dv2))
    np.testing.assert_allclose(departure_only.cost, np.linalg.norm(departure_only.dv1, axis=1), rtol=1e-14)
    assert np.all(departure_only.cost <= plain.cost)
    # Revolutions add candidates: never dearer, cheaper in some long cell.
    revs = orbelin.lambert_grid_search(*args, max_rev=1)
    assert cells_of(revs) == cells_of(plain)
    assert np.all(revs.cost <= plain.cost) and np.any(revs.cost < plain.cost)
    check_burns(revs, LEO_SOURCE, LEO_TARGET)


def departure_dv(t0, tf, retrograde):
    """Smallest departure impulse of the zero-revolution arcs of one direction."""
    r1, v1 = orbelin.kepler_universal_2body_py(LEO_SOURCE, t0)
    r2, v2 = orbelin.kepler_universal_2body_py(LEO_TARGET, tf)
    dv1m = orbelin.lambert_izzo_vec_dv(np.concatenate([r1, v1]), np.concatenate([r2, v2]), tf - t0, 0,
                                       retrograde)[0]
    return np.nanmin(dv1m)


@pytest.mark.parametrize("retrograde", [False, True])
def test_transfer_scan_picks_the_cheapest_departure(retrograde):
    bounds, step = (0.0, 6000.0), 750.0
    best = orbelin.optimize_lambert_transfer_py(LEO_SOURCE, LEO_TARGET, bounds, step, retrograde=retrograde)
    cells = grid_cells(*bounds, step)
    values = np.array([departure_dv(t0, tf, retrograde) for t0, tf in cells])
    chosen = np.flatnonzero(values == values.min())[-1]
    assert (best.t0[0], best.tf[0]) == cells[chosen]
    # The answer is the full evaluation of the chosen times: both directions, no arrival burn.
    rows = orbelin.optimize_lambert_transfer_grid_py(LEO_SOURCE, LEO_TARGET, bounds, step)
    assert best.cost[0] == rows.cost[chosen] <= values[chosen]
    assert np.all(np.isnan(best.dv2))
    check_burns(best, LEO_SOURCE, LEO_TARGET)


def test_transfer_grid_rows_do_not_depend_on_the_direction():
    args = (LEO_SOURCE, LEO_TARGET, (0.0, 6000.0), 1500.0)
    pro = orbelin.optimize_lambert_transfer_grid_py(*args)
    retro = orbelin.optimize_lambert_transfer_grid_py(*args, retrograde=True)
    for name in NAN_ROW_FIELDS:
        np.testing.assert_array_equal(getattr(pro, name), getattr(retro, name))


GRID_FUNCTIONS = [orbelin.lambert_grid_search, orbelin.optimize_lambert_transfer_py,
                  orbelin.optimize_lambert_transfer_grid_py]


@pytest.mark.parametrize("fn", GRID_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("bounds, step, error, text", [
    ((0.0, 100.0), 0.0, ValueError, "dt_step"),
    ((0.0, 100.0), -5.0, ValueError, "dt_step"),
    ((0.0, 100.0), np.nan, ValueError, "dt_step"),
    ((0.0, np.inf), 1.0, ValueError, "time_bounds"),
    ((-np.inf, 100.0), 1.0, ValueError, "time_bounds"),
    ((0.0, np.nan), 1.0, ValueError, "time_bounds"),
    ((np.nan, 100.0), 1.0, ValueError, "time_bounds"),
    ((1e20, 1e20 + 1e6), 1.0, ValueError, "dt_step"),  # adding the step does not move the time
    ((0.0, 1e9), 1.0, MemoryError, "grid"),            # 5e17 cells
    ((0.0, 3600.0), 5e-324, MemoryError, r"has more than 1\.8e\+308 cells"),  # a count beyond float64
], ids=["zero", "negative", "nan-step", "inf-hi", "inf-lo", "nan-hi", "nan-lo", "stalls", "huge", "uncountable"])
def test_grids_without_end_are_refused(fn, bounds, step, error, text):
    with pytest.raises(error, match=text):
        fn(LEO_SOURCE, LEO_TARGET, bounds, step)


# ---------------------------------------------------------------------------
# LambertBurnArray
# ---------------------------------------------------------------------------

DOCS = {
    "t0": "Departure time for each solution [s] - shape (n,)",
    "tf": "Arrival time for each solution [s] - shape (n,)",
    "tof": "Time of flight for each solution [s] - shape (n,)",
    "cost": "Total cost (delta-v) for each solution [km/s] - shape (n,)",
    "dv1": "First burn impulse vector at t0 for each solution [km/s] - shape (n, 3)",
    "dv2": "Second burn impulse vector at tf for each solution [km/s] - shape (n, 3)",
    "sma": "Semi-major axis [km] - shape (n,)",
    "ecc": "Eccentricity - shape (n,)",
    "inc": "Inclination [deg] - shape (n,)",
    "raan": "Right Ascension of Ascending Node [deg] - shape (n,)",
    "argp": "Argument of Perigee [deg] - shape (n,)",
    "ta_depart": "True anomaly at departure [deg] - shape (n,)",
    "ta_arrive": "True anomaly at arrival [deg] - shape (n,)",
    "rp": "Radius of perigee [km] - shape (n,)",
    "ra": "Radius of apogee [km] - shape (n,)",
}


def test_class_publishes_fifteen_read_only_attributes():
    cls = orbelin.LambertBurnArray
    assert cls.__doc__.startswith("Python wrapper for Lambert burn solutions (with impulses)\n"
                                  "Replaces OptimizedLambertSolutionPy and OptimizedLambertSolutionArray\n\n")
    published = [k for k in vars(cls) if k in DOCS]
    assert published == list(DOCS)
    for name, doc in DOCS.items():
        assert getattr(cls, name).__doc__ == doc
    burns = orbelin.lambert_grid_search(LEO_SOURCE, LEO_TARGET, (0.0, 3000.0), 1000.0)
    for name in DOCS:
        value = getattr(burns, name)
        assert value is getattr(burns, name)
        assert value.dtype == np.float64 and value.shape == ((6, 3) if name in ("dv1", "dv2") else (6,))
        with pytest.raises(AttributeError):
            setattr(burns, name, value)
    with pytest.raises(TypeError):
        len(burns)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()


def expected_repr(n, cost_text):
    rows = [("t0", f"[{n}]"), ("tf", f"[{n}]"), ("tof", f"[{n}]"), ("cost", f"[{n}] {cost_text}"),
            ("dv1", f"[{n}, 3]"), ("dv2", f"[{n}, 3]")]
    return "\n".join(["LambertBurnArray with Attributes:"] + [f"{name + ':':>20} {text}" for name, text in rows])


def test_repr_of_two_transfers_follows_the_cost_array():
    burns = orbelin.lambert_grid_search(LEO_SOURCE, LEO_TARGET, (0.0, 2000.0), 1000.0)
    assert burns.cost.shape == (3,)
    assert repr(burns) == str(burns) == expected_repr(3, "(min=%.6f, max=%.6f, avg=%.6f km/s)" % (
        burns.cost.min(), burns.cost.max(), burns.cost.mean()))
    burns.cost[:] = [1.5, 2.5, 2.0]  # the attributes are the object's own arrays
    assert repr(burns) == (
        "LambertBurnArray with Attributes:\n"
        + " " * 17 + "t0: [3]\n" + " " * 17 + "tf: [3]\n" + " " * 16 + "tof: [3]\n"
        + " " * 15 + "cost: [3] (min=1.500000, max=2.500000, avg=2.000000 km/s)\n"
        + " " * 16 + "dv1: [3, 3]\n" + " " * 16 + "dv2: [3, 3]")
    burns.cost[:] = [np.nan, 1.0, 3.0]
    assert repr(burns) == expected_repr(3, "(min=1.000000, max=3.000000, avg=NaN km/s)")
    burns.cost[:] = [np.inf, 1.0, -np.inf]
    assert repr(burns) == expected_repr(3, "(min=-inf, max=inf, avg=NaN km/s)")


def test_repr_of_empty_and_nan_results():
    empty = orbelin.lambert_grid_search(LEO_SOURCE, LEO_TARGET, (0.0, 10.0), 100.0)
    assert empty.t0.shape == (0,) and empty.dv1.shape == (0, 3) and empty.dv2.shape == (0, 3)
    assert repr(empty) == expected_repr(0, "(min=NaN, max=NaN, avg=NaN km/s)")
    nothing = orbelin.optimize_lambert_nm_py(LEO_SOURCE, LEO_TARGET, (50.0, 50.0), 0, True)
    assert repr(nothing) == expected_repr(1, "(min=inf, max=-inf, avg=NaN km/s)")


def test_columns_of_a_large_result_are_arrays_of_their_own():
    # 300 grid values: 44,850 rows, 6.5 MB over the fifteen columns, none of them 4 MB (the size of a result whose
    # columns share one block of memory). Each column must still own its data and outlive the others.
    leo = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(MU / 7000.0), 0.0])
    geo = np.array([0.0, 42164.0, 0.0, -np.sqrt(MU / 42164.0), 0.0, 0.0])
    result = orbelin.lambert_grid_search(leo, geo, (0.0, 86400.0), 86400.0 / 299)
    columns = {name: getattr(result, name) for name in NAN_ROW_FIELDS}
    assert columns["t0"].shape == (44850,)
    for name, a in columns.items():
        assert a.flags.owndata and a.base is None and a.flags.writeable, name
    copies = {name: a.copy() for name, a in columns.items()}
    dv1 = columns.pop("dv1")
    del result, columns
    np.testing.assert_array_equal(dv1, copies["dv1"])
    # Resized in place, smaller and then larger, the column keeps its leading values.
    dv1.resize((10, 3), refcheck=False)
    np.testing.assert_array_equal(dv1, copies["dv1"][:10])
    dv1.resize((50000, 3), refcheck=False)
    np.testing.assert_array_equal(dv1[:10], copies["dv1"][:10])
    assert not dv1[10:].any()
