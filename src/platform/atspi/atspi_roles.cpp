#include "platform/atspi/atspi_internal.hpp"

namespace wisket {

using namespace atspi;

namespace {

// An ARIA landmark (Chromium and Firefox name it in "xml-roles") as a subrole.
std::string landmarkSubrole(const std::map<std::string, std::string>& attributes) {
    static const std::map<std::string, std::string, std::less<>> landmarks = {
        {"banner", "AXLandmarkBanner"},           {"complementary", "AXLandmarkComplementary"},
        {"contentinfo", "AXLandmarkContentInfo"}, {"main", "AXLandmarkMain"},
        {"navigation", "AXLandmarkNavigation"},   {"region", "AXLandmarkRegion"},
        {"search", "AXLandmarkSearch"},
    };
    const auto roles = attributes.find("xml-roles");
    if (roles == attributes.end()) {
        return {};
    }
    const auto found = landmarks.find(roles->second);
    return found == landmarks.end() ? std::string() : found->second;
}

const char* fixedRole(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_APPLICATION:
        return "AXApplication";
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_ALERT:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_COLOR_CHOOSER:
        return "AXWindow";
    case ATSPI_ROLE_DOCUMENT_WEB:
        return "AXWebArea";
    case ATSPI_ROLE_PASSWORD_TEXT:
        return "AXSecureTextField";
    case ATSPI_ROLE_COMBO_BOX:
        return "AXComboBox";
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
        return "AXStaticText";
    case ATSPI_ROLE_HEADING:
        return "AXHeading";
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
        return "AXButton";
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
        return "AXMenuButton";
    case ATSPI_ROLE_MENU_BAR:
        return "AXMenuBar";
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_POPUP_MENU:
        return "AXMenu";
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
        return "AXMenuItem";
    case ATSPI_ROLE_TOOL_BAR:
        return "AXToolbar";
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_IMAGE_MAP:
        return "AXImage";
    case ATSPI_ROLE_CHECK_BOX:
        return "AXCheckBox";
    case ATSPI_ROLE_RADIO_BUTTON:
        return "AXRadioButton";
    case ATSPI_ROLE_SLIDER:
        return "AXSlider";
    case ATSPI_ROLE_SCROLL_BAR:
        return "AXScrollBar";
    case ATSPI_ROLE_LINK:
        return "AXLink";
    case ATSPI_ROLE_PAGE_TAB_LIST:
        return "AXTabGroup";
    case ATSPI_ROLE_SPIN_BUTTON:
        return "AXIncrementor";
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TREE_TABLE:
        return "AXOutline";
    default:
        return nullptr;
    }
}

bool isChildOfApplication(AtspiAccessible* accessible) {
    GRef<AtspiAccessible> parent(atspi_accessible_get_parent(accessible, nullptr));
    return parent && atspi_accessible_get_role(parent.get(), nullptr) == ATSPI_ROLE_APPLICATION;
}

} // namespace

bool atspi::isTextRole(std::string_view role) {
    return role == "AXTextField" || role == "AXTextArea" || role == "AXSearchField" || role == "AXComboBox" ||
           role == "AXStaticText" || role == "AXHeading";
}

bool atspi::isWindowRole(std::string_view role) {
    return role == "AXWindow" || role == "AXApplication";
}

AtspiAx::Impl::Call::~Call() {
    if (m_node && m_impl.appliedTimeoutMs > 0 &&
        Clock::now() - m_start >= std::chrono::milliseconds(m_impl.appliedTimeoutMs)) {
        m_impl.hung.insert(busName(m_node->accessible()));
    }
}

AtspiAx::Impl::Call AtspiAx::Impl::use(const AxElement& element) {
    AtspiNode* node = nodeOf(element);
    if (hungTask != queue.taskNumber()) {
        hungTask = queue.taskNumber();
        hung.clear();
    }
    if (!node || hung.count(busName(node->accessible()))) {
        return Call(*this, nullptr);
    }
    node->beginUse();
    const int ms = node->timeoutMs.value_or(globalTimeoutMs);
    deadline = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 1000);
    if (ms != appliedTimeoutMs && ms > 0) {
        // The second value also bounds applications that have just started, which
        // libatspi would otherwise wait for much longer.
        atspi_set_timeout(ms, ms);
        appliedTimeoutMs = ms;
    }
    return Call(*this, node);
}

const Kind& AtspiAx::Impl::kindOf(AtspiNode& node) {
    if (!node.kind) {
        node.kind = computeKind(node);
    }
    return *node.kind;
}

Kind AtspiAx::Impl::computeKind(AtspiNode& node) {
    if (node.application) {
        return {"AXApplication", ""};
    }
    AtspiAccessible* accessible = node.accessible();
    Error error;
    const AtspiRole role = atspi_accessible_get_role(accessible, &error);
    if (error) {
        return {};
    }
    if (const char* fixed = fixedRole(role)) {
        const bool dialog = role == ATSPI_ROLE_DIALOG || role == ATSPI_ROLE_ALERT ||
                            role == ATSPI_ROLE_FILE_CHOOSER || role == ATSPI_ROLE_COLOR_CHOOSER;
        return {fixed, dialog ? "AXDialog" : ""};
    }
    switch (role) {
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_TEXT: {
        // Text that cannot be edited (a read-only view, a message being read) is a label:
        // typing into it does nothing, and a suggestion there could only swallow the
        // accept key.
        const StateSet states = statesOf(accessible);
        if (!states.editable()) {
            return {"AXStaticText", ""};
        }
        if (isSearchField(node)) {
            return {"AXSearchField", "AXSearchField"};
        }
        return {states.contains(ATSPI_STATE_MULTI_LINE) ? "AXTextArea" : "AXTextField", ""};
    }
    case ATSPI_ROLE_LANDMARK:
    case ATSPI_ROLE_HEADER:
    case ATSPI_ROLE_FOOTER:
    case ATSPI_ROLE_FORM:
    case ATSPI_ROLE_SECTION:
        return {"AXGroup", landmarkSubrole(attributesOf(node))};
    default:
        // An application's children are its top-level windows, whatever role the toolkit
        // gives them (Qt: a filler for a plain top-level widget).
        return {isChildOfApplication(accessible) ? "AXWindow" : "AXGroup", ""};
    }
}

// `<input type=search>` and role=searchbox say so in their attributes; a GTK search
// entry shows the find icon as its first child.
bool AtspiAx::Impl::isSearchField(AtspiNode& node) {
    const auto& attributes = attributesOf(node);
    const auto type = attributes.find("text-input-type");
    const auto roles = attributes.find("xml-roles");
    if ((type != attributes.end() && type->second == "search") ||
        (roles != attributes.end() && roles->second.find("searchbox") != std::string::npos)) {
        return true;
    }
    Error error;
    if (atspi_accessible_get_child_count(node.accessible(), &error) < 1 || error) {
        return false;
    }
    GRef<AtspiAccessible> icon(atspi_accessible_get_child_at_index(node.accessible(), 0, nullptr));
    if (!icon || atspi_accessible_get_role(icon.get(), nullptr) != ATSPI_ROLE_ICON) {
        return false;
    }
    return takeString(atspi_accessible_get_name(icon.get(), nullptr)).rfind("edit-find", 0) == 0;
}

} // namespace wisket
