#include "python/lambert_burn_array.hpp"

#include <array>

#include "optimization/burn_elements.hpp"
#include "parallel/thread_pool.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"

namespace orbelin::py {

namespace {

constexpr FieldDef kFields[] = {
    {"t0", "Departure time for each solution [s] - shape (n,)"},
    {"tf", "Arrival time for each solution [s] - shape (n,)"},
    {"tof", "Time of flight for each solution [s] - shape (n,)"},
    {"cost", "Total cost (delta-v) for each solution [km/s] - shape (n,)"},
    {"dv1", "First burn impulse vector at t0 for each solution [km/s] - shape (n, 3)"},
    {"dv2", "Second burn impulse vector at tf for each solution [km/s] - shape (n, 3)"},
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

constexpr std::size_t kCostField = 3;

// Below this many records the elements are computed on the calling thread; above, on the pool (each record is
// independent and the kernels are pure, so the values are the same either way).
constexpr std::size_t kParallelRecords = 64;

}  // namespace

const ResultClassDef lambert_burn_array_def{"LambertBurnArray", doc::lambert_burn_array, kFields, 6,
                                            static_cast<int>(kCostField)};

PyObject* lambert_burn_array_type = nullptr;

PyObject* burns_to_python(const std::vector<OptimizedLambertSolution>& solutions, const State& source_state,
                          const State& target_state, const ArrivalAim& aim, double mu) {
    const auto n = static_cast<npy_intp>(solutions.size());
    std::array<ResultArray<double>, 15> columns = {
        ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),
        ResultArray<double>({n}, nan),    ResultArray<double>({n, 3}, nan), ResultArray<double>({n, 3}, nan),
        ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),
        ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),
        ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),    ResultArray<double>({n}, nan),
    };

    auto fill = [&](std::size_t i) {
        const OptimizedLambertSolution& s = solutions[i];
        columns[0].data()[i] = s.t0;
        columns[1].data()[i] = s.tf;
        columns[2].data()[i] = s.tf - s.t0;
        columns[3].data()[i] = s.cost;
        for (std::size_t k = 0; k < 3; ++k) {
            columns[4].data()[3 * i + k] = s.dv1[k];
            columns[5].data()[3 * i + k] = s.dv2[k];
        }
        const TransferElements e = burn_transfer_elements(s, source_state, target_state, aim, mu);
        const std::array<double, 9> values{e.sma, e.ecc, e.inc, e.raan, e.argp, e.ta_depart, e.ta_arrive, e.rp, e.ra};
        for (std::size_t k = 0; k < values.size(); ++k) columns[6 + k].data()[i] = values[k];
    };
    if (solutions.size() < kParallelRecords) {
        for (std::size_t i = 0; i < solutions.size(); ++i) fill(i);
    } else {
        parallel_for(global_pool(), solutions.size(), fill);
    }

    std::array<PyRef, 15> arrays;
    for (std::size_t k = 0; k < columns.size(); ++k) arrays[k] = PyRef::steal(columns[k].release());
    return make_result(lambert_burn_array_type, lambert_burn_array_def, arrays);
}

}  // namespace orbelin::py
