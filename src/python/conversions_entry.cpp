// The RIC frame functions: DCMs and angular velocity of reference states,
// rotations of bare vectors, relative-state conversion and waypoint offsets.
// All run on the calling thread, one batch element after another.

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>

#include "conversions/ric_frame.hpp"
#include "conversions/ric_waypoint.hpp"
#include "python/arrays.hpp"
#include "python/docstrings.hpp"
#include "python/entry_points.hpp"

namespace orbelin::py {

namespace {

// A batch-form parameter [..., width] with its two refusal texts.
struct BatchParam {
    const char* name;
    npy_intp width;
    const char* shape_message;
    const char* reshape_message;
};

constexpr BatchParam kRefState{"ref_state_eci", 6, "ref_state_eci must have shape [..., 6]",
                               "Failed to reshape ref_state_eci"};
constexpr BatchParam kInputState{"input_state", 6, "input_state must have shape [..., 6]",
                                 "Failed to reshape input_state"};
constexpr BatchParam kPosEci{"pos_eci", 3, "pos_eci must have shape [..., 3]", "Failed to reshape pos_eci"};
constexpr BatchParam kPosRic{"pos_ric", 3, "pos_ric must have shape [..., 3]", "Failed to reshape pos_ric"};
constexpr BatchParam kDepState{"dep_state_eci", 6, "dep_state_eci must have shape [..., 6]",
                               "Failed to reshape dep_state_eci"};
constexpr BatchParam kRelState{"rel_state_ric", 6, "rel_state_ric must have shape [..., 6]",
                               "Failed to reshape rel_state_ric"};
constexpr BatchParam kTargetState{"target_state_eci", 6, "target_state_eci must have shape [..., 6]",
                                  "Failed to reshape target_state_eci"};
// The waypoint's last axis may be 3 or 6; `width` is not used for it.
constexpr BatchParam kWaypoint{"ric_waypoint", 0, "ric_waypoint must have shape [..., 3] or [..., 6]",
                               "Failed to reshape ric_waypoint"};

constexpr const char* kOutputReshape = "Failed to reshape output: ";

void require_last_axis(PyArrayObject* arr, const BatchParam& param) {
    if (!has_last_axis(arr, param.width)) raise_value_error(param.shape_message);
}

// The pairing of two batch-form arguments by their counts (RowPairing::by_count).
// Raises ValueError, naming both arguments and their batch shapes, for counts
// that differ while the smaller is not 1; a count of 0 pairs only with 0.
RowPairing pair_batches(PyArrayObject* first, const BatchParam& first_param, PyArrayObject* second,
                        const BatchParam& second_param) {
    const std::size_t a = batch_count(first);
    const std::size_t b = batch_count(second);
    if (a != b && std::min(a, b) != 1) {
        raise_value_error(
            concat({first_param.name, " and ", second_param.name, " have batch shapes ", shape_text(batch_axes(first)),
                    " and ", shape_text(batch_axes(second)),
                    ", which cannot be paired: ", "the counts must be equal, or the smaller count must be 1"}));
    }
    return RowPairing::by_count(batch_axes(first), batch_axes(second));
}

// Fills `out` (rows of `width`) with convert(first_row, second_row, out_row) for every element of the pairing,
// the rows read in the layouts of their arrays, chosen once.
template <class Convert>
void fill_paired(const Rows& first, const Rows& second, const RowPairing& pairing, std::size_t width, double* out,
                 Convert convert) {
    first.with_layout([&](const auto& a) {
        second.with_layout([&](const auto& b) {
            pairing.for_each(0, pairing.count(), [&](std::size_t i, std::size_t ia, std::size_t ib) {
                convert(a, ia, b, ib, out + i * width);
            });
        });
    });
}

// ---- One reference per batch element: DCMs and angular velocity ----------

// Checks `states` as `param`, then fills a result of its batch axes followed
// by `trailing`, calling write(state, out_row) for every element.
template <class Write>
PyObject* per_state(PyArrayObject* states, const BatchParam& param, std::initializer_list<npy_intp> trailing,
                    Write write) {
    require_last_axis(states, param);
    const Rows rows(states, param.reshape_message);
    const Shape shape = with_axes(batch_axes(states), trailing);
    std::size_t width = 1;
    for (npy_intp d : trailing) width *= static_cast<std::size_t>(d);
    require_reshape(rows.count() * width, shape, kOutputReshape);

    ResultArray<double> out(shape, 0.0);
    rows.with_layout([&](const auto& reader) {
        for (std::size_t i = 0; i < rows.count(); ++i) write(reader.state(i), out.data() + i * width);
    });
    return out.release();
}

PyObject* compute_angular_vel_rad_p_sec_impl(const Args& args) {
    return per_state(args.array(kInputState.name), kInputState, {3}, [](const State& s, double* out) {
        const Vec3 omega = angular_velocity(s);
        out[0] = omega.x;
        out[1] = omega.y;
        out[2] = omega.z;
    });
}

// Rows of the ECI -> RIC matrix are R, I, C; the RIC -> ECI matrix is its
// transpose.
PyObject* dcm_impl(const Args& args, bool eci_to_ric) {
    return per_state(args.array(kRefState.name), kRefState, {3, 3}, [eci_to_ric](const State& ref, double* out) {
        const RicBasis m = ric_basis(ref);
        const Vec3 axes[3] = {m.r_hat, m.i_hat, m.c_hat};
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) {
                out[eci_to_ric ? i * 3 + j : j * 3 + i] = axes[i][j];
            }
        }
    });
}

