// compute_sun_state_jd and compute_sun_state_posix: the analytic Sun position
// for one date or a 1-D list of dates, as (N, 6) rows.

#include <span>
#include <vector>

#include "celestial/sun_state.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"

namespace orbelin::py {

namespace {

// The texts that differ between the two time scales.
struct TimeInput {
    NdimMessage not_one_axis;
    const char* empty_message;
};

constexpr TimeInput kJulianDates{{"Julian date array must be 1D, got ", true}, "Julian date input cannot be empty"};
constexpr TimeInput kPosixTimes{{"POSIX time array must be 1D, got ", true}, "POSIX time input cannot be empty"};

std::vector<double> read_times(PyObject* obj, const TimeInput& input) {
    std::vector<double> values = read_scalar_or_array(obj, input.not_one_axis);
    if (values.empty()) raise_value_error(input.empty_message);
    return values;
}

// One row (x, y, z, NaN, NaN, NaN) per Julian date.
PyObject* sun_rows(std::span<const double> jd) {
    const Shape shape{static_cast<npy_intp>(jd.size()), 6};
    ResultArray<double> out(shape, 0.0);
    compute_sun_state(jd, out.data());
    return out.release();
}

PyObject* compute_sun_state_jd_py(const Args& args) {
    const std::vector<double> jd = read_times(args.object("jd"), kJulianDates);
    return sun_rows(jd);
}

PyObject* compute_sun_state_posix_py(const Args& args) {
    std::vector<double> jd = read_times(args.object("posix"), kPosixTimes);
    for (double& t : jd) t = posix_to_jd(t);
    return sun_rows(jd);
}

constexpr Param jd_params[] = {required("jd", Kind::Object)};
constexpr Param posix_params[] = {required("posix", Kind::Object)};

}  // namespace

const FunctionDef compute_sun_state_jd_def{"compute_sun_state_jd", jd_params, doc::compute_sun_state_jd,
                                           compute_sun_state_jd_py};

const FunctionDef compute_sun_state_posix_def{"compute_sun_state_posix", posix_params, doc::compute_sun_state_posix,
                                              compute_sun_state_posix_py};

}  // namespace orbelin::py
