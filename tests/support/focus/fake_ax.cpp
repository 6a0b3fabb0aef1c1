#include "focus/fake_ax.hpp"

#include "text/unicode.hpp"

#include <algorithm>

namespace wisket::testing {

namespace {

struct FakeHandle final : AxNode {
    explicit FakeHandle(FakeElement::Ptr e)
        : element(std::move(e)) {}
    FakeElement::Ptr element;
};

} // namespace

// --- FakeClock -----------------------------------------------------------------------------

std::chrono::steady_clock::time_point FakeClock::now() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(m_ticks.load()));
}

void FakeClock::advance(std::chrono::steady_clock::duration delta) {
    m_ticks += delta.count();
}

MonotonicClock FakeClock::function() {
    return [this] { return now(); };
}

// --- FakeElement ---------------------------------------------------------------------------

FakeElement::Ptr FakeElement::make(std::string role) {
    auto element = std::make_shared<FakeElement>();
    if (!role.empty()) {
        element->set("AXRole", std::move(role));
    }
    return element;
}

FakeElement& FakeElement::set(std::string_view name, AxValue value) {
    m_attributes.insert_or_assign(std::string(name), std::move(value));
    return *this;
}

FakeElement& FakeElement::unset(std::string_view name) {
    if (auto it = m_attributes.find(name); it != m_attributes.end()) {
        m_attributes.erase(it);
    }
    return *this;
}

FakeElement& FakeElement::settable(std::string_view name, std::optional<bool> value) {
    m_settable.insert_or_assign(std::string(name), value);
    return *this;
}

FakeElement& FakeElement::text(std::string_view utf8) {
    m_text = toUtf16(utf8);
    m_hasText = true;
    return *this;
}

FakeElement& FakeElement::link(std::string_view name, Ptr element) {
    m_links.insert_or_assign(std::string(name), std::move(element));
    return *this;
}

FakeElement& FakeElement::selection(std::int64_t location, std::int64_t length) {
    return set("AXSelectedTextRange", AxRange{location, length});
}

FakeElement& FakeElement::layout(Layout layout) {
    m_layout = std::move(layout);
    return *this;
}

FakeElement& FakeElement::failing(bool fail) {
    m_failing = fail;
    return *this;
}

FakeElement& FakeElement::stringForRangeFails(bool fail) {
    m_stringForRangeFails = fail;
    return *this;
}

FakeElement::Ptr FakeElement::append(Ptr child) {
    child->m_parent = weak_from_this();
    m_children.push_back(child);
    return child;
}

std::optional<double> FakeElement::timeout() const {
    return m_timeout;
}

FakeElement::Layout gridLayout(const std::string& text, double x, double y, double advance,
                               double lineHeight) {
    return [units = toUtf16(text), x, y, advance, lineHeight](AxRange range) -> std::optional<Rect> {
        const auto size = static_cast<std::int64_t>(units.size());
        if (range.location < 0 || range.length < 0 || range.location + range.length > size) {
            return std::nullopt;
        }
        auto unitRect = [&](std::int64_t i) {
            int line = 0;
            std::int64_t lineStart = 0;
            for (std::int64_t k = 0; k < i; ++k) {
                if (units[static_cast<std::size_t>(k)] == u'\n') {
                    ++line;
                    lineStart = k + 1;
                }
            }
            return Rect{x + static_cast<double>(i - lineStart) * advance, y + line * lineHeight, advance,
                        lineHeight};
        };
        if (range.length == 0) {
            Rect r = unitRect(range.location);
            r.width = 0;
            return r;
        }
        Rect r = unitRect(range.location);
        for (std::int64_t i = range.location + 1; i < range.location + range.length; ++i) {
            const Rect u = unitRect(i);
            const double minX = std::min(r.x, u.x);
            const double minY = std::min(r.y, u.y);
            r = Rect{minX, minY, std::max(r.maxX(), u.maxX()) - minX, std::max(r.maxY(), u.maxY()) - minY};
        }
        return r;
    };
}

// --- FakeAx --------------------------------------------------------------------------------

FakeElement::Ptr FakeAx::app(std::int32_t pid) {
    const std::lock_guard lock(m_mutex);
    auto& slot = m_apps[pid];
    if (!slot) {
        slot = FakeElement::make("AXApplication");
    }
    return slot;
}

void FakeAx::focus(std::int32_t pid, const FakeElement::Ptr& element) {
    app(pid)->link("AXFocusedUIElement", element);
}

AxElement FakeAx::handle(const FakeElement::Ptr& element) {
    return element ? std::make_shared<FakeHandle>(element) : nullptr;
}

FakeElement::Ptr FakeAx::target(const AxElement& element) {
    const auto* h = dynamic_cast<const FakeHandle*>(element.get());
    return h ? h->element : nullptr;
}

