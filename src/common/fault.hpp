#pragma once
// A violated internal expectation. The Python boundary turns it into
// PanicException; kernels throw it only for inputs they must refuse outright
// (a non-positive gravitational parameter reaching the Lambert solver).

#include <stdexcept>
#include <string>

namespace orbelin {

class InternalFault : public std::runtime_error {
public:
    explicit InternalFault(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace orbelin
