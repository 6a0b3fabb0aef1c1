#pragma once

// The five tabs of the settings window and the few pieces of form they share. Each tab
// writes Settings from its controls and redraws itself from Settings in refresh(), which
// never writes back.

#include "completion/model_download.hpp"

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;

namespace wisket {

class CompletionEngine;
class Settings;

namespace form {

inline QString text(std::string_view s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}
// A section of a tab: a group box, titled or not, holding a form.
QFormLayout* section(QWidget* tab, const QString& title = {});
// Small text in the palette's secondary colour, wrapped.
QLabel* footnote(const QString& text);
// A switch for a form row, which gives its label; `objectName` identifies the control.
QCheckBox* toggle(const char* objectName);

} // namespace form

class GeneralTab final : public QWidget {
public:
    explicit GeneralTab(Settings& settings);
    void refresh();

private:
    void setLaunchAtLogin(bool enabled);

    Settings& m_settings;
    QCheckBox* m_enabled;
    QCheckBox* m_launchAtLogin;
    QLabel* m_loginError;
    QComboBox* m_acceptKey;
    QCheckBox* m_altAcceptsWord;
    QCheckBox* m_continueAfterAccept;
    QSlider* m_debounce;
    QLabel* m_debounceValue;
};

class SuggestionsTab final : public QWidget {
public:
    explicit SuggestionsTab(Settings& settings);
    void refresh();

private:
    Settings& m_settings;
    QFormLayout* m_lengthForm;
    QCheckBox* m_adaptive;
    QLabel* m_maxWordsLabel;
    QSpinBox* m_maxWords;
    QButtonGroup* m_preference;
    QLabel* m_lengthFooter;
    QCheckBox* m_screenContext;
    QGroupBox* m_ranges;
    std::vector<QLabel*> m_rangeValues;
};

// The preview line: typed text, then the ghost row exactly as the overlay paints it.
class GhostPreview;

class AppearanceTab final : public QWidget {
public:
    explicit AppearanceTab(Settings& settings);
    void refresh();

private:
    Settings& m_settings;
    QSlider* m_opacity;
    QCheckBox* m_keyHint;
    GhostPreview* m_preview;
};

class ModelTab final : public QWidget {
public:
    ModelTab(Settings& settings, CompletionEngine& engine);
    ~ModelTab() override;
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshModelFiles();
    void refreshInstalledModels();
    void runTest();
    // Runs `work` (a download or a copy) on the worker thread, with progress and Cancel.
    void startTransfer(std::function<DownloadResult(const ModelDownload::Progress&)> work);
    void finishTransfer(const DownloadResult& result);

    Settings& m_settings;
    CompletionEngine& m_engine;
    QFormLayout* m_form;
    QComboBox* m_provider;
    QLineEdit* m_ollamaURL;
    QLineEdit* m_ollamaModel;
    QComboBox* m_installedModels;
    QLabel* m_ollamaNote;
    QLabel* m_status;
    QListWidget* m_modelFiles;
    QWidget* m_folderButtons;
    QWidget* m_downloadRow;
    QPushButton* m_download;
    QWidget* m_transferRow;
    QProgressBar* m_progress;
    QLabel* m_progressText;
    QLabel* m_transferMessage;
    QPushButton* m_test;
    QLabel* m_testResult;

    std::unique_ptr<ModelDownload> m_downloadJob;
    std::atomic<bool> m_cancelCopy = false;
    std::thread m_transferWorker;
    std::thread m_tagsWorker;
    std::atomic<bool> m_askingTags = false;
};

class AppsTab final : public QWidget {
public:
    explicit AppsTab(Settings& settings);
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    Settings& m_settings;
    QCheckBox* m_keystrokeFallback;
    QPlainTextEdit* m_excluded;
};

} // namespace wisket
