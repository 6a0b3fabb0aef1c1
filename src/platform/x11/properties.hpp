#pragma once

// Reading window properties with Xlib, for the X11 back ends.

#include <X11/Xlib.h>
#include <optional>
#include <string>
#include <vector>

namespace wisket::x11 {

// A property's raw items; none when the window or the property does not exist, or it
// has another type or format.
std::optional<std::vector<unsigned char>> readProperty(Display* display, Window window, Atom property,
                                                       Atom type, int format, long maxItems,
                                                       unsigned long* items = nullptr);
// The first item of a 32-bit property.
std::optional<unsigned long> readCardinal(Display* display, Window window, Atom property, Atom type);
// Every item of a 32-bit property, up to `maxItems`.
std::vector<long> readCardinals(Display* display, Window window, Atom property, Atom type, long maxItems);
// A text property; none when it is empty.
std::optional<std::string> readUtf8(Display* display, Window window, Atom property, Atom type);

} // namespace wisket::x11
