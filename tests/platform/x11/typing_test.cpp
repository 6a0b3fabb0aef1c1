#include "platform/x11/typing.hpp"

#include <gtest/gtest.h>

namespace wisket::x11 {
namespace {

TEST(TypingX11, MissingKeysymsAreBoundToFreeSpareKeysAndAllOfThemAfterARestore) {
    const std::vector<int> spare = {200, 201, 202};
    const std::tuple<std::vector<std::uint32_t>, std::map<std::uint32_t, int>, BindingPlan> cases[] = {
        {{}, {}, {}},
        // Repeats get one key.
        {{1, 2, 1}, {}, {.restoreFirst = false, .bindings = {{1, 200}, {2, 201}}}},
        // What is bound stays; the rest takes the keys still free.
        {{1, 3}, {{1, 200}, {2, 201}}, {.restoreFirst = false, .bindings = {{3, 202}}}},
        // Too few free keys: every binding goes, and the chunk's own are bound anew.
        {{1, 3, 4}, {{1, 200}, {2, 201}}, {.restoreFirst = true, .bindings = {{1, 200}, {3, 201}, {4, 202}}}},
        // More than there are spare keys at all: the first ones get them.
        {{1, 2, 3, 4}, {}, {.restoreFirst = false, .bindings = {{1, 200}, {2, 201}, {3, 202}}}},
    };
    for (const auto& [needed, bound, expected] : cases) {
        EXPECT_EQ(planBindings(needed, bound, spare), expected) << needed.size();
    }
}

} // namespace
} // namespace wisket::x11
