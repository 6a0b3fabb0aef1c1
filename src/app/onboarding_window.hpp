#pragma once

// The first-run window: why Wisket needs the desktop's accessibility support, what it uses
// it for, and two buttons (switch it on; start Wisket again). It has no state of its own:
// the shell closes it once the support is on and suggestions run.

#include <QDialog>
#include <functional>

class QLabel;

namespace wisket {

class OnboardingWindow final : public QDialog {
public:
    OnboardingWindow(std::function<void()> grant, std::function<void()> relaunch, QWidget* parent = nullptr);

    // Says, in plain words, what this session lacks that no restart brings (empty: nothing).
    void setMissing(const QString& missing);

    static constexpr int fixedWidth = 500;

private:
    void fitHeight();

    QLabel* m_missing = nullptr;
};

} // namespace wisket
