"""ORBELIN_SIMD: the instruction set of the lane kernels (solver, elements, propagation), chosen once at import. On
every path a row of a batch is bit for bit the case solved (or propagated) alone, elements included, and all paths give
the same velocities, elements and states."""

import pathlib
import textwrap

import numpy as np
import pytest

from helpers import run_python

PATHS = ["off", "avx2", "avx512"]
TESTS = pathlib.Path(__file__).parent

IMPORTS = """
    try:
        import orbelin
        print("ok")
    except (ImportError, ValueError) as e:
        print(type(e).__name__ + ": " + str(e))
"""


def import_outcome(value):
    return run_python(IMPORTS, {"ORBELIN_SIMD": value})


@pytest.fixture(scope="module")
def runnable():
    """The paths this machine runs."""
    return [value for value in PATHS if import_outcome(value) == "ok"]


# Random arcs from LEO to GEO radii, times of flight from none (0 and negative) through hyperbolic (300 s) and
# near-parabolic to several revolutions, and rows that take the setup's rare branches: a transfer angle within the
# half-turn band of lambda, collinear positions on both sides (where vec_dv and best_dv take the plane from the
# departure velocity), the equatorial plane, a NaN position. Each is solved by the batch functions and alone, with
# max_rev 3 prograde and with max_rev 0 retrograde with the re-entry check; the child checks rows against single
# solves (and batches of one row) and saves what the paths are compared on.
SOLVE = """
    import sys
    import numpy as np
    import orbelin
    from helpers import random_pairs, random_directions
    rng = np.random.default_rng(16)
    n = 240
    r1, r2 = random_pairs(rng, n)
    r2[0] = -1.2 * r1[0] + 1e-4 * np.linalg.norm(r1[0]) * random_directions(rng, 1)[0]
    r2[1] = -1.3 * r1[1]
    r2[2] = 1.5 * r1[2]
    r1[3, 2] = r2[3, 2] = 0.0
    r2[4, 1] = np.nan
    u1 = np.sqrt(398600.4418 / np.linalg.norm(r1, axis=1))[:, None] * random_directions(rng, n)
    u2 = np.sqrt(398600.4418 / np.linalg.norm(r2, axis=1))[:, None] * random_directions(rng, n)
    s1, s2 = np.hstack([r1, u1]), np.hstack([r2, u2])
    tofs = [-1.0, 0.0, 300.0, 1500.0, 6000.0, 40000.0]
    # Bit for bit, any NaN being one: its sign and payload carry nothing and follow the operand order the compiler
    # chose for each path.
    bits = lambda a: np.where(np.isnan(a), np.nan, a).tobytes()
    same = lambda a, b: bits(a) == bits(b)
    elements = ["sma", "ecc", "inc", "raan", "argp", "ta_depart", "ta_arrive", "rp", "ra"]
    bad = 0
    saved = {}
    for max_rev, retro, reentry in [(3, False, False), (0, True, True)]:
        kw = {"reentry_check": reentry}
        sol = orbelin.lambert_izzo_vec(r1, r2, tofs, max_rev, retro, **kw)
        dv = orbelin.lambert_izzo_vec_dv(s1, s2, tofs, max_rev, retro, **kw)
        best = orbelin.lambert_izzo_best_dv(s1, s2, tofs, max_rev, **kw)
        for i in range(n):
            for t, tof in enumerate(tofs):
                alone = orbelin.lambert_izzo_single(r1[i], r2[i], tof, max_rev, retro, **kw)
                k = len(alone.num_revs)
                bad += not (same(sol.v1[i, t, :k], alone.v1) and same(sol.v2[i, t, :k], alone.v2))
                bad += not all(same(getattr(sol, e)[i, t, :k], getattr(alone, e)) for e in elements)
                if i not in (1, 2):  # collinear: the departure normal sets the plane of vec_dv
                    bad += not (same(dv[3][i, t, :k], alone.v1 - u1[i]) and same(dv[4][i, t, :k], u2[i] - alone.v2))
                row = orbelin.lambert_izzo_vec_dv(s1[i:i + 1], s2[i:i + 1], tof, max_rev, retro, **kw)
                bad += not all(same(a[i, t, :k], b[0, :k]) for a, b in zip(dv, row))
                one = orbelin.lambert_izzo_best_dv(s1[i:i + 1], s2[i:i + 1], tof, max_rev, **kw)
                bad += not all(same(a[i, t], b[0]) for a, b in zip(best, one))
        tag = f"{max_rev}{retro}"
        for name, a in [("v1", sol.v1), ("v2", sol.v2), ("dv1", dv[3]), ("best_dv1", best[3]), ("best_dv2", best[4])]:
            saved[name + tag] = np.where(np.isnan(a), np.nan, a)
        for e in elements:
            saved[e + tag] = np.where(np.isnan(getattr(sol, e)), np.nan, getattr(sol, e))
        if max_rev == 3:
            arcs = np.count_nonzero(np.isfinite(sol.v1[..., 0]))
    # Arcs in the equatorial plane, prograde and retrograde, have their elements from the equatorial formulas.
    flat1, flat2 = r1[5:65] * [1.0, 1.0, 0.0], r2[5:65] * [1.0, 1.0, 0.0]
    for retro in (False, True):
        flat = orbelin.lambert_izzo_vec(flat1, flat2, tofs, 3, retro)
        for i in range(len(flat1)):
            for t, tof in enumerate(tofs):
                alone = orbelin.lambert_izzo_single(flat1[i], flat2[i], tof, 3, retro)
                k = len(alone.num_revs)
                bad += not all(same(getattr(flat, e)[i, t, :k], getattr(alone, e)) for e in elements)
    mu = 398600.4418
    leo = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(mu / 7000.0), 0.0])
    geo = np.array([0.0, 42164.0, 1000.0, -np.sqrt(mu / 42164.0), 0.0, 0.0])
    grids = {"grid": orbelin.lambert_grid_search(leo, geo, (0.0, 86400.0), 86400.0 / 40),
             "flat_grid": orbelin.lambert_grid_search(leo, geo * [1, 1, 0, 1, 1, 1], (0.0, 86400.0), 86400.0 / 40)}
    for kind, g in grids.items():
        for e in elements:
            saved[f"{e}_{kind}"] = np.where(np.isnan(getattr(g, e)), np.nan, getattr(g, e))
    # Propagation of ellipses and hyperbolas (up to 1.5 times the circular speed) over intervals of both signs and
    # none, each row against its own propagation.
    states = np.hstack([r1, u1 * rng.uniform(0.5, 1.5, (n, 1))])
    dts = rng.uniform(-2e4, 2e4, n)
    dts[::9] = 0.0
    propagated = orbelin.kepler_universal_2body_vec(states, dts)
    for i in range(n):
        bad += not same(propagated[i], np.concatenate(orbelin.kepler_universal_2body_py(states[i], dts[i])))
    saved["propagated"] = np.where(np.isnan(propagated), np.nan, propagated)
    np.savez(sys.argv[1], **saved)
    print(bad, arcs)
"""


