#include "python/lambert_solution_array.hpp"

#include <array>
#include <limits>

#include "python/docstrings.hpp"

namespace orbelin::py {

namespace {

constexpr FieldDef kFields[] = {
    {"v1", "Velocity at the first position (r1) [km/s] - shape (n, 3)"},
    {"v2", "Velocity at the second position (r2) [km/s] - shape (n, 3)"},
    {"tof", "Time of flight used for each solution [s] - shape (n,)"},
    {"num_revs", "Number of revolutions for each solution - shape (n,)"},
    {"path_flag", "Path flag for each solution - shape (n,)"},
    {"retrograde", "Whether each solution uses retrograde motion - shape (n,)"},
    {"sma", "Semi-major axis [km] - shape (n,)"},
    {"ecc", "Eccentricity - shape (n,)"},
    {"inc", "Inclination [deg] - shape (n,)"},
    {"raan", "Right Ascension of Ascending Node [deg] - shape (n,)"},
    {"argp", "Argument of Perigee [deg] - shape (n,)"},
    {"ta_depart", "True anomaly at departure [deg] - shape (n,)"},
    {"ta_arrive", "True anomaly at arrival [deg] - shape (n,)"},
    {"rp", "Radius of perigee [km] - shape (n,)"},
    {"ra", "Radius of apogee [km] - shape (n,)"},
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void put3(double* column, std::size_t slot, const Vec3& v) noexcept {
    column[3 * slot] = v.x;
    column[3 * slot + 1] = v.y;
    column[3 * slot + 2] = v.z;
}

}  // namespace

const ResultClassDef lambert_solution_array_def{"LambertSolutionArray", doc::lambert_solution_array, kFields, 8};

PyObject* lambert_solution_array_type = nullptr;

SolutionColumns::SolutionColumns(const Shape& s)
    : v1_(with_axes(s, {3}), kNaN), v2_(with_axes(s, {3}), kNaN), tof_(s, kNaN), num_revs_(s, 0), path_flag_(s, 0),
      retrograde_(s, false), sma_(s, kNaN), ecc_(s, kNaN), inc_(s, kNaN), raan_(s, kNaN), argp_(s, kNaN),
      ta_depart_(s, kNaN), ta_arrive_(s, kNaN), rp_(s, kNaN), ra_(s, kNaN) {}

void SolutionColumns::write(std::size_t slot, const LambertSolution& sol, const TransferElements& el) const noexcept {
    put3(v1_.data(), slot, sol.v1);
    put3(v2_.data(), slot, sol.v2);
    tof_.data()[slot] = sol.tof;
    num_revs_.data()[slot] = sol.num_revs;
    path_flag_.data()[slot] = sol.path_flag;
    retrograde_.data()[slot] = sol.retrograde;
    sma_.data()[slot] = el.sma;
    ecc_.data()[slot] = el.ecc;
    inc_.data()[slot] = el.inc;
    raan_.data()[slot] = el.raan;
    argp_.data()[slot] = el.argp;
    ta_depart_.data()[slot] = el.ta_depart;
    ta_arrive_.data()[slot] = el.ta_arrive;
    rp_.data()[slot] = el.rp;
    ra_.data()[slot] = el.ra;
}

PyObject* SolutionColumns::into_result() {
    std::array<PyRef, 15> arrays = {
        PyRef::steal(v1_.release()),        PyRef::steal(v2_.release()),        PyRef::steal(tof_.release()),
        PyRef::steal(num_revs_.release()),  PyRef::steal(path_flag_.release()), PyRef::steal(retrograde_.release()),
        PyRef::steal(sma_.release()),       PyRef::steal(ecc_.release()),       PyRef::steal(inc_.release()),
        PyRef::steal(raan_.release()),      PyRef::steal(argp_.release()),      PyRef::steal(ta_depart_.release()),
        PyRef::steal(ta_arrive_.release()), PyRef::steal(rp_.release()),        PyRef::steal(ra_.release()),
    };
    return make_result(lambert_solution_array_type, lambert_solution_array_def, arrays);
}

}  // namespace orbelin::py
