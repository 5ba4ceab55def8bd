// Checking and naming the limits of documents.
#include "morvlen/core/document_limits.h"

#include <stdexcept>

namespace morvlen::bt {

std::int64_t DocumentLimits::checked_positive(std::int64_t value, std::string_view name) {
    if (value < 1) throw std::invalid_argument(std::string(name) + " must be at least 1, got " + std::to_string(value));
    return value;
}

std::int64_t DocumentLimits::checked_depth(std::int64_t value) {
    checked_positive(value, "max_depth");
    if (value > depth_ceiling) {
        throw std::invalid_argument("max_depth must be at most " + std::to_string(depth_ceiling) +
                                    " (deeper trees would risk the thread's stack), got " + std::to_string(value));
    }
    return value;
}

std::string over_limit(std::string_view name, std::int64_t value) {
    return "more than " + std::string(name) + "=" + std::to_string(value);
}

}  // namespace morvlen::bt
