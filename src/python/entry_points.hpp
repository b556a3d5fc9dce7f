#pragma once
// Every Python-visible function and class of the module, declared once here
// and registered in module.cpp in the module's fixed order.

#include "python/binder.hpp"
#include "python/result_class.hpp"

namespace orbelin::py {

// Orbital elements (orbit_entry.cpp).
extern const FunctionDef rv2coe_def;
extern const FunctionDef coe2rv_def;

}  // namespace orbelin::py
