#pragma once
// Every Python-visible function of the module, declared once here and
// registered in module.cpp in the module's fixed order. The two classes are
// declared by their own headers (lambert_solution_array.hpp,
// lambert_burn_array.hpp, lambert_porkchop_array.hpp).

#include "python/binder.hpp"

namespace orbelin::py {

// Lambert solving (lambert_entry.cpp, lambert_dv_entry.cpp).
extern const FunctionDef lambert_izzo_single_def;
extern const FunctionDef lambert_izzo_vec_def;
extern const FunctionDef lambert_izzo_vec_dv_def;
extern const FunctionDef lambert_izzo_best_dv_def;

// Lambert partial derivatives (lambert_jacobian_entry.cpp).
extern const FunctionDef lambert_izzo_jacobian_def;

// Transfer optimisation (optimization_entry.cpp).
extern const FunctionDef optimize_lambert_transfer_py_def;
extern const FunctionDef optimize_lambert_transfer_grid_py_def;
extern const FunctionDef lambert_grid_search_def;

// Porkchop scans (porkchop_entry.cpp).
extern const FunctionDef lambert_porkchop_def;
extern const FunctionDef optimize_lambert_nm_py_def;
extern const FunctionDef optimize_lambert_nm_multi_py_def;
extern const FunctionDef optimize_lambert_nm_multi_array_def;
extern const FunctionDef optimize_lambert_nm_multi_sunline_py_def;

// Kepler propagation (propagation_entry.cpp).
extern const FunctionDef kepler_universal_2body_py_def;
extern const FunctionDef kepler_universal_2body_vec_def;

// RIC frame (conversions_entry.cpp).
extern const FunctionDef compute_angular_vel_rad_p_sec_def;
extern const FunctionDef dcm_eci2ric_def;
extern const FunctionDef dcm_ric2eci_def;
extern const FunctionDef eci2ric_state_def;
extern const FunctionDef ric2eci_state_def;
extern const FunctionDef eci2ric_vec_def;
extern const FunctionDef ric2eci_vec_def;
extern const FunctionDef apply_ric_waypoint_offset_def;

// Sun position (celestial_entry.cpp).
extern const FunctionDef compute_sun_state_jd_def;
extern const FunctionDef compute_sun_state_posix_def;

// Orbital elements (orbit_entry.cpp).
extern const FunctionDef rv2coe_def;
extern const FunctionDef coe2rv_def;

}  // namespace orbelin::py
