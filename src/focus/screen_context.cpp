#include "focus/screen_context.hpp"

#include "focus/context_filter.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>

namespace wisket {

namespace {

using namespace std::chrono_literals;

constexpr int charBudget = 800;
constexpr int nodeBudget = 2000;
constexpr int levelBudget = 12;
constexpr auto cacheLifetime = 15s;

// Never read nor descended into.
constexpr std::array<std::string_view, 20> skipRoles{"AXButton",
                                                     "AXMenuButton",
                                                     "AXPopUpButton",
                                                     "AXMenuBar",
                                                     "AXMenu",
                                                     "AXMenuItem",
                                                     "AXToolbar",
                                                     "AXImage",
                                                     "AXCheckBox",
                                                     "AXRadioButton",
                                                     "AXSlider",
                                                     "AXScrollBar",
                                                     "AXDisclosureTriangle",
                                                     "AXLink",
                                                     "AXTabGroup",
                                                     "AXComboBox",
                                                     "AXSecureTextField",
                                                     "AXSearchField",
                                                     "AXIncrementor",
                                                     "AXOutline"};
constexpr std::array<std::string_view, 5> skipSubroles{"AXLandmarkNavigation", "AXLandmarkBanner",
                                                       "AXLandmarkComplementary", "AXLandmarkContentInfo",
                                                       "AXLandmarkSearch"};
// Their value is read.
constexpr std::array<std::string_view, 4> textRoles{"AXStaticText", "AXTextArea", "AXTextField", "AXHeading"};
// The upward walk stops at these: text outside the window, page or dialog is not the field's.
constexpr std::array<std::string_view, 4> boundaryRoles{"AXWindow", "AXWebArea", "AXSheet", "AXDrawer"};
constexpr std::array<std::string_view, 4> boundarySubroles{"AXDialog", "AXApplicationDialog",
                                                           "AXSystemDialog", "AXFloatingWindow"};

template <std::size_t N> bool contains(const std::array<std::string_view, N>& set, std::string_view value) {
    return std::find(set.begin(), set.end(), value) != set.end();
}

// One multiple-attribute read; a reply of the wrong length is no reply at all.
std::vector<AxValue> readAll(Ax& ax, const AxElement& element, const std::vector<std::string_view>& names) {
    std::vector<AxValue> values = ax.attributes(element, names);
    if (values.size() != names.size()) {
        values.assign(names.size(), AxValue{});
    }
    return values;
}

std::string stringAt(const std::vector<AxValue>& values, std::size_t i) {
    return axAs<std::string>(values[i]).value_or(std::string());
}

std::vector<AxElement> childrenAt(const std::vector<AxValue>& values, std::size_t i) {
    return axAs<std::vector<AxElement>>(values[i]).value_or(std::vector<AxElement>());
}

// Splits on white space, drops the empty pieces, joins with one space.
std::string collapseWhitespace(std::string_view s) {
    std::string out;
    bool pendingSpace = false;
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        const char32_t cp = decodeNext(s, i);
        if (isWhitespace(cp)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) {
            out += ' ';
            pendingSpace = false;
        }
        out.append(s.substr(start, i - start));
    }
    return out;
}

} // namespace

MonotonicClock steadyClock() {
    return [] { return std::chrono::steady_clock::now(); };
}

struct ScreenContext::Walk {
    std::chrono::steady_clock::time_point deadline;
    int chars = 0;
    int nodes = 0;
    std::vector<std::string> pieces; // nearest first
};

ScreenContext::ScreenContext(Ax& ax, MonotonicClock clock)
    : m_ax(ax)
    , m_clock(std::move(clock)) {}

std::string ScreenContext::collect(const AxElement& element, const std::optional<std::string>& title) {
    {
        const std::lock_guard lock(m_lock);
        if (m_elementValid && m_ax.equal(m_element, element) && m_title == title && m_readAt &&
            m_clock() - *m_readAt < cacheLifetime) {
            return m_text;
        }
    }
    std::string text = walk(element);
    const std::lock_guard lock(m_lock);
    m_element = element;
    m_elementValid = true;
    m_title = title;
    m_text = text;
    m_readAt = m_clock();
    return text;
}

void ScreenContext::invalidate() {
    const std::lock_guard lock(m_lock);
    m_elementValid = false;
    m_text.clear();
}

