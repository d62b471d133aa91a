#pragma once

#include <stdexcept>
#include <string>

namespace mlruntime {

// The one exception type of the model runtime. `what()` is a readable message that names the
// offending array, feature or file; `code()` tells callers what kind of fault it was.
class Error : public std::runtime_error {
public:
    enum class Code {
        invalidArgument,   // a shape, stride, size or value that cannot be used
        typeMismatch,      // an element type other than the array's own
        indexOutOfRange,   // an index or offset outside the array
        unsupported,       // a data type or operation this runtime does not handle
        missingFeature,    // a required input or output feature is absent or of the wrong kind
        invalidModel,      // a model folder or file that is missing or damaged
    };

    Error(Code code, const std::string& message) : std::runtime_error(message), code_(code) {}

    Code code() const noexcept { return code_; }

private:
    Code code_;
};

}  // namespace mlruntime
