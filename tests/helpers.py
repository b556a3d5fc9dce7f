"""Shared test helpers: seeded problem generators and an independent two-body
propagator (used by the tests and by benchmarks/bench_lambert.py), and the
subprocess and exception helpers."""

import os
import subprocess
import sys
import textwrap

import numpy as np

MU = 398600.4418  # the Earth's gravitational parameter, km^3/s^2


# ---------------------------------------------------------------------------
# Seeded generators
# ---------------------------------------------------------------------------

def random_directions(rng, n):
    """n unit vectors, uniform on the sphere."""
    v = rng.normal(size=(n, 3))
    return v / np.linalg.norm(v, axis=1)[:, None]


def plane_directions(rng, n):
    """n pairs (u, w) of orthogonal unit vectors, u uniform on the sphere: r(a) = cos(a) u + sin(a) w is a direction
    at angle a from u in a random plane."""
    u = random_directions(rng, n)
    w = random_directions(rng, n)
    w -= np.sum(w * u, axis=1)[:, None] * u
    return u, w / np.linalg.norm(w, axis=1)[:, None]


def random_pairs(seed, n):
    """n position pairs (r1, r2), radii uniform in [6600, 42000] km, directions uniform. `seed` is a seed or a
    numpy Generator to draw from."""
    rng = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)
    r1 = rng.uniform(6600.0, 42000.0, n)[:, None] * random_directions(rng, n)
    r2 = rng.uniform(6600.0, 42000.0, n)[:, None] * random_directions(rng, n)
    return r1, r2


def min_energy_period(r1, r2, mu=MU):
    """Period of the minimum-energy ellipse through r1 and r2 (a = s / 2), per pair."""
    s = (np.linalg.norm(r1, axis=-1) + np.linalg.norm(r2, axis=-1) + np.linalg.norm(r2 - r1, axis=-1)) / 2
    return 2 * np.pi * np.sqrt((s / 2) ** 3 / mu)


# ---------------------------------------------------------------------------
# An independent two-body propagator: universal variable chi, Stumpff
# functions c2 and c3, safeguarded Newton on Kepler's equation (the time is
# monotonic in chi, so a bracket plus bisection fallback always converges),
# then the Lagrange f and g coefficients. Vectorized over leading axes.
# ---------------------------------------------------------------------------

def _stumpff(psi):
    c2 = np.empty_like(psi)
    c3 = np.empty_like(psi)
    # The branch follows the real part, so that complex steps (state_transition) stay on one branch.
    pos = psi.real > 1e-6
    neg = psi.real < -1e-6
    small = ~(pos | neg)
    sp = np.sqrt(psi[pos])
    c2[pos] = (1.0 - np.cos(sp)) / psi[pos]
    c3[pos] = (sp - np.sin(sp)) / sp**3
    sn = np.sqrt(-psi[neg])
    c2[neg] = (np.cosh(sn) - 1.0) / (-psi[neg])
    c3[neg] = (np.sinh(sn) - sn) / sn**3
    p = psi[small]
    c2[small] = 1 / 2 - p / 24 + p * p / 720 - p**3 / 40320
    c3[small] = 1 / 6 - p / 120 + p * p / 5040 - p**3 / 362880
    return c2, c3


def _kepler(r0, v0, dt, chi, mu):
    """Kepler's equation in chi, F = sqrt(mu) (t(chi) - dt), and dF/dchi, which is the radius. Written with plain
    products and square roots, so that it is analytic in every argument (complex steps)."""
    r0n = np.sqrt(np.sum(r0 * r0, axis=-1))
    sqmu = np.sqrt(mu)
    sigma = np.sum(r0 * v0, axis=-1) / sqmu
    alpha = 2.0 / r0n - np.sum(v0 * v0, axis=-1) / mu
    psi = np.asarray(chi * chi * alpha)
    c2, c3 = _stumpff(psi)
    f = chi**3 * c3 + sigma * chi * chi * c2 + r0n * chi * (1.0 - psi * c3) - sqmu * dt
    r = chi * chi * c2 + sigma * chi * (1.0 - psi * c3) + r0n * (1.0 - psi * c2)
    return f, r


def _lagrange(r0, v0, dt, chi, mu):
    """(r, v) from the universal variable chi by the f and g coefficients."""
    r0n = np.sqrt(np.sum(r0 * r0, axis=-1))
    sqmu = np.sqrt(mu)
    alpha = 2.0 / r0n - np.sum(v0 * v0, axis=-1) / mu
    psi = np.asarray(chi * chi * alpha)
    c2, c3 = _stumpff(psi)
    f = 1.0 - chi * chi / r0n * c2
    g = dt - chi**3 / sqmu * c3
    r = f[..., None] * r0 + g[..., None] * v0
    rn = np.sqrt(np.sum(r * r, axis=-1))
    fdot = sqmu / (rn * r0n) * chi * (psi * c3 - 1.0)
    gdot = 1.0 - chi * chi / rn * c2
    return r, fdot[..., None] * r0 + gdot[..., None] * v0


