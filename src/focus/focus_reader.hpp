#pragma once

// Reads the focused text field of the frontmost application through the accessibility
// interface: the text before the caret, the caret and field rectangles, the window title,
// the field's descriptive texts and, when asked, the text after the caret and the text on
// screen around the field. Every accessibility call runs on the reader queue; results are
// delivered on the main thread through the main loop.

#include "control/collaborators.hpp"
#include "focus/ax.hpp"
#include "focus/screen_context.hpp"
#include "threading/main_loop.hpp"
#include "threading/task_queue.hpp"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace wisket {

// `s` without attachments (U+FFFC) and zero-width spaces (U+200B): they stand for nothing
// the user typed, so no reader hands them on.
std::string removeSpecialCharacters(std::string_view s);

class FocusReader final : public FieldReader {
public:
    // `ax`, `queue` and `loop` must outlive the reader. Sets the global 0.25 s messaging
    // timeout (on the queue).
    FocusReader(Ax& ax, TaskQueue& queue, MainLoop& loop, MonotonicClock clock = steadyClock());
    // Waits until the work already posted to the queue has run.
    ~FocusReader() override;
    FocusReader(const FocusReader&) = delete;
    FocusReader& operator=(const FocusReader&) = delete;

    // FieldReader: main thread calls, results posted to the main loop.
    void read(std::int32_t pid, std::optional<std::string> appID, int maxChars, bool withContext,
              std::function<void(FocusRead)> done) override;
    void caret(std::int32_t pid, std::optional<std::string> appID,
               std::function<void(std::optional<Rect>)> done) override;
    void invalidateScreenContext() override;
    void prime(std::int32_t pid, std::optional<std::string> appID,
               std::function<void(bool onBus)> done) override;

    // The read without the field's text and caret, for a back end that has those from the
    // field itself (an input method): an opaque read of the field's role, labels,
    // placeholder, rectangle and window title and, `withContext`, the text on screen around
    // it (read for the kinds of text that use it, which `textBeforeCaret` decides); skip as
    // read gives it. Main thread; the result is posted to the main loop.
    void describe(std::int32_t pid, std::optional<std::string> appID, std::string textBeforeCaret,
                  bool withContext, std::function<void(FocusRead)> done);

private:
    struct Focused {
        AxElement application;
        AxElement focused;
    };
    struct Described {
        Focused focused;
        FocusContext context;
    };

    // Runs `work` on the queue and posts what it read to `done` on the main loop.
    void deliver(std::function<FocusRead()> work, std::function<void(FocusRead)> done);
    // Reader-queue side of read, describe and caret.
    FocusRead readField(std::int32_t pid, const std::optional<std::string>& appID, int maxChars,
                        bool withContext);
    // The focused field's description; none when it takes no typing or hides its text.
    std::optional<Described> describeField(std::int32_t pid, const std::optional<std::string>& appID);
    // Fills afterCaret, quotedBelow and surrounding from the text after the caret.
    void addContext(FocusContext& context, const AxElement& focused, const std::optional<std::string>& appID,
                    std::string_view after);
    std::optional<Rect> caretOnly(std::int32_t pid, const std::optional<std::string>& appID);

    std::optional<Focused> focusedElement(std::int32_t pid, const std::optional<std::string>& appID);
    void primeApplication(const AxElement& application, std::int32_t pid,
                          const std::optional<std::string>& appID);
    std::optional<Rect> boundsForRange(const AxElement& element, std::int64_t location, std::int64_t length);
    std::optional<Rect> caretRect(const AxElement& element, std::int64_t caret,
                                  const std::optional<std::string>& lastCharacter);

    // Posts `work` to the queue and counts it until it has run.
    void submit(std::function<void()> work);

    Ax& m_ax;
    TaskQueue& m_queue;
    MainLoop& m_loop;
    std::set<std::int32_t> m_primed; // reader queue only
    ScreenContext m_screen;

    std::mutex m_pendingMutex;
    std::condition_variable m_pendingDone;
    int m_pending = 0;
};

} // namespace wisket