PyObject* dcm_eci2ric_impl(const Args& args) { return dcm_impl(args, /*eci_to_ric=*/true); }
PyObject* dcm_ric2eci_impl(const Args& args) { return dcm_impl(args, /*eci_to_ric=*/false); }

// ---- An argument paired with a reference state -----------------------------

// Checks both arguments in the fixed order (shapes, then layouts, then the
// pairing), then fills a result of the paired batch axes followed by
// `out_width`, calling convert(first_row, ref_state, out_row) per element.
template <class Convert>
PyObject* paired_with_reference(const Args& args, const BatchParam& first_param, npy_intp out_width, Convert convert) {
    PyArrayObject* first = args.array(first_param.name);
    PyArrayObject* ref = args.array(kRefState.name);
    require_last_axis(first, first_param);
    require_last_axis(ref, kRefState);
    const Rows first_rows(first, first_param.reshape_message);
    const Rows ref_rows(ref, kRefState.reshape_message);
    const RowPairing pairing = pair_batches(first, first_param, ref, kRefState);

    const auto width = static_cast<std::size_t>(out_width);
    const Shape shape = with_axes(pairing.axes(), {out_width});
    require_reshape(pairing.count() * width, shape, kOutputReshape);

    ResultArray<double> out(shape, 0.0);
    fill_paired(first_rows, ref_rows, pairing, width, out.data(),
                [&](const auto& a, std::size_t ia, const auto& refs, std::size_t iref, double* out_row) {
                    double row[6];
                    a.read(ia, row);
                    convert(row, refs.state(iref), out_row);
                });
    return out.release();
}

