#include "completion/clean.hpp"
#include "completion/completion_engine.hpp"
#include "completion/llama_runtime.hpp"
#include "settings/settings.hpp"
#include "settings/window/settings_tabs.hpp"
#include "settings/window/settings_texts.hpp"

#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

namespace wisket {

namespace fs = std::filesystem;

namespace {

constexpr auto tagsTimeout = std::chrono::seconds(2);

struct ModelFile {
    std::string name;
    std::uintmax_t size = 0;
};

// The ".gguf" files of the models folder by name; reading a folder is cheap enough to do
// each time the tab is drawn.
std::vector<ModelFile> modelFiles(const fs::path& folder) {
    std::vector<ModelFile> files;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() == ".gguf" && it->is_regular_file(error)) {
            files.push_back({it->path().filename().string(), it->file_size(error)});
        }
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

QWidget* row(std::initializer_list<QWidget*> widgets) {
    auto* container = new QWidget;
    auto* layout = new QHBoxLayout(container);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* widget : widgets) {
        layout->addWidget(widget);
    }
    return container;
}

QPushButton* button(const char* objectName, const QString& title) {
    auto* b = new QPushButton(title);
    b->setObjectName(QString::fromLatin1(objectName));
    return b;
}

} // namespace

ModelTab::ModelTab(Settings& settings, CompletionEngine& engine)
    : m_settings(settings)
    , m_engine(engine)
    , m_provider(new QComboBox)
    , m_ollamaURL(new QLineEdit)
    , m_ollamaModel(new QLineEdit)
    , m_installedModels(new QComboBox)
    , m_ollamaNote(
          form::footnote(QStringLiteral("Only localhost URLs are accepted, so text cannot leave this "
                                        "computer. Base (non-chat) models give the most natural "
                                        "completions.")))
    , m_status(new QLabel)
    , m_modelFiles(new QListWidget)
    , m_download(button("download", QStringLiteral("Download a small model")))
    , m_progress(new QProgressBar)
    , m_progressText(form::footnote({}))
    , m_transferMessage(new QLabel)
    , m_test(button("runTest", QStringLiteral("Run a test suggestion")))
    , m_testResult(new QLabel) {
    auto* layout = new QVBoxLayout(this);
    m_form = form::section(this);
    m_provider->setObjectName(QStringLiteral("provider"));
    m_provider->addItems({QStringLiteral("On-device model"), QStringLiteral("Ollama (localhost)")});
    m_form->addRow(QStringLiteral("Provider"), m_provider);

    m_ollamaURL->setObjectName(QStringLiteral("ollamaURL"));
    m_form->addRow(QStringLiteral("Ollama URL"), m_ollamaURL);
    m_ollamaModel->setObjectName(QStringLiteral("ollamaModel"));
    m_installedModels->setObjectName(QStringLiteral("installedModels"));
    m_installedModels->setToolTip(QStringLiteral("Models installed on the server"));
    m_installedModels->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_form->addRow(QStringLiteral("Model"), row({m_ollamaModel, m_installedModels}));
    m_form->addRow(m_ollamaNote);

    m_status->setObjectName(QStringLiteral("status"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_form->addRow(QStringLiteral("Status"), m_status);
    m_modelFiles->setObjectName(QStringLiteral("modelFiles"));
    m_modelFiles->setMaximumHeight(80);
    m_form->addRow(QStringLiteral("Model file"), m_modelFiles);
    QPushButton* openFolder = button("openFolder", QStringLiteral("Open models folder"));
    QPushButton* addFile = button("addFile", QStringLiteral("Add model file…"));
    m_folderButtons = row({openFolder, addFile});
    m_form->addRow(m_folderButtons);
    QLabel* downloadNote = form::footnote(QStringLiteral(
        "The only time Wisket connects beyond this computer: it fetches the model file and sends nothing you "
        "typed."));
    m_downloadRow = row({m_download, downloadNote});
    m_form->addRow(m_downloadRow);
    QPushButton* cancel = button("cancel", QStringLiteral("Cancel"));
    m_progress->setObjectName(QStringLiteral("progress"));
    auto* transfer = new QWidget;
    auto* transferLayout = new QVBoxLayout(transfer);
    transferLayout->setContentsMargins(0, 0, 0, 0);
    transferLayout->addWidget(row({m_progress, cancel}));
    transferLayout->addWidget(m_progressText);
    m_transferRow = transfer;
    m_transferRow->hide();
    m_form->addRow(m_transferRow);
    m_transferMessage->setObjectName(QStringLiteral("transferMessage"));
    m_transferMessage->setWordWrap(true);
    m_form->addRow(m_transferMessage);

    QFormLayout* tryIt = form::section(this, QStringLiteral("Try it"));
    tryIt->addRow(m_test);
    m_testResult->setObjectName(QStringLiteral("testResult"));
    m_testResult->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_testResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_testResult->setWordWrap(true);
    m_testResult->hide();
    tryIt->addRow(m_testResult);
    layout->addStretch();

    connect(m_provider, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_settings.setProvider(allProviderKinds.at(std::size_t(index)));
        m_engine.clearCache();
        m_engine.prewarm();
        refreshInstalledModels();
    });
    connect(m_ollamaURL, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_settings.setOllamaURL(text.toStdString()); });
    connect(m_ollamaModel, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_settings.setOllamaModel(text.toStdString()); });
    connect(m_installedModels, &QComboBox::textActivated, this,
            [this](const QString& name) { m_settings.setOllamaModel(name.toStdString()); });
    connect(m_modelFiles, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        m_settings.setOnDeviceModel(item->data(Qt::UserRole).toString().toStdString());
        m_engine.prewarm();
    });
    connect(openFolder, &QPushButton::clicked, this, [] {
        std::error_code error;
        fs::create_directories(defaultModelsFolder(), error);
        QProcess::startDetached(QStringLiteral("xdg-open"),
                                {QString::fromStdString(defaultModelsFolder().string())});
    });
    connect(addFile, &QPushButton::clicked, this, [this] {
        const QString source = QFileDialog::getOpenFileName(this, QStringLiteral("Add model file"), QString(),
                                                            QStringLiteral("GGUF models (*.gguf)"));
        if (source.isEmpty()) {
            return;
        }
        m_cancelCopy = false;
        startTransfer(
            [this, source = fs::path(source.toStdString())](const ModelDownload::Progress& progress) {
                return copyModelFile(source, defaultModelsFolder(), progress, m_cancelCopy);
            });
    });
    connect(m_download, &QPushButton::clicked, this, [this] {
        m_downloadJob = std::make_unique<ModelDownload>(m_settings.modelDownloadURL(), defaultModelsFolder());
        startTransfer([job = m_downloadJob.get()](const ModelDownload::Progress& progress) {
            return job->run(progress);
        });
    });
    connect(cancel, &QPushButton::clicked, this, [this] {
        m_cancelCopy = true;
        if (m_downloadJob) {
            m_downloadJob->cancel();
        }
    });
    connect(m_test, &QPushButton::clicked, this, [this] { runTest(); });
}

