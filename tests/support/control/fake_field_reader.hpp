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
    // A read, or a caret request, which has neither size nor context.
    struct Call {
        std::int32_t pid = 0;
        std::optional<std::string> appID;
        int maxChars = 0;
        bool withContext = false;
        bool operator==(const Call&) const = default;
    };

    explicit FakeFieldReader(MainLoop& loop)
        : m_loop(loop) {}

    void read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
              std::function<void(FocusRead)> done) override {
        reads.push_back({pid, std::move(appID), maxChars, withContext});
        answer(holdReads, [done = std::move(done), answer = nextRead] { done(answer); });
    }
    void caret(std::int32_t pid, std::optional<std::string> appID,
               std::function<void(std::optional<Rect>)> done) override {
        caretCalls.push_back({pid, std::move(appID)});
        answer(holdCarets, [done = std::move(done), answer = caretRect] { done(answer); });
    }
    void invalidateScreenContext() override { ++invalidations; }
    void prime(std::int32_t, std::optional<std::string>, std::function<void(bool)> done) override {
        m_loop.post([done = std::move(done)] { done(true); });
    }

    // Delivers every held answer, oldest first (through the loop): each is what was
    // scripted when it was asked for.
    void release() {
        for (; !m_held.empty(); m_held.pop_front()) {
            m_loop.post(std::move(m_held.front()));
        }
    }

    // The answers, taken when a read or caret request is made.
    FocusRead nextRead;
    std::optional<Rect> caretRect;
    // While set, reads or caret requests wait for release().
    bool holdReads = false;
    bool holdCarets = false;

    std::vector<Call> reads;
    std::vector<Call> caretCalls;
    int invalidations = 0;

private:
    void answer(bool hold, MainLoop::Task deliver) {
        if (hold) {
            m_held.push_back(std::move(deliver));
        } else {
            m_loop.post(std::move(deliver));
        }
    }

    MainLoop& m_loop;
    std::deque<MainLoop::Task> m_held;
};

} // namespace wisket::testing
