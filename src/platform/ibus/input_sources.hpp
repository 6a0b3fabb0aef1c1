#pragma once

// Whether the user picked Wisket's engine among the desktop's input sources: GNOME keeps
// them in its own settings, other desktops in IBus's preloaded engines.

namespace wisket::ibus {

bool isChosenInputSource();
// Whether GNOME Shell shows Wisket's engine as the input source in use.
bool isGnomesCurrentInputSource();
// Whether an IBus daemon answers on this session.
bool daemonRuns();

} // namespace wisket::ibus