ModelTab::~ModelTab() {
    m_cancelCopy = true;
    if (m_downloadJob) {
        m_downloadJob->cancel();
    }
    if (m_transferWorker.joinable()) {
        m_transferWorker.join();
    }
    if (m_tagsWorker.joinable()) {
        m_tagsWorker.join();
    }
}

void ModelTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshModelFiles();
    refreshInstalledModels();
}

void ModelTab::refresh() {
    const QSignalBlocker b1(m_provider);
    const bool onDevice = m_settings.provider() == ProviderKind::onDevice;
    m_provider->setCurrentIndex(int(m_settings.provider()));
    // Rewritten only when different, so the caret stays where the user is typing.
    if (m_ollamaURL->text().toStdString() != m_settings.ollamaURL()) {
        m_ollamaURL->setText(QString::fromStdString(m_settings.ollamaURL()));
    }
    if (m_ollamaModel->text().toStdString() != m_settings.ollamaModel()) {
        m_ollamaModel->setText(QString::fromStdString(m_settings.ollamaModel()));
    }
    for (QWidget* w : {static_cast<QWidget*>(m_ollamaURL), m_ollamaModel->parentWidget(),
                       static_cast<QWidget*>(m_ollamaNote)}) {
        m_form->setRowVisible(w, !onDevice);
    }
    for (QWidget* w : {static_cast<QWidget*>(m_status), static_cast<QWidget*>(m_modelFiles), m_folderButtons,
                       m_downloadRow}) {
        m_form->setRowVisible(w, onDevice);
    }
    m_form->setRowVisible(m_transferRow, onDevice && m_transferWorker.joinable());
    m_form->setRowVisible(m_transferMessage, onDevice && !m_transferMessage->text().isEmpty());
    if (onDevice) {
        refreshModelFiles();
    }
}

