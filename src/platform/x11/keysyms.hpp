#pragma once

// The controller's vocabulary for X keysyms and modifier masks. Pure: IBus hands its
// engines the same keysyms and modifier bits, so both back ends share these.

#include "control/collaborators.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace wisket::x11 {

// Core protocol modifier bits (fixed by the protocol).
inline constexpr unsigned shiftMask = 1u << 0;
inline constexpr unsigned lockMask = 1u << 1;
inline constexpr unsigned controlMask = 1u << 2;

// Which of Mod1…Mod5 carry Alt, Super and NumLock; taken from the server's modifier
// mapping, defaulting to the usual Mod1, Mod4 and Mod2.
struct ModifierMasks {
    unsigned alt = 1u << 3;
    unsigned super = 1u << 6;
    unsigned numLock = 1u << 4;
    bool operator==(const ModifierMasks&) const = default;
};

// The key by the keysym it produces; `Key::other` for keys the controller does not tell
// apart.
Key keyOf(std::uint32_t keysym);
// The keysyms whose keys are `key` (the keys to grab for it); empty for `other`.
std::vector<std::uint32_t> keysymsOf(Key key);
// True for keys that only change modifiers (Shift, Control, Alt, Super, AltGr, the locks).
bool isModifierKeysym(std::uint32_t keysym);
// True for modifier keys that are held (not the locks): the ones typing must lift.
bool isHeldModifierKeysym(std::uint32_t keysym);

Modifiers modifiersOf(unsigned realMods, const ModifierMasks& masks);
// The real modifier mask of `modifiers`; none when one has no modifier on this server.
std::optional<unsigned> realModifiers(Modifiers modifiers, const ModifierMasks& masks);

} // namespace wisket::x11
