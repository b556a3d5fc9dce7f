"""Polynomial coefficients of the lane math functions (src/common/vmath.hpp).

Each polynomial is a near-minimax fit for relative error: a weighted least-squares fit at Chebyshev-distributed
points, computed in 60-digit arithmetic, then rounded to doubles. The script prints the coefficients as C++ and
the largest relative error of the rounded polynomial on a dense grid, so the constants in the header can be
regenerated and checked:  python tools/fit_vmath.py [log degree] [asin degree] [atan degree]
"""

import mpmath as mp

mp.mp.dps = 60


def fit(g, lo, hi, degree, points=400):
    """Coefficients c0..c_degree of a polynomial close to g on [lo, hi] in relative error."""
    xs = [lo + (hi - lo) * (1 - mp.cos(mp.pi * (i + mp.mpf(0.5)) / points)) / 2 for i in range(points)]
    a = mp.matrix(points, degree + 1)
    b = mp.matrix(points, 1)
    for i, x in enumerate(xs):
        w = 1 / abs(g(x))
        for j in range(degree + 1):
            a[i, j] = w * x**j
        b[i] = w * g(x)
    c, _ = mp.qr_solve(a, b)
    return [float(c[j]) for j in range(degree + 1)]


def max_rel_error(g, coeffs, lo, hi, samples=4000):
    worst = mp.mpf(0)
    for i in range(samples + 1):
        x = lo + (hi - lo) * mp.mpf(i) / samples
        p = mp.mpf(0)
        for c in reversed(coeffs):
            p = p * x + mp.mpf(c)
        worst = max(worst, abs(p / g(x) - 1))
    return worst


def log_series(z):
    # (2 atanh(s) - 2 s) / s^3 with z = s^2: the part of log((1 + s) / (1 - s)) beyond its first term.
    if z == 0:
        return mp.mpf(2) / 3
    s = mp.sqrt(z)
    return (2 * mp.atanh(s) - 2 * s) / (s * z)


def asin_series(z):
    # (asin(s) / s - 1) / s^2 with z = s^2.
    if z == 0:
        return mp.mpf(1) / 6
    s = mp.sqrt(z)
    return (mp.asin(s) / s - 1) / z


def atan_series(z):
    # (atan(u) / u - 1) / u^2 with z = u^2.
    if z == 0:
        return -mp.mpf(1) / 3
    u = mp.sqrt(z)
    return (mp.atan(u) / u - 1) / z


FITS = {
    # s = f / (2 + f) with 1 + f in [sqrt(2)/2, sqrt(2)]: |s| <= 3 - 2 sqrt(2) = 0.1716, a little margin.
    "log": (log_series, 0.0, 0.0295),
    # asin(s) for s^2 <= 1/4: |x| <= 1/2 directly, or s^2 = (1 - |x|) / 2 near the ends of the domain.
    "asin": (asin_series, 0.0, 0.25),
    # atan(u) for |u| <= 7/16 after the reduction about 0, 1/2 or 1.
    "atan": (atan_series, 0.0, 0.1915),
}

if __name__ == "__main__":
    import sys

    degrees = {"log": 7, "asin": 13, "atan": 12}
    for name, arg in zip(degrees, sys.argv[1:]):
        degrees[name] = int(arg)
    for name, (g, lo, hi) in FITS.items():
        c = fit(g, mp.mpf(lo), mp.mpf(hi), degrees[name])
        print(f"// {name}: degree {degrees[name]} on [{lo}, {hi}], max relative error {float(max_rel_error(g, c, mp.mpf(lo), mp.mpf(hi))):.3g}")
        for j, v in enumerate(c):
            print(f"    {v!r},  // c{j}")