def state_transition(r0, v0, dt, mu=MU):
    """The 6x6 state transition matrix d(r, v)(dt) / d(r0, v0) of one two-body arc, exact to rounding: complex
    steps of each initial component through one Newton step of Kepler's equation from its real root (whose
    imaginary part is the implicit derivative of chi) and the f and g coefficients."""
    r0 = np.asarray(r0, dtype=float)
    v0 = np.asarray(v0, dtype=float)
    chi = _universal_chi(r0, v0, np.asarray(dt, dtype=float), mu)
    h = 1e-40
    phi = np.empty((6, 6))
    for k in range(6):
        x = np.concatenate([r0, v0]).astype(complex)
        x[k] += 1j * h
        f, rr = _kepler(x[:3], x[3:], dt, chi, mu)
        r, v = _lagrange(x[:3], x[3:], dt, chi - f / rr, mu)
        phi[:, k] = np.concatenate([r, v]).imag / h
    return phi


def propagate(r0, v0, dt, mu=MU):
    """(r, v) after dt seconds (either sign) from (r0, v0), km and km/s."""
    dt = np.asarray(dt, dtype=float)
    return _lagrange(r0, v0, dt, _universal_chi(r0, v0, dt, mu), mu)


def _universal_chi(r0, v0, dt, mu):
    """The universal variable chi of the arc from (r0, v0) over dt (real)."""
    r0n = np.linalg.norm(r0, axis=-1)
    sqmu = np.sqrt(mu)

    def kepler(chi):
        return _kepler(r0, v0, dt, chi, mu)

    # F(0) = -sqrt(mu) dt: the root lies on the side of 0 that dt's sign gives; the outer end doubles until F
    # changes sign there.
    ahead = dt >= 0
    outer = sqmu * dt / r0n
    for _ in range(200):
        f, _ = kepler(outer)
        behind = np.where(ahead, f < 0, f > 0)
        if not np.any(behind):
            break
        outer = np.where(behind, 2.0 * outer, outer)
    lo = np.where(ahead, np.zeros_like(outer), outer)
    hi = np.where(ahead, outer, np.zeros_like(outer))
    chi = 0.5 * (lo + hi)
    for _ in range(400):
        f, r = kepler(chi)
        lo = np.where(f < 0, chi, lo)
        hi = np.where(f > 0, chi, hi)
        new = chi - f / r
        new = np.where((new > lo) & (new < hi), new, 0.5 * (lo + hi))
        done = np.abs(new - chi) <= 4e-16 * np.abs(chi)
        chi = new
        if np.all(done):
            break
    return chi


def propagate_state(state, dt, mu=MU):
    """One state [r, v] after dt seconds, as one 6-vector."""
    state = np.asarray(state, dtype=float)
    r, v = propagate(state[:3], state[3:], dt, mu)
    return np.concatenate([r, v])


def panic_text(fn, *args, **kwargs):
    """Runs fn and returns the text of the PanicException it must raise.

    PanicException is not a module attribute and derives from BaseException,
    so it is recognised by name and by not being an Exception."""
    import pytest  # here, so that the benchmarks can use the generators without pytest

    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        assert type(e).__name__ == "PanicException", repr(e)
        assert not isinstance(e, Exception)
        return str(e)
    pytest.fail("no PanicException raised")


SETTING = "ORBELIN_NUM_THREADS"


def run_python(code, env=None, cpus=None, timeout=120, address_space=None):
    """Runs `code` in a fresh interpreter and returns its stripped stdout; the
    child must exit 0.

    The child inherits this process's environment without ORBELIN_NUM_THREADS,
    so that a value set in the shell running the tests changes nothing; `env`
    adds variables (that one included). `cpus` pins the child with taskset;
    `address_space` (bytes) lowers its RLIMIT_AS, as `ulimit -v` does."""
    child_env = {k: v for k, v in os.environ.items() if k != SETTING}
    child_env.update(env or {})
    cmd = [sys.executable, "-c", textwrap.dedent(code)]
    if cpus is not None:
        cmd = ["taskset", "-c", cpus] + cmd

    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (address_space, resource.getrlimit(resource.RLIMIT_AS)[1]))

    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=child_env,
                          preexec_fn=limit if address_space is not None else None)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


_COUNT_WORKERS = """
    import os
    import numpy  # its own threads start here, before ours
    before = len(os.listdir('/proc/self/task'))
    import orbelin
    print(len(os.listdir('/proc/self/task')) - before)
"""


def count_pool_workers(env=None, cpus=None):
    """The number of threads that `import orbelin` starts in a fresh interpreter."""
    return int(run_python(_COUNT_WORKERS, env, cpus))
