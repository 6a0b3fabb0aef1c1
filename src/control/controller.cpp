#include "control/controller.hpp"

#include "classify/plan.hpp"
#include "completion/clean.hpp"
#include "completion/completion_engine.hpp"
#include "completion/suggestion_gate.hpp"
#include "control/pause_report.hpp"
#include "settings/settings.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace wisket {

namespace {

// An accept key counts only without Shift, Control and Super; Alt is allowed.
constexpr Modifiers acceptBlockers = Modifier::shift | Modifier::control | Modifier::super;
constexpr Modifiers shortcutModifiers = Modifier::control | Modifier::super;

constexpr std::array navigationKeys{Key::left,          Key::rightArrow, Key::up,     Key::down,
                                    Key::home,          Key::end,        Key::pageUp, Key::pageDown,
                                    Key::forwardDelete, Key::escape,     Key::tab};

bool isNavigationKey(Key key) {
    return std::find(navigationKeys.begin(), navigationKeys.end(), key) != navigationKeys.end();
}

bool isAcceptKey(AcceptKey acceptKey, Key key) {
    switch (acceptKey) {
    case AcceptKey::tab:
        return key == Key::tab;
    case AcceptKey::rightArrow:
        return key == Key::rightArrow;
    case AcceptKey::both:
        return key == Key::tab || key == Key::rightArrow;
    }
    return false;
}

// A delay in milliseconds as the timer takes it: NaN counts as the default pause, and the
// rest is clamped to 0…longestDelayMs, then truncated toward zero.
double sanitizedDelayMs(double ms) {
    if (std::isnan(ms)) {
        return Controller::defaultDebounceMs;
    }
    return std::clamp(ms, 0.0, Controller::longestDelayMs);
}

std::chrono::milliseconds wholeMilliseconds(double ms) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(sanitizedDelayMs(ms)));
}

} // namespace

Controller::Controller(Collaborators collaborators)
    : m_settings(collaborators.settings)
    , m_loop(collaborators.loop)
    , m_tap(collaborators.tap)
    , m_reader(collaborators.reader)
    , m_overlay(collaborators.overlay)
    , m_engine(collaborators.engine)
    , m_workspace(collaborators.workspace)
    , m_frontApp(m_workspace.frontmostApplication()) {}

Controller::~Controller() = default;

std::optional<StartError> Controller::start() {
    m_tap.setHandler(m_lifetime.guard([this](const InputEvent& event) { return handle(event); }));
    m_tap.setLostHandler(m_lifetime.guard([this] { tapLost(); }));
    if (auto error = m_tap.start()) {
        return error;
    }
    if (!m_observingApps) {
        m_workspace.observeActivations(m_lifetime.guard(
            [this](std::optional<RunningApplication> app) { appActivated(std::move(app)); }));
        m_observingApps = true;
    }
    m_engine.prewarm();
    primeFrontApp();
    m_primeAtKey = true;
    return std::nullopt;
}

void Controller::tapLost() {
    // Without keys what is shown could be neither accepted nor thrown away.
    dismiss();
    if (!m_reenablingTap) {
        m_reenablingTap = true;
        reenableTapLater();
    }
}

void Controller::reenableTapLater() {
    m_tapRetry.schedule(reenableInterval, [this](Debouncer::Ticket) {
        m_tap.reenable();
        m_reenablingTap = !m_tap.isEnabled();
        if (m_reenablingTap) {
            reenableTapLater();
        }
    });
}

// --- The event decision ------------------------------------------------------------------

bool Controller::handle(const InputEvent& event) {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    const bool consumed = decide(event);
    // A settings change (another accept key) shows here too, not only a new suggestion.
    updateConsumableKeys();
    return consumed;
}

bool Controller::offered() const {
    return m_overlay.isVisible() && !m_suggestion.empty();
}

