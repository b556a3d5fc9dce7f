// rv2coe and coe2rv: row-by-row conversions between states and classical
// elements, on the calling thread.

#include <algorithm>

#include "common/constants.hpp"
#include "orbit/coe2rv.hpp"
#include "orbit/rv2coe.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"

namespace orbelin::py {

namespace {

PyObject* rv2coe_impl(const Args& args) {
    PyArrayObject* states = args.array("eci_state_rv");
    const bool deg = args.flag("deg");
    const double mu = args.f64("mu");
    const double tol = args.f64("tol");
    const bool special = args.flag("special");

    if (!has_last_axis(states, 6)) raise_value_error("eci_state_rv must have shape [..., 6]");
    const Rows rows(states, "Failed to reshape eci_state_rv");
    const npy_intp width = special ? 9 : 6;
    const Shape shape = with_axes(batch_axes(states), {width});
    require_reshape(rows.count() * static_cast<std::size_t>(width), shape, "Failed to reshape output: ");

    ResultArray<double> out(shape, 0.0);
    rows.with_layout([&](const auto& reader) {
        for (std::size_t i = 0; i < rows.count(); ++i) {
            const ElementVector elements = rv2coe_single(reader.state(i), deg, special, mu, tol);
            std::copy_n(elements.values.begin(), elements.size, out.data() + i * static_cast<std::size_t>(width));
        }
    });
    return out.release();
}

PyObject* coe2rv_impl(const Args& args) {
    PyArrayObject* coe = args.array("coe");
    const bool deg = args.flag("deg");
    const double mu = args.f64("mu");

    if (!has_last_axis(coe, 6)) raise_value_error("coe must have shape [..., 6]");
    const Rows rows(coe, "Failed to reshape coe");
    const Shape shape = with_axes(batch_axes(coe), {6});
    require_reshape(rows.count() * 6, shape, "Failed to reshape output: ");

    ResultArray<double> out(shape, 0.0);
    rows.with_layout([&](const auto& reader) {
        for (std::size_t i = 0; i < rows.count(); ++i) {
            const State state = coe2rv_single(reader.state(i), deg, mu);
            std::copy(state.begin(), state.end(), out.data() + i * 6);
        }
    });
    return out.release();
}

constexpr Param rv2coe_params[] = {
    required("eci_state_rv", Kind::Array), optional_flag("deg", true),      optional("mu", mu_earth),
    optional("tol", rv2coe_default_tol),   optional_flag("special", false),
};

constexpr Param coe2rv_params[] = {
    required("coe", Kind::Array),
    optional_flag("deg", true),
    optional("mu", mu_earth),
};

}  // namespace

const FunctionDef rv2coe_def{"rv2coe", rv2coe_params, doc::rv2coe, rv2coe_impl};

const FunctionDef coe2rv_def{"coe2rv", coe2rv_params, doc::coe2rv, coe2rv_impl};

}  // namespace orbelin::py
