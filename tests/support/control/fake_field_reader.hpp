#pragma once

// A focused-field reader with scripted answers. It records every call; answers arrive
// through the main loop as the real reader's do, at once or when the test releases them.

#include "control/collaborators.hpp"
#include "threading/main_loop.hpp"

#include <deque>
#include <vector>

namespace wisket::testing {

class FakeFieldReader final : public FieldReader {
public:
    struct ReadCall {
        std::int32_t pid = 0;
        std::optional<std::string> appID;
        int maxChars = 0;
        bool withContext = false;
        bool operator==(const ReadCall&) const = default;
    };
    struct CaretCall {
        std::int32_t pid = 0;
        std::optional<std::string> appID;
        bool operator==(const CaretCall&) const = default;
    };

    explicit FakeFieldReader(MainLoop& loop)
        : m_loop(loop) {}

    void read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
              std::function<void(FocusRead)> done) override;
    void caret(std::int32_t pid, std::optional<std::string> appID,
               std::function<void(std::optional<Rect>)> done) override;
    void invalidateScreenContext() override { ++invalidations; }
    void prime(std::int32_t pid, std::optional<std::string>, std::function<void(bool)> done) override {
        primed.push_back(pid);
        m_loop.post([done = std::move(done)] { done(true); });
    }

    // Answers every held read with `answer`, oldest first (through the loop).
    void releaseReads(const FocusRead& answer);
    // Answers every held caret request with `caretRect`, oldest first (through the loop).
    void releaseCarets();

    // The answer to each read, taken when the read is made.
    FocusRead nextRead;
    // While set, reads wait for releaseReads.
    bool holdReads = false;
    std::optional<Rect> caretRect;
    // While set, caret requests wait for releaseCarets.
    bool holdCarets = false;

    std::vector<ReadCall> reads;
    std::vector<CaretCall> caretCalls;
    int invalidations = 0;
    std::vector<std::int32_t> primed;

private:
    MainLoop& m_loop;
    std::deque<std::function<void(FocusRead)>> m_held;
    std::deque<std::function<void(std::optional<Rect>)>> m_heldCarets;
};

} // namespace wisket::testing
