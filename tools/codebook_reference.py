#!/usr/bin/env python3
"""Independent reference for the Lloyd-Max codebook: prints the float32 bit
patterns of the boundaries and centroids for (bits, dim), for the golden
values in tests/cpp/test_codebook.cpp.

The Lloyd-Max iteration and the adaptive Simpson quadrature are written out
again in plain double arithmetic (Python floats), in the same order of
operations as varnel/src/quantize/codebook.cpp. The Beta(a, a) density and
distribution function are evaluated with mpmath at 40 significant digits and
rounded once to double, so they are correctly rounded (up to vanishingly rare
ties), unlike the C++ ones, which are good to a few ulp. Agreement of the two
therefore shows that the float32 results do not depend on the last bits of
the special functions. The middle boundary is rounding noise around 1e-17 and
is printed only for information.

Usage: python3 tools/codebook_reference.py BITS DIM
A 4-bit codebook takes a minute or two (about a million density evaluations).
"""
import struct
import sys

import mpmath

mpmath.mp.dps = 40

MAX_ITERATIONS = 200
STOP_CHANGE = 1e-12
MIN_CELL_MASS = 1e-15
QUADRATURE_DEPTH = 50
QUADRATURE_EPS = 1e-14


class Beta:
    """Symmetric Beta(a, a), evaluated exactly and rounded to double."""

    def __init__(self, shape):
        self.a = mpmath.mpf(shape)
        self.half_steps = int(2 * (shape - 1))  # a - 1 = half_steps / 2
        self.norm = 1 / mpmath.beta(self.a, self.a)

    def pdf(self, t):
        if t < 0.0 or t > 1.0:
            return 0.0
        t = mpmath.mpf(t)
        base = t * (1 - t)
        power = base ** (self.half_steps // 2)
        if self.half_steps % 2:
            power *= mpmath.sqrt(base)
        return float(self.norm * power)

    def cdf(self, t):
        if t <= 0.0:
            return 0.0
        if t >= 1.0:
            return 1.0
        t = mpmath.mpf(t)
        if t > 0.5:
            return float(1 - self._lower(1 - t))
        return float(self._lower(t))

    def _lower(self, t):
        # I_t(a, a) = t^a (1-t)^a / (a B(a, a)) 2F1(2a, 1; a + 1; t): all
        # terms positive, so the sum is well conditioned for t <= 1/2.
        a = self.a
        series = mpmath.hyp2f1(2 * a, 1, a + 1, t, maxterms=10**7)
        return (t * (1 - t)) ** a * self.norm / a * series


def integrand(beta, x):
    return (x * beta.pdf((x + 1.0) * 0.5)) * 0.5


def adaptive_simpson_rec(beta, depth, lo, hi, fa, fb, fm, whole, eps):
    m = (lo + hi) * 0.5
    lm = (lo + m) * 0.5
    rm = (hi + m) * 0.5
    flm = integrand(beta, lm)
    frm = integrand(beta, rm)
    left = (m - lo) / 6.0 * (fm + (fa + 4.0 * flm))
    right = (hi - m) / 6.0 * (fb + (fm + 4.0 * frm))
    delta = (left + right) - whole
    if depth == 0 or abs(delta) < 15.0 * eps:
        return (left + right) + delta / 15.0
    left_integral = adaptive_simpson_rec(beta, depth - 1, lo, m, fa, fm, flm, left, eps * 0.5)
    right_integral = adaptive_simpson_rec(beta, depth - 1, m, hi, fm, fb, frm, right, eps * 0.5)
    return left_integral + right_integral


def first_moment(beta, lo, hi):
    fa = integrand(beta, lo)
    fb = integrand(beta, hi)
    fm = integrand(beta, (lo + hi) * 0.5)
    whole = (hi - lo) / 6.0 * (fb + (fa + 4.0 * fm))
    return adaptive_simpson_rec(beta, QUADRATURE_DEPTH, lo, hi, fa, fb, fm, whole, QUADRATURE_EPS)


def codebook(bits, dim):
    a = (float(dim) - 1.0) * 0.5
    beta = Beta(a)
    n = 1 << bits
    r = 3.0 * ((2.0 * a) / (a * ((2.0 * a + 1.0) * 4.0))) ** 0.5
    two_r = r + r
    c = [(float(i) * two_r) / float(n - 1) - r for i in range(n)]
    for _ in range(MAX_ITERATIONS):
        edges = [-1.0] + [(c[j - 1] + c[j]) * 0.5 for j in range(1, n)] + [1.0]
        cdf = [beta.cdf((e + 1.0) * 0.5) for e in edges]
        updated = []
        for i in range(n):
            mass = cdf[i + 1] - cdf[i]
            if mass < MIN_CELL_MASS:
                updated.append(c[i])
            else:
                updated.append(first_moment(beta, edges[i], edges[i + 1]) / mass)
        change = 0.0
        for old, new in zip(c, updated):
            term = abs(old - new)
            if term > change:
                change = term
        c = updated
        if change < STOP_CHANGE:
            break
    boundaries = [(c[j] + c[j + 1]) * 0.5 for j in range(n - 1)]
    return boundaries, c


def float32_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def main():
    bits, dim = int(sys.argv[1]), int(sys.argv[2])
    boundaries, centroids = codebook(bits, dim)
    middle = len(boundaries) // 2
    print(f"// codebook({bits}, {dim}); middle boundary {boundaries[middle]!r} (not pinned)")
    print("boundaries: {" + ", ".join(f"0x{float32_bits(b):08x}" for b in boundaries) + "}")
    print("centroids: {" + ", ".join(f"0x{float32_bits(c):08x}" for c in centroids) + "}")


if __name__ == "__main__":
    main()
