#pragma once

// Lets GoogleTest show a completion result that an assertion compares: its answer, or the
// description of its failure.

#include "completion/completion_result.hpp"

#include <ostream>

namespace wisket {

inline void PrintTo(const CompletionResult& result, std::ostream* out) {
    *out << (result.succeeded() ? "answer \"" + result.text() + "\""
                                : "failure " + description(result.error()));
}

} // namespace wisket
