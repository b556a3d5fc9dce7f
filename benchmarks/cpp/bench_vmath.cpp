// Accuracy and speed of the lane math functions (common/vmath.hpp) against the C library, one thread.
//
// Accuracy: over the sampled domain (every binade with random significands, a dense stretch, the edges and the
// special values, as the C++ test samples it) the largest and the mean distance in ulps from the C library's
// function, and the largest error against the extended-precision function (true error, ours and the library's).
//
// Speed: nanoseconds of thread CPU time per value over an array of 2048 inputs uniform over the stretch the
// accuracy samples densely ("timed on"; in cache, so the figure is the throughput of the function), for the library's
// scalar function, ours on one double, on 4 lanes (AVX2) and on 8 lanes (AVX-512F) where the CPU has them; best of
// --repeats rounds, the variants interleaved within each round.
//
// Usage: bench_vmath [repeats]   (default 7)

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "vmath_check.hpp"

namespace {

using namespace vmath_check;

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

template <bool chained>
void library_loop(Fn fn, const double* a, const double* b, double* out, std::size_t n) {
    double (*f)(double, double) = info(fn).reference;
    double r = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        r = f(chained ? a[i] + (r - r) : a[i], b[i]);
        out[i] = r;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    const bool avx512 = __builtin_cpu_supports("avx512f") != 0;
    std::printf("%s; AVX2 %s, AVX-512F %s; load average before: %s\n", cpu_model().c_str(), avx2 ? "yes" : "no",
                avx512 ? "yes" : "no", load_average().c_str());
    std::printf("%-6s %-9s %8s %7s %8s %9s %9s | %-9s %-31s | %-31s\n", "", "", "", "", "", "", "", "",
                "ns per value (throughput)", "ns per call (latency)");
    std::printf("%-6s %-9s %8s %7s %8s %9s %9s | %-9s %7s %7s %7s %7s | %7s %7s %7s %7s\n", "func", "domain", "points",
                "max ulp", "mean ulp", "err ours", "err libm", "timed on", "libm", "ours", "avx2", "avx512", "libm",
                "ours", "avx2", "avx512");
    // Each variant independent (throughput, ns per value) and chained (latency, ns per call of 1, 4 or 8 values).
    struct Variant {
        Loop loop;
        Loop chained;
        bool present;
        int width;
    };
    const Variant variants[] = {{library_loop<false>, library_loop<true>, true, 1},
                                {eval<double>, eval<double, true>, true, 1},
                                {eval_avx2, eval_chained_avx2, avx2, 4},
                                {eval_avx512, eval_chained_avx512, avx512, 8}};
    constexpr std::size_t batch = 2048;
    constexpr int passes = 200;

    for (const Fn fn : functions) {
        const Info f = info(fn);
        const Points x = samples(fn, 1000, 1'000'000);
        std::vector<double> ours(x.size());
        eval<double>(fn, x.a.data(), x.b.data(), ours.data(), x.size());
        std::uint64_t worst = 0;
        double total = 0.0;
        double error = 0.0;
        double library_error = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double ref = f.reference(x.a[i], x.b[i]);
            const std::uint64_t d = ulp_distance(ours[i], ref);
            worst = std::max(worst, d);
            total += static_cast<double>(d);
            const long double truth = f.truth(x.a[i], x.b[i]);
            error = std::max(error, true_error(ours[i], truth));
            library_error = std::max(library_error, true_error(ref, truth));
        }

        std::mt19937_64 rng(7);
        Points in;
        add_dense(fn, batch, rng, in);
        std::vector<double> out(batch);
        double best[2][4] = {{1e30, 1e30, 1e30, 1e30}, {1e30, 1e30, 1e30, 1e30}};
        for (int r = 0; r < repeats; ++r) {
            for (int v = 0; v < 4; ++v) {
                if (!variants[v].present) continue;
                for (int c = 0; c < 2; ++c) {
                    const Loop loop = c == 0 ? variants[v].loop : variants[v].chained;
                    const double t0 = thread_seconds();
                    for (int p = 0; p < passes; ++p) {
                        loop(fn, in.a.data(), in.b.data(), out.data(), batch);
                        // Keep the stores of every pass alive.
                        asm volatile("" : : "r"(out.data()) : "memory");
                    }
                    const double per = c == 0 ? 1.0 : static_cast<double>(variants[v].width);
                    best[c][v] = std::min(best[c][v], (thread_seconds() - t0) / (passes * batch) * per * 1e9);
                }
            }
        }
        const Range range = dense_range(fn);
        char timed[32];
        std::snprintf(timed, sizeof timed, "[%g, %g]", range.lo, range.hi);
        std::printf("%-6s %-9s %8zu %7llu %8.4f %9.3f %9.3f | %-9s", f.name, f.domain, x.size(),
                    static_cast<unsigned long long>(worst), total / static_cast<double>(x.size()), error, library_error,
                    timed);
        for (int c = 0; c < 2; ++c) {
            for (int v = 0; v < 4; ++v) {
                if (variants[v].present) {
                    std::printf(" %7.2f", best[c][v]);
                } else {
                    std::printf(" %7s", "-");
                }
            }
            std::printf(c == 0 ? " |" : "\n");
        }
    }
    std::printf("load average after: %s\n", load_average().c_str());
    return 0;
}
