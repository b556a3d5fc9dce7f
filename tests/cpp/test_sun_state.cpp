// Analytic Sun position: distance, direction against the Astronomical Almanac's low-precision formula, the sense
// of the z axis, NaN handling and the POSIX time conversion.

#include <cmath>
#include <vector>

#include "celestial/sun_state.hpp"
#include "check.hpp"
#include "common/constants.hpp"
#include "common/vec3.hpp"

namespace {

using orbelin::Vec3;

constexpr double au_km = 149597870.7;

// The Astronomical Almanac's low-precision solar coordinates (about 0.01 deg, 1950-2050), written independently
// with its own rounded constants: unit vector to the Sun in the mean-equator frame, and the ecliptic longitude.
struct Almanac {
    Vec3 direction;
    double lambda_deg;
    double distance_au;
};

Almanac almanac_sun(double jd) {
    const double n = jd - 2451545.0;
    const double l = 280.460 + 0.9856474 * n;
    const double g = (357.528 + 0.9856003 * n) * orbelin::deg2rad;
    const double lambda = l + 1.915 * std::sin(g) + 0.020 * std::sin(2.0 * g);
    const double eps = (23.439 - 0.0000004 * n) * orbelin::deg2rad;
    const double r = 1.00014 - 0.01671 * std::cos(g) - 0.00014 * std::cos(2.0 * g);
    const double lr = lambda * orbelin::deg2rad;
    return {{std::cos(lr), std::cos(eps) * std::sin(lr), std::sin(eps) * std::sin(lr)}, lambda, r};
}

double angle_deg(const Vec3& a, const Vec3& b) {
    return std::atan2(orbelin::norm(orbelin::cross(a, b)), orbelin::dot(a, b)) * orbelin::rad2deg;
}

}  // namespace

TEST_CASE("sun: distance at J2000.0 is that of early January, near perihelion") {
    const Vec3 s = orbelin::sun_position(2451545.0);
    const double d = orbelin::norm(s) / au_km;
    CHECK(d > 0.983);
    CHECK(d < 0.984);
}

TEST_CASE("sun: direction within 0.01 deg of the Almanac's low-precision formula over 1950-2050") {
    std::vector<double> jd;
    for (double t = 2433282.5; t <= 2469807.5; t += 3.7) jd.push_back(t);  // 1950-01-01 to 2050-01-01
    const std::vector<double> rows = orbelin::compute_sun_state(jd);
    CHECK(rows.size() == 6 * jd.size());

    double worst_angle = 0.0;
    double worst_distance = 0.0;
    for (std::size_t k = 0; k < jd.size(); ++k) {
        const Vec3 p{rows[6 * k], rows[6 * k + 1], rows[6 * k + 2]};
        const Almanac ref = almanac_sun(jd[k]);
        worst_angle = std::fmax(worst_angle, angle_deg(p, ref.direction));
        worst_distance = std::fmax(worst_distance, std::fabs(orbelin::norm(p) / au_km - ref.distance_au));
    }
    CHECK(worst_angle < 0.01);
    CHECK(worst_distance < 1e-4);  // the Almanac prints R to 5 decimals
}

TEST_CASE("sun: z is positive on the northern half of the ecliptic and negative on the southern") {
    int north = 0;
    int south = 0;
    for (double t = 2451545.0; t < 2451545.0 + 3.0 * 365.25; t += 1.0) {
        const double lambda = std::fmod(almanac_sun(t).lambda_deg, 360.0);
        const Vec3 s = orbelin::sun_position(t);
        if (lambda > 0.5 && lambda < 179.5) {
            CHECK(s.z > 0.0);
            ++north;
        } else if (lambda > 180.5 && lambda < 359.5) {
            CHECK(s.z < 0.0);
            ++south;
        }
    }
    CHECK(north > 500);
    CHECK(south > 500);
    // June solstice 2000 (June 21, 01:48 UT): the Sun stands at its greatest declination, about +23.44 deg.
    const Vec3 june = orbelin::sun_position(2451716.575);
    CHECK(std::fabs(std::asin(june.z / orbelin::norm(june)) * orbelin::rad2deg - 23.44) < 0.01);
}

TEST_CASE("sun: rows carry NaN velocity columns; a NaN date gives a NaN row") {
    const double jd[3] = {2451545.0, orbelin::nan, 2451636.0};
    double out[18];
    for (double& x : out) x = 0.0;
    orbelin::compute_sun_state(jd, out);
    for (int k : {0, 2}) {
        CHECK(std::isfinite(out[6 * k]) && std::isfinite(out[6 * k + 1]) && std::isfinite(out[6 * k + 2]));
        CHECK(std::isnan(out[6 * k + 3]) && std::isnan(out[6 * k + 4]) && std::isnan(out[6 * k + 5]));
    }
    for (int c = 0; c < 6; ++c) CHECK(std::isnan(out[6 + c]));
    CHECK(has_nan(orbelin::sun_position(orbelin::nan)));
}

TEST_CASE("sun: batch rows equal the single-date position, across block boundaries and in input order") {
    std::vector<double> jd;
    for (int k = 0; k < 1000; ++k) jd.push_back(2440000.0 + 37.123 * k);
    const std::vector<double> rows = orbelin::compute_sun_state(jd);
    bool same = true;
    for (std::size_t k = 0; k < jd.size(); ++k) {
        const Vec3 s = orbelin::sun_position(jd[k]);
        same = same && rows[6 * k] == s.x && rows[6 * k + 1] == s.y && rows[6 * k + 2] == s.z;
    }
    CHECK(same);
    CHECK(orbelin::compute_sun_state(std::span<const double>{}).empty());
}

TEST_CASE("sun: POSIX 946728000 is J2000.0 and gives the same row") {
    CHECK(orbelin::posix_to_jd(946728000.0) == 2451545.0);
    CHECK(orbelin::posix_to_jd(0.0) == 2440587.5);
    const double posix[1] = {946728000.0};
    const double jd[1] = {orbelin::posix_to_jd(posix[0])};
    const double ref[1] = {2451545.0};
    const std::vector<double> a = orbelin::compute_sun_state(jd);
    const std::vector<double> b = orbelin::compute_sun_state(ref);
    for (int c = 0; c < 3; ++c) CHECK(a[c] == b[c]);
    for (int c = 3; c < 6; ++c) CHECK(std::isnan(a[c]) && std::isnan(b[c]));
}