void FakeAx::setCallCost(FakeClock* clock, std::chrono::steady_clock::duration cost) {
    const std::lock_guard lock(m_mutex);
    m_clock = clock;
    m_cost = cost;
}

void FakeAx::onCall(std::function<void(const FakeElement::Ptr&)> hook) {
    const std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

int FakeAx::calls() const {
    const std::lock_guard lock(m_mutex);
    return m_calls;
}

int FakeAx::reads(std::string_view name) const {
    const std::lock_guard lock(m_mutex);
    const auto it = m_reads.find(name);
    return it == m_reads.end() ? 0 : it->second;
}

std::vector<FakeWrite> FakeAx::writes() const {
    const std::lock_guard lock(m_mutex);
    return m_writes;
}

std::optional<double> FakeAx::systemWideTimeout() const {
    const std::lock_guard lock(m_mutex);
    return m_systemWide->m_timeout;
}

void FakeAx::resetCounts() {
    const std::lock_guard lock(m_mutex);
    m_calls = 0;
    m_reads.clear();
    m_writes.clear();
}

FakeElement::Ptr FakeAx::enter(const AxElement& element) {
    FakeElement::Ptr target = FakeAx::target(element);
    std::function<void(const FakeElement::Ptr&)> hook;
    {
        const std::lock_guard lock(m_mutex);
        ++m_calls;
        if (m_clock) {
            m_clock->advance(m_cost);
        }
        hook = m_hook;
    }
    if (hook && target) {
        hook(target);
    }
    return target && !target->m_failing ? target : nullptr;
}

AxValue FakeAx::read(const FakeElement::Ptr& element, std::string_view name) {
    {
        const std::lock_guard lock(m_mutex);
        ++m_reads[std::string(name)];
    }
    if (auto it = element->m_attributes.find(name); it != element->m_attributes.end()) {
        return it->second;
    }
    if (auto it = element->m_links.find(name); it != element->m_links.end()) {
        return handle(it->second);
    }
    if (element->m_hasText && name == "AXValue") {
        return fromUtf16(element->m_text);
    }
    if (element->m_hasText && name == "AXNumberOfCharacters") {
        return static_cast<std::int64_t>(element->m_text.size());
    }
    if (name == "AXChildren") {
        std::vector<AxElement> children;
        for (const auto& child : element->m_children) {
            children.push_back(handle(child));
        }
        return children;
    }
    if (name == "AXParent") {
        if (auto parent = element->parent()) {
            return handle(parent);
        }
    }
    return {};
}

AxElement FakeAx::systemWide() {
    return handle(m_systemWide);
}

AxElement FakeAx::application(std::int32_t pid) {
    return handle(app(pid));
}

void FakeAx::setMessagingTimeout(const AxElement& element, double seconds) {
    if (auto target = enter(element)) {
        target->m_timeout = seconds;
    }
}

AxValue FakeAx::attribute(const AxElement& element, std::string_view name) {
    auto target = enter(element);
    return target ? read(target, name) : AxValue{};
}

std::vector<AxValue> FakeAx::attributes(const AxElement& element,
                                        const std::vector<std::string_view>& names) {
    std::vector<AxValue> values(names.size());
    if (auto target = enter(element)) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            values[i] = read(target, names[i]);
        }
    }
    return values;
}

AxValue FakeAx::parameterizedAttribute(const AxElement& element, std::string_view name, AxRange range) {
    auto target = enter(element);
    if (!target) {
        return {};
    }
    {
        const std::lock_guard lock(m_mutex);
        ++m_reads[std::string(name)];
    }
    if (name == "AXStringForRange" && target->m_hasText && !target->m_stringForRangeFails) {
        const auto size = static_cast<std::int64_t>(target->m_text.size());
        if (range.location < 0 || range.length < 0 || range.location + range.length > size) {
            return {};
        }
        return fromUtf16(
            std::u16string_view(target->m_text)
                .substr(static_cast<std::size_t>(range.location), static_cast<std::size_t>(range.length)));
    }
    if (name == "AXBoundsForRange" && target->m_layout) {
        if (auto rect = target->m_layout(range)) {
            return *rect;
        }
    }
    return {};
}

std::optional<bool> FakeAx::isAttributeSettable(const AxElement& element, std::string_view name) {
    auto target = enter(element);
    if (!target) {
        return std::nullopt;
    }
    const auto it = target->m_settable.find(name);
    return it == target->m_settable.end() ? std::optional<bool>(false) : it->second;
}

void FakeAx::setAttribute(const AxElement& element, std::string_view name, bool value) {
    auto target = FakeAx::target(element);
    enter(element);
    const std::lock_guard lock(m_mutex);
    m_writes.push_back(FakeWrite{target, std::string(name), value});
}

bool FakeAx::equal(const AxElement& a, const AxElement& b) {
    auto x = target(a);
    return x && x == target(b);
}

} // namespace wisket::testing
