# The loops of tests/cpp/vmath_check.hpp compiled for AVX2 and for AVX-512F, shared by the C++ tests and the
# benchmark of the lane math functions; callers run them only where the CPU has the instruction set.
include_guard(GLOBAL)
foreach(isa avx2 avx512)
  add_library(orbelin_vmath_${isa} OBJECT ${CMAKE_CURRENT_LIST_DIR}/vmath_${isa}.cpp)
  target_link_libraries(orbelin_vmath_${isa} PRIVATE orbelin_core)
  target_compile_options(orbelin_vmath_${isa} PRIVATE ${ORBELIN_WARNINGS})
endforeach()
target_compile_options(orbelin_vmath_avx2 PRIVATE -mavx2)
target_compile_options(orbelin_vmath_avx512 PRIVATE -mavx512f)
