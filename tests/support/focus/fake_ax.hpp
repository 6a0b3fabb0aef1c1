#pragma once

// An in-memory accessibility tree implementing Ax. Tests build elements with attributes,
// text and geometry, then look at what the code under test asked and wrote. Every handle
// the fake hands out is a fresh object, as real accessibility wrappers are, so identity must
// go through Ax::equal. A hook on every call can advance a virtual clock, so time budgets can
// be spent without sleeping. The counters are read by the test only after the reader's answer
// came back through the main loop, which orders them after the reader thread's calls.

#include "focus/ax.hpp"
#include "focus/screen_context.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wisket::testing {

inline bool within(AxRange range, std::size_t size) {
    return range.location >= 0 && range.length >= 0 &&
           range.location + range.length <= static_cast<std::int64_t>(size);
}

class FakeElement : public std::enable_shared_from_this<FakeElement> {
public:
    using Ptr = std::shared_ptr<FakeElement>;
    // Geometry of a range of UTF-16 units, or none.
    using Layout = std::function<std::optional<Rect>(AxRange)>;

    static Ptr make(std::string role) {
        auto element = std::make_shared<FakeElement>();
        element->set("AXRole", std::move(role));
        return element;
    }

    // Builders; each returns the element itself so trees read top-down. Setting an empty
    // value removes the attribute.
    Ptr set(std::string_view name, AxValue value) {
        if (std::holds_alternative<std::monostate>(value)) {
            m_attributes.erase(std::string(name));
        } else {
            m_attributes.insert_or_assign(std::string(name), std::move(value));
        }
        return shared_from_this();
    }
    // A settable query that fails is `std::nullopt`.
    Ptr settable(std::string_view name, std::optional<bool> value) {
        m_settable.insert_or_assign(std::string(name), value);
        return shared_from_this();
    }
    // The field's text: "AXValue", "AXNumberOfCharacters" (UTF-16 units) and
    // "AXStringForRange" follow it.
    Ptr text(std::string_view utf8) {
        m_text = toUtf16(utf8);
        return shared_from_this();
    }
    // An element-valued attribute ("AXFocusedUIElement", "AXFocusedWindow"…).
    Ptr link(std::string_view name, Ptr element) {
        m_links.insert_or_assign(std::string(name), std::move(element));
        return shared_from_this();
    }
    Ptr selection(std::int64_t location, std::int64_t length = 0) {
        return set("AXSelectedTextRange", AxRange{location, length});
    }
    Ptr layout(Layout layout) {
        m_layout = std::move(layout);
        return shared_from_this();
    }
    // A new child, last among its siblings.
    Ptr add(std::string role) {
        Ptr child = make(std::move(role));
        child->m_parent = weak_from_this();
        m_children.push_back(child);
        return child;
    }

    // Every call on this element fails.
    bool failing = false;
    // "AXStringForRange" fails while "AXValue" still answers.
    bool stringForRangeFails = false;
    // The last messaging timeout set on this element, in seconds.
    std::optional<double> timeout;
    // The attributes written on this element, in order.
    std::vector<std::pair<std::string, bool>> writes;

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
// an empty range has width 0. Ranges beyond the text have no bounds. A range is as wide as
// its units, on the line where it starts.
inline FakeElement::Layout gridLayout(const std::string& text, double x, double y, double advance,
                                      double lineHeight) {
    return [units = toUtf16(text), x, y, advance, lineHeight](AxRange range) -> std::optional<Rect> {
        if (!within(range, units.size())) {
            return std::nullopt;
        }
        const auto start = units.begin() + range.location;
        const auto lineStart = std::find(std::make_reverse_iterator(start), units.rend(), u'\n').base();
        const auto line = std::count(units.begin(), start, u'\n');
        return Rect{x + static_cast<double>(start - lineStart) * advance,
                    y + static_cast<double>(line) * lineHeight, static_cast<double>(range.length) * advance,
                    lineHeight};
    };
}

class FakeAx final : public Ax {
public:
    // The application element of `pid` (created on first use, with no attributes).
    FakeElement::Ptr app(std::int32_t pid) {
        auto& slot = m_apps[pid];
        if (!slot) {
            slot = FakeElement::make("AXApplication");
        }
        return slot;
    }
    // The element "AXFocusedUIElement" of `pid`'s application points at.
    void focus(std::int32_t pid, const FakeElement::Ptr& element) {
        app(pid)->link("AXFocusedUIElement", element);
    }
    // A handle to `element`, as the fake would hand it out.
    static AxElement handle(const FakeElement::Ptr& element) {
        return element ? std::make_shared<Handle>(element) : nullptr;
    }

