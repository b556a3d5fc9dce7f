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

// NumPy broadcasting of the batch axes of the states against the axes of dt: the result's batch axes, and for
// each of them the element stride (0 where broadcast) of the state rows and of the intervals.
struct Broadcast {
    Shape axes;
    std::vector<std::size_t> state_stride;
    std::vector<std::size_t> dt_stride;
    bool state_direct = true;  // output row i reads state row i
    bool dt_direct = true;     // output row i reads interval i
};

Broadcast broadcast(const Shape& a, const Shape& b) {
    const std::size_t n = a.size() > b.size() ? a.size() : b.size();
    Broadcast out;
    out.axes.assign(n, 1);
    std::vector<npy_intp> da(n, 1), db(n, 1);
    std::copy(a.begin(), a.end(), da.begin() + static_cast<std::ptrdiff_t>(n - a.size()));
    std::copy(b.begin(), b.end(), db.begin() + static_cast<std::ptrdiff_t>(n - b.size()));
    for (std::size_t k = 0; k < n; ++k) {
        if (da[k] != db[k] && da[k] != 1 && db[k] != 1) {
            raise_value_error(concat({"dt of shape ", shape_text(b), " does not broadcast against the batch axes ",
                                      shape_text(a), " of states"}));
        }
        out.axes[k] = da[k] == 1 ? db[k] : da[k];
    }
    out.state_stride.assign(n, 0);
    out.dt_stride.assign(n, 0);
    std::size_t sa = 1, sb = 1;
    for (std::size_t k = n; k-- > 0;) {
        if (da[k] != 1) out.state_stride[k] = sa;
        if (db[k] != 1) out.dt_stride[k] = sb;
        sa *= static_cast<std::size_t>(da[k]);
        sb *= static_cast<std::size_t>(db[k]);
    }
    out.state_direct = element_count(a) == element_count(out.axes);
    out.dt_direct = element_count(b) == element_count(out.axes) || element_count(b) == 1;
    return out;
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
    const Broadcast b = broadcast(batch_axes(states), dt_axes);
    const std::size_t count = element_count(b.axes);
    require_result_memory("kepler_universal_2body_vec", count, 1, 6 * sizeof(double));

    ResultArray<double> out(with_axes(b.axes, {6}));
    const Rows rows(states, kStatesReshape);  // no Python code runs from here to the end of the loop
    const double* dt = static_cast<const double*>(PyArray_DATA(dt_arr));
    const bool dt_single = PyArray_SIZE(dt_arr) == 1;
    const auto source = [&](std::size_t i, State& state, double& interval) {
        std::size_t state_row = i, dt_index = dt_single ? 0 : i;
        if (!b.state_direct || !b.dt_direct) {
            // Row-major digits of i over the result axes, mapped through each side's strides.
            state_row = 0;
            dt_index = 0;
            std::size_t rest = i;
            for (std::size_t k = b.axes.size(); k-- > 0;) {
                const auto extent = static_cast<std::size_t>(b.axes[k]);
                const std::size_t digit = rest % extent;
                rest /= extent;
                state_row += digit * b.state_stride[k];
                dt_index += digit * b.dt_stride[k];
            }
        }
        state = rows.state(state_row);
        interval = dt[dt_index];
    };
    global_pool().run(count, 0, [&](std::size_t begin, std::size_t end) {
        // The states are propagated a run at a time, several at once (kepler_universal_2body_many).
        constexpr std::size_t run = 64;
        State in[run];
        double interval[run];
        State propagated[run];
        for (std::size_t first = begin; first < end; first += run) {
            const std::size_t n = std::min(run, end - first);
            for (std::size_t k = 0; k < n; ++k) source(first + k, in[k], interval[k]);
            kepler_universal_2body_many(in, interval, propagated, n, mu);
            for (std::size_t k = 0; k < n; ++k) {
                std::copy(propagated[k].begin(), propagated[k].end(), out.data() + 6 * (first + k));
            }
        }
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
                                                doc::kepler_universal_2body_py,
                                                kepler_universal_2body_impl};

const FunctionDef kepler_universal_2body_vec_def{
    "kepler_universal_2body_vec", kepler_universal_2body_vec_params,
    doc::kepler_universal_2body_vec,
    kepler_universal_2body_vec_impl};

}  // namespace orbelin::py
