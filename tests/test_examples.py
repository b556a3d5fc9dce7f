"""The examples: the porkchop chart on a small grid (non-interactive backend)
against a direct search of the same grid and the Hohmann transfer, the hint
shown without matplotlib, and the rendezvous comparison."""

import importlib.util
import pathlib
import sys

import numpy as np
import pytest

import orbelin

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def load(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def porkchop():
    return load("porkchop")


def direct_search(pc, departures, tofs):
    """Total delta-v of every (departure, time of flight) cell from the planets' analytic circular positions,
    one best-of-both-directions solve per time of flight."""
    earth0, mars0 = pc.initial_states()
    phase0 = np.arctan2(mars0[1], mars0[0])
    n_earth, n_mars = pc.mean_motion(pc.R_EARTH_ORBIT), pc.mean_motion(pc.R_MARS_ORBIT)
    t0 = departures * pc.DAY
    s1 = np.stack([pc.circular_state(pc.R_EARTH_ORBIT, n_earth * t) for t in t0])
    cost = np.empty((departures.size, tofs.size))
    for k, tof in enumerate(tofs * pc.DAY):
        s2 = np.stack([pc.circular_state(pc.R_MARS_ORBIT, phase0 + n_mars * (t + tof)) for t in t0])
        cost[:, k] = orbelin.lambert_izzo_best_dv(s1, s2, tof, 0, mu=pc.MU_SUN)[2]
    return cost


def test_porkchop_marks_the_minimum_of_its_grid(porkchop, tmp_path, capsys):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    output = tmp_path / "porkchop.png"
    args = ["--step-days", "20", "--departure-days", "400", "--tof-min", "120", "--tof-max", "400"]
    best = porkchop.main(args + ["--output", str(output)])

    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert output.stat().st_size > 10_000
    assert f"chart written to {output}" in capsys.readouterr().out

    departures = np.arange(0.0, 400.0 + 10.0, 20.0)
    tofs = np.arange(120.0, 400.0 + 10.0, 20.0)
    direct = direct_search(porkchop, departures, tofs)
    i, k = np.unravel_index(np.nanargmin(direct), direct.shape)
    assert best[:2] == (departures[i], tofs[k])
    assert best[2] == pytest.approx(direct[i, k], rel=1e-7)

    # The Hohmann transfer is the cheapest two-impulse transfer between these orbits; a 20-day grid gets close.
    hohmann_dv, hohmann_tof = porkchop.hohmann()
    assert hohmann_dv == pytest.approx(5.59, abs=0.01)
    assert hohmann_dv * (1 - 1e-9) <= best[2] < hohmann_dv * 1.02
    assert abs(best[1] - hohmann_tof) <= 20.0


def test_porkchop_scan_fills_the_whole_grid(porkchop):
    departures, tofs, cost = porkchop.scan(step_days=40.0, departure_days=200.0, tof_min_days=120.0,
                                           tof_max_days=400.0)
    assert cost.shape == (departures.size, tofs.size)
    np.testing.assert_allclose(cost, direct_search(porkchop, departures, tofs), rtol=1e-7)


def test_porkchop_without_matplotlib_says_how_to_install_it(porkchop, monkeypatch, tmp_path):
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(SystemExit) as info:
        porkchop.main(["--step-days", "80", "--departure-days", "160", "--output", str(tmp_path / "p.png")])
    assert 'pip install "orbelin[plot]"' in str(info.value.code)
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
