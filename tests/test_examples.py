"""The examples: the 2020 Earth-Mars porkchop from the pyerfa ephemeris (Curtis's Example 8.8 reproduced, the
least C3 against a dense search by an independent solver, the hint shown without the extra), and the rendezvous
comparison."""

import importlib.util
import pathlib
import sys

import numpy as np
import pytest

import helpers

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def load(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def porkchop():
    pytest.importorskip("erfa")
    return load("porkchop")


def test_curtis_example_8_8_from_the_ephemeris(porkchop):
    # Curtis, Orbital Mechanics for Engineering Students, Example 8.8: Earth departure 1996-11-07, Mars arrival
    # 1997-09-12 (309 days), hyperbolic excess speeds 3.16 km/s at Earth and 2.885 km/s at Mars. The book's planets
    # come from its table of mean elements, these from SOFA's epv00 and plan94, which differ by some 1e-4 in
    # position: a few 1e-3 km/s in v_inf.
    jd_dep, jd_arr, cells = porkchop.porkchop(("1996-11-07", "1996-11-07"), ("1997-09-12", "1997-09-12"))
    assert cells.tof[0, 0] == 309 * porkchop.DAY and not cells.retrograde[0, 0]
    assert cells.dv1_mag[0, 0] == pytest.approx(3.16, abs=0.01)
    assert cells.dv2_mag[0, 0] == pytest.approx(2.885, abs=0.01)


def universal_variable_c3(r1, v_planet, r2, tof, mu):
    """C3 of the prograde zero-revolution arc from r1 to r2 (Bate, Mueller and White's universal-variable
    formulation, bisection on z): an independent solver for checking the porkchop's cells."""
    r1n, r2n = np.linalg.norm(r1, axis=-1), np.linalg.norm(r2, axis=-1)
    cos_dnu = np.einsum("...i,...i", r1, r2) / (r1n * r2n)
    # Prograde: the planets' orbital poles lie within 25 degrees of the equatorial frame's +z.
    sign = np.where(np.cross(r1, r2)[..., 2] >= 0, 1.0, -1.0)
    a = sign * np.sqrt(r1n * r2n * (1 + cos_dnu))
    lo, hi = np.full_like(r1n, -4 * np.pi**2), np.full_like(r1n, 4 * np.pi**2)
    for _ in range(200):
        z = (lo + hi) / 2
        c2, c3 = helpers._stumpff(z)
        y = r1n + r2n + a * (z * c3 - 1) / np.sqrt(c2)
        t = ((y / c2) ** 1.5 * c3 + a * np.sqrt(y)) / np.sqrt(mu)
        short = (t < tof) | (y < 0)
        lo, hi = np.where(short, z, lo), np.where(short, hi, z)
    f, g = 1 - y / r1n, a * np.sqrt(y / mu)
    v1 = (r2 - f[..., None] * r1) / g[..., None]
    return np.sum((v1 - v_planet) ** 2, axis=-1)


def test_the_2020_chart_marks_the_least_c3_of_a_dense_independent_search(porkchop, tmp_path, capsys):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    output = tmp_path / "porkchop.png"
    dep, arr, c3 = porkchop.main(["--step-days", "2", "--output", str(output)])
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and output.stat().st_size > 30_000
    text = capsys.readouterr().out
    assert f"least C3: {c3:.3f} km^2/s^2, departing {dep}, arriving {arr}" in text
    assert f"chart written to {output}" in text

    # Around the 2-day grid's best cell, a 0.1-day grid of the independent solver.
    days = np.arange(-20, 21) / 10.0
    jd_dep = porkchop.julian_date(dep.isoformat()) + days
    jd_arr = porkchop.julian_date(arr.isoformat()) + days
    earth, mars = porkchop.planet_states("earth", jd_dep), porkchop.planet_states("mars", jd_arr)
    tof = (jd_arr[None, :] - jd_dep[:, None]) * porkchop.DAY
    dense = universal_variable_c3(earth[:, None, :3], earth[:, None, 3:], mars[None, :, :3], tof, porkchop.MU_SUN)
    assert 12.5 < dense.min() <= c3 < dense.min() + 0.05
    # The same cell, solved by both.
    k = 20
    assert dense[k, k] == pytest.approx(c3, rel=1e-9)


def test_porkchop_without_its_extra_says_how_to_install_it(porkchop, monkeypatch, tmp_path):
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(SystemExit) as info:
        porkchop.main(["--step-days", "30", "--output", str(tmp_path / "p.png")])
    assert "pip install pyerfa matplotlib" in str(info.value.code)
    assert 'pip install ".[porkchop]"' in str(info.value.code)
    assert not (tmp_path / "p.png").exists()


def test_rendezvous_search_reaches_hohmann_and_beats_the_grid(capsys):
    rendezvous = load("rendezvous")
    results = rendezvous.main(["--step", "600", "--starts", "16"])
    (grid_cost, grid_t0, grid_tf, _), (nm_cost, nm_t0, nm_tf, _) = results.values()
    hohmann_dv, hohmann_tof, hohmann_t0 = rendezvous.hohmann()
    assert hohmann_dv == pytest.approx(2.3368 + 1.4339, abs=1e-4)
    assert nm_cost == pytest.approx(hohmann_dv, rel=1e-6)
    assert nm_t0 == pytest.approx(hohmann_t0, abs=1.0)
    assert nm_tf - nm_t0 == pytest.approx(hohmann_tof, abs=1.0)
    assert hohmann_dv * (1 - 1e-9) <= nm_cost <= grid_cost
    assert "Hohmann (analytic)" in capsys.readouterr().out


def test_dv_dispersion_linear_covariance_matches_monte_carlo(capsys):
    # 20,000 samples estimate a 3-sigma figure to about 0.5 % (1 sigma).
    rows = load("dv_dispersion").main(["--samples", "20000"])
    out = capsys.readouterr().out
    assert "Monte Carlo" in out and "time: linear covariance" in out
    for name in ("dv1", "dv2"):
        for linear, sampled in zip(rows[name]["linear"], rows[name]["monte_carlo"]):
            assert 0.5 < linear < 2.0  # m/s: 100 m errors over a 150 degree LEO arc
            assert linear / sampled == pytest.approx(1.0, abs=0.03)
