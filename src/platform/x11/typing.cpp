#include "platform/x11/typing.hpp"

#include "text/unicode.hpp"

#include <X11/Xlib.h>
#include <algorithm>
#include <thread>

namespace wisket::x11 {
namespace {

using namespace std::chrono_literals;

// Applications read a changed keymap when they are told of it: give them a moment before
// the first key that needs the new binding …
constexpr auto bindSettle = 10ms;
// … and keep the binding until they have read the keys typed with it. An application may
// read a changed keymap only when it handles the key, and a busy one (GTK redrawing its
// mnemonics after Alt, any application on a loaded machine) lags well behind: with one
// second, GTK or Qt on a 2-core machine running three busy loops lost every character
// typed through the binding in 4 of 5 runs; with three, none in 5.
constexpr auto restoreDelay = 3s;

void appendOnce(std::vector<std::uint32_t>& syms, std::uint32_t sym) {
    if (std::find(syms.begin(), syms.end(), sym) == syms.end()) {
        syms.push_back(sym);
    }
}

} // namespace

BindingPlan planBindings(const std::vector<std::uint32_t>& needed, const std::map<std::uint32_t, int>& bound,
                         const std::vector<int>& spare) {
    BindingPlan plan;
    std::vector<std::uint32_t> missing;
    for (const std::uint32_t sym : needed) {
        if (!bound.contains(sym)) {
            appendOnce(missing, sym);
        }
    }
    std::vector<int> free;
    for (const int kc : spare) {
        if (std::none_of(bound.begin(), bound.end(), [kc](const auto& b) { return b.second == kc; })) {
            free.push_back(kc);
        }
    }
    if (missing.size() > free.size() && !bound.empty()) {
        // Every binding goes, the chunk's own among them: all it needs is bound anew.
        plan.restoreFirst = true;
        missing.clear();
        for (const std::uint32_t sym : needed) {
            appendOnce(missing, sym);
        }
        free = spare;
    }
    for (std::size_t i = 0; i < std::min(free.size(), missing.size()); ++i) {
        plan.bindings.emplace_back(missing[i], free[i]);
    }
    return plan;
}

Typist::Typist(Display* display, PressKey pressKey)
    : m_display(display)
    , m_pressKey(std::move(pressKey)) {}

void Typist::keymapChanged(const KeyTranslator& keys) {
    m_direct.clear();
    m_directFor.reset();
    // A new keymap (another layout loaded) may have replaced the bindings.
    std::erase_if(m_bound, [&](const auto& b) { return keys.baseSym(b.second) != b.first; });
    m_spareKeys.clear();
    m_shiftKeycode = 0;
    for (int kc = keys.minKeycode(); kc <= keys.maxKeycode(); ++kc) {
        if (xkb_keymap_num_layouts_for_key(keys.keymap(), kc) == 0 || isBound(kc)) {
            m_spareKeys.push_back(kc);
        }
        const xkb_keysym_t sym = keys.baseSym(kc);
        if (m_shiftKeycode == 0 && (sym == XKB_KEY_Shift_L || sym == XKB_KEY_Shift_R)) {
            m_shiftKeycode = kc;
        }
    }
}

std::optional<Typist::Clock::time_point> Typist::typeChunk(std::string_view chunk,
                                                           const KeyTranslator& keys) {
    std::vector<xkb_keysym_t> syms;
    std::vector<std::uint32_t> needed;
    for (std::size_t i = 0; i < chunk.size();) {
        const xkb_keysym_t sym = keysymForCodePoint(decodeNext(chunk, i));
        if (sym != XKB_KEY_NoSymbol) {
            syms.push_back(sym);
            if (!directKey(sym, keys)) {
                needed.push_back(sym);
            }
        }
    }
    const BindingPlan plan = planBindings(needed, m_bound, m_spareKeys);
    if (plan.restoreFirst) {
        // Rebinding a key before the applications have read what was typed with it would
        // change those characters after the fact.
        if (const auto readyAt = m_lastBoundTyped + restoreDelay; Clock::now() < readyAt) {
            return readyAt;
        }
        restore();
    }
    bind(plan.bindings);
    bool typedBound = false;
    for (const xkb_keysym_t sym : syms) {
        if (const auto direct = directKey(sym, keys)) {
            const bool shift = direct->shift && m_shiftKeycode != 0;
            if (shift) {
                m_pressKey(m_shiftKeycode, true);
            }
            m_pressKey(direct->keycode, true);
            m_pressKey(direct->keycode, false);
            if (shift) {
                m_pressKey(m_shiftKeycode, false);
            }
        } else if (const auto bound = m_bound.find(sym); bound != m_bound.end()) {
            m_pressKey(bound->second, true);
            m_pressKey(bound->second, false);
            typedBound = true;
        }
    }
    XFlush(m_display);
    if (typedBound) {
        m_lastBoundTyped = Clock::now();
        m_restoreAt = m_lastBoundTyped + restoreDelay;
    }
    return std::nullopt;
}

std::optional<Typist::DirectKey> Typist::directKey(xkb_keysym_t sym, const KeyTranslator& keys) {
    // What a key gives depends on the locks (Caps Lock) and the layout in force: try each
    // key without and with Shift under exactly those.
    const xkb_mod_mask_t locked = xkb_state_serialize_mods(keys.state(), XKB_STATE_MODS_LOCKED);
    const xkb_layout_index_t layout = xkb_state_serialize_layout(keys.state(), XKB_STATE_LAYOUT_EFFECTIVE);
    if (!m_directFor || *m_directFor != std::pair{locked, layout}) {
        m_direct.clear();
        m_directFor = {locked, layout};
        StatePtr probe(xkb_state_new(keys.keymap()));
        const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(keys.keymap(), XKB_MOD_NAME_SHIFT);
        for (const xkb_mod_mask_t held : {0u, shift}) {
            xkb_state_update_mask(probe.get(), held, 0, locked, 0, 0, layout);
            for (int kc = keys.minKeycode(); kc <= keys.maxKeycode(); ++kc) {
                const xkb_keysym_t produced = xkb_state_key_get_one_sym(probe.get(), kc);
                if (!isBound(kc) && produced != XKB_KEY_NoSymbol && !isModifierKeysym(keys.baseSym(kc))) {
                    m_direct.try_emplace(produced, DirectKey{kc, held != 0});
                }
            }
        }
    }
    const auto it = m_direct.find(sym);
    if (it == m_direct.end() || (it->second.shift && m_shiftKeycode == 0)) {
        return std::nullopt;
    }
    return it->second;
}

void Typist::bind(const std::vector<std::pair<std::uint32_t, int>>& bindings) {
    if (bindings.empty()) {
        return;
    }
    for (const auto& [sym, kc] : bindings) {
        // The same symbol on both levels: neither Shift nor Caps Lock changes it (a single
        // symbol would be taken as a lower/upper case pair).
        KeySym pair[2] = {sym, sym};
        changeMapping(kc, pair, 2);
        m_bound[sym] = kc;
    }
    m_directFor.reset();
    XSync(m_display, False);
    std::this_thread::sleep_for(bindSettle);
}

void Typist::restore() {
    m_restoreAt.reset();
    if (m_bound.empty()) {
        return;
    }
    for (const auto& [sym, kc] : m_bound) {
        // Only a key that still carries the binding is cleared: a keymap loaded in the
        // meantime stays as it is.
        int perKey = 0;
        KeySym* current = XGetKeyboardMapping(m_display, static_cast<KeyCode>(kc), 1, &perKey);
        bool ours = current != nullptr && perKey > 0;
        for (int i = 0; ours && i < perKey; ++i) {
            ours = current[i] == sym || current[i] == NoSymbol;
        }
        if (current != nullptr) {
            XFree(current);
        }
        if (ours) {
            KeySym none = NoSymbol;
            changeMapping(kc, &none, 1);
        }
    }
    m_bound.clear();
    m_directFor.reset();
    XSync(m_display, False);
}

bool Typist::isOwnMapChange(unsigned long serial) const {
    return std::find(m_ownMapRequests.begin(), m_ownMapRequests.end(), serial) != m_ownMapRequests.end();
}

bool Typist::isBound(int keycode) const {
    return std::any_of(m_bound.begin(), m_bound.end(),
                       [keycode](const auto& b) { return b.second == keycode; });
}

void Typist::changeMapping(int keycode, KeySym* syms, int perKey) {
    m_ownMapRequests.push_back(NextRequest(m_display));
    if (m_ownMapRequests.size() > 64) {
        m_ownMapRequests.pop_front();
    }
    XChangeKeyboardMapping(m_display, keycode, perKey, syms, 1);
}

} // namespace wisket::x11
