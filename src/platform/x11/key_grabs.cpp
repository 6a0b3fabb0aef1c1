#include "platform/x11/key_grabs.hpp"

#include "platform/x11/display.hpp"

#include <X11/Xlib.h>
#include <algorithm>
#include <atomic>

namespace wisket::x11 {
namespace {

// Ids stay unique across sessions, so a verdict for a key of a lost session never
// settles one of the next.
std::atomic<std::uint64_t> nextDecision{1};

} // namespace

std::vector<unsigned> grabMasks(const KeyCombination& combo, const ModifierMasks& masks) {
    std::vector<Modifiers> combinations{combo.modifiers};
    if (combo.anyModifiers) {
        combinations = {Modifiers()};
        for (const Modifier modifier : {Modifier::shift, Modifier::control, Modifier::alt, Modifier::super}) {
            for (std::size_t i = 0, n = combinations.size(); i < n; ++i) {
                combinations.push_back(combinations[i] | modifier);
            }
        }
    }
    std::vector<unsigned> all;
    for (const Modifiers modifiers : combinations) {
        const auto mods = realModifiers(modifiers, masks);
        if (!mods) {
            continue;
        }
        for (const unsigned locks : {0u, lockMask, masks.numLock, lockMask | masks.numLock}) {
            const unsigned mask = *mods | locks;
            if (std::find(all.begin(), all.end(), mask) == all.end()) {
                all.push_back(mask);
            }
        }
    }
    return all;
}

std::set<Grab> grabsFor(const std::vector<KeyCombination>& wanted, const ModifierMasks& masks, int first,
                        int last, const std::function<std::uint32_t(int keycode)>& baseSym) {
    std::set<Grab> grabs;
    for (const KeyCombination& combo : wanted) {
        const auto syms = keysymsOf(combo.key);
        const auto comboMasks = grabMasks(combo, masks);
        for (int kc = first; kc <= last; ++kc) {
            if (std::find(syms.begin(), syms.end(), baseSym(kc)) == syms.end()) {
                continue;
            }
            for (const unsigned mask : comboMasks) {
                grabs.insert({kc, mask});
            }
        }
    }
    return grabs;
}

KeyGrabs::KeyGrabs(Display* display, Window root)
    : m_display(display)
    , m_root(root) {}

std::vector<std::pair<Grab, int>> KeyGrabs::set(const std::set<Grab>& grabs) {
    for (auto it = m_grabbed.begin(); it != m_grabbed.end();) {
        if (grabs.contains(*it)) {
            ++it;
        } else {
            XUngrabKey(m_display, it->first, it->second, m_root);
            it = m_grabbed.erase(it);
        }
    }
    std::vector<std::pair<unsigned long, Grab>> requested;
    ErrorTrap trap(m_display);
    for (const Grab& grab : grabs) {
        if (!m_grabbed.contains(grab)) {
            requested.push_back({NextRequest(m_display), grab});
            // The keyboard freezes on the press until the handler has decided.
            XGrabKey(m_display, grab.first, grab.second, m_root, False, GrabModeAsync, GrabModeSync);
        }
    }
    trap.syncFailed();
    std::vector<std::pair<Grab, int>> refused;
    for (const auto& [serial, grab] : requested) {
        // A combination another client owns (BadAccess) is skipped; the others stand.
        const auto failed = std::find_if(trap.errors().begin(), trap.errors().end(),
                                         [serial](const ErrorTrap::Error& e) { return e.serial == serial; });
        if (failed == trap.errors().end()) {
            m_grabbed.insert(grab);
        } else {
            refused.emplace_back(grab, failed->code);
        }
    }
    return refused;
}

void KeyGrabs::releaseAll() {
    for (const auto& [kc, mask] : m_grabbed) {
        XUngrabKey(m_display, kc, mask, m_root);
    }
    m_grabbed.clear();
}

bool KeyGrabs::isGrabbed(int keycode) const {
    const auto it = m_grabbed.lower_bound({keycode, 0u});
    return it != m_grabbed.end() && it->first == keycode;
}

std::uint64_t KeyGrabs::hold(Time time, std::chrono::milliseconds age) {
    const std::uint64_t id = nextDecision++;
    // The keyboard has been frozen since the press, not since it was read.
    m_pending = Pending{id, time, Clock::now() + decisionTimeout - age};
    return id;
}

std::optional<KeyGrabs::Clock::time_point> KeyGrabs::deadline() const {
    if (!m_pending) {
        return std::nullopt;
    }
    return m_pending->deadline;
}

void KeyGrabs::settle(std::uint64_t id, bool consumed) {
    if (!m_pending || m_pending->id != id) {
        return;
    }
    if (consumed) {
        // Ending the grab drops the frozen key and lets every key queued behind it, and
        // the rest of this press, reach the focused application.
        XUngrabKeyboard(m_display, CurrentTime);
        XFlush(m_display);
    } else {
        replay(m_pending->time);
    }
    m_pending.reset();
}

void KeyGrabs::expire(Clock::time_point now) {
    if (m_pending && now >= m_pending->deadline) {
        passHeld();
    }
}

void KeyGrabs::passHeld() {
    if (m_pending) {
        settle(m_pending->id, false);
    }
}

void KeyGrabs::replay(Time time) {
    XAllowEvents(m_display, ReplayKeyboard, time);
    XFlush(m_display);
}

} // namespace wisket::x11
