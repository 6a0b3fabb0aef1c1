#include "focus/focus_reader.hpp"

#include "classify/plan.hpp"
#include "classify/text_kind.hpp"
#include "focus/context_filter.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <cassert>

namespace wisket {

namespace {

constexpr double globalTimeout = 0.25;
constexpr double elementTimeout = 0.15;
constexpr std::int64_t afterWindow = 600;
constexpr std::size_t fieldTextLimit = 120;
constexpr std::size_t surroundingLimit = 800;

constexpr std::array<std::string_view, 4> editableRoles{"AXTextField", "AXTextArea", "AXComboBox",
                                                        "AXSearchField"};
constexpr std::array<std::string_view, 4> labelAttributes{"AXDescription", "AXTitle", "AXHelp",
                                                          "AXDOMIdentifier"};

// Browsers that build their accessibility tree only when told an assistive technology is
// active: the macOS-style ids and their Linux application ids and WM_CLASS classes.
constexpr std::array<std::string_view, 20> chromiumBrowsers{"com.google.Chrome",
                                                            "com.google.Chrome.canary",
                                                            "com.brave.Browser",
                                                            "com.microsoft.edgemac",
                                                            "company.thebrowser.Browser",
                                                            "com.vivaldi.Vivaldi",
                                                            "com.operasoftware.Opera",
                                                            "google-chrome",
                                                            "Google-chrome",
                                                            "chromium",
                                                            "Chromium",
                                                            "chromium-browser",
                                                            "brave-browser",
                                                            "Brave-browser",
                                                            "microsoft-edge",
                                                            "Microsoft-edge",
                                                            "vivaldi-stable",
                                                            "Vivaldi-stable",
                                                            "opera",
                                                            "org.chromium.Chromium"};

template <std::size_t N> bool contains(const std::array<std::string_view, N>& set, std::string_view value) {
    return std::find(set.begin(), set.end(), value) != set.end();
}

std::string stringAttribute(Ax& ax, const AxElement& element, std::string_view name) {
    return axAs<std::string>(ax.attribute(element, name)).value_or(std::string());
}

bool isSpecialCharacter(char32_t cp) {
    return cp == 0xFFFC || cp == 0x200B;
}

// True when the line holds something the user could be typing in front of.
bool hasVisibleCharacter(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char32_t cp = decodeNext(line, i);
        if (!isWhitespace(cp) && !isSpecialCharacter(cp)) {
            return true;
        }
    }
    return false;
}

FieldInfo readFieldInfo(Ax& ax, const AxElement& element, std::string role, std::string subrole) {
    FieldInfo field;
    field.role = std::move(role);
    field.subrole = std::move(subrole);
    if (auto placeholder = axAs<std::string>(ax.attribute(element, "AXPlaceholderValue"))) {
        field.placeholder = std::string(firstGraphemes(*placeholder, fieldTextLimit));
    }
    bool first = true;
    for (std::string_view name : labelAttributes) {
        if (auto value = axAs<std::string>(ax.attribute(element, name))) {
            if (!first) {
                field.label += ' ';
            }
            field.label += firstGraphemes(*value, fieldTextLimit);
            first = false;
        }
    }
    return field;
}

std::optional<Rect> readFieldRect(Ax& ax, const AxElement& element) {
    const auto position = axAs<AxPoint>(ax.attribute(element, "AXPosition"));
    const auto size = axAs<AxSize>(ax.attribute(element, "AXSize"));
    if (!position || !size) {
        return std::nullopt;
    }
    return Rect{position->x, position->y, size->width, size->height};
}

std::optional<std::string> readWindowTitle(Ax& ax, const AxElement& application) {
    const auto window = axAs<AxElement>(ax.attribute(application, "AXFocusedWindow"));
    if (!window || !*window) {
        return std::nullopt;
    }
    return axAs<std::string>(ax.attribute(*window, "AXTitle"));
}

std::optional<AxRange> readSelection(Ax& ax, const AxElement& element) {
    auto range = axAs<AxRange>(ax.attribute(element, "AXSelectedTextRange"));
    // A caret before the start of the text is no caret at all.
    if (range && range->location < 0) {
        return std::nullopt;
    }
    return range;
}

std::optional<std::string> stringForRange(Ax& ax, const AxElement& element, std::int64_t location,
                                          std::int64_t length) {
    return axAs<std::string>(
        ax.parameterizedAttribute(element, "AXStringForRange", AxRange{location, length}));
}

} // namespace

