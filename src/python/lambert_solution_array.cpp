#include "python/lambert_solution_array.hpp"

#include <array>
#include <limits>

#include "python/docstrings.hpp"

namespace orbelin::py {

namespace {

constexpr auto kFields = with_transfer_elements(std::array<FieldDef, 6>{{
    {"v1", "Velocity at the first position (r1) [km/s] - shape (n, 3)"},
    {"v2", "Velocity at the second position (r2) [km/s] - shape (n, 3)"},
    {"tof", "Time of flight used for each solution [s] - shape (n,)"},
    {"num_revs", "Number of revolutions for each solution - shape (n,)"},
    {"path_flag", "Path flag for each solution - shape (n,)"},
    {"retrograde", "Whether each solution uses retrograde motion - shape (n,)"},
}});

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
    : v1_(with_axes(s, {3})), v2_(with_axes(s, {3})), tof_(s), num_revs_(s), path_flag_(s), retrograde_(s), sma_(s),
      ecc_(s), inc_(s), raan_(s), argp_(s), ta_depart_(s), ta_arrive_(s), rp_(s), ra_(s) {}

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

void SolutionColumns::pad(std::size_t slot) const noexcept {
    const Vec3 none{kNaN, kNaN, kNaN};
    put3(v1_.data(), slot, none);
    put3(v2_.data(), slot, none);
    tof_.data()[slot] = kNaN;
    num_revs_.data()[slot] = 0;
    path_flag_.data()[slot] = 0;
    retrograde_.data()[slot] = false;
    for (const ResultArray<double>* column : {&sma_, &ecc_, &inc_, &raan_, &argp_, &ta_depart_, &ta_arrive_, &rp_, &ra_}) {
        column->data()[slot] = kNaN;
    }
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
