#pragma once

// The readable text that stands before the focused field in its window (the conversation
// above a chat composer, the message above a reply box), gathered by walking the
// accessibility tree upward from the field and reading the siblings before it, nearest
// first, within a character, node, depth and time budget. At most 800 characters in
// reading order, with sentences that try to instruct a model removed.

#include "focus/ax.hpp"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket {

// A monotonic clock; injectable so tests can spend the walk's time budget without sleeping.
using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;
MonotonicClock steadyClock();

class ScreenContext {
public:
    using Duration = std::chrono::steady_clock::duration;

    ScreenContext(Ax& ax, MonotonicClock clock);

    // The cached text when the same element and window title were walked less than 15 s
    // ago, else a fresh walk (which replaces the cache). Reader thread only.
    std::string collect(const AxElement& element, const std::optional<std::string>& title);
    // Forgets the cached text, so the next collect walks again. Any thread.
    void invalidate();
    // Drops the cached element handle; call on the reader thread before the reader goes away,
    // so the handle is released on the thread that owns the accessibility connection.
    void release();

    // The upward walk from `element`, uncached. Reader thread only.
    std::string walk(const AxElement& element, Duration budget = std::chrono::milliseconds(150));

    // Editable text is never read: a text field or area whose value can be set (or whose
    // settable query fails).
    static bool isEditableText(Ax& ax, std::string_view role, const AxElement& node);

private:
    struct Walk;
    void visit(Walk& walk, const AxElement& node);
    double clampedTimeout(const Walk& walk) const;

    Ax& m_ax;
    MonotonicClock m_clock;

    // The one cache entry. The element handle is only ever released on the reader thread:
    // invalidate() marks it unusable instead of dropping it.
    std::mutex m_lock;
    AxElement m_element;
    bool m_elementValid = false;
    std::optional<std::string> m_title;
    std::string m_text;
    std::optional<std::chrono::steady_clock::time_point> m_readAt; // none: the distant past
};

} // namespace wisket