std::string removeSpecialCharacters(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t start = i;
        if (!isSpecialCharacter(decodeNext(s, i))) {
            out.append(s.substr(start, i - start));
        }
    }
    return out;
}

FocusReader::FocusReader(Ax& ax, TaskQueue& queue, MainLoop& loop, MonotonicClock clock)
    : m_ax(ax)
    , m_queue(queue)
    , m_loop(loop)
    , m_screen(ax, std::move(clock)) {
    submit([this] { m_ax.setMessagingTimeout(m_ax.systemWide(), globalTimeout); });
}

FocusReader::~FocusReader() {
    submit([this] { m_screen.release(); });
    std::unique_lock lock(m_pendingMutex);
    m_pendingDone.wait(lock, [this] { return m_pending == 0; });
}

void FocusReader::submit(std::function<void()> work) {
    {
        const std::lock_guard lock(m_pendingMutex);
        ++m_pending;
    }
    m_queue.post([this, work = std::move(work)] {
        work();
        const std::lock_guard lock(m_pendingMutex);
        --m_pending;
        m_pendingDone.notify_all();
    });
}

void FocusReader::read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
                       std::function<void(FocusRead)> done) {
    deliver([this, pid, appID = std::move(appID), maxChars,
             withContext] { return readField(pid, appID, maxChars, withContext); },
            std::move(done));
}

void FocusReader::describe(std::int32_t pid, std::optional<std::string> appID, std::string textBeforeCaret,
                           bool withContext, std::function<void(FocusRead)> done) {
    deliver(
        [this, pid, appID = std::move(appID), textBeforeCaret = std::move(textBeforeCaret), withContext] {
            auto described = describeField(pid, appID);
            if (!described) {
                return FocusRead::skip();
            }
            described->context.textBeforeCaret = textBeforeCaret;
            if (withContext) {
                addContext(described->context, described->focused.focused, appID, {});
            }
            return FocusRead::opaque(std::move(described->context));
        },
        std::move(done));
}

void FocusReader::deliver(std::function<FocusRead()> work, std::function<void(FocusRead)> done) {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    submit([this, work = std::move(work), done = std::move(done)]() mutable {
        m_loop.post([done = std::move(done), result = work()]() mutable { done(std::move(result)); });
    });
}

void FocusReader::caret(std::int32_t pid, std::optional<std::string> appID,
                        std::function<void(std::optional<Rect>)> done) {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    submit([this, pid, appID = std::move(appID), done = std::move(done)]() mutable {
        std::optional<Rect> result = caretOnly(pid, appID);
        m_loop.post([done = std::move(done), result] { done(result); });
    });
}

void FocusReader::invalidateScreenContext() {
    m_screen.invalidate();
}

void FocusReader::prime(std::int32_t pid, std::optional<std::string> appID,
                        std::function<void(bool onBus)> done) {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    submit([this, pid, appID = std::move(appID), done = std::move(done)]() mutable {
        bool onBus = m_primed.count(pid) > 0;
        if (!onBus) {
            if (AxElement application = m_ax.application(pid)) {
                m_ax.setMessagingTimeout(application, elementTimeout);
                primeApplication(application, pid, appID);
                onBus = true;
            }
        }
        m_loop.post([done = std::move(done), onBus] { done(onBus); });
    });
}

