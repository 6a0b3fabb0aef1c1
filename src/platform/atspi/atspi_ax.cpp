#include "platform/atspi/atspi_ax.hpp"

#include "platform/atspi/accessibility_bus.hpp"
#include "platform/atspi/atspi_internal.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <cmath>
#include <future>

namespace wisket {

using namespace atspi;

std::map<std::string, std::string> atspi::attributesOf(AtspiAccessible* accessible) {
    std::map<std::string, std::string> out;
    Error error;
    GHashTable* table = atspi_accessible_get_attributes(accessible, &error);
    if (!table) {
        return out;
    }
    GHashTableIter it;
    gpointer key = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&it, table);
    while (g_hash_table_iter_next(&it, &key, &value)) {
        out.emplace(static_cast<const char*>(key), value ? static_cast<const char*>(value) : "");
    }
    g_hash_table_unref(table);
    return out;
}

atspi::AtspiNode::~AtspiNode() {
    // libatspi objects belong to the queue's thread, also when they are released.
    if (m_queue.isCurrent()) {
        g_object_unref(m_accessible);
    } else {
        m_queue.post([accessible = m_accessible] { g_object_unref(accessible); });
    }
}

void atspi::AtspiNode::beginUse() {
    if (m_task != m_queue.taskNumber()) {
        m_task = m_queue.taskNumber();
        kind.reset();
        attributes.reset();
        text.reset();
        placement.reset();
    }
}

namespace {

// The accessible name, else the names of the labels that label the element.
std::string label(AtspiAccessible* accessible) {
    std::string name = takeString(atspi_accessible_get_name(accessible, nullptr));
    if (!name.empty()) {
        return name;
    }
    GArray* relations = atspi_accessible_get_relation_set(accessible, nullptr);
    if (!relations) {
        return {};
    }
    for (guint i = 0; i < relations->len; ++i) {
        AtspiRelation* relation = g_array_index(relations, AtspiRelation*, i);
        if (atspi_relation_get_relation_type(relation) == ATSPI_RELATION_LABELLED_BY) {
            for (gint t = 0; t < atspi_relation_get_n_targets(relation); ++t) {
                GRef<AtspiAccessible> target(atspi_relation_get_target(relation, t));
                const std::string part = takeString(atspi_accessible_get_name(target.get(), nullptr));
                if (!part.empty()) {
                    name += (name.empty() ? "" : " ") + part;
                }
            }
        }
        g_object_unref(relation);
    }
    g_array_free(relations, TRUE);
    return name;
}

} // namespace

AxElement AtspiAx::Impl::wrap(AtspiAccessible* owned) {
    return owned ? std::make_shared<AtspiNode>(owned, queue) : nullptr;
}

std::int32_t AtspiAx::Impl::pidOf(AtspiAccessible* app) {
    const std::string bus = busName(app);
    const auto found = pids.find(bus);
    if (found != pids.end()) {
        return found->second;
    }
    Error error;
    const guint pid = atspi_accessible_get_process_id(app, &error);
    if (error) {
        return 0;
    }
    pids.emplace(bus, static_cast<std::int32_t>(pid));
    return static_cast<std::int32_t>(pid);
}

const std::map<std::string, std::string>& AtspiAx::Impl::attributesOf(AtspiNode& node) {
    if (!node.attributes) {
        node.attributes = atspi::attributesOf(node.accessible());
    }
    return *node.attributes;
}

AxValue AtspiAx::Impl::read(AtspiNode& node, std::string_view name) {
    AtspiAccessible* accessible = node.accessible();
    if (name == "AXRole" || name == "AXSubrole") {
        const Kind& kind = kindOf(node);
        const std::string& value = name == "AXRole" ? kind.role : kind.subrole;
        return value.empty() ? AxValue{} : AxValue{value};
    }
    if (name == "AXValue") {
        return value(node);
    }
    if (name == "AXSelectedTextRange") {
        return selectedRange(node);
    }
    if (name == "AXNumberOfCharacters") {
        const auto& text = textOf(node);
        return text ? AxValue{static_cast<std::int64_t>(utf16Length(text->text))} : AxValue{};
    }
    if (name == "AXPosition" || name == "AXSize") {
        GRef<AtspiComponent> component(atspi_accessible_get_component_iface(accessible));
        const auto& placement = placementOf(node);
        if (!component || !placement) {
            return {};
        }
        Error error;
        AtspiRect* r = atspi_component_get_extents(component.get(), placement->type, &error);
        if (error || !r) {
            g_free(r);
            return {};
        }
        const Rect rect = placement->place({double(r->x), double(r->y), double(r->width), double(r->height)});
        g_free(r);
        return name == "AXPosition" ? AxValue{AxPoint{rect.x, rect.y}}
                                    : AxValue{AxSize{rect.width, rect.height}};
    }
    if (name == "AXParent") {
        AtspiAccessible* parent = atspi_accessible_get_parent(accessible, nullptr);
        if (parent && atspi_accessible_get_role(parent, nullptr) == ATSPI_ROLE_DESKTOP_FRAME) {
            g_object_unref(parent);
            return {};
        }
        return parent ? AxValue{wrap(parent)} : AxValue{};
    }
    if (name == "AXChildren") {
        return children(accessible);
    }
    if (name == "AXFocusedUIElement") {
        if (kindOf(node).role != "AXApplication") {
            return {};
        }
        AtspiAccessible* focused = focusedIn(accessible);
        return focused ? AxValue{wrap(focused)} : AxValue{};
    }
    if (name == "AXFocusedWindow") {
        if (kindOf(node).role != "AXApplication") {
            return {};
        }
        AtspiAccessible* window = activeWindow(accessible);
        return window ? AxValue{wrap(window)} : AxValue{};
    }
    if (name == "AXTitle") {
        return isWindowRole(kindOf(node).role)
                   ? nonEmpty(takeString(atspi_accessible_get_name(accessible, nullptr)))
                   : AxValue{};
    }
    if (name == "AXDescription") {
        return isWindowRole(kindOf(node).role) ? AxValue{} : nonEmpty(label(accessible));
    }
    if (name == "AXHelp") {
        return nonEmpty(takeString(atspi_accessible_get_description(accessible, nullptr)));
    }
    if (name == "AXPlaceholderValue") {
        const auto& attributes = attributesOf(node);
        for (const char* key : {"placeholder-text", "placeholder"}) {
            if (const auto found = attributes.find(key); found != attributes.end()) {
                return found->second;
            }
        }
        return {};
    }
    if (name == "AXDOMIdentifier") {
        // Chromium gives its own views ids too; only web content has a tag name.
        const auto& attributes = attributesOf(node);
        const auto id = attributes.find("id");
        return id != attributes.end() && attributes.count("tag") ? AxValue{id->second} : AxValue{};
    }
    return {};
}

