"""Seeded random Lambert cases shared by the benchmark scripts (imported by their child processes)."""

import numpy as np

MU = 398600.4418
TOF = 1.0e4


def pairs(n, seed, hi_periods):
    """n position pairs (r1, r2), each rescaled so that its time of flight is TOF.

    The times of flight are drawn log-uniformly from 0.02 to hi_periods minimum-energy periods; (r1, r2, t) is the
    same dimensionless problem as (k r1, k r2, k^1.5 t), with the same solver work, so one scalar TOF serves all."""
    rng = np.random.default_rng(seed)

    def directions():
        v = rng.normal(size=(n, 3))
        return v / np.linalg.norm(v, axis=1)[:, None]

    r1 = rng.uniform(6600.0, 42000.0, n)[:, None] * directions()
    r2 = rng.uniform(6600.0, 42000.0, n)[:, None] * directions()
    s = (np.linalg.norm(r1, axis=1) + np.linalg.norm(r2, axis=1) + np.linalg.norm(r2 - r1, axis=1)) / 2
    period = 2 * np.pi * np.sqrt((s / 2) ** 3 / MU)
    tof = np.exp(rng.uniform(np.log(0.02), np.log(hi_periods), n)) * period
    k = (TOF / tof) ** (2.0 / 3.0)
    return np.ascontiguousarray(r1 * k[:, None]), np.ascontiguousarray(r2 * k[:, None])


def state_pairs(n, seed, hi_periods):
    """The pairs of `pairs` as departure and arrival states, with random spacecraft velocities of a few km/s."""
    r1, r2 = pairs(n, seed, hi_periods)
    rng = np.random.default_rng(seed + 1)
    u1 = rng.normal(size=(n, 3)) * 3.0
    u2 = rng.normal(size=(n, 3)) * 3.0
    return np.ascontiguousarray(np.hstack([r1, u1])), np.ascontiguousarray(np.hstack([r2, u2]))
