"""Scaling out on Dask with examples/dask_scan.py: a LocalCluster of two worker
processes computes a chunked scan of 10^5 Lambert problems that equals, bit
for bit, the same cases solved by direct calls in this process; the workers'
calls use one thread per Dask thread; the script runs as written and leaves no
process behind."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from dask.distributed import Client, LocalCluster, get_task_stream

import orbelin

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "dask_scan.py"


def _load_example():
    spec = importlib.util.spec_from_file_location("dask_scan", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules["dask_scan"] = module
    spec.loader.exec_module(module)
    return module


scan = _load_example()


def _children():
    """Processes whose parent is this one, but for multiprocessing's resource
    tracker, which lives as long as this process by design."""
    me = str(os.getpid())
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if fields[1] == me and b"resource_tracker" not in cmdline:  # fields: state, parent pid, ...
            found.add(int(pid))
    return found


@pytest.fixture(scope="module")
def client():
    before = _children()
    setting = os.environ.get("ORBELIN_NUM_THREADS")
    cluster = scan.start_local_cluster(2, 1, dashboard_address=":0")
    try:
        with Client(cluster) as c:
            # Tasks name the example's functions by module: the workers import it.
            c.upload_file(str(EXAMPLE))
            yield c
    finally:
        cluster.close()
        # Dask puts pre-spawn variables into this process's environment too.
        if setting is None:
            os.environ.pop("ORBELIN_NUM_THREADS", None)
        else:
            os.environ["ORBELIN_NUM_THREADS"] = setting
    assert _children() == before


def test_a_two_process_cluster_gives_the_local_result_bit_for_bit(client):
    departures, tofs = scan.scan_grid(100_000)
    assert (departures.size, tofs.size) == (100, 1000)
    grid = scan.scan(departures, tofs, 1, chunks=(25, 250))
    assert grid.numblocks == (4, 4)
    with get_task_stream(client) as tasks:
        distributed = grid.compute()
    assert len({t["worker"] for t in tasks.data}) == 2

    # The same cases, one lambert_izzo_best_dv call per time of flight on all
    # departures, here.
    chaser = scan.circular_states(scan.CHASER, departures)
    local = np.column_stack([
        orbelin.lambert_izzo_best_dv(chaser, scan.circular_states(scan.TARGET, departures + tof), tof, 1)[2]
        for tof in tofs
    ])
    assert distributed.dtype == np.float64 and distributed.shape == (100, 1000)
    assert np.isfinite(local).mean() > 0.99
    assert distributed.tobytes() == local.tobytes()
    assert scan.cheapest(grid) == scan.cheapest(local)


def test_each_worker_call_uses_one_thread_per_dask_thread(client):
    assert set(client.nthreads().values()) == {1}
    assert set(client.run(scan._worker_setting).values()) == {"1"}
    assert scan.check_workers(client) == []


def test_workers_whose_setting_differs_from_their_threads_are_named(monkeypatch):
    # Workers inside this process read this process's environment.
    with LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=":0") as cluster:
        with Client(cluster) as c:
            (address,) = c.nthreads()
            monkeypatch.setenv("ORBELIN_NUM_THREADS", " 2")
            assert scan.check_workers(c) == []
            monkeypatch.setenv("ORBELIN_NUM_THREADS", "1")
            assert scan.check_workers(c) == [f"warning: worker {address} runs 2 Dask thread(s) with "
                                             "ORBELIN_NUM_THREADS ='1'; start it with ORBELIN_NUM_THREADS=2"]
            monkeypatch.delenv("ORBELIN_NUM_THREADS")
            assert scan.check_workers(c) == [f"warning: worker {address} runs 2 Dask thread(s) with "
                                             "ORBELIN_NUM_THREADS unset; start it with ORBELIN_NUM_THREADS=2"]


def test_the_scan_targets_where_the_target_is_at_arrival():
    # Two-body propagation of the initial states, independent of the closed
    # form the example uses, gives the same cost for its cheapest case.
    departures, tofs = scan.scan_grid(30_000)
    i, j, best = scan.cheapest(scan.transfer_cost(departures[:, None], tofs[None, :], 1))
    t0, tof = departures[i], tofs[j]
    chaser = np.concatenate(orbelin.kepler_universal_2body_py(scan.circular_states(scan.CHASER, 0.0), t0))
    target = np.concatenate(orbelin.kepler_universal_2body_py(scan.circular_states(scan.TARGET, 0.0), t0 + tof))
    again = float(orbelin.lambert_izzo_best_dv(chaser, target, tof, 1)[2])
    assert again == pytest.approx(best, rel=1e-6)


def _run_example(*args, without_dask=False):
    env = {k: v for k, v in os.environ.items() if k != "ORBELIN_NUM_THREADS"}
    # Without Dask: the script runs in an interpreter where importing dask fails.
    block = "import runpy, sys; sys.modules['dask'] = None; sys.argv[0] = sys.argv.pop(1); " \
        "runpy.run_path(sys.argv[0], run_name='__main__')"
    command = [sys.executable, "-c", block] if without_dask else [sys.executable]
    done = subprocess.run([*command, str(EXAMPLE), *args], capture_output=True, text=True, timeout=120,
                          env=env, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    return dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)


def test_the_script_runs_on_its_own_cluster_on_a_given_scheduler_and_alone(client):
    on_cluster = _run_example("--cases", "20000", "--workers", "2")
    on_scheduler = _run_example("--cases", "20000", "--scheduler", client.scheduler.address)
    alone = _run_example("--cases", "20000", "--local", without_dask=True)
    assert on_cluster["run"].startswith("LocalCluster of 2 worker process(es) x 1 thread(s), ORBELIN_NUM_THREADS=1")
    assert on_scheduler["run"] == f"scheduler {client.scheduler.address}, 2 workers, 2 Dask threads"
    assert alone["run"].startswith("this process, without Dask")
    assert alone["cheapest transfer"].startswith("depart 2026-01-01 ")
    for out in (on_cluster, on_scheduler, alone):
        assert out["cheapest transfer"] == alone["cheapest transfer"]
        assert out["throughput"].startswith("20,000 cases in ")
        assert out["throughput"].endswith(" cases/s")
        assert not any(key.startswith("warning") for key in out)
    for out in (on_cluster, on_scheduler):
        assert out["dashboard"].startswith("http://")
