// The shell with a controller over fakes, on Qt's offscreen platform (which has no tray):
// waiting for the permission, the relaunch rule, the onboarding window and launch at login.

#include "app/app_delegate.hpp"
#include "app/onboarding_window.hpp"
#include "app/settings_presenter.hpp"
#include "control/desk.hpp"
#include "qt_offscreen.hpp"

#include <QLabel>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <set>

namespace wisket {
namespace {

using testing::Desk;

class FakePermission final : public AccessPermission {
public:
    bool granted() const override { return isGranted; }
    void request() override { ++requests; }
    bool isGranted = false;
    int requests = 0;
};

class FakeSettingsWindow final : public SettingsPresenter {
public:
    void show() override { ++shown; }
    void setTrayNote(const QString& note) override { trayNote = note; }
    int shown = 0;
    QString trayNote;
};

// The fragments a window's texts render in bold, or with markup showing through.
std::set<QString> boldOrRawMarkup(const QWidget& window) {
    std::set<QString> found;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->textFormat() != Qt::MarkdownText) {
            continue;
        }
        QTextDocument document;
        document.setMarkdown(label->text());
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextFragment fragment = it.fragment();
                if (fragment.charFormat().fontWeight() >= QFont::Bold || fragment.text().contains(u'*')) {
                    found.insert(fragment.text());
                }
            }
        }
    }
    return found;
}

class AppDelegateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::offscreenApplication(); }

    AppDelegate& launch() {
        m_delegate = std::make_unique<AppDelegate>(AppDelegateParts{
            .settings = m_desk.settings,
            .controller = m_controller,
            .engine = m_desk.models.engine,
            .tap = m_desk.tap,
            .settingsWindow = m_settingsWindow,
            .permission = m_permission,
            .relaunch = [this] { ++m_relaunches; },
            .autostartEntry = autostartEntry().string(),
            .executable = "/usr/bin/wisket",
        });
        m_delegate->launch();
        return *m_delegate;
    }
    std::filesystem::path autostartEntry() const { return m_desk.dir / "autostart" / "wisket.desktop"; }

    Desk m_desk;
    Controller m_controller{m_desk.collaborators()};
    FakePermission m_permission;
    FakeSettingsWindow m_settingsWindow;
    int m_relaunches = 0;
    std::unique_ptr<AppDelegate> m_delegate;
};

TEST_F(AppDelegateTest, WaitsForThePermissionThenStartsWithoutARestart) {
    AppDelegate& delegate = launch();
    // No tray here: the settings window opens at once and says how to get one.
    ASSERT_EQ(delegate.trayIcon(), nullptr);
    EXPECT_EQ(m_settingsWindow.shown, 1);
    EXPECT_TRUE(m_settingsWindow.trayNote.contains(QStringLiteral("tray")));

    OnboardingWindow* window = delegate.onboardingWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(delegate.waitingForPermission());
    EXPECT_FALSE(m_desk.tap.isEnabled());
    EXPECT_EQ(menuRows(delegate.menuState())[3].title, "Grant Permission…");

    EXPECT_EQ(boldOrRawMarkup(*window),
              (std::set<QString>{QStringLiteral("Accessibility"), QStringLiteral("Tab"),
                                 QStringLiteral("Esc"), QStringLiteral("accessibility")}));
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_EQ(m_permission.requests, 1);

    // Showing it again keeps one window and one poll.
    delegate.showOnboarding();
    EXPECT_EQ(delegate.onboardingWindow(), window);

    m_permission.isGranted = true;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000));
    EXPECT_TRUE(m_desk.tap.isEnabled());
    EXPECT_FALSE(delegate.waitingForPermission());
    EXPECT_EQ(m_relaunches, 0);

    // The login row follows the autostart file.
    for (const bool enabled : {true, false}) {
        delegate.perform({.action = MenuAction::toggleLogin});
        EXPECT_EQ(std::filesystem::exists(autostartEntry()), enabled);
        EXPECT_EQ(delegate.menuState().launchAtLogin, enabled);
    }
}

TEST_F(AppDelegateTest, AFailedStartRelaunchesOnlyWhenARestartCanMendIt) {
    m_permission.isGranted = true;
    m_desk.tap.startSucceeds = false;

    // The X server lacks XInput 2: the window says so and nothing is waited for.
    m_desk.tap.startFailure = {"XInput 2", "the X server has no XInput extension"};
    AppDelegate& lacking = launch();
    ASSERT_TRUE(lacking.onboardingWindow() && lacking.onboardingWindow()->isVisible());
    EXPECT_FALSE(lacking.waitingForPermission());
    EXPECT_TRUE(
        std::ranges::any_of(lacking.onboardingWindow()->findChildren<QLabel*>(), [](const QLabel* label) {
            return label->isVisible() && label->text().contains(QStringLiteral("no XInput extension"));
        }));
    EXPECT_EQ(m_relaunches, 0);

    // A refused key tap may work in a new process: at launch the window waits, and the first
    // check relaunches.
    m_desk.tap.startFailure = {"key tap", "refused by the test"};
    AppDelegate& refused = launch();
    EXPECT_TRUE(refused.waitingForPermission());
    EXPECT_EQ(m_relaunches, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_relaunches == 1; }, 5000));
}

} // namespace
} // namespace wisket
