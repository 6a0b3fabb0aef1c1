#include "control/controller.hpp"

#include "classify/plan.hpp"
#include "completion/clean.hpp"
#include "completion/completion_engine.hpp"
#include "completion/suggestion_gate.hpp"
#include "settings/settings.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace wisket {

namespace {

// An accept key counts only without Shift, Control and Command; Option is allowed.
constexpr std::uint64_t acceptMask = modifier::shift | modifier::control | modifier::command;
constexpr std::uint64_t shortcutMask = modifier::control | modifier::command;

constexpr std::array navigationKeys{keycode::leftArrow, keycode::rightArrow, keycode::upArrow,
                                    keycode::downArrow, keycode::home,       keycode::end,
                                    keycode::pageUp,    keycode::pageDown,   keycode::forwardDelete,
                                    keycode::escape,    keycode::tab};

bool isNavigationKey(int keyCode) {
    return std::find(navigationKeys.begin(), navigationKeys.end(), keyCode) != navigationKeys.end();
}

bool isAcceptKeyCode(AcceptKey acceptKey, int keyCode) {
    switch (acceptKey) {
    case AcceptKey::tab:
        return keyCode == keycode::tab;
    case AcceptKey::rightArrow:
        return keyCode == keycode::rightArrow;
    case AcceptKey::both:
        return keyCode == keycode::tab || keyCode == keycode::rightArrow;
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

Controller::~Controller() {
    cancel(m_pending);
    cancel(m_reposition);
}

std::optional<StartError> Controller::start() {
    m_tap.setHandler([this, life = std::weak_ptr(m_alive)](const InputEvent& event) {
        return !life.expired() && handle(event);
    });
    if (auto error = m_tap.start()) {
        return error;
    }
    if (!m_observingApps) {
        m_workspace.observeActivations(
            [this, life = std::weak_ptr(m_alive)](std::optional<RunningApplication> app) {
                if (!life.expired()) {
                    appActivated(std::move(app));
                }
            });
        m_observingApps = true;
    }
    m_engine.prewarm();
    return std::nullopt;
}

// --- The event decision ------------------------------------------------------------------

bool Controller::handle(const InputEvent& event) {
    const bool consumed = decide(event);
    // A settings change (another accept key) shows here too, not only a new suggestion.
    updateConsumableKeys();
    return consumed;
}

bool Controller::offered() const {
    return m_overlay.isVisible() && !m_suggestion.empty();
}

bool Controller::decide(const InputEvent& event) {
    // 1. Switched off: everything passes.
    if (!m_settings.enabled()) {
        if (m_overlay.isVisible()) {
            dismiss();
        }
        m_buffer.clear();
        return false;
    }

    // 2. Clicks and scrolls: the caret may be anywhere now.
    if (event.type != EventType::keyDown) {
        dismiss();
        if (event.type == EventType::scrollWheel) {
            m_buffer.clear();
        } else {
            resetContext();
        }
        return false;
    }

    // 3. A key-down.
    const int keyCode = event.keyCode;
    const std::uint64_t flags = event.flags;

    // 4. Accept or throw away what is offered.
    if (offered()) {
        if (isAcceptKeyCode(m_settings.acceptKey(), keyCode) && (flags & acceptMask) == 0) {
            if ((flags & modifier::option) == 0) {
                acceptAll();
                return true;
            }
            if (m_settings.optionAcceptsWord()) {
                acceptWord();
                return true;
            }
            // Option without word accepts: an ordinary navigation key below.
        } else if (keyCode == keycode::escape) {
            dismiss();
            return true;
        }
    }

    // 5. Excluded applications get nothing, and their keys are not recorded.
    static const std::optional<std::string> noAppID;
    if (m_settings.isExcluded(m_frontApp ? m_frontApp->appID : noAppID)) {
        dismiss();
        return false;
    }

    // 6. Shortcuts (a paste, an undo) change the text in ways keys cannot follow.
    if ((flags & shortcutMask) != 0) {
        dismiss();
        m_buffer.clear();
        resetContext();
        return false;
    }

    // 7. The caret moved.
    if (isNavigationKey(keyCode)) {
        dismiss();
        m_buffer.clear();
        return false;
    }

    // 8. A new line, or a sent message.
    if (keyCode == keycode::returnKey || keyCode == keycode::keypadEnter) {
        m_buffer.clear();
        dismiss();
        return false;
    }

    // 9. A deletion asks for nothing new.
    if (keyCode == keycode::deleteKey) {
        m_buffer.backspace();
        dismiss();
        return false;
    }

    // 10. Keys that type nothing printable.
    if (!event.text || event.text->empty() || containsControlCharacter(*event.text)) {
        dismiss();
        return false;
    }
    const std::string& typed = *event.text;

    // 11.
    noteTyped(typed);

    // 12. Typing what is offered shortens it.
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

    // 13. Anything else typed: ask again after the pause.
    dismiss();
    schedule(0, UseDebounce::yes);
    return false;
}

void Controller::dismiss() {
    cancel(m_pending);
    cancel(m_reposition);
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

std::vector<KeyCombination> consumableKeys(AcceptKey acceptKey, bool optionAcceptsWord) {
    std::vector<KeyCombination> keys;
    for (const int keyCode : {keycode::tab, keycode::rightArrow}) {
        if (!isAcceptKeyCode(acceptKey, keyCode)) {
            continue;
        }
        keys.push_back({.keyCode = keyCode, .flags = 0, .anyModifiers = false});
        if (optionAcceptsWord) {
            keys.push_back({.keyCode = keyCode, .flags = modifier::option, .anyModifiers = false});
        }
    }
    keys.push_back({.keyCode = keycode::escape, .flags = 0, .anyModifiers = true});
    return keys;
}

} // namespace

void Controller::updateConsumableKeys() {
    Consumable now;
    if (offered()) {
        now = {.offered = true,
               .acceptKey = m_settings.acceptKey(),
               .optionAcceptsWord = m_settings.optionAcceptsWord()};
    }
    if (now == m_consumable) {
        return;
    }
    m_consumable = now;
    m_tap.setConsumableKeys(now.offered ? consumableKeys(now.acceptKey, now.optionAcceptsWord)
                                        : std::vector<KeyCombination>{});
}

// --- Accepting ---------------------------------------------------------------------------

void Controller::acceptAll() {
    // 1.–2. Everything in flight ends before any text is typed.
    const std::string text = std::exchange(m_suggestion, {});
    dismiss();
    // 3.–4.
    if (!text.empty()) {
        m_tap.type(text);
    }
    noteTyped(text);
    // 5. The text now ends with the accepted suggestion: ask for what follows it.
    if (m_settings.continueAfterAccept()) {
        schedule(std::max(debounceMs(), continuationFloorMs), UseDebounce::no);
    }
}

void Controller::acceptWord() {
    // 1.–3. Leading whitespace and the first word, without the whitespace after it.
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
    // 4.–5.
    m_tap.type(word);
    noteTyped(word);
    // 6. More to offer: it stays, and follows the caret.
    if (!trimSpacesAndTabs(m_suggestion).empty()) {
        m_overlay.setText(m_suggestion);
        scheduleReposition(repositionAfterWordMs);
        return;
    }
    // 7. Only blanks left: they go in as a whole accept would.
    acceptAll();
}

// --- Tasks -------------------------------------------------------------------------------

bool Controller::isLive(const std::optional<TaskHandle>& task, std::uint64_t id) {
    return task && task->id == id && !task->cancelled;
}

void Controller::cancel(std::optional<TaskHandle>& task) {
    if (task && !task->cancelled) {
        m_loop.cancel(task->timer);
        task->cancelled = true;
    }
}

double Controller::debounceMs() const {
    return sanitizedDelayMs(m_settings.debounceMs());
}

void Controller::schedule(double delayMs, UseDebounce useDebounce) {
    // 1.
    if (!m_frontApp) {
        return;
    }
    // 2.–3.
    cancel(m_pending);
    SuggestionTask task;
    task.id = ++m_lastTaskID;
    task.generation = ++m_generation;
    // 4.
    task.pid = m_frontApp->pid;
    task.appID = m_frontApp->appID;
    task.appName =
        m_frontApp->displayName.value_or(m_frontApp->appID.value_or(std::string(fallbackApplicationName)));
    // 5. The delay is fixed now, not when the task runs.
    const double delay = useDebounce == UseDebounce::yes ? debounceMs() : delayMs;
    // 6. A cancelled sleep never fires: the task simply ends.
    const std::uint64_t id = task.id;
    const MainLoop::TimerId timer =
        m_loop.after(wholeMilliseconds(delay), [this, life = std::weak_ptr(m_alive), task = std::move(task)] {
            if (!life.expired()) {
                suggestionWoke(task);
            }
        });
    m_pending = TaskHandle{.id = id, .timer = timer, .cancelled = false};
}

bool Controller::isStale(const SuggestionTask& task) const {
    return !isLive(m_pending, task.id) || m_generation != task.generation;
}

void Controller::suggestionWoke(SuggestionTask task) {
    // 2.
    if (isStale(task) || m_workspace.secureInputActive()) {
        return;
    }
    // 3.
    const std::int32_t pid = task.pid;
    const std::optional<std::string> appID = task.appID;
    m_reader.read(pid, appID, readSize, m_settings.useScreenContext(),
                  [this, life = std::weak_ptr(m_alive), task = std::move(task)](FocusRead read) {
                      if (!life.expired()) {
                          suggestionRead(task, std::move(read));
                      }
                  });
}

void Controller::suggestionRead(SuggestionTask task, FocusRead read) {
    // 4.
    if (isStale(task)) {
        return;
    }
    // 5.
    FocusContext& context = read.context;
    switch (read.kind) {
    case FocusRead::Kind::skip:
        return;
    case FocusRead::Kind::text:
        break;
    case FocusRead::Kind::opaque:
        if (!m_settings.keystrokeFallback()) {
            return;
        }
        context.textBeforeCaret = m_buffer.text();
        break;
    }
    // 6. Nothing to continue at the start of a line, or from a word or two of letters.
    std::string text = std::move(context.textBeforeCaret);
    if (text.ends_with('\n') || graphemeCount(trimWhitespace(text)) < minimumText) {
        return;
    }
    // 7.
    Anchor anchor;
    if (context.caretRect) {
        anchor = Anchor::caret(*context.caretRect);
    } else if (context.fieldRect) {
        anchor = Anchor::below(*context.fieldRect);
    } else {
        return;
    }
    // 8.
    std::optional<SuggestionPlan> plan =
        makePlan(context.field, task.appID, context.windowTitle, text, m_settings.maxWords(),
                 m_settings.adaptiveLength(), m_settings.lengthPreference());
    if (!plan) {
        return;
    }
    // 9. A search never carries what else is on screen.
    CompletionRequest request;
    request.text = std::string(lastGraphemes(text, readSize));
    request.appName = task.appName;
    request.windowTitle = context.windowTitle;
    request.plan = *plan;
    if (carriesScreenContext(plan->kind)) {
        request.context = std::move(context.surrounding);
        request.after = std::move(context.afterCaret);
    }
    // 10.
    const MainLoop::TimePoint asked = m_loop.now();
    m_engine.complete(request, true,
                      [this, life = std::weak_ptr(m_alive), task = std::move(task), text = std::move(text),
                       request, anchor, asked](const CompletionResult& result) {
                          // A failure ends the task silently.
                          if (life.expired() || !result.succeeded()) {
                              return;
                          }
                          suggestionCompleted(task, text, request, anchor, asked, result.text());
                      });
}

void Controller::suggestionCompleted(const SuggestionTask& task, const std::string& text,
                                     const CompletionRequest& request, const Anchor& anchor,
                                     MainLoop::TimePoint asked, const std::string& raw) {
    // 11.
    if (isStale(task)) {
        return;
    }
    // 12. Cleaned against the whole text, not the cut the model saw, then gated once, so
    // that the overlay shows exactly the characters the accept key types.
    std::optional<std::string> cleaned =
        clean(raw, text, request.plan, request.context + "\n" + request.after);
    if (cleaned) {
        cleaned = gateSuggestion(*cleaned);
    }
    if (!cleaned || cleaned->empty()) {
        return;
    }
    // 13.
    m_lastLatencyMs =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(m_loop.now() - asked).count());
    m_lastPlan = request.plan;
    m_lastContextChars = static_cast<int>(graphemeCount(request.context) + graphemeCount(request.after));
    // 14.–15.
    m_suggestion = *cleaned;
    std::optional<std::string> hint;
    if (m_settings.showKeyHint()) {
        hint = std::string(hintLabel(m_settings.acceptKey()));
    }
    m_overlay.style(std::move(hint), m_settings.ghostOpacity());
    m_overlay.show(*cleaned, anchor);
    updateConsumableKeys();
}

// --- App tracking and repositioning ------------------------------------------------------

void Controller::appActivated(std::optional<RunningApplication> app) {
    dismiss();
    resetContext();
    m_frontApp = std::move(app);
    if (!m_settings.isExcluded(m_frontApp ? m_frontApp->appID : std::nullopt)) {
        m_engine.prewarm();
    }
}

void Controller::scheduleReposition(int afterMs) {
    // 1.
    if (!m_frontApp) {
        return;
    }
    // 2.–3.
    cancel(m_reposition);
    const std::uint64_t id = ++m_lastTaskID;
    const std::int32_t pid = m_frontApp->pid;
    std::optional<std::string> appID = m_frontApp->appID;
    // 4. No generation check: dismissing cancels this task, and it never moves a hidden
    // overlay.
    const MainLoop::TimerId timer = m_loop.after(
        wholeMilliseconds(afterMs), [this, life = std::weak_ptr(m_alive), id, pid, appID = std::move(appID)] {
            if (life.expired() || !isLive(m_reposition, id)) {
                return;
            }
            m_reader.caret(pid, appID, [this, life, id](std::optional<Rect> caret) {
                if (!life.expired() && caret && isLive(m_reposition, id) && m_overlay.isVisible()) {
                    m_overlay.moveToCaret(*caret);
                }
            });
        });
    m_reposition = TaskHandle{.id = id, .timer = timer, .cancelled = false};
}

} // namespace wisket