void store(const Vec3& v, double* out) noexcept {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

void store(const State& s, double* out) noexcept {
    for (std::size_t k = 0; k < s.size(); ++k) out[k] = s[k];
}

PyObject* eci2ric_vec_impl(const Args& args) {
    return paired_with_reference(args, kPosEci, 3, [](const double* p, const State& ref, double* out) {
        store(eci2ric_vec_single(load_vec3(p), ric_basis(ref)), out);
    });
}

PyObject* ric2eci_vec_impl(const Args& args) {
    return paired_with_reference(args, kPosRic, 3, [](const double* p, const State& ref, double* out) {
        store(ric2eci_vec_single(load_vec3(p), ric_basis(ref)), out);
    });
}

PyObject* eci2ric_state_impl(const Args& args) {
    return paired_with_reference(args, kDepState, 6, [](const double* dep, const State& ref, double* out) {
        store(eci2ric_state_single(load_state(dep), ref), out);
    });
}

PyObject* ric2eci_state_impl(const Args& args) {
    return paired_with_reference(args, kRelState, 6, [](const double* rel, const State& ref, double* out) {
        store(ric2eci_state_single(load_state(rel), ref), out);
    });
}

// ---- Waypoint offsets -------------------------------------------------------

PyObject* apply_ric_waypoint_offset_impl(const Args& args) {
    PyArrayObject* target = args.array(kTargetState.name);
    PyArrayObject* waypoint = args.array(kWaypoint.name);
    require_last_axis(target, kTargetState);
    // A waypoint without axes has no last axis of 3 or 6 either.
    if (!has_last_axis(waypoint, 3) && !has_last_axis(waypoint, 6)) raise_value_error(kWaypoint.shape_message);

    const std::size_t targets = batch_count(target);
    const std::size_t waypoints = batch_count(waypoint);
    if (targets != waypoints && targets > 1 && waypoints > 1) {
        raise_value_error("If both target_state_eci and ric_waypoint are arrays, they must have matching batch sizes");
    }
    const Rows target_rows(target, kTargetState.reshape_message);
    const Rows waypoint_rows(waypoint, kWaypoint.reshape_message);
    // What is left to refuse here is a count of 0 against a non-zero count.
    const RowPairing pairing = pair_batches(target, kTargetState, waypoint, kWaypoint);

    const Shape shape = with_axes(pairing.axes(), {6});
    require_reshape(pairing.count() * 6, shape, kOutputReshape);

    ResultArray<double> out(shape, 0.0);
    const std::size_t offset_width = waypoint_rows.width();
    fill_paired(target_rows, waypoint_rows, pairing, /*width=*/6, out.data(),
                [&](const auto& targets, std::size_t it, const auto& waypoints, std::size_t iw, double* out_row) {
                    double row[6];
                    waypoints.read(iw, row);
                    store(
                        apply_ric_waypoint_offset_single(targets.state(it), std::span<const double>(row, offset_width)),
                        out_row);
                });
    return out.release();
}

constexpr Param input_state_params[] = {required("input_state", Kind::Array)};
constexpr Param ref_state_params[] = {required("ref_state_eci", Kind::Array)};
constexpr Param eci2ric_state_params[] = {required("dep_state_eci", Kind::Array),
                                          required("ref_state_eci", Kind::Array)};
constexpr Param ric2eci_state_params[] = {required("rel_state_ric", Kind::Array),
                                          required("ref_state_eci", Kind::Array)};
constexpr Param eci2ric_vec_params[] = {required("pos_eci", Kind::Array), required("ref_state_eci", Kind::Array)};
constexpr Param ric2eci_vec_params[] = {required("pos_ric", Kind::Array), required("ref_state_eci", Kind::Array)};
constexpr Param waypoint_params[] = {required("target_state_eci", Kind::Array), required("ric_waypoint", Kind::Array)};

}  // namespace

const FunctionDef compute_angular_vel_rad_p_sec_def{"compute_angular_vel_rad_p_sec", input_state_params,
                                                    doc::compute_angular_vel_rad_p_sec,
                                                    compute_angular_vel_rad_p_sec_impl};

const FunctionDef dcm_eci2ric_def{"dcm_eci2ric", ref_state_params, doc::dcm_eci2ric, dcm_eci2ric_impl};

const FunctionDef dcm_ric2eci_def{"dcm_ric2eci", ref_state_params, doc::dcm_ric2eci, dcm_ric2eci_impl};

const FunctionDef eci2ric_state_def{"eci2ric_state", eci2ric_state_params, doc::eci2ric_state, eci2ric_state_impl};

const FunctionDef ric2eci_state_def{"ric2eci_state", ric2eci_state_params, doc::ric2eci_state, ric2eci_state_impl};

const FunctionDef eci2ric_vec_def{"eci2ric_vec", eci2ric_vec_params, doc::eci2ric_vec, eci2ric_vec_impl};

const FunctionDef ric2eci_vec_def{"ric2eci_vec", ric2eci_vec_params, doc::ric2eci_vec, ric2eci_vec_impl};

const FunctionDef apply_ric_waypoint_offset_def{"apply_ric_waypoint_offset", waypoint_params,
                                                doc::apply_ric_waypoint_offset, apply_ric_waypoint_offset_impl};

}  // namespace orbelin::py
