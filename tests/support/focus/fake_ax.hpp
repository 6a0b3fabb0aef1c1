#pragma once

// An in-memory accessibility tree implementing Ax. Tests build elements with attributes,
// text and geometry, then look at what the code under test asked and wrote. Every handle
// the fake hands out is a fresh object, as real accessibility wrappers are, so identity must
// go through Ax::equal. Optional per-call cost advances a fake clock, so time budgets can be
// spent without sleeping. The counters are read by the test only after the reader's answer
// came back through the main loop, which orders them after the reader thread's calls.

#include "focus/ax.hpp"
#include "focus/screen_context.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket::testing {

// A monotonic clock that moves only when told to. Any thread.
class FakeClock {
public:
    std::chrono::steady_clock::time_point now() const {
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(m_ticks.load()));
    }
    void advance(std::chrono::steady_clock::duration delta) { m_ticks += delta.count(); }
    MonotonicClock function() {
        return [this] { return now(); };
    }

private:
    std::atomic<std::chrono::steady_clock::duration::rep> m_ticks{0};
};

class FakeElement : public std::enable_shared_from_this<FakeElement> {
public:
    using Ptr = std::shared_ptr<FakeElement>;
    // Geometry of a range of UTF-16 units, or none.
    using Layout = std::function<std::optional<Rect>(AxRange)>;

    static Ptr make(std::string role = {});

    // Builders; each returns the element itself so trees read top-down. Setting an empty
    // value removes the attribute.
    FakeElement& set(std::string_view name, AxValue value);
    // A settable query that fails is `std::nullopt`.
    FakeElement& settable(std::string_view name, std::optional<bool> value);
    // The field's text: "AXValue", "AXNumberOfCharacters" (UTF-16 units) and
    // "AXStringForRange" follow it.
    FakeElement& text(std::string_view utf8);
    // An element-valued attribute ("AXFocusedUIElement", "AXFocusedWindow"…).
    FakeElement& link(std::string_view name, Ptr element);
    FakeElement& selection(std::int64_t location, std::int64_t length = 0) {
        return set("AXSelectedTextRange", AxRange{location, length});
    }
    FakeElement& layout(Layout layout);
    Ptr append(Ptr child);
    Ptr add(std::string role) { return append(make(std::move(role))); }

    // Every call on this element fails.
    bool failing = false;
    // "AXStringForRange" fails while "AXValue" still answers.
    bool stringForRangeFails = false;
    // The last messaging timeout set on this element, in seconds.
    std::optional<double> timeout;

private:
    friend class FakeAx;

    std::map<std::string, AxValue, std::less<>> m_attributes;
    std::map<std::string, Ptr, std::less<>> m_links;
    std::map<std::string, std::optional<bool>, std::less<>> m_settable;
    std::optional<std::u16string> m_text;
    Layout m_layout;
    std::vector<Ptr> m_children;
    std::weak_ptr<FakeElement> m_parent;
};

// A layout of monospaced lines: each UTF-16 unit is `advance` wide, lines break after "\n";
// an empty range has width 0. Ranges beyond the text have no bounds.
FakeElement::Layout gridLayout(const std::string& text, double x, double y, double advance,
                               double lineHeight);

struct FakeWrite {
    std::shared_ptr<FakeElement> element;
    std::string name;
    bool value = false;
};

class FakeAx final : public Ax {
public:
    // The application element of `pid` (created on first use, with no attributes).
    FakeElement::Ptr app(std::int32_t pid);
    // The element "AXFocusedUIElement" of `pid`'s application points at.
    void focus(std::int32_t pid, const FakeElement::Ptr& element) {
        app(pid)->link("AXFocusedUIElement", element);
    }
    // A handle to `element`, as the fake would hand it out.
    static AxElement handle(const FakeElement::Ptr& element);

    // Each call advances `clock` by `cost`.
    void setCallCost(FakeClock* clock, std::chrono::steady_clock::duration cost) {
        m_clock = clock;
        m_cost = cost;
    }

    int calls() const { return m_calls; }
    // How many times attribute `name` was asked for, singly, among several or for a range.
    int reads(std::string_view name) const;
    const std::vector<FakeWrite>& writes() const { return m_writes; }

    const FakeElement::Ptr systemWideElement = FakeElement::make("AXSystemWide");

    // Ax
    AxElement systemWide() override { return handle(systemWideElement); }
    AxElement application(std::int32_t pid) override { return handle(app(pid)); }
    void setMessagingTimeout(const AxElement& element, double seconds) override;
    AxValue attribute(const AxElement& element, std::string_view name) override;
    std::vector<AxValue> attributes(const AxElement& element,
                                    const std::vector<std::string_view>& names) override;
    AxValue parameterizedAttribute(const AxElement& element, std::string_view name, AxRange range) override;
    std::optional<bool> isAttributeSettable(const AxElement& element, std::string_view name) override;
    void setAttribute(const AxElement& element, std::string_view name, bool value) override;
    bool equal(const AxElement& a, const AxElement& b) override;
    bool isProcessTrusted() override { return true; }

private:
    // Counts the call, spends its cost and returns the element unless it fails.
    FakeElement::Ptr enter(const AxElement& element);
    AxValue read(const FakeElement& element, std::string_view name);

    std::map<std::int32_t, FakeElement::Ptr> m_apps;
    std::map<std::string, int, std::less<>> m_reads;
    std::vector<FakeWrite> m_writes;
    int m_calls = 0;
    FakeClock* m_clock = nullptr;
    std::chrono::steady_clock::duration m_cost{};
};

} // namespace wisket::testing
