#pragma once

// The one object that turns keystrokes into suggestions. The key tap hands it every
// key-down, click and scroll of the desktop; it decides at once whether the event is
// consumed (an accept, or Escape over an offered suggestion) and keeps its small state in
// step. A printable key schedules one debounced suggestion task that reads the focused
// field, plans, asks the completion engine, cleans the answer and shows it, unless
// anything newer happened meanwhile: then the result is dropped without trace.
//
// Main thread only. The collaborators are owned by whoever creates the controller and must
// outlive it; callbacks that arrive after the controller is destroyed do nothing.

#include "control/collaborators.hpp"
#include "control/pause_report.hpp"
#include "control/records.hpp"
#include "input/keystroke_buffer.hpp"
#include "settings/preferences.hpp"
#include "threading/debouncer.hpp"
#include "threading/lifetime.hpp"
#include "threading/main_loop.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wisket {

class CompletionEngine;
class Settings;

// Whether a scheduled suggestion waits for the user's debounce pause or the given delay.
enum class UseDebounce : bool { no, yes };

class Controller {
public:
    struct Collaborators {
        Settings& settings;
        MainLoop& loop;
        KeyTap& tap;
        FieldReader& reader;
        Overlay& overlay;
        CompletionEngine& engine;
        Workspace& workspace;
    };

    // Text read before the caret (UTF-16 code units) and the cut of a request's text
    // (characters).
    static constexpr int readSize = 1200;
    // Characters the trimmed text before the caret needs at least.
    static constexpr std::size_t minimumText = 3;
    static constexpr std::string_view fallbackApplicationName = "an app";
    // A whole accept asks for the next suggestion no sooner than this.
    static constexpr double continuationFloorMs = 250;
    // Delay before the overlay follows the caret: after typing into a suggestion, after a
    // one-word accept.
    static constexpr int repositionAfterTypingMs = 25;
    static constexpr int repositionAfterWordMs = 50;
    // A stored debounce outside this range (or not a number at all) would make the
    // conversion to a timer meaningless: it is clamped to it, and a NaN counts as the
    // default pause.
    static constexpr double longestDelayMs = 10'000;
    static constexpr double defaultDebounceMs = 180;
    // How often a lost key tap is tried again until it works.
    static constexpr std::chrono::milliseconds reenableInterval{2000};
    // How often, and for how long, a front application that is not on the accessibility
    // bus yet is asked again to make its fields readable.
    static constexpr std::chrono::milliseconds primeRetryInterval{250};
    static constexpr int maxPrimeAttempts = 40;
    // A browser hands keys to the accessibility bus after a delay of its own, longer on a
    // busy machine: a read that ends a few keys short of what was typed is read again,
    // this often at most, and then taken as it is.
    static constexpr std::chrono::milliseconds lagRereadInterval{100};
    static constexpr int maxLagRereads = 3;

