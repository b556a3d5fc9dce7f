// Module initialisation: the instruction set of the solver's lane kernels (ORBELIN_SIMD), the worker pool (sized by
// ORBELIN_NUM_THREADS when it is set), then the classes and functions in their fixed order, each name appended to
// __all__.

#define ORBELIN_NUMPY_IMPORT
#include "python/numpy_api.hpp"

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/fault.hpp"
#include "common/system_resources.hpp"
#include "orbit/transfer_elements.hpp"
#include "parallel/thread_pool.hpp"
#include "propagation/kepler_universal_2body.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"
#include "python/errors.hpp"
#include "python/lambert_burn_array.hpp"
#include "python/lambert_porkchop_array.hpp"
#include "python/lambert_solution_array.hpp"
#include "python/py_ref.hpp"
#include "solver/householder.hpp"

namespace orbelin::py {

namespace {

struct ClassRow {
    const ResultClassDef* def;
    PyObject** type;  // where the entry points find the type object
};

template <const FunctionDef& D>
constexpr PyMethodDef method_row() noexcept {
    return {D.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry_point<D>)),
            METH_VARARGS | METH_KEYWORDS, nullptr};
}

// The registration order is part of the module's interface: it is the order
// of __all__. Classes come first, then the functions.
const ClassRow kClasses[] = {
    {&lambert_solution_array_def, &lambert_solution_array_type},
    {&lambert_burn_array_def, &lambert_burn_array_type},
    {&lambert_porkchop_array_def, &lambert_porkchop_array_type},
};

struct FunctionRow {
    const FunctionDef* def;
    PyMethodDef method;
};

