#pragma once

// Everything a controller works with: recording fakes of the desktop, the real settings on
// a private file, and the real completion engine over paced model back ends, whose model
// server is the selected provider.

#include "control/controller.hpp"
#include "fake_field_reader.hpp"
#include "fake_key_tap.hpp"
#include "fake_overlay.hpp"
#include "fake_workspace.hpp"
#include "manual_loop.hpp"
#include "paced_server.hpp"
#include "settings/settings.hpp"
#include "temp_dir.hpp"

namespace wisket::testing {

struct Desk {
    Desk() { settings.setProvider(ProviderKind::ollama); }

    Controller::Collaborators collaborators() { return collaborators(tap, workspace); }
    Controller::Collaborators collaborators(KeyTap& keyTap, Workspace& desktop) {
        return {.settings = settings,
                .loop = loop,
                .tap = keyTap,
                .reader = reader,
                .overlay = overlay,
                .engine = models.engine,
                .workspace = desktop};
    }

    TempDir dir;
    Settings settings{dir / "settings.json"};
    ManualLoop loop;
    FakeKeyTap tap;
    FakeFieldReader reader{loop};
    FakeOverlay overlay;
    FakeWorkspace workspace;
    PacedModels models{settings, loop};
};

} // namespace wisket::testing