AxValue AtspiAx::Impl::children(AtspiAccessible* accessible) {
    Error error;
    const gint count = atspi_accessible_get_child_count(accessible, &error);
    if (error || count < 0) {
        return {};
    }
    std::vector<AxElement> out;
    out.reserve(static_cast<std::size_t>(count));
    for (gint i = 0; i < count && !overdue(); ++i) {
        if (AtspiAccessible* child = atspi_accessible_get_child_at_index(accessible, i, nullptr)) {
            out.push_back(wrap(child));
        }
    }
    return out;
}

AtspiAx::AtspiAx(AtspiReaderQueue& queue, WindowLocator* windows)
    : m_impl(std::make_unique<Impl>(queue, windows)) {
    queue.post([impl = m_impl.get()] { impl->subscribe(); });
}

AtspiAx::~AtspiAx() {
    if (m_impl->queue.isCurrent()) {
        m_impl->unsubscribe();
        return;
    }
    std::promise<void> done;
    m_impl->queue.post([&] {
        m_impl->unsubscribe();
        done.set_value();
    });
    done.get_future().wait();
}

void AtspiAx::observeFocusedApplication(std::function<void(std::optional<RunningApplication>)> focused) {
    m_impl->queue.post([impl = m_impl.get(), focused = std::move(focused)]() mutable {
        impl->observeApplications(std::move(focused));
    });
}

AxElement AtspiAx::systemWide() {
    return m_impl->wrap(atspi_get_desktop(0));
}

AxElement AtspiAx::application(std::int32_t pid) {
    GRef<AtspiAccessible> desktop(atspi_get_desktop(0));
    Error error;
    const gint count = atspi_accessible_get_child_count(desktop.get(), &error);
    for (gint i = 0; i < count && !error; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop.get(), i, nullptr);
        if (app && m_impl->pidOf(app) == pid) {
            AxElement element = m_impl->wrap(app);
            static_cast<AtspiNode&>(*element).application = true;
            return element;
        }
        if (app) {
            g_object_unref(app);
        }
    }
    return nullptr;
}

void AtspiAx::setMessagingTimeout(const AxElement& element, double seconds) {
    AtspiNode* node = Impl::nodeOf(element);
    if (!node) {
        return;
    }
    const int ms = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
    if (node->systemWide) {
        m_impl->globalTimeoutMs = ms;
    } else {
        node->timeoutMs = ms;
    }
}

AxValue AtspiAx::attribute(const AxElement& element, std::string_view name) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    return node ? m_impl->read(*node, name) : AxValue{};
}

std::vector<AxValue> AtspiAx::attributes(const AxElement& element,
                                         const std::vector<std::string_view>& names) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    std::vector<AxValue> out(names.size());
    if (node) {
        std::transform(names.begin(), names.end(), out.begin(),
                       [&](std::string_view name) { return m_impl->read(*node, name); });
    }
    return out;
}

AxValue AtspiAx::parameterizedAttribute(const AxElement& element, std::string_view name, AxRange range) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    if (!node) {
        return {};
    }
    if (name == "AXStringForRange") {
        return m_impl->stringForRange(*node, range);
    }
    if (name == "AXBoundsForRange") {
        return m_impl->boundsForRange(*node, range);
    }
    return {};
}

std::optional<bool> AtspiAx::isAttributeSettable(const AxElement& element, std::string_view name) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    if (!node || name != "AXValue") {
        return std::nullopt;
    }
    const StateSet states = statesOf(node->accessible());
    if (states.defunct()) {
        return std::nullopt;
    }
    return states.editable();
}

void AtspiAx::setAttribute(const AxElement& element, std::string_view name, bool value) {
    const auto call = m_impl->use(element);
    AtspiNode* node = call.node();
    if (!node || !value || (name != "AXManualAccessibility" && name != "AXEnhancedUserInterface") ||
        m_impl->kindOf(*node).role != "AXApplication") {
        return;
    }
    // Chromium (and Electron) register with the accessibility bus when it is enabled at
    // their start, but build the tree of their web content only once an assistive
    // technology asks for an object's attributes. Asking is harmless for every other
    // toolkit, changes no setting and starts no screen reader.
    atspi::attributesOf(node->accessible());
}

bool AtspiAx::equal(const AxElement& a, const AxElement& b) {
    const AtspiNode* x = Impl::nodeOf(a);
    const AtspiNode* y = Impl::nodeOf(b);
    return x && y && sameObject(x->accessible(), y->accessible());
}

bool AtspiAx::isProcessTrusted() {
    return accessibilityBusEnabled();
}

} // namespace wisket
