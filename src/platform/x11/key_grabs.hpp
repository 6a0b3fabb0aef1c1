#pragma once

// The passive key grabs that let the tap consume a key, and the decision a grabbed key
// waits for. While a grabbed key is pressed the keyboard is frozen: the handler's verdict
// either drops the key or replays it to the focused application, and a handler that does
// not answer in time is taken to pass it.

#include "control/collaborators.hpp"
#include "platform/x11/keymap.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <utility>
#include <vector>

// Xlib's display, without its macros (they clash with names elsewhere, GoogleTest's among
// them); windows and times are plain unsigned longs.
struct _XDisplay;

namespace wisket::x11 {

// A key grab: the keycode and the exact real modifier mask.
using Grab = std::pair<int, unsigned>;

// Every modifier mask to grab so that `combo` is caught whatever the state of Caps Lock
// and Num Lock: each wanted combination with and without Lock and NumLock. With
// `anyModifiers`, every combination of Shift, Control, Alt and Super.
std::vector<unsigned> grabMasks(const KeyCombination& combo, const ModifierMasks& masks);
// The grabs for `wanted` on a keyboard whose keycodes first..last carry the base keysyms
// `baseSym` gives.
std::set<Grab> grabsFor(const std::vector<KeyCombination>& wanted, const ModifierMasks& masks, int first,
                        int last, const std::function<std::uint32_t(int keycode)>& baseSym);

// The grabs held on the root window and the one grabbed key waiting for its decision.
// The thread that owns the display only.
class KeyGrabs {
public:
    using Clock = std::chrono::steady_clock;
    // A handler that has not decided about a grabbed key by then is taken to pass it: the
    // keyboard must not stay frozen behind a busy main thread.
    static constexpr std::chrono::milliseconds decisionTimeout{500};

    KeyGrabs(_XDisplay* display, unsigned long root);

    // Grabs exactly `grabs`. A combination the server refuses (another client owns it) is
    // skipped and returned with its X error code, so the caller can say which key it lost.
    std::vector<std::pair<Grab, int>> set(const std::set<Grab>& grabs);
    void releaseAll();
    bool isGrabbed(int keycode) const;

    // A grabbed press from `time`, pressed `age` ago, now waits; its decision id (never 0).
    std::uint64_t hold(unsigned long time, std::chrono::milliseconds age);
    bool holding() const { return m_pending.has_value(); }
    // True while decision `id` is still awaited: its time is not up, nor was it settled.
    bool awaits(std::uint64_t id) const { return m_pending && m_pending->id == id; }
    std::optional<Clock::time_point> deadline() const;
    // Ends the wait for decision `id`: a consumed key is dropped, any other replayed. Late
    // or repeated verdicts are ignored.
    void settle(std::uint64_t id, bool consumed);
    // Passes the held key on once its time is up …
    void expire(Clock::time_point now);
    // … or now.
    void passHeld();
    // Sends a grabbed press from `time` on to the focused application.
    void replay(unsigned long time);

private:
    struct Pending {
        std::uint64_t id;
        unsigned long time;
        Clock::time_point deadline;
    };

    _XDisplay* m_display;
    unsigned long m_root;
    std::set<Grab> m_grabbed;
    std::optional<Pending> m_pending;
};

} // namespace wisket::x11