bool Controller::decide(const InputEvent& event) {
    if (!m_settings.enabled()) {
        if (m_overlay.isVisible()) {
            dismiss();
        }
        m_buffer.clear();
        return false;
    }

    // After a click or a scroll the caret may be anywhere.
    if (event.type != EventType::keyDown) {
        dismiss();
        if (event.type == EventType::scrollWheel) {
            m_buffer.clear();
        } else {
            resetContext();
        }
        return false;
    }

    if (offered()) {
        if (isAcceptKey(m_settings.acceptKey(), event.key) && (event.modifiers & acceptBlockers).none()) {
            if (!event.modifiers.contains(Modifier::alt)) {
                acceptAll();
                return true;
            }
            if (m_settings.optionAcceptsWord()) {
                acceptWord();
                return true;
            }
            // Alt without word accepts: an ordinary navigation key below.
        } else if (event.key == Key::escape) {
            dismiss();
            return true;
        }
    }

    // Excluded applications get nothing, and their keys are not recorded.
    static const std::optional<std::string> noAppID;
    if (m_settings.isExcluded(m_frontApp ? m_frontApp->appID : noAppID)) {
        dismiss();
        return false;
    }
    if (m_primeAtKey) {
        m_primeAtKey = false;
        primeFrontApp();
    }

    // Shortcuts (a paste, an undo) change the text in ways keys cannot follow.
    if (!(event.modifiers & shortcutModifiers).none()) {
        dismiss();
        m_buffer.clear();
        resetContext();
        return false;
    }

    // The caret moved: what the buffer holds no longer ends at it.
    if (isNavigationKey(event.key)) {
        dismiss();
        m_buffer.clear();
        return false;
    }

    // A new line, or a sent message.
    if (event.key == Key::returnKey || event.key == Key::keypadEnter) {
        m_buffer.clear();
        dismiss();
        return false;
    }

    // A deletion asks for nothing new.
    if (event.key == Key::backspace) {
        m_buffer.backspace();
        dismiss();
        return false;
    }

    if (!event.text || event.text->empty() || containsControlCharacter(*event.text)) {
        dismiss();
        return false;
    }
    const std::string& typed = *event.text;
    noteTyped(typed);

    // Typing what is offered shortens it.
    if (m_overlay.isVisible() && startsWithGraphemes(m_suggestion, typed)) {
        m_suggestion.erase(0, typed.size());
        if (trimSpacesAndTabs(m_suggestion).empty()) {
            dismiss();
            return false;
        }
        m_overlay.setText(m_suggestion);
        scheduleReposition(repositionAfterTypingMs);
        return false;
    }

    // Anything else typed: ask again after the pause.
    dismiss();
    schedule(0, UseDebounce::yes);
    return false;
}

void Controller::dismiss() {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    m_pending.cancel();
    m_reposition.cancel();
    ++m_generation;
    m_suggestion.clear();
    m_overlay.hide();
    updateConsumableKeys();
}

void Controller::resetContext() {
    m_buffer.clear();
    m_reader.invalidateScreenContext();
    m_engine.clearCache();
}

void Controller::noteTyped(std::string_view text) {
    if (m_settings.keystrokeFallback()) {
        m_buffer.append(text);
    } else {
        m_buffer.clear();
    }
}

// --- Consumable keys ---------------------------------------------------------------------

namespace {

std::vector<KeyCombination> consumableKeys(AcceptKey acceptKey, bool altAcceptsWord) {
    std::vector<KeyCombination> keys;
    for (const Key key : {Key::tab, Key::rightArrow}) {
        if (!isAcceptKey(acceptKey, key)) {
            continue;
        }
        keys.push_back({.key = key, .modifiers = {}, .anyModifiers = false});
        if (altAcceptsWord) {
            keys.push_back({.key = key, .modifiers = Modifier::alt, .anyModifiers = false});
        }
    }
    keys.push_back({.key = Key::escape, .modifiers = {}, .anyModifiers = true});
    return keys;
}

} // namespace

void Controller::updateConsumableKeys() {
    Consumable now;
    if (offered()) {
        now = {.offered = true,
               .acceptKey = m_settings.acceptKey(),
               .altAcceptsWord = m_settings.optionAcceptsWord()};
    }
    if (now == m_consumable) {
        return;
    }
    m_consumable = now;
    m_tap.setConsumableKeys(now.offered ? consumableKeys(now.acceptKey, now.altAcceptsWord)
                                        : std::vector<KeyCombination>{});
}

// --- Accepting ---------------------------------------------------------------------------

void Controller::acceptAll() {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    // Everything in flight ends before any text is typed.
    const std::string text = std::exchange(m_suggestion, {});
    dismiss();
    if (!text.empty()) {
        m_tap.type(text);
    }
    noteTyped(text);
    // The text now ends with the accepted suggestion: ask for what follows it.
    if (m_settings.continueAfterAccept()) {
        schedule(std::max(debounceMs(), continuationFloorMs), UseDebounce::no);
    }
}

void Controller::acceptWord() {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    // Leading whitespace and the first word, without the whitespace after it.
    std::size_t end = 0;
    const std::vector<std::string_view> characters = graphemes(m_suggestion);
    auto it = characters.begin();
    while (it != characters.end() && isWhitespace(*it)) {
        end += it++->size();
    }
    while (it != characters.end() && !isWhitespace(*it)) {
        end += it++->size();
    }
    const std::string word = m_suggestion.substr(0, end);
    m_suggestion.erase(0, end);
    m_tap.type(word);
    noteTyped(word);
    // More to offer: it stays, and follows the caret.
    if (!trimSpacesAndTabs(m_suggestion).empty()) {
        m_overlay.setText(m_suggestion);
        scheduleReposition(repositionAfterWordMs);
        return;
    }
    // Only blanks left: they go in as a whole accept would.
    acceptAll();
}

