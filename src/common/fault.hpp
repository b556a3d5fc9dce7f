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

// A request that the routines refuse as a whole although each argument is valid on its own (a revolution count
// beyond what the Lambert solver will solve): the Python boundary raises ValueError with the text.
class RefusedRequest : public std::runtime_error {
public:
    explicit RefusedRequest(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace orbelin
