#pragma once

// An in-memory accessibility tree implementing Ax. Tests build elements with attributes,
// text and geometry, then look at what the code under test asked and wrote. Every handle
// the fake hands out is a fresh object, as real accessibility wrappers are, so identity must
// go through Ax::equal. Optional per-call cost advances a fake clock, so time budgets can be
// spent without sleeping.

#include "focus/ax.hpp"
#include "focus/screen_context.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket::testing {

// A monotonic clock that moves only when told to. Any thread.
class FakeClock {
public:
    std::chrono::steady_clock::time_point now() const;
    void advance(std::chrono::steady_clock::duration delta);
    MonotonicClock function();

private:
    std::atomic<std::chrono::steady_clock::duration::rep> m_ticks{0};
};

class FakeElement : public std::enable_shared_from_this<FakeElement> {
public:
    using Ptr = std::shared_ptr<FakeElement>;
    // Geometry of a range of UTF-16 units, or none.
    using Layout = std::function<std::optional<Rect>(AxRange)>;

    static Ptr make(std::string role = {});

    // Builders; each returns the element itself so trees read top-down.
    FakeElement& set(std::string_view name, AxValue value);
    FakeElement& unset(std::string_view name);
    // A settable query that fails is `std::nullopt`.
    FakeElement& settable(std::string_view name, std::optional<bool> value);
    // The field's text: "AXValue", "AXNumberOfCharacters" (UTF-16 units) and
    // "AXStringForRange" follow it.
    FakeElement& text(std::string_view utf8);
    // An element-valued attribute ("AXFocusedUIElement", "AXFocusedWindow"…).
    FakeElement& link(std::string_view name, Ptr element);
    FakeElement& selection(std::int64_t location, std::int64_t length = 0);
    FakeElement& layout(Layout layout);
    // Every call on this element fails.
    FakeElement& failing(bool fail = true);
    // "AXStringForRange" fails while "AXValue" still answers.
    FakeElement& stringForRangeFails(bool fail = true);
    Ptr append(Ptr child);
    Ptr add(std::string role) { return append(make(std::move(role))); }

    Ptr parent() const { return m_parent.lock(); }
    // The last messaging timeout set on this element, in seconds.
    std::optional<double> timeout() const;

private:
    friend class FakeAx;

    std::map<std::string, AxValue, std::less<>> m_attributes;
    std::map<std::string, Ptr, std::less<>> m_links;
    std::map<std::string, std::optional<bool>, std::less<>> m_settable;
    std::u16string m_text;
    bool m_hasText = false;
    Layout m_layout;
    bool m_failing = false;
    bool m_stringForRangeFails = false;
    std::vector<Ptr> m_children;
    std::weak_ptr<FakeElement> m_parent;
    std::optional<double> m_timeout;
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
    void focus(std::int32_t pid, const FakeElement::Ptr& element);
    // A handle to `element`, as the fake would hand it out.
    AxElement handle(const FakeElement::Ptr& element);
    static FakeElement::Ptr target(const AxElement& element);

    // Each call advances `clock` by `cost`.
    void setCallCost(FakeClock* clock, std::chrono::steady_clock::duration cost);
    // Called before every call on the element it names (for example to change the tree in
    // the middle of a walk).
    void onCall(std::function<void(const FakeElement::Ptr&)> hook);

    int calls() const;
    // How many times attribute `name` was asked for, singly, among several or for a range.
    int reads(std::string_view name) const;
    std::vector<FakeWrite> writes() const;
    std::optional<double> systemWideTimeout() const;
    void resetCounts();

    // Ax
    AxElement systemWide() override;
    AxElement application(std::int32_t pid) override;
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
    AxValue read(const FakeElement::Ptr& element, std::string_view name);

    mutable std::mutex m_mutex;
    std::map<std::int32_t, FakeElement::Ptr> m_apps;
    FakeElement::Ptr m_systemWide = FakeElement::make("AXSystemWide");
    std::map<std::string, int, std::less<>> m_reads;
    std::vector<FakeWrite> m_writes;
    int m_calls = 0;
    FakeClock* m_clock = nullptr;
    std::chrono::steady_clock::duration m_cost{};
    std::function<void(const FakeElement::Ptr&)> m_hook;
};

} // namespace wisket::testing
