#include "control/records.hpp"

#include <gtest/gtest.h>

namespace wisket {
namespace {

TEST(Records, TextKindRawValuesRoundTripCaseSensitively) {
    for (TextKind kind : allTextKinds) {
        EXPECT_EQ(textKindFromRaw(rawValue(kind)), kind);
    }
    EXPECT_EQ(rawValue(TextKind::aiPrompt), "aiPrompt");
    EXPECT_FALSE(textKindFromRaw("AIPrompt"));
    EXPECT_FALSE(textKindFromRaw(""));
}

TEST(Records, CompletionErrorDescriptions) {
    EXPECT_EQ(CompletionError::notLocal().description(), "notLocal");
    EXPECT_EQ(CompletionError::badResponse().description(), "badResponse");
    EXPECT_EQ(CompletionError::unavailable("No model file").description(), "unavailable(\"No model file\")");
}

} // namespace
} // namespace wisket
