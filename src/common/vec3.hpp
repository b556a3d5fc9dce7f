#pragma once
// Small value types shared by every kernel: a Cartesian 3-vector and a
// six-element state [x, y, z, vx, vy, vz] (km, km/s unless stated otherwise).

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace orbelin {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    constexpr double operator[](std::size_t i) const noexcept { return i == 0 ? x : (i == 1 ? y : z); }
};

constexpr Vec3 operator+(const Vec3& a, const Vec3& b) noexcept { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vec3 operator-(const Vec3& a, const Vec3& b) noexcept { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vec3 operator-(const Vec3& a) noexcept { return {-a.x, -a.y, -a.z}; }
constexpr Vec3 operator*(double s, const Vec3& a) noexcept { return {s * a.x, s * a.y, s * a.z}; }
constexpr Vec3 operator*(const Vec3& a, double s) noexcept { return {s * a.x, s * a.y, s * a.z}; }
constexpr Vec3 operator/(const Vec3& a, double s) noexcept { return {a.x / s, a.y / s, a.z / s}; }

constexpr double dot(const Vec3& a, const Vec3& b) noexcept { return a.x * b.x + a.y * b.y + a.z * b.z; }

constexpr Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Every component NaN: the velocity of an arc that was not found, the impulse of a burn that does not exist.
inline constexpr Vec3 nan_vec{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::quiet_NaN()};

inline double norm(const Vec3& a) noexcept { return std::sqrt(dot(a, a)); }

inline bool has_nan(const Vec3& a) noexcept { return std::isnan(a.x) || std::isnan(a.y) || std::isnan(a.z); }

// State vector: position (km) then velocity (km/s).
using State = std::array<double, 6>;

constexpr Vec3 position(const State& s) noexcept { return {s[0], s[1], s[2]}; }
constexpr Vec3 velocity(const State& s) noexcept { return {s[3], s[4], s[5]}; }
constexpr State make_state(const Vec3& r, const Vec3& v) noexcept { return {r.x, r.y, r.z, v.x, v.y, v.z}; }

// Reads three / six consecutive doubles (a row of a C-contiguous array). The
// memory need not be aligned for double (a NumPy buffer at any byte offset):
// memcpy is the defined way to read it, and compiles to plain loads.
inline Vec3 load_vec3(const void* p) noexcept {
    double v[3];
    std::memcpy(v, p, sizeof v);
    return {v[0], v[1], v[2]};
}
inline State load_state(const void* p) noexcept {
    State s;
    std::memcpy(s.data(), p, sizeof(double) * s.size());
    return s;
}

}  // namespace orbelin
