#include "focus/fake_ax.hpp"

#include "text/unicode.hpp"

#include <algorithm>
#include <iterator>

namespace wisket::testing {

namespace {

struct FakeHandle final : AxNode {
    explicit FakeHandle(FakeElement::Ptr e)
        : element(std::move(e)) {}
    FakeElement::Ptr element;
};

FakeElement::Ptr target(const AxElement& element) {
    const auto* h = dynamic_cast<const FakeHandle*>(element.get());
    return h ? h->element : nullptr;
}

bool within(AxRange range, std::size_t size) {
    return range.location >= 0 && range.length >= 0 &&
           range.location + range.length <= static_cast<std::int64_t>(size);
}

} // namespace

FakeElement::Ptr FakeElement::make(std::string role) {
    auto element = std::make_shared<FakeElement>();
    if (!role.empty()) {
        element->set("AXRole", std::move(role));
    }
    return element;
}

FakeElement& FakeElement::set(std::string_view name, AxValue value) {
    if (std::holds_alternative<std::monostate>(value)) {
        m_attributes.erase(std::string(name));
    } else {
        m_attributes.insert_or_assign(std::string(name), std::move(value));
    }
    return *this;
}

FakeElement& FakeElement::settable(std::string_view name, std::optional<bool> value) {
    m_settable.insert_or_assign(std::string(name), value);
    return *this;
}

FakeElement& FakeElement::text(std::string_view utf8) {
    m_text = toUtf16(utf8);
    return *this;
}

FakeElement& FakeElement::link(std::string_view name, Ptr element) {
    m_links.insert_or_assign(std::string(name), std::move(element));
    return *this;
}

FakeElement& FakeElement::layout(Layout layout) {
    m_layout = std::move(layout);
    return *this;
}

FakeElement::Ptr FakeElement::append(Ptr child) {
    child->m_parent = weak_from_this();
    m_children.push_back(child);
    return child;
}

// A range is as wide as its units, on the line where it starts.
FakeElement::Layout gridLayout(const std::string& text, double x, double y, double advance,
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

FakeElement::Ptr FakeAx::app(std::int32_t pid) {
    auto& slot = m_apps[pid];
    if (!slot) {
        slot = FakeElement::make("AXApplication");
    }
    return slot;
}

AxElement FakeAx::handle(const FakeElement::Ptr& element) {
    return element ? std::make_shared<FakeHandle>(element) : nullptr;
}

int FakeAx::reads(std::string_view name) const {
    const auto it = m_reads.find(name);
    return it == m_reads.end() ? 0 : it->second;
}

FakeElement::Ptr FakeAx::enter(const AxElement& element) {
    ++m_calls;
    if (m_clock) {
        m_clock->advance(m_cost);
    }
    FakeElement::Ptr found = target(element);
    return found && !found->failing ? found : nullptr;
}

AxValue FakeAx::read(const FakeElement& element, std::string_view name) {
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

void FakeAx::setMessagingTimeout(const AxElement& element, double seconds) {
    if (auto found = enter(element)) {
        found->timeout = seconds;
    }
}

AxValue FakeAx::attribute(const AxElement& element, std::string_view name) {
    auto found = enter(element);
    return found ? read(*found, name) : AxValue{};
}

std::vector<AxValue> FakeAx::attributes(const AxElement& element,
                                        const std::vector<std::string_view>& names) {
    std::vector<AxValue> values(names.size());
    if (auto found = enter(element)) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            values[i] = read(*found, names[i]);
        }
    }
    return values;
}

AxValue FakeAx::parameterizedAttribute(const AxElement& element, std::string_view name, AxRange range) {
    auto found = enter(element);
    if (!found) {
        return {};
    }
    ++m_reads[std::string(name)];
    if (name == "AXStringForRange" && found->m_text && !found->stringForRangeFails &&
        within(range, found->m_text->size())) {
        return fromUtf16(
            std::u16string_view(*found->m_text)
                .substr(static_cast<std::size_t>(range.location), static_cast<std::size_t>(range.length)));
    }
    if (name == "AXBoundsForRange" && found->m_layout) {
        if (auto rect = found->m_layout(range)) {
            return *rect;
        }
    }
    return {};
}

std::optional<bool> FakeAx::isAttributeSettable(const AxElement& element, std::string_view name) {
    auto found = enter(element);
    if (!found) {
        return std::nullopt;
    }
    const auto it = found->m_settable.find(name);
    return it == found->m_settable.end() ? std::optional<bool>(false) : it->second;
}

void FakeAx::setAttribute(const AxElement& element, std::string_view name, bool value) {
    enter(element);
    m_writes.push_back(FakeWrite{target(element), std::string(name), value});
}

bool FakeAx::equal(const AxElement& a, const AxElement& b) {
    auto x = target(a);
    return x && x == target(b);
}

} // namespace wisket::testing