@pytest.fixture(scope="module")
def solved(runnable, tmp_path_factory):
    """solved(value): (rows that differ from their single solves, finite arcs, saved arrays) on that path."""
    results = {}

    def solve(value):
        if value not in runnable:
            pytest.skip(f"this machine does not run ORBELIN_SIMD={value}")
        if value not in results:
            path = tmp_path_factory.mktemp(value) / "out.npz"
            setup = f"import sys\nsys.argv.append({str(path)!r})\nsys.path.insert(0, {str(TESTS)!r})\n"
            out = run_python(setup + textwrap.dedent(SOLVE), {"ORBELIN_SIMD": value}, timeout=300)
            bad, arcs = map(int, out.split())
            results[value] = bad, arcs, np.load(path)
        return results[value]

    return solve


@pytest.mark.parametrize("value", PATHS)
def test_rows_of_a_batch_are_their_cases_solved_alone(value, solved):
    bad, arcs, _ = solved(value)
    assert bad == 0
    assert arcs > 1100  # 960 direct arcs, the rest of several revolutions


@pytest.mark.parametrize("value", PATHS[1:])
def test_every_path_gives_the_bits_of_the_portable_one(value, solved):
    _, _, got = solved(value)
    _, _, portable = solved("off")
    for name in portable.files:
        assert got[name].tobytes() == portable[name].tobytes(), name


@pytest.mark.parametrize("value", ["fast", "on", "avx-512", "1"])
def test_an_unknown_setting_makes_the_import_fail(value):
    assert import_outcome(value) == (
        f"ValueError: ORBELIN_SIMD must be one of auto, off, avx2 and avx512, got '{value}'")


@pytest.mark.parametrize("value, name", [("avx2", "AVX2"), ("avx512", "AVX-512F")])
def test_a_set_the_machine_does_not_run_makes_the_import_fail(value, name, runnable):
    if value in runnable:
        pytest.skip(f"this machine runs {name}")
    assert import_outcome(value).startswith(
        f"ImportError: ORBELIN_SIMD = '{value}' asks for {name}, which this machine does not run (")


def test_auto_and_blank_import(runnable):
    for value in ["auto", "", " AUTO "]:
        assert import_outcome(value) == "ok"
