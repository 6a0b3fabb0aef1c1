#include "app/qt_main_loop.hpp"
#include "completion/completion_engine.hpp"
#include "completion/loopback_http_server.hpp"
#include "completion/scripted_providers.hpp"
#include "qt_offscreen.hpp"
#include "settings/settings.hpp"
#include "settings/window/settings_window.hpp"
#include "temp_dir.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>

namespace wisket {
namespace {

using testing::TempDir;

// The window on Qt's offscreen platform, over settings, autostart entry and models folder
// of its own, with an engine whose model server is scripted.
struct Desk {
    Desk()
        : settings((testing::offscreenApplication(), ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1),
                    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1), dir / "settings.json")) {
        // The server's model list is asked for where nothing answers.
        settings.setOllamaURL("http://127.0.0.1:" + std::to_string(testing::unusedLoopbackPort()));
        window.show();
    }

    template <typename T> T* find(const char* name) const {
        T* widget = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // Whether the named control shows once its tab is the current one.
    bool shown(const char* name) const {
        QWidget* widget = find<QWidget>(name);
        auto* tabs = window.findChild<QTabWidget*>();
        for (int i = 0; i < tabs->count(); ++i) {
            if (tabs->widget(i)->isAncestorOf(widget)) {
                tabs->setCurrentIndex(i);
            }
        }
        return widget->isVisibleTo(&window);
    }

    TempDir dir;
    Settings settings;
    QtMainLoop loop;
    testing::ScriptedServer* server = new testing::ScriptedServer(loop);
    CompletionEngine engine{settings, loop, std::unique_ptr<ServerProvider>(server),
                            std::make_unique<testing::ScriptedRuntime>()};
    SettingsWindow window{settings, engine};
};

TEST(SettingsWindow, ControlsSetTheirSettingsAndResetAllMovesEveryOneBack) {
    Desk desk;
    // The pause slider snaps to twenties between 60 and 600.
    auto* slider = desk.find<QSlider>("debounce");
    auto* value = desk.find<QLabel>("debounceValue");
    EXPECT_EQ(value->text(), QStringLiteral("180 ms"));
    const std::pair<QAbstractSlider::SliderAction, double> moves[] = {
        {QAbstractSlider::SliderSingleStepAdd, 200},
        {QAbstractSlider::SliderToMaximum, 600},
        {QAbstractSlider::SliderToMinimum, 60},
        {QAbstractSlider::SliderSingleStepAdd, 80},
    };
    for (const auto& [action, ms] : moves) {
        slider->triggerAction(action);
        EXPECT_EQ(desk.settings.debounceMs(), ms);
        EXPECT_EQ(value->text(), QString::number(ms) + QStringLiteral(" ms"));
    }

    const char* toggles[] = {"showSuggestions",  "altAcceptsWord", "continueAfterAccept", "adaptiveLength",
                             "useScreenContext", "showKeyHint",    "keystrokeFallback"};
    for (const char* name : toggles) {
        desk.find<QCheckBox>(name)->click();
    }
    desk.find<QComboBox>("acceptKey")->setCurrentIndex(2);
    desk.find<QSpinBox>("maxWords")->setValue(3);
    desk.find<QSlider>("opacity")->triggerAction(QAbstractSlider::SliderToMinimum);
    desk.find<QComboBox>("provider")->setCurrentIndex(1);
    ASSERT_FALSE(desk.settings.enabled());
    ASSERT_EQ(desk.settings.acceptKey(), AcceptKey::both);

    const bool launchAtLogin = desk.find<QCheckBox>("launchAtLogin")->isChecked();
    desk.find<QPushButton>("resetAll")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return desk.find<QCheckBox>("showSuggestions")->isChecked(); }));
    for (const char* name : toggles) {
        EXPECT_TRUE(desk.find<QCheckBox>(name)->isChecked()) << name;
    }
    EXPECT_EQ(desk.find<QComboBox>("acceptKey")->currentIndex(), 0);
    EXPECT_EQ(value->text(), QStringLiteral("180 ms"));
    EXPECT_EQ(desk.find<QSpinBox>("maxWords")->value(), 8);
    EXPECT_EQ(desk.find<QSlider>("opacity")->value(), 900);
    EXPECT_EQ(desk.find<QComboBox>("provider")->currentIndex(), 0);
    EXPECT_EQ(desk.find<QCheckBox>("launchAtLogin")->isChecked(), launchAtLogin);
}