    // Runs at the start of every call, on the caller's thread.
    std::function<void()> onCall;

    // How many times attribute `name` was asked for, singly, among several or for a range.
    int reads(std::string_view name) const {
        const auto it = m_reads.find(name);
        return it == m_reads.end() ? 0 : it->second;
    }

    const FakeElement::Ptr systemWideElement = FakeElement::make("AXSystemWide");

    // Ax
    AxElement systemWide() override { return handle(systemWideElement); }
    AxElement application(std::int32_t pid) override { return handle(app(pid)); }
    void setMessagingTimeout(const AxElement& element, double seconds) override {
        if (auto found = enter(element)) {
            found->timeout = seconds;
        }
    }
    AxValue attribute(const AxElement& element, std::string_view name) override {
        auto found = enter(element);
        return found ? read(*found, name) : AxValue{};
    }
    std::vector<AxValue> attributes(const AxElement& element,
                                    const std::vector<std::string_view>& names) override {
        std::vector<AxValue> values(names.size());
        if (auto found = enter(element)) {
            std::transform(names.begin(), names.end(), values.begin(),
                           [&](std::string_view name) { return read(*found, name); });
        }
        return values;
    }
    AxValue parameterizedAttribute(const AxElement& element, std::string_view name, AxRange range) override {
        auto found = enter(element);
        if (!found) {
            return {};
        }
        ++m_reads[std::string(name)];
        const auto& text = found->m_text;
        if (name == "AXStringForRange" && text && !found->stringForRangeFails &&
            within(range, text->size())) {
            return fromUtf16(std::u16string_view(*text).substr(static_cast<std::size_t>(range.location),
                                                               static_cast<std::size_t>(range.length)));
        }
        if (name == "AXBoundsForRange" && found->m_layout) {
            if (auto rect = found->m_layout(range)) {
                return *rect;
            }
        }
        return {};
    }
    std::optional<bool> isAttributeSettable(const AxElement& element, std::string_view name) override {
        auto found = enter(element);
        if (!found) {
            return std::nullopt;
        }
        const auto it = found->m_settable.find(name);
        return it == found->m_settable.end() ? std::optional<bool>(false) : it->second;
    }
    void setAttribute(const AxElement& element, std::string_view name, bool value) override {
        if (auto found = enter(element)) {
            found->writes.emplace_back(name, value);
        }
    }
    bool equal(const AxElement& a, const AxElement& b) override {
        auto x = target(a);
        return x && x == target(b);
    }
    bool isProcessTrusted() override { return true; }

private:
    struct Handle final : AxNode {
        explicit Handle(FakeElement::Ptr e)
            : element(std::move(e)) {}
        FakeElement::Ptr element;
    };

    static FakeElement::Ptr target(const AxElement& element) {
        const auto* h = dynamic_cast<const Handle*>(element.get());
        return h ? h->element : nullptr;
    }
    // Runs the hook and returns the element unless it fails.
    FakeElement::Ptr enter(const AxElement& element) {
        if (onCall) {
            onCall();
        }
        FakeElement::Ptr found = target(element);
        return found && !found->failing ? found : nullptr;
    }
    AxValue read(const FakeElement& element, std::string_view name) {
        ++m_reads[std::string(name)];
        if (auto it = element.m_attributes.find(name); it != element.m_attributes.end()) {
            return it->second;
        }
        if (auto it = element.m_links.find(name); it != element.m_links.end()) {
            return handle(it->second);
        }
        if (element.m_text && name == "AXValue") {
            return fromUtf16(*element.m_text);
        }
        if (element.m_text && name == "AXNumberOfCharacters") {
            return static_cast<std::int64_t>(element.m_text->size());
        }
        if (name == "AXChildren") {
            std::vector<AxElement> children;
            std::transform(element.m_children.begin(), element.m_children.end(), std::back_inserter(children),
                           handle);
            return children;
        }
        if (auto parent = element.m_parent.lock(); parent && name == "AXParent") {
            return handle(parent);
        }
        return {};
    }

    std::map<std::int32_t, FakeElement::Ptr> m_apps;
    std::map<std::string, int, std::less<>> m_reads;
};

} // namespace wisket::testing
