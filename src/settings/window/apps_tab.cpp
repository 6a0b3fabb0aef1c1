#include "settings/settings.hpp"
#include "settings/window/settings_tabs.hpp"
#include "settings/window/settings_texts.hpp"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace wisket {

AppsTab::AppsTab(Settings& settings)
    : m_settings(settings)
    , m_keystrokeFallback(form::toggle("keystrokeFallback"))
    , m_excluded(new QPlainTextEdit) {
    auto* layout = new QVBoxLayout(this);
    QFormLayout* fallback = form::section(this);
    fallback->addRow(QStringLiteral("Use typed keys when an app hides its text"), m_keystrokeFallback);
    fallback->addRow(form::footnote(QStringLiteral(
        "Kept in memory only and cleared whenever you click, switch apps or move the cursor.")));

    QFormLayout* excluded =
        form::section(this, QStringLiteral("Never suggest in (bundle IDs, one per line)"));
    m_excluded->setObjectName(QStringLiteral("excluded"));
    m_excluded->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_excluded->setFixedHeight(150);
    excluded->addRow(m_excluded);
    excluded->addRow(
        form::footnote(QStringLiteral("Tip: use “Disable in <app>” in the menu bar to add the app you "
                                      "are in. Password fields are always skipped.")));
    layout->addStretch();

    connect(m_keystrokeFallback, &QCheckBox::toggled, this,
            [this](bool on) { m_settings.setKeystrokeFallback(on); });
    connect(m_excluded, &QPlainTextEdit::textChanged, this, [this] {
        m_settings.setExcludedAppIDs(settings_texts::parseAppIDs(m_excluded->toPlainText().toStdString()));
    });
}

void AppsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    const QSignalBlocker blocker(m_excluded);
    m_excluded->setPlainText(QString::fromStdString(settings_texts::joinAppIDs(m_settings.excludedAppIDs())));
}

void AppsTab::refresh() {
    const QSignalBlocker b1(m_keystrokeFallback), b2(m_excluded);
    m_keystrokeFallback->setChecked(m_settings.keystrokeFallback());
    // The text stays as typed while it says the same list; a change made elsewhere (the
    // tray menu, a reset) replaces it.
    if (const auto text = settings_texts::mergedAppIDsText(m_excluded->toPlainText().toStdString(),
                                                           m_settings.excludedAppIDs())) {
        m_excluded->setPlainText(QString::fromStdString(*text));
    }
}

} // namespace wisket