std::optional<FocusReader::Focused> FocusReader::focusedElement(std::int32_t pid,
                                                                const std::optional<std::string>& appID) {
    assert(m_queue.isCurrent());
    AxElement application = m_ax.application(pid);
    if (!application) {
        return std::nullopt;
    }
    m_ax.setMessagingTimeout(application, elementTimeout);
    primeApplication(application, pid, appID);
    const auto focused = axAs<AxElement>(m_ax.attribute(application, "AXFocusedUIElement"));
    if (!focused || !*focused) {
        return std::nullopt;
    }
    m_ax.setMessagingTimeout(*focused, elementTimeout);
    return Focused{std::move(application), *focused};
}

void FocusReader::primeApplication(const AxElement& application, std::int32_t pid,
                                   const std::optional<std::string>& appID) {
    if (!m_primed.insert(pid).second) {
        return;
    }
    m_ax.setAttribute(application, "AXManualAccessibility", true);
    if (appID && contains(chromiumBrowsers, *appID)) {
        m_ax.setAttribute(application, "AXEnhancedUserInterface", true);
    }
}

std::optional<Rect> FocusReader::boundsForRange(const AxElement& element, std::int64_t location,
                                                std::int64_t length) {
    const auto bounds =
        axAs<Rect>(m_ax.parameterizedAttribute(element, "AXBoundsForRange", AxRange{location, length}));
    // Degenerate answers (a zero-height box, a whole-field box, the origin) mean "unknown".
    if (!bounds || bounds->height < 4.0 || bounds->height >= 200.0 || (bounds->x == 0 && bounds->y == 0)) {
        return std::nullopt;
    }
    return bounds;
}

std::optional<Rect> FocusReader::caretRect(const AxElement& element, std::int64_t caret,
                                           const std::optional<std::string>& lastCharacter) {
    // After a line break the character before the caret sits at the end of the previous
    // line, so only the empty range at the caret says where the new line starts.
    if (caret >= 1 && lastCharacter && !isNewline(*lastCharacter)) {
        if (auto bounds = boundsForRange(element, caret - 1, 1)) {
            return Rect{bounds->maxX(), bounds->y, 1.0, bounds->height};
        }
    }
    if (auto bounds = boundsForRange(element, caret, 0)) {
        return Rect{bounds->x, bounds->y, 1.0, bounds->height};
    }
    return std::nullopt;
}

std::optional<Rect> FocusReader::caretOnly(std::int32_t pid, const std::optional<std::string>& appID) {
    const auto focused = focusedElement(pid, appID);
    if (!focused) {
        return std::nullopt;
    }
    const auto selection = readSelection(m_ax, focused->focused);
    if (!selection) {
        return std::nullopt;
    }
    const std::int64_t caret = selection->location;
    std::optional<std::string> lastCharacter;
    if (caret >= 1) {
        if (auto s = stringForRange(m_ax, focused->focused, caret - 1, 1); s && !s->empty()) {
            lastCharacter = std::string(lastGrapheme(*s));
        }
    }
    return caretRect(focused->focused, caret, lastCharacter);
}

std::optional<FocusReader::Described> FocusReader::describeField(std::int32_t pid,
                                                                 const std::optional<std::string>& appID) {
    auto focusedPair = focusedElement(pid, appID);
    if (!focusedPair) {
        return std::nullopt;
    }
    const AxElement& focused = focusedPair->focused;

    // Password fields are never read; elements that take no typing get nothing.
    std::string role = stringAttribute(m_ax, focused, "AXRole");
    std::string subrole = stringAttribute(m_ax, focused, "AXSubrole");
    if (role == "AXSecureTextField" || subrole == "AXSecureTextField") {
        return std::nullopt;
    }
    const bool settable = m_ax.isAttributeSettable(focused, "AXValue").value_or(false);
    if (!contains(editableRoles, role) && !settable) {
        return std::nullopt;
    }

    FocusContext context;
    context.field = readFieldInfo(m_ax, focused, std::move(role), std::move(subrole));
    context.fieldRect = readFieldRect(m_ax, focused);
    context.windowTitle = readWindowTitle(m_ax, focusedPair->application);
    return Described{std::move(*focusedPair), std::move(context)};
}

