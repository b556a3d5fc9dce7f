#pragma once
// Which paths the vector kernels compile: ORBELIN_SSE2 is 1 where SSE2 is available (every x86-64 target), 0 for
// the portable scalar fallbacks, which other targets use and the ORBELIN_PORTABLE build compiles on x86-64 so that
// the tests run them too. Both give the same results to the bit.

#if defined(__SSE2__) && !defined(ORBELIN_PORTABLE)
#define ORBELIN_SSE2 1
#include <emmintrin.h>
#else
#define ORBELIN_SSE2 0
#endif