const FunctionRow kFunctions[] = {
    {&lambert_izzo_single_def, method_row<lambert_izzo_single_def>()},
    {&lambert_izzo_vec_def, method_row<lambert_izzo_vec_def>()},
    {&lambert_izzo_vec_dv_def, method_row<lambert_izzo_vec_dv_def>()},
    {&kepler_universal_2body_py_def, method_row<kepler_universal_2body_py_def>()},
    {&kepler_universal_2body_vec_def, method_row<kepler_universal_2body_vec_def>()},
    {&optimize_lambert_transfer_py_def, method_row<optimize_lambert_transfer_py_def>()},
    {&optimize_lambert_transfer_grid_py_def, method_row<optimize_lambert_transfer_grid_py_def>()},
    {&lambert_grid_search_def, method_row<lambert_grid_search_def>()},
    {&lambert_porkchop_def, method_row<lambert_porkchop_def>()},
    {&optimize_lambert_nm_py_def, method_row<optimize_lambert_nm_py_def>()},
    {&optimize_lambert_nm_multi_py_def, method_row<optimize_lambert_nm_multi_py_def>()},
    {&optimize_lambert_nm_multi_array_def, method_row<optimize_lambert_nm_multi_array_def>()},
    {&optimize_lambert_nm_multi_sunline_py_def, method_row<optimize_lambert_nm_multi_sunline_py_def>()},
    {&lambert_izzo_best_dv_def, method_row<lambert_izzo_best_dv_def>()},
    {&lambert_izzo_jacobian_def, method_row<lambert_izzo_jacobian_def>()},
    {&compute_angular_vel_rad_p_sec_def, method_row<compute_angular_vel_rad_p_sec_def>()},
    {&dcm_eci2ric_def, method_row<dcm_eci2ric_def>()},
    {&dcm_ric2eci_def, method_row<dcm_ric2eci_def>()},
    {&eci2ric_state_def, method_row<eci2ric_state_def>()},
    {&ric2eci_state_def, method_row<ric2eci_state_def>()},
    {&eci2ric_vec_def, method_row<eci2ric_vec_def>()},
    {&ric2eci_vec_def, method_row<ric2eci_vec_def>()},
    {&apply_ric_waypoint_offset_def, method_row<apply_ric_waypoint_offset_def>()},
    {&compute_sun_state_jd_def, method_row<compute_sun_state_jd_def>()},
    {&compute_sun_state_posix_def, method_row<compute_sun_state_posix_def>()},
    {&rv2coe_def, method_row<rv2coe_def>()},
    {&coe2rv_def, method_row<coe2rv_def>()},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orbelin", doc::module, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

bool initialized = false;

void add_to_module(PyObject* module, PyObject* all, const char* name, PyRef object) {
    if (PyModule_AddObjectRef(module, name, object.get()) < 0) throw PyErrSet{};
    PyRef text = PyRef::steal(check(PyUnicode_FromString(name)));
    if (PyList_Append(all, text.get()) < 0) throw PyErrSet{};
}

// What a user can do about a pool that cannot start, when the setting chose its size.
std::string pool_hint() {
    if (std::getenv(kNumThreadsVariable) == nullptr) return {};
    return concat({" (the pool's size comes from ", kNumThreadsVariable, ": a smaller value needs fewer threads)"});
}

PyObject* init_module() {
    if (initialized) {
        raise(PyExc_ImportError, "orbelin may only be initialized once per interpreter process");
    }
    if (PyArray_ImportNumPyAPI() < 0) throw PyErrSet{};

    std::size_t workers = 0;
    try {
        workers = configured_worker_count();
    } catch (const std::invalid_argument& e) {
        raise_value_error(e.what());
    }
    try {
        const InstructionSet isa = configured_instruction_set();
        use_householder_kernels(isa);
        use_transfer_elements_kernels(isa);
        use_kepler_kernels(isa);
    } catch (const std::invalid_argument& e) {
        raise_value_error(e.what());
    } catch (const UnsupportedInstructionSet& e) {
        raise(PyExc_ImportError, e.what());
    }
    try {
        init_global_pool(workers);
    } catch (const std::system_error& e) {
        // The system refused a thread (too many threads, or too little memory for their stacks): the module cannot
        // work, which is an import failure with the system's reason, not a fault of its own.
        raise(PyExc_ImportError, concat({"orbelin could not start its worker pool: ", e.what(), pool_hint()}));
    } catch (const std::bad_alloc&) {
        raise(PyExc_ImportError, concat({"orbelin could not start its worker pool of ", std::to_string(workers),
                                         " threads: out of memory", pool_hint()}));
    } catch (const std::exception& e) {
        throw InternalFault(std::string("The thread pool failed to build: ") + e.what());
    }

    PyRef module = PyRef::steal(check(PyModule_Create(&module_def)));
    PyRef all = PyRef::steal(check(PyList_New(0)));
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw PyErrSet{};
    // The distribution's version, handed over by the build (not part of __all__).
    if (PyModule_AddStringConstant(module.get(), "__version__", ORBELIN_VERSION) < 0) throw PyErrSet{};

    for (const ClassRow& row : kClasses) {
        PyRef type = PyRef::steal(create_result_class(*row.def));
        *row.type = type.get();
        Py_INCREF(type.get());  // the entry points keep their own reference
        add_to_module(module.get(), all.get(), row.def->name, std::move(type));
    }

    // Method tables and docstrings must live as long as the functions.
    static std::vector<PyMethodDef> methods;
    static std::vector<std::string> docs;
    methods.reserve(std::size(kFunctions));
    docs.reserve(std::size(kFunctions));
    PyRef module_name = PyRef::steal(check(PyUnicode_FromString("orbelin")));
    for (const FunctionRow& row : kFunctions) {
        if (row.def->params.size() > kMaxParams) throw InternalFault(concat({row.def->name, ": too many parameters"}));
        docs.push_back(row.def->docstring());
        methods.push_back(row.method);
        methods.back().ml_doc = docs.back().c_str();
        PyRef function = PyRef::steal(check(PyCFunction_NewEx(&methods.back(), module.get(), module_name.get())));
        add_to_module(module.get(), all.get(), row.def->name, std::move(function));
    }

    // The reconstructors of pickled result objects and internal faults: module
    // attributes, so that pickle finds them by name, but not part of the
    // interface listed in __all__.
    static PyMethodDef rebuild_method = method_row<rebuild_result_def>();
    static const std::string rebuild_doc = rebuild_result_def.docstring();
    rebuild_method.ml_doc = rebuild_doc.c_str();
    PyRef rebuild = PyRef::steal(check(PyCFunction_NewEx(&rebuild_method, module.get(), module_name.get())));
    if (PyModule_AddObjectRef(module.get(), rebuild_result_def.name, rebuild.get()) < 0) throw PyErrSet{};
    set_result_rebuilder(rebuild.release());
    PyRef rebuild_panic =
        PyRef::steal(check(PyCFunction_NewEx(&rebuild_panic_method, module.get(), module_name.get())));
    if (PyModule_AddObjectRef(module.get(), rebuild_panic_method.ml_name, rebuild_panic.get()) < 0) throw PyErrSet{};
    set_panic_rebuilder(rebuild_panic.release());

    initialized = true;
    return module.release();
}

}  // namespace

}  // namespace orbelin::py

PyMODINIT_FUNC PyInit_orbelin(void) {
    return orbelin::py::guarded([] { return orbelin::py::init_module(); });
}
