"""Typed use of orbelin, checked by `mypy --strict` against the installed stubs
(and run by tests/test_stubs.py). assert_type fails the type check when an
attribute or result is typed Any or anything but the exact type named."""

import sys

if sys.version_info >= (3, 11):
    from typing import assert_type
else:  # typing has it from 3.11 on
    from typing_extensions import assert_type

import numpy as np
from numpy.typing import NDArray

import orbelin

MU = 398600.4418

r1 = np.array([5000.0, 10000.0, 2100.0])
r2 = np.array([-14600.0, 2500.0, 7000.0])

sol = orbelin.lambert_izzo_single(r1, r2, 3600.0, 0, False, mu=398600.0)
assert_type(sol, orbelin.LambertSolutionArray)
assert_type(sol.v1, NDArray[np.float64])
assert_type(sol.num_revs, NDArray[np.uint64])
assert_type(sol.retrograde, NDArray[np.bool_])
assert_type(sol.ra, NDArray[np.float64])

batch = orbelin.lambert_izzo_vec(np.stack([r1, r1]), np.stack([r2, r2]), [1800.0, 3600.0], 1, False)
assert_type(batch.sma, NDArray[np.float64])

leo = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(MU / 7000.0), 0.0])
geo = np.array([0.0, 42164.0, 0.0, -np.sqrt(MU / 42164.0), 0.0, 0.0])
dv1, dv2, total, dv1_vec, dv2_vec = orbelin.lambert_izzo_best_dv(leo, geo, 19000.0, 0, rendezvous=True)
assert_type(total, NDArray[np.float64])
assert_type(dv1_vec, NDArray[np.float64])

position, velocity = orbelin.kepler_universal_2body_py(leo, 600.0, mu=MU)
assert_type(position, NDArray[np.float64])

coe: NDArray[np.float64] = orbelin.rv2coe(leo, deg=True)
states: NDArray[np.float64] = orbelin.coe2rv(coe)
sun: NDArray[np.float64] = orbelin.compute_sun_state_jd([2451545.0, 2451636.0])
rel: NDArray[np.float64] = orbelin.eci2ric_state(states, leo)

burns = orbelin.optimize_lambert_nm_multi_py(leo, geo, (0.0, 30000.0), 0, True, 8, True, max_iters=None)
assert_type(burns, orbelin.LambertBurnArray)
assert_type(burns.cost, NDArray[np.float64])
assert_type(burns.dv2, NDArray[np.float64])
grid = orbelin.lambert_grid_search(leo, geo, (0.0, 7200.0), 1800.0, max_rev=0, rendezvous=False)
assert_type(grid.tof, NDArray[np.float64])

version: str = orbelin.__version__
cheapest: float = float(np.min(grid.cost))

pc = orbelin.lambert_porkchop(np.stack([leo, leo]), np.stack([geo]), np.array([0.0, 600.0]), np.array([19000.0]))
assert_type(pc, orbelin.LambertPorkchopArray)
assert_type(pc.c3, NDArray[np.float64])
assert_type(pc.num_revs, NDArray[np.uint64])
assert_type(pc.best_index, NDArray[np.int64])