FocusRead FocusReader::readField(std::int32_t pid, const std::optional<std::string>& appID, int maxChars,
                                 bool withContext) {
    auto described = describeField(pid, appID);
    if (!described) {
        return FocusRead::skip();
    }
    const AxElement& focused = described->focused.focused;
    FocusContext& context = described->context;

    auto finish = [&](FocusRead::Kind kind, const std::string& after) {
        if (withContext) {
            addContext(context, focused, appID, after);
        }
        return FocusRead{kind, std::move(context)};
    };
    auto opaque = [&] { return finish(FocusRead::Kind::opaque, std::string()); };

    // Typing would replace a selection, so a suggestion there makes no sense.
    const auto selection = readSelection(m_ax, focused);
    if (!selection) {
        return opaque();
    }
    if (selection->length != 0) {
        return FocusRead::skip();
    }
    const std::int64_t caret = selection->location;

    const std::int64_t start = std::max<std::int64_t>(caret - maxChars, 0);
    std::optional<std::string> before = stringForRange(m_ax, focused, start, caret - start);
    std::optional<std::string> after;
    if (const auto count = axAs<std::int64_t>(m_ax.attribute(focused, "AXNumberOfCharacters"));
        count && *count > caret) {
        after = stringForRange(m_ax, focused, caret, std::min(*count - caret, afterWindow));
    }

    // Some toolkits offer no ranges of their text, only the whole value.
    if (!before) {
        const auto value = axAs<std::string>(m_ax.attribute(focused, "AXValue"));
        if (!value) {
            return opaque();
        }
        const std::u16string units = toUtf16(*value);
        const auto size = static_cast<std::int64_t>(units.size());
        if (size < caret) {
            return opaque();
        }
        const std::u16string_view view(units);
        const auto offset = [](std::int64_t n) { return static_cast<std::size_t>(n); };
        before = fromUtf16(view.substr(offset(start), offset(caret - start)));
        after = fromUtf16(view.substr(offset(caret), offset(std::min(caret + afterWindow, size) - caret)));
    }

    // Ghost text would cover what follows the caret on its line.
    if (after && hasVisibleCharacter(std::string_view(*after).substr(0, after->find('\n')))) {
        return FocusRead::skip();
    }

    context.textBeforeCaret = removeSpecialCharacters(*before);
    std::optional<std::string> lastCharacter;
    if (!context.textBeforeCaret.empty()) {
        lastCharacter = std::string(lastGrapheme(context.textBeforeCaret));
    }
    context.caretRect = caretRect(focused, caret, lastCharacter);

    return finish(FocusRead::Kind::text, after.value_or(std::string()));
}

void FocusReader::addContext(FocusContext& context, const AxElement& focused,
                             const std::optional<std::string>& appID, std::string_view after) {
    // What the user writes after the caret, and the quoted message below it
    const auto [reply, quoted] = splitReply(removeSpecialCharacters(after));
    context.afterCaret = std::string(trimWhitespace(filterInjection(reply)));
    context.quotedBelow = std::string(trimWhitespace(filterInjection(quoted)));

    const TextKind kind =
        classify(context.field, fieldHint(context.field), appID,
                 toLower(context.windowTitle.value_or(std::string())), context.textBeforeCaret);
    if (!carriesScreenContext(kind)) {
        return; // unused for such a kind, and the walk is the costly part of a read
    }
    std::string screen = m_screen.collect(focused, context.windowTitle);
    if (context.quotedBelow.empty()) {
        context.surrounding = std::move(screen);
    } else {
        const std::string joined = screen + "\n" + context.quotedBelow;
        context.surrounding = std::string(lastGraphemes(joined, surroundingLimit));
    }
}

} // namespace wisket
