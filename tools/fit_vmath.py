"""Polynomial coefficients of the lane math functions (src/common/vmath.hpp).

Each polynomial is a near-minimax fit for relative error: a weighted least-squares fit at Chebyshev-distributed
points, computed in 60-digit arithmetic, then rounded to doubles. The script prints the coefficients as C++ and
the largest relative error of the rounded polynomial on a dense grid, so the constants in the header can be
regenerated and checked:  python tools/fit_vmath.py [asin degree] [atan degree]

The table of the logarithm's argument reduction (src/common/vmath_log_table.hpp) and the polynomial that goes with
it are written by:  python tools/fit_vmath.py --log-table > src/common/vmath_log_table.hpp
"""

import struct

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
    # asin(s) for s^2 <= 1/4: |x| <= 1/2 directly, or s^2 = (1 - |x|) / 2 near the ends of the domain.
    "asin": (asin_series, 0.0, 0.25),
    # atan(u) for |u| <= 7/16 after the reduction about 0, 1/2 or 1.
    "atan": (atan_series, 0.0, 0.1915),
}

# The logarithm's table: the reduced significand m in [2^-1 (1 + 106/256), 1 + 106/256) (about [sqrt(2)/2, sqrt(2)),
# cut at a row's edge) falls in one of 256 intervals, row j holding the m whose significand has j as its top 8 bits.
# Each interval has a reciprocal 1/c of LOG_INV_C_BITS significant bits near the reciprocal of its middle (1 on the
# two intervals beside m = 1), so that m 1/c - 1 can be formed exactly, chosen among its neighbours so that
# log(c) = -log(1/c) is within 2^-8 of its ulp of a double (the table's second column), which spares the low part a
# table of log(c) would otherwise need.
LOG_INDEX_BITS = 8
LOG_INV_C_BITS = 20
LOG_FIRST_ROW = 0x6A  # the first row below 1


def as_double(b):
    return struct.unpack("<d", struct.pack("<q", b))[0]


def ulp_of(v):
    return mp.ldexp(1, mp.frexp(v)[1] - 53)


def log_table():
    """Rows (1/c, log c) and the range [r_min, r_max] of the reduced argument r = m/c - 1."""
    rows = []
    r_min = r_max = mp.mpf(0)
    size = 1 << LOG_INDEX_BITS
    for j in range(size):
        scale = mp.mpf(1) if j < LOG_FIRST_ROW else mp.mpf(1) / 2
        lo = scale * (1 + mp.mpf(j) / size)
        hi = scale * (1 + mp.mpf(j + 1) / size)
        if j in (0, size - 1):
            inv_c, log_c = 1.0, 0.0
        else:
            middle = 2 / (lo + hi)
            # LOG_INV_C_BITS significant bits: a grid twice as coarse above 1.
            step = mp.ldexp(1, 1 - LOG_INV_C_BITS) if middle >= 1 else mp.ldexp(1, -LOG_INV_C_BITS)
            middle = mp.nint(middle / step) * step
            for k in range(1 << 12):
                inv_c = float(middle + (k + 1) // 2 * (1 if k % 2 else -1) * step)
                exact = -mp.log(inv_c)
                log_c = float(exact)
                if abs(exact - log_c) < ulp_of(log_c) / 256:
                    break
        r0 = lo * inv_c - 1
        r1 = hi * inv_c - 1
        # The fast two-sum of log c and r needs |log c| >= |r| wherever log c is not 0.
        assert inv_c == 1.0 or abs(log_c) >= max(abs(r0), abs(r1))
        r_min = min(r_min, r0)
        r_max = max(r_max, r1)
        rows.append((inv_c, log_c))
    return rows, r_min, r_max


def log1p_series(r):
    # (log(1 + r) - r) / r^2.
    if r == 0:
        return -mp.mpf(1) / 2
    return (mp.log1p(r) - r) / r**2


def print_log_table(degree=4):
    rows, r_min, r_max = log_table()
    c = fit(log1p_series, r_min, r_max, degree)
    err = float(max_rel_error(log1p_series, c, r_min, r_max))
    print("#pragma once")
    print("// Written by tools/fit_vmath.py --log-table: the table of the logarithm's argument reduction (vmath.hpp,")
    print("// log_kernel) and its polynomial.")
    print()
    print("#include <array>")
    print("#include <cstdint>")
    print()
    print("namespace orbelin::vmath::detail {")
    print()
    print(f"inline constexpr unsigned log_index_bits = {LOG_INDEX_BITS};")
    print(f"inline constexpr unsigned log_inv_c_bits = {LOG_INV_C_BITS};")
    print(f"inline constexpr std::uint64_t log_first_row = {hex(LOG_FIRST_ROW)};")
    print()
    print(f"// (log(1 + r) - r) / r^2 for r in [{float(r_min)!r}, {float(r_max)!r}], degree {degree}, max relative error {err:.3g}.")
    print(f"inline constexpr std::array<double, {degree + 1}> log1p_poly{{")
    print("    " + ", ".join(repr(v) for v in c) + ",")
    print("};")
    print()
    print("// Rows {1/c, log c}, row j for the significands whose top bits are j.")
    print(f"inline constexpr std::array<std::array<double, 2>, {len(rows)}> log_table{{{{")
    for row in rows:
        print(f"    {{{float.hex(row[0])}, {float.hex(row[1])}}},")
    print("}};")
    print()
    print("}  // namespace orbelin::vmath::detail")


if __name__ == "__main__":
    import sys

    if sys.argv[1:] == ["--log-table"]:
        print_log_table()
        sys.exit(0)

    degrees = {"asin": 13, "atan": 12}
    for name, arg in zip(degrees, sys.argv[1:]):
        degrees[name] = int(arg)
    for name, (g, lo, hi) in FITS.items():
        c = fit(g, mp.mpf(lo), mp.mpf(hi), degrees[name])
        print(f"// {name}: degree {degrees[name]} on [{lo}, {hi}], max relative error {float(max_rel_error(g, c, mp.mpf(lo), mp.mpf(hi))):.3g}")
        for j, v in enumerate(c):
            print(f"    {v!r},  // c{j}")