// --- Tasks -------------------------------------------------------------------------------

double Controller::debounceMs() const {
    return sanitizedDelayMs(m_settings.debounceMs());
}

void Controller::schedule(double delayMs, UseDebounce useDebounce) {
    WISKET_ASSERT_MAIN_THREAD(m_loop);
    if (!m_frontApp) {
        return;
    }
    SuggestionTask task;
    task.generation = ++m_generation;
    // The application is the one in front now, not when the task wakes.
    task.pid = m_frontApp->pid;
    task.appID = m_frontApp->appID;
    task.appName =
        m_frontApp->displayName.value_or(m_frontApp->appID.value_or(std::string(fallbackApplicationName)));
    // The delay is fixed now too; a replaced or cancelled task never wakes.
    const double delay = useDebounce == UseDebounce::yes ? debounceMs() : delayMs;
    m_pending.schedule(wholeMilliseconds(delay),
                       [this, task = std::move(task)](Debouncer::Ticket ticket) mutable {
                           task.ticket = ticket;
                           suggestionWoke(std::move(task));
                       });
}

bool Controller::isStale(const SuggestionTask& task) const {
    return !m_pending.isCurrent(task.ticket) || m_generation != task.generation;
}

void Controller::suggestionWoke(SuggestionTask task) {
    task.pause.appID = task.appID;
    // A password prompt holds the keyboard: nothing is read while it does.
    const bool stale = isStale(task);
    if (stale || m_workspace.secureInputActive()) {
        logPause(task.pause, stale ? PauseEnd::stale : PauseEnd::secureInput);
        return;
    }
    const std::int32_t pid = task.pid;
    const std::optional<std::string> appID = task.appID;
    m_reader.read(pid, appID, readSize, m_settings.useScreenContext(),
                  m_lifetime.guard([this, task = std::move(task)](FocusRead read) {
                      suggestionRead(task, std::move(read));
                  }));
}

// The last keys typed, short of one to three at the end, close the text read: the field
// has not caught up with the keys yet. At least three keys must match, so that a key or
// two the field never got (a dead key, a click between keys) cost no wait. Text that ends otherwise is no lag
// (the caret moved, the application changed what was typed) and is taken as it is.
bool Controller::readLagsBehindKeys(std::string_view textBeforeCaret) const {
    constexpr std::size_t compared = 16;
    constexpr std::size_t mostMissing = 3;
    constexpr std::size_t leastMatching = 3;
    const std::string_view typed = lastGraphemes(m_buffer.text(), compared);
    if (textBeforeCaret.ends_with(typed)) {
        return false;
    }
    const std::size_t count = graphemeCount(typed);
    for (std::size_t missing = 1; missing <= mostMissing && missing + leastMatching <= count; ++missing) {
        if (textBeforeCaret.ends_with(firstGraphemes(typed, count - missing))) {
            return true;
        }
    }
    return false;
}

void Controller::suggestionRead(SuggestionTask task, FocusRead read) {
    if (read.kind == FocusRead::Kind::text && task.lagRereads < maxLagRereads && !isStale(task) &&
        readLagsBehindKeys(read.context.textBeforeCaret)) {
        ++task.lagRereads;
        m_loop.after(lagRereadInterval,
                     m_lifetime.guard([this, task = std::move(task)] { suggestionWoke(task); }));
        return;
    }
    if (const std::optional<PauseEnd> end = requestSuggestion(task, std::move(read))) {
        logPause(task.pause, *end);
    }
}