    // Nothing starts here: `frontApp` is the workspace's frontmost application.
    explicit Controller(Collaborators collaborators);
    // Cancels the timers of both tasks; reads and completions still under way find no
    // controller when they return.
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Installs the key and lost-tap handlers and starts the tap (its error, and nothing else done, when
    // the tap cannot be created), registers the front-application observer once and
    // prewarms the engine. Calling it again after a success is harmless.
    std::optional<StartError> start();

    // The event decision; true means the event is consumed (no application receives it).
    // No I/O, no waiting, nothing proportional to the field's text.
    bool handle(const InputEvent& event);

    // Ends everything in flight and hides the suggestion; the keystroke buffer is kept.
    void dismiss();
    // Forgets what was learnt about the field: the keystroke buffer, the screen context,
    // the engine's cached answers.
    void resetContext();
    // Records text that reached the field (into the buffer when the keystroke fallback is
    // on; otherwise the buffer is cleared).
    void noteTyped(std::string_view text);
    // Starts a new suggestion task after `delayMs`, or after the debounce setting.
    void schedule(double delayMs, UseDebounce useDebounce);

    // Types the whole suggestion and ends it (then asks for the next one, if set to).
    void acceptAll();
    // Types the suggestion's next word (with the blanks before it) and keeps offering
    // the rest.
    void acceptWord();
    // Moves the overlay to the caret after `afterMs`, replacing a move already waiting.
    void scheduleReposition(int afterMs);
    // The user switched to `app` (none when the new front window belongs to no known
    // application).
    void appActivated(std::optional<RunningApplication> app);

    // The application believed frontmost.
    const std::optional<RunningApplication>& frontApp() const { return m_frontApp; }
    // The suggestion currently offered; empty when none.
    const std::string& suggestion() const { return m_suggestion; }
    const KeystrokeBuffer& buffer() const { return m_buffer; }

    // Figures of the last suggestion shown, for the menu: milliseconds from asking the
    // engine to having the cleaned text, its plan, and the characters of context and
    // after-caret text its request carried.
    std::optional<int> lastLatencyMs() const { return m_lastLatencyMs; }
    const std::optional<SuggestionPlan>& lastPlan() const { return m_lastPlan; }
    int lastContextChars() const { return m_lastContextChars; }

private:
    // What one suggestion task carries from step to step.
    struct SuggestionTask {
        Debouncer::Ticket ticket = 0;
        std::uint64_t generation = 0;
        std::int32_t pid = 0;
        std::optional<std::string> appID;
        std::string appName;
        PauseReport pause;
        int lagRereads = 0;
    };

    bool decide(const InputEvent& event);
    void tapLost();
    void reenableTapLater();
    // Has the front application make its fields readable before the first pause.
    void primeFrontApp();
    bool offered() const;

    void suggestionWoke(SuggestionTask task);
    bool readLagsBehindKeys(std::string_view textBeforeCaret) const;
    void suggestionRead(SuggestionTask task, FocusRead read);
    // Asks the engine; none once it asked, else why the pause ends here.
    std::optional<PauseEnd> requestSuggestion(SuggestionTask& task, FocusRead read);
    PauseEnd suggestionCompleted(SuggestionTask& task, const std::string& text,
                                 const CompletionRequest& request, const Anchor& anchor,
                                 const CompletionResult& result);
    bool isStale(const SuggestionTask& task) const;

    double debounceMs() const;

    // What decides the keys `handle` would consume: nothing unless a suggestion is offered.
    struct Consumable {
        bool offered = false;
        AcceptKey acceptKey = AcceptKey::tab;
        bool altAcceptsWord = false;
        bool operator==(const Consumable&) const = default;
    };
    // Tells the tap which keys `handle` would consume now, when that set changed.
    void updateConsumableKeys();

    Settings& m_settings;
    MainLoop& m_loop;
    KeyTap& m_tap;
    FieldReader& m_reader;
    Overlay& m_overlay;
    CompletionEngine& m_engine;
    Workspace& m_workspace;

    std::optional<RunningApplication> m_frontApp;
    std::optional<int> m_lastLatencyMs;
    std::optional<SuggestionPlan> m_lastPlan;
    int m_lastContextChars = 0;
    std::string m_suggestion;
    // The debounced suggestion task and the overlay's move to the caret; a newer one of
    // each replaces the one waiting.
    Debouncer m_pending{m_loop};
    Debouncer m_reposition{m_loop};
    // Tries the lost key tap again until it works.
    Debouncer m_tapRetry{m_loop};
    // Asks a front application that has not joined the accessibility bus yet again.
    Debouncer m_primeRetry{m_loop};
    int m_primeAttempts = 0;
    std::uint64_t m_generation = 0;
    KeystrokeBuffer m_buffer;
    bool m_observingApps = false;
    // A browser that comes to the front may join the accessibility bus only a little later.
    bool m_primeAtKey = false;
    bool m_reenablingTap = false;

    // What the tap was last told it may consume.
    Consumable m_consumable;
    // Callbacks of reads and completions still under way do nothing once the controller is
    // gone.
    Lifetime m_lifetime;
};

} // namespace wisket
