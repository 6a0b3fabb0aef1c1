#pragma once

// The first-run window: why Wisket needs the desktop's accessibility support (or, in a
// Wayland session, to be picked as an input source), what it uses it for, and two buttons
// (open the settings that switch it on; start Wisket again). It has no state of its own:
// the shell closes it once suggestions run.

#include <QDialog>
#include <functional>

class QLabel;

namespace wisket {

// What the session needs before suggestions can run.
enum class OnboardingKind {
    accessibility, // the accessibility bus switched on (X11)
    inputSource,   // Wisket picked as an input source (Wayland)
};

class OnboardingWindow final : public QDialog {
public:
    OnboardingWindow(OnboardingKind kind, std::function<void()> grant, std::function<void()> relaunch,
                     QWidget* parent = nullptr);

    // Says, in plain words, what this session lacks that no restart brings (empty: nothing).
    void setMissing(const QString& missing);

    static constexpr int fixedWidth = 500;

private:
    void fitHeight();

    QLabel* m_missing = nullptr;
};

} // namespace wisket
