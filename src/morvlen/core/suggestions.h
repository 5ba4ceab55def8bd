#pragma once
// "Did you mean ...?" for mistyped names in documents.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvlen::bt {

// The candidate closest to `word` (edit distance, ignoring case), when it is close
// enough to be a likely typo; nullopt otherwise.
std::optional<std::string> closest_match(std::string_view word, const std::vector<std::string>& candidates);

// " (did you mean 'x'?)" or "".
std::string did_you_mean(std::string_view word, const std::vector<std::string>& candidates);

}  // namespace morvlen::bt