std::optional<PauseEnd> Controller::requestSuggestion(SuggestionTask& task, FocusRead read) {
    if (isStale(task)) {
        return PauseEnd::stale;
    }
    FocusContext& context = read.context;
    task.pause.role = context.field.role;
    switch (read.kind) {
    case FocusRead::Kind::skip:
        return PauseEnd::skipRead;
    case FocusRead::Kind::text:
        break;
    case FocusRead::Kind::opaque:
        if (!m_settings.keystrokeFallback()) {
            return PauseEnd::opaqueWithoutFallback;
        }
        context.textBeforeCaret = m_buffer.text();
        break;
    }
    // Nothing to continue at the start of a line, or from a word or two of letters.
    std::string text = std::move(context.textBeforeCaret);
    if (text.ends_with('\n')) {
        return PauseEnd::lineStart;
    }
    if (graphemeCount(trimWhitespace(text)) < minimumText) {
        return PauseEnd::tooLittleText;
    }
    // The suggestion stands at the caret, else below the field.
    Anchor anchor;
    if (context.caretRect) {
        anchor = Anchor::caret(*context.caretRect);
    } else if (context.fieldRect) {
        anchor = Anchor::below(*context.fieldRect);
    } else {
        return PauseEnd::noAnchor;
    }
    std::optional<SuggestionPlan> plan =
        makePlan(context.field, task.appID, context.windowTitle, text, m_settings.maxWords(),
                 m_settings.adaptiveLength(), m_settings.lengthPreference());
    if (!plan) {
        return PauseEnd::noPlan;
    }
    // A search never carries what else is on screen.
    CompletionRequest request;
    request.text = std::string(lastGraphemes(text, readSize));
    request.appName = task.appName;
    request.windowTitle = context.windowTitle;
    request.plan = *plan;
    if (carriesScreenContext(plan->kind)) {
        request.context = std::move(context.surrounding);
        request.after = std::move(context.afterCaret);
    }
    task.pause.plan = plan;
    task.pause.textChars = graphemeCount(request.text);
    task.pause.contextChars = graphemeCount(request.context) + graphemeCount(request.after);
    const MainLoop::TimePoint asked = m_loop.now();
    m_engine.complete(
        request, true,
        m_lifetime.guard([this, task, text = std::move(text), request, anchor,
                          asked](const CompletionResult& result) mutable {
            task.pause.latencyMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(m_loop.now() - asked).count());
            logPause(task.pause, suggestionCompleted(task, text, request, anchor, result));
        }));
    return std::nullopt;
}

PauseEnd Controller::suggestionCompleted(SuggestionTask& task, const std::string& text,
                                         const CompletionRequest& request, const Anchor& anchor,
                                         const CompletionResult& result) {
    // A failure ends the task without a word to the user.
    if (!result.succeeded()) {
        task.pause.failure = result.error();
        return PauseEnd::failed;
    }
    if (isStale(task)) {
        return PauseEnd::stale;
    }
    // Cleaned against the whole text, not the cut the model saw, then gated once, so that
    // the overlay shows exactly the characters the accept key types.
    std::optional<std::string> cleaned =
        clean(result.text(), text, request.plan, request.context + "\n" + request.after);
    if (cleaned) {
        cleaned = gateSuggestion(*cleaned);
    }
    if (!cleaned || cleaned->empty()) {
        return PauseEnd::cleanedAway;
    }
    m_lastLatencyMs = task.pause.latencyMs;
    m_lastPlan = request.plan;
    m_lastContextChars = static_cast<int>(task.pause.contextChars);
    m_suggestion = *cleaned;
    std::optional<std::string> hint;
    if (m_settings.showKeyHint()) {
        hint = std::string(hintLabel(m_settings.acceptKey()));
    }
    m_overlay.style(std::move(hint), m_settings.ghostOpacity());
    m_overlay.show(*cleaned, anchor);
    updateConsumableKeys();
    return PauseEnd::shown;
}

// --- App tracking and repositioning ------------------------------------------------------

void Controller::appActivated(std::optional<RunningApplication> app) {
    dismiss();
    resetContext();
    m_frontApp = std::move(app);
    m_primeRetry.cancel();
    m_primeAttempts = 0;
    if (!m_settings.isExcluded(m_frontApp ? m_frontApp->appID : std::nullopt)) {
        m_engine.prewarm();
        primeFrontApp();
    }
    m_primeAtKey = true;
}

void Controller::primeFrontApp() {
    if (!m_frontApp) {
        return;
    }
    const std::int32_t pid = m_frontApp->pid;
    m_reader.prime(pid, m_frontApp->appID, m_lifetime.guard([this, pid](bool onBus) {
        // A browser just started shows its window before it joins the accessibility bus.
        if (!onBus && m_frontApp && m_frontApp->pid == pid && ++m_primeAttempts < maxPrimeAttempts) {
            m_primeRetry.schedule(primeRetryInterval, [this](Debouncer::Ticket) { primeFrontApp(); });
        }
    }));
}

void Controller::scheduleReposition(int afterMs) {
    if (!m_frontApp) {
        return;
    }
    const std::int32_t pid = m_frontApp->pid;
    std::optional<std::string> appID = m_frontApp->appID;
    // No generation check: dismissing cancels this task, and it never moves a hidden
    // overlay.
    m_reposition.schedule(
        wholeMilliseconds(afterMs), [this, pid, appID = std::move(appID)](Debouncer::Ticket ticket) {
            m_reader.caret(pid, appID, m_lifetime.guard([this, ticket](std::optional<Rect> caret) {
                if (caret && m_reposition.isCurrent(ticket) && m_overlay.isVisible()) {
                    m_overlay.moveToCaret(*caret);
                }
            }));
        });
}

} // namespace wisket
