#include "settings/window/settings_window.hpp"

#include "settings/settings.hpp"
#include "settings/window/settings_tabs.hpp"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QScrollArea>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

namespace wisket {

namespace form {

QFormLayout* section(QWidget* tab, const QString& title) {
    auto* box = new QGroupBox(title);
    auto* layout = new QFormLayout(box);
    layout->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    layout->setRowWrapPolicy(QFormLayout::DontWrapRows);
    tab->layout()->addWidget(box);
    return layout;
}

QLabel* footnote(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QCheckBox* toggle(const char* objectName) {
    auto* box = new QCheckBox;
    box->setObjectName(QString::fromLatin1(objectName));
    return box;
}

} // namespace form

namespace {

// A theme icon, else one that Qt itself carries, so every desktop shows one.
QIcon tabIcon(const QWidget* window, std::initializer_list<const char*> themeNames,
              QStyle::StandardPixmap fallback) {
    for (const char* name : themeNames) {
        if (QIcon::hasThemeIcon(QString::fromLatin1(name))) {
            return QIcon::fromTheme(QString::fromLatin1(name));
        }
    }
    return window->style()->standardIcon(fallback);
}

// Long tabs scroll instead of growing the fixed window.
QScrollArea* scrolling(QWidget* tab) {
    auto* area = new QScrollArea;
    area->setWidget(tab);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return area;
}

} // namespace

struct SettingsWindow::Tabs {
    GeneralTab* general;
    SuggestionsTab* suggestions;
    AppearanceTab* appearance;
    ModelTab* model;
    AppsTab* apps;

    void refresh() const {
        general->refresh();
        suggestions->refresh();
        appearance->refresh();
        model->refresh();
        apps->refresh();
    }
};

SettingsWindow::SettingsWindow(Settings& settings, CompletionEngine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_settings(settings)
    , m_trayNote(new QLabel)
    , m_tabWidget(new QTabWidget)
    , m_tabs(std::make_unique<Tabs>(Tabs{
          .general = new GeneralTab(settings),
          .suggestions = new SuggestionsTab(settings),
          .appearance = new AppearanceTab(settings),
          .model = new ModelTab(settings, engine),
          .apps = new AppsTab(settings),
      })) {
    setWindowTitle(QStringLiteral("Wisket Settings"));
    setFixedSize(520, 470);
    auto* layout = new QVBoxLayout(this);
    m_trayNote->setWordWrap(true);
    m_trayNote->hide();
    layout->addWidget(m_trayNote);
    layout->addWidget(m_tabWidget);
    m_tabWidget->addTab(scrolling(m_tabs->general),
                        tabIcon(this, {"preferences-system"}, QStyle::SP_FileDialogDetailedView),
                        QStringLiteral("General"));
    m_tabWidget->addTab(scrolling(m_tabs->suggestions),
                        tabIcon(this, {"format-justify-fill", "insert-text"}, QStyle::SP_FileDialogListView),
                        QStringLiteral("Suggestions"));
    m_tabWidget->addTab(
        scrolling(m_tabs->appearance),
        tabIcon(this, {"preferences-desktop-theme", "applications-graphics"}, QStyle::SP_DesktopIcon),
        QStringLiteral("Appearance"));
    m_tabWidget->addTab(scrolling(m_tabs->model), tabIcon(this, {"cpu", "computer"}, QStyle::SP_ComputerIcon),
                        QStringLiteral("Model"));
    m_tabWidget->addTab(
        scrolling(m_tabs->apps),
        tabIcon(this, {"applications-other", "view-app-grid"}, QStyle::SP_FileDialogContentsView),
        QStringLiteral("Apps"));
    m_observer = m_settings.addObserver([this] { scheduleRefresh(); });
    m_tabs->refresh();
}

SettingsWindow::~SettingsWindow() {
    m_settings.removeObserver(m_observer);
}

// Observers hear of a change before it is made, and "Reset All Settings" makes many: one
// redraw after them all reads the new values.
void SettingsWindow::scheduleRefresh() {
    if (m_refreshQueued) {
        return;
    }
    m_refreshQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_refreshQueued = false;
            m_tabs->refresh();
        },
        Qt::QueuedConnection);
}

void SettingsWindow::showAndRaise() {
    show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

void SettingsWindow::setTrayNote(const QString& note) {
    m_trayNote->setText(note);
    m_trayNote->setVisible(!note.isEmpty());
}

} // namespace wisket
