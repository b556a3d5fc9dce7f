// kepler_universal_2body_py: two-body propagation of one state, on the calling
// thread; kepler_universal_2body_vec: a batch of states, on the worker pool.

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "common/fault.hpp"
#include "parallel/thread_pool.hpp"
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

// ---- Batches ----------------------------------------------------------------

constexpr const char* kStatesShape = "states must have shape [..., 6]";
constexpr const char* kStatesReshape = "Failed to reshape states";

void check_states(PyArrayObject* states) {
    if (!has_last_axis(states, 6)) raise_value_error(kStatesShape);
    (void)Rows(states, kStatesReshape);
}

// The intervals as a C-contiguous float64 array of any number of axes (a number gives 0 axes). NumPy's own
// conversion, with safe casts only: ints become floats, complex numbers and strings are refused.
PyRef interval_array(PyObject* dt) {
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);  // reference stolen by PyArray_FromAny
    return PyRef::steal(check(PyArray_FromAny(dt, float64, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr)));
}

PyObject* kepler_universal_2body_vec_impl(const Args& args) {
    PyArrayObject* states = args.array("states");
    const double mu = args.f64("mu");
    check_states(states);
    // Converting dt may run Python code (__array__, __float__) that changes the states: they are checked again
    // afterwards, and read only from then on.
    const PyRef dt_array = interval_array(args.object("dt"));
    check_states(states);
    auto* dt_arr = reinterpret_cast<PyArrayObject*>(dt_array.get());
    const Shape dt_axes(PyArray_DIMS(dt_arr), PyArray_DIMS(dt_arr) + PyArray_NDIM(dt_arr));
    const Shape state_axes = batch_axes(states);
    RowPairing pairing;
    if (!RowPairing::broadcast(state_axes, dt_axes, pairing)) {
        raise_value_error(concat({"dt of shape ", shape_text(dt_axes), " does not broadcast against the batch axes ",
                                  shape_text(state_axes), " of states"}));
    }
    const std::size_t count = pairing.count();
    require_result_memory("kepler_universal_2body_vec", count, 1, 6 * sizeof(double));

    ResultArray<double> out(with_axes(pairing.axes(), {6}));
    const Rows rows(states, kStatesReshape);  // no Python code runs from here to the end of the loop
    const double* dt = static_cast<const double*>(PyArray_DATA(dt_arr));
    rows.with_layout([&](const auto& reader) {
        global_pool().run(count, /*grain=*/0, [&](std::size_t begin, std::size_t end) {
            // The states are propagated a run at a time, several at once (kepler_universal_2body_many).
            constexpr std::size_t run = 256;
            State in[run];
            double interval[run];
            State propagated[run];
            for (std::size_t first = begin; first < end; first += run) {
                const std::size_t n = std::min(run, end - first);
                pairing.for_each(first, first + n, [&](std::size_t i, std::size_t state_row, std::size_t dt_index) {
                    in[i - first] = reader.state(state_row);
                    interval[i - first] = dt[dt_index];
                });
                kepler_universal_2body_many(in, interval, propagated, n, mu);
                for (std::size_t k = 0; k < n; ++k) {
                    std::copy(propagated[k].begin(), propagated[k].end(), out.data() + 6 * (first + k));
                }
            }
        });
    });
    return out.release();
}

constexpr Param kepler_universal_2body_vec_params[] = {
    required("states", Kind::Array),
    required("dt", Kind::Object),
    optional("mu", mu_earth),
};

constexpr Param kepler_universal_2body_params[] = {
    required("init_state_vec", Kind::Array1D),
    required("dt_sec", Kind::Float),
    optional("mu", mu_earth),
};

}  // namespace

const FunctionDef kepler_universal_2body_py_def{"kepler_universal_2body_py", kepler_universal_2body_params,
                                                doc::kepler_universal_2body_py, kepler_universal_2body_impl};

const FunctionDef kepler_universal_2body_vec_def{"kepler_universal_2body_vec", kepler_universal_2body_vec_params,
                                                 doc::kepler_universal_2body_vec, kepler_universal_2body_vec_impl};

}  // namespace orbelin::py