void ScreenContext::release() {
    const std::lock_guard lock(m_lock);
    m_element.reset();
    m_elementValid = false;
}

bool ScreenContext::isEditableText(Ax& ax, std::string_view role, const AxElement& node) {
    if (role != "AXTextField" && role != "AXTextArea") {
        return false;
    }
    return ax.isAttributeSettable(node, "AXValue").value_or(true);
}

double ScreenContext::clampedTimeout(const Walk& walk) const {
    const double left = std::chrono::duration<double>(walk.deadline - m_clock()).count();
    return std::clamp(left, 0.02, 0.1);
}

std::string ScreenContext::walk(const AxElement& element, Duration budget) {
    Walk walk;
    walk.deadline = m_clock() + budget;
    auto pastDeadline = [&] { return m_clock() > walk.deadline; };
    AxElement current = element;
    int levels = 0;
    while (levels < levelBudget && walk.chars < charBudget && walk.nodes < nodeBudget) {
        if (pastDeadline()) {
            break;
        }
        const double timeout = clampedTimeout(walk);
        m_ax.setMessagingTimeout(current, timeout);
        const std::optional<AxElement> parent = axAs<AxElement>(m_ax.attribute(current, "AXParent"));
        if (!parent || !*parent) {
            break;
        }
        m_ax.setMessagingTimeout(*parent, timeout);
        const std::vector<AxValue> values = readAll(m_ax, *parent, {"AXRole", "AXSubrole", "AXChildren"});
        const std::vector<AxElement> children = childrenAt(values, 2);
        const auto here = std::find_if(children.begin(), children.end(),
                                       [&](const AxElement& child) { return m_ax.equal(child, current); });
        // Siblings before the branch holding the field, nearest first.
        for (auto it = here; it != children.end() && it != children.begin();) {
            --it;
            visit(walk, *it);
            if (walk.chars > charBudget - 1 || walk.nodes > nodeBudget - 1 || pastDeadline()) {
                break;
            }
        }
        if (contains(boundaryRoles, stringAt(values, 0)) || contains(boundarySubroles, stringAt(values, 1))) {
            break;
        }
        current = *parent;
        ++levels;
    }

    std::string joined;
    for (auto it = walk.pieces.rbegin(); it != walk.pieces.rend(); ++it) {
        if (!joined.empty()) {
            joined += '\n';
        }
        joined += *it;
    }
    const std::string filtered = filterInjection(joined);
    return std::string(lastGraphemes(filtered, charBudget));
}

void ScreenContext::visit(Walk& walk, const AxElement& node) {
    if (walk.chars > charBudget - 1 || walk.nodes > nodeBudget - 1 || m_clock() > walk.deadline) {
        return;
    }
    ++walk.nodes;
    m_ax.setMessagingTimeout(node, clampedTimeout(walk));
    const std::vector<AxValue> values = readAll(m_ax, node, {"AXRole", "AXSubrole", "AXValue", "AXChildren"});
    const std::string role = stringAt(values, 0);
    if (contains(skipRoles, role) || contains(skipSubroles, stringAt(values, 1))) {
        return;
    }
    const std::optional<std::string> value = axAs<std::string>(values[2]);
    if (contains(textRoles, role) && value && !isEditableText(m_ax, role, node)) {
        const auto room = static_cast<std::size_t>(charBudget - walk.chars);
        // Collapsing a huge value only to keep its end would waste the time budget.
        std::string_view kept = *value;
        if (utf16Length(kept) > 2 * room) {
            kept = lastGraphemes(kept, 2 * room);
        }
        const std::string collapsed = collapseWhitespace(kept);
        const std::string_view piece = lastGraphemes(collapsed, room);
        if (!piece.empty()) {
            walk.pieces.emplace_back(piece);
            walk.chars += static_cast<int>(graphemeCount(piece)) + 1;
        }
        if (role != "AXHeading") {
            return;
        }
    }
    if (role == "AXTextField" || role == "AXTextArea") {
        return;
    }
    const std::vector<AxElement> children = childrenAt(values, 3);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        visit(walk, *it);
        if (walk.chars >= charBudget || walk.nodes >= nodeBudget) {
            break;
        }
        if (m_clock() > walk.deadline) {
            return;
        }
    }
}

} // namespace wisket
