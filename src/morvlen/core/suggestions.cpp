// Edit distances for suggestions.
#include "morvlen/core/suggestions.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace morvlen::bt {
namespace {

// Levenshtein distance, case-insensitive, with one row of memory.
std::size_t distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
            const std::size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

}  // namespace

std::optional<std::string> closest_match(std::string_view word, const std::vector<std::string>& candidates) {
    // A third of the word's length may differ (at least one character).
    std::size_t best = std::max<std::size_t>(1, word.size() / 3) + 1;
    std::optional<std::string> found;
    for (const std::string& candidate : candidates) {
        const std::size_t d = distance(word, candidate);
        if (d < best) {
            best = d;
            found = candidate;
        }
    }
    return found;
}

std::string did_you_mean(std::string_view word, const std::vector<std::string>& candidates) {
    const auto match = closest_match(word, candidates);
    return match ? " (did you mean '" + *match + "'?)" : "";
}

}  // namespace morvlen::bt
