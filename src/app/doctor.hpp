#pragma once

// `wisket --doctor`: why suggestions do not appear, in plain words. One line per check,
// each "ok" or what to do about it. It reads no field's text and prints none: only
// application names, roles and whether a field exposes its text.

#include <ostream>

namespace wisket {

// Runs every check and writes its lines to `out`; 0 when every check is ok, else 1.
int runDoctor(std::ostream& out);

} // namespace wisket
