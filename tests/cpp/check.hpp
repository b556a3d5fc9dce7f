#pragma once
// A minimal test harness: TEST_CASE registers a function, CHECK* record
// failures without stopping the case, and main() runs every case and prints a
// closing line "N passed, N failed".

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures_in_case() {
    static int n = 0;
    return n;
}

struct Registrar {
    Registrar(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures_in_case();
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

// |a - b| <= rel * max(|a|, |b|) + abs; NaN never passes.
inline bool close(double a, double b, double rel, double abs = 0.0) {
    return std::fabs(a - b) <= rel * std::fmax(std::fabs(a), std::fabs(b)) + abs;
}

inline int run_all() {
    int passed = 0;
    int failed = 0;
    for (const auto& c : registry()) {
        failures_in_case() = 0;
        try {
            c.body();
        } catch (const std::exception& e) {
            fail(c.name, 0, std::string("unexpected exception: ") + e.what());
        }
        if (failures_in_case() == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK_CONCAT_(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_(a, b)
#define TEST_CASE(name)                                                                                      \
    static void CHECK_CONCAT(test_fn_, __LINE__)();                                                          \
    static const check::Registrar CHECK_CONCAT(test_reg_, __LINE__){name, CHECK_CONCAT(test_fn_, __LINE__)}; \
    static void CHECK_CONCAT(test_fn_, __LINE__)()

#define CHECK(cond)                                          \
    do {                                                     \
        if (!(cond)) check::fail(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_CLOSE(a, b, rel)                                                                                         \
    do {                                                                                                               \
        const double check_a_ = (a), check_b_ = (b);                                                                   \
        if (!check::close(check_a_, check_b_, (rel)))                                                                  \
            check::fail(__FILE__, __LINE__,                                                                            \
                        std::string(#a " ~ " #b ": ") + std::to_string(check_a_) + " vs " + std::to_string(check_b_)); \
    } while (0)

#define CHECK_THROWS_AS(expr, type)                                                         \
    do {                                                                                    \
        bool check_thrown_ = false;                                                         \
        try {                                                                               \
            (void)(expr);                                                                   \
        } catch (const type&) {                                                             \
            check_thrown_ = true;                                                           \
        }                                                                                   \
        if (!check_thrown_) check::fail(__FILE__, __LINE__, #expr " did not throw " #type); \
    } while (0)
