// kepler_universal_2body_py: two-body propagation of one state, on the calling
// thread.

#include <array>
#include <string>

#include "common/constants.hpp"
#include "common/fault.hpp"
#include "propagation/kepler_universal_2body.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"

namespace orbelin::py {

namespace {

// A new 1-D float64 array holding the three values.
PyRef vec3_array(const Vec3& v) {
    ResultArray<double> out(Shape{3}, 0.0);
    out.data()[0] = v.x;
    out.data()[1] = v.y;
    out.data()[2] = v.z;
    return PyRef::steal(out.release());
}

PyObject* kepler_universal_2body_impl(const Args& args) {
    PyArrayObject* init_state = args.array("init_state_vec");
    const double dt = args.f64("dt_sec");
    const double mu = args.f64("mu");

    // A state of another length, or one that cannot be read as six
    // consecutive doubles, is a caller's broken promise, not a user error.
    const npy_intp count = PyArray_SIZE(init_state);
    if (count != 6) {
        throw InternalFault(concat({"Input vector must have 6 elements, got ", std::to_string(count)}));
    }
    if (!PyArray_IS_C_CONTIGUOUS(init_state)) throw InternalFault("Input vector is not contiguous");

    const State state = load_state(PyArray_DATA(init_state));
    const State propagated = kepler_universal_2body(state, dt, mu);

    std::array<PyRef, 2> items{vec3_array(position(propagated)), vec3_array(velocity(propagated))};
    return new_tuple(items);
}

constexpr Param kepler_universal_2body_params[] = {
    required("init_state_vec", Kind::Array1D),
    required("dt_sec", Kind::Float),
    optional("mu", mu_earth),
};

}  // namespace

const FunctionDef kepler_universal_2body_py_def{"kepler_universal_2body_py", kepler_universal_2body_params,
                                                doc::kepler_universal_2body_py,
                                                kepler_universal_2body_impl};

}  // namespace orbelin::py