void ModelTab::refreshModelFiles() {
    const fs::path folder = defaultModelsFolder();
    const std::string& chosen = m_settings.onDeviceModel();
    const std::optional<fs::path> inUse = modelFile(folder, chosen);
    std::string status = m_engine.unavailableMessage().value_or("Ready, runs on this computer");
    if (!chosen.empty() && inUse && inUse->filename() != chosen) {
        status += "\nThe chosen model file " + chosen + " is missing, so " + inUse->filename().string() +
                  " is used instead.";
    }
    m_status->setText(QString::fromStdString(status));

    m_modelFiles->clear();
    for (const ModelFile& file : modelFiles(folder)) {
        auto* item = new QListWidgetItem(QStringLiteral("%1  (%2 MB)")
                                             .arg(QString::fromStdString(file.name))
                                             .arg(double(file.size) / 1e6, 0, 'f', 1));
        item->setData(Qt::UserRole, QString::fromStdString(file.name));
        item->setCheckState(inUse && inUse->filename() == file.name ? Qt::Checked : Qt::Unchecked);
        item->setFlags(Qt::ItemIsEnabled);
        m_modelFiles->addItem(item);
    }
}

void ModelTab::refreshInstalledModels() {
    if (m_settings.provider() != ProviderKind::ollama || m_askingTags.exchange(true)) {
        return;
    }
    if (m_tagsWorker.joinable()) {
        m_tagsWorker.join(); // finished: it cleared m_askingTags before ending
    }
    m_tagsWorker = std::thread([this, url = m_settings.ollamaURL()] {
        std::optional<std::vector<std::string>> names = installedModels(url, tagsTimeout);
        QMetaObject::invokeMethod(
            this,
            [this, names = std::move(names)] {
                m_installedModels->clear();
                for (const std::string& name : names.value_or(std::vector<std::string>{})) {
                    m_installedModels->addItem(QString::fromStdString(name));
                }
                m_installedModels->setEnabled(m_installedModels->count() > 0);
                m_installedModels->setCurrentIndex(
                    m_installedModels->findText(QString::fromStdString(m_settings.ollamaModel())));
            },
            Qt::QueuedConnection);
        m_askingTags = false;
    });
}

void ModelTab::startTransfer(std::function<DownloadResult(const ModelDownload::Progress&)> work) {
    if (m_transferWorker.joinable()) {
        return;
    }
    m_download->setEnabled(false);
    m_folderButtons->setEnabled(false);
    m_progress->setRange(0, 0);
    m_progressText->clear();
    m_transferMessage->clear();
    m_transferWorker = std::thread([this, work = std::move(work)] {
        DownloadResult result = work([this](const DownloadProgress& p) {
            QMetaObject::invokeMethod(
                this,
                [this, p] {
                    if (p.total && *p.total > 0) {
                        m_progress->setRange(0, 1000);
                        m_progress->setValue(int(double(p.received) / double(*p.total) * 1000));
                    }
                    m_progressText->setText(QString::fromStdString(progressText(p)));
                },
                Qt::QueuedConnection);
        });
        QMetaObject::invokeMethod(
            this, [this, result = std::move(result)] { finishTransfer(result); }, Qt::QueuedConnection);
    });
    refresh();
}

void ModelTab::finishTransfer(const DownloadResult& result) {
    m_transferWorker.join();
    m_downloadJob.reset();
    m_download->setEnabled(true);
    m_folderButtons->setEnabled(true);
    m_transferMessage->setText(QString::fromStdString(result.message));
    if (result.outcome == DownloadResult::Outcome::saved) {
        m_settings.setOnDeviceModel(result.file.filename().string());
        m_engine.prewarm();
    }
    refresh();
}

void ModelTab::runTest() {
    m_test->setEnabled(false);
    m_test->setText(QStringLiteral("Testing…"));
    const CompletionRequest request = settings_texts::testRequest(m_settings.maxWords());
    const auto start = std::chrono::steady_clock::now();
    m_engine.complete(
        request, false, [tab = QPointer<ModelTab>(this), request, start](CompletionResult result) {
            if (!tab) {
                return;
            }
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            const std::string text = result.succeeded()
                                         ? settings_texts::testSuccessText(
                                               clean(result.text(), request.text, request.plan, ""), ms)
                                         : settings_texts::testFailureText(result.error());
            tab->m_testResult->setText(QString::fromStdString(text));
            tab->m_testResult->show();
            tab->m_test->setEnabled(true);
            tab->m_test->setText(QStringLiteral("Run a test suggestion"));
        });
}

} // namespace wisket