TEST(SettingsWindow, ProviderShowsItsOwnRows) {
    Desk desk;
    testing::LoopbackHttpServer server;
    server.setReply({.body = R"({"models":[{"name":"qwen2.5:1.5b"},{"name":"llama3.2:1b"}]})"});
    desk.settings.setOllamaURL(server.url());
    auto* provider = desk.find<QComboBox>("provider");
    for (const int index : {1, 0}) {
        provider->setCurrentIndex(index);
        ASSERT_TRUE(QTest::qWaitFor([&] { return desk.shown("status") == (index == 0); }));
        EXPECT_EQ(desk.shown("ollamaURL"), index == 1);
        EXPECT_EQ(desk.shown("ollamaModel"), index == 1);
        EXPECT_EQ(desk.shown("download"), index == 0);
    }
    // Choosing the server's provider asked it for its models.
    EXPECT_TRUE(QTest::qWaitFor([&] { return desk.find<QComboBox>("installedModels")->count() == 2; }));
    EXPECT_EQ(desk.settings.provider(), ProviderKind::onDevice);
    QTest::keyClicks(desk.find<QLineEdit>("ollamaModel"), QStringLiteral("x"));
    EXPECT_EQ(desk.settings.ollamaModel(), "qwen2.5:1.5bx"); // each keystroke is kept
}

TEST(SettingsWindow, TestSuggestionDisablesItsButtonUntilTheResultArrives) {
    Desk desk;
    desk.settings.setProvider(ProviderKind::ollama);
    auto* button = desk.find<QPushButton>("runTest");
    auto* result = desk.find<QLabel>("testResult");
    desk.server->queue(CompletionResult::answer(" I will reply by Friday"));
    desk.server->queue(CompletionResult::failure(CompletionError::notLocal()));
    for (const QString& expected :
         {QStringLiteral("…quick look and I will reply by Friday\n"), QStringLiteral("Failed: notLocal")}) {
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(button->text(), QStringLiteral("Testing…"));
        EXPECT_FALSE(button->isEnabled());
        ASSERT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }));
        EXPECT_TRUE(result->text().startsWith(expected)) << result->text().toStdString();
        EXPECT_EQ(button->text(), QStringLiteral("Run a test suggestion"));
    }
    EXPECT_TRUE(desk.server->calls().size() == 2 &&
                desk.server->calls()[0].request.plan.kind == TextKind::email);
}

TEST(SettingsWindow, ChangesMadeElsewhereRedrawTheOpenTabs) {
    Desk desk;
    desk.settings.setMaxWords(1);
    desk.settings.setAdaptiveLength(false);
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return desk.find<QLabel>("maxWordsLabel")->text() == QStringLiteral("Longest suggestion: 1 word");
    }));
    EXPECT_FALSE(desk.shown("wordRanges"));
    EXPECT_EQ(desk.find<QLabel>("lengthFooter")->text(),
              QStringLiteral("Every suggestion is up to 1 words, whatever you are typing."));

    // The editor keeps what the user types while it says the same list, and shows an id
    // added from the tray menu as its new last line.
    auto* editor = desk.find<QPlainTextEdit>("excluded");
    editor->clear();
    QTest::keyClicks(editor, QStringLiteral("  com.example.App  "));
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(desk.settings.excludedAppIDs(), std::vector<std::string>{"com.example.App"});
    QTest::qWait(20);
    EXPECT_EQ(editor->toPlainText(), QStringLiteral("  com.example.App  \n"));
    desk.settings.toggleExcluded("org.gnome.gedit");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return editor->toPlainText() == QStringLiteral("com.example.App\norg.gnome.gedit"); }));
}

} // namespace
} // namespace wisket
