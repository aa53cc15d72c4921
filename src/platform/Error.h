#pragma once
// Base of every operation family's error. what() is the user-facing description.
#include <stdexcept>
#include <string>

namespace lw {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace lw
