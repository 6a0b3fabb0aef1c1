#include "settings/autostart.hpp"
#include "settings/settings.hpp"
#include "settings/window/settings_tabs.hpp"
#include "settings/window/settings_texts.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

namespace wisket {

namespace {

// The slider moves in steps of this many milliseconds.
constexpr int debounceStep = 20;

} // namespace

GeneralTab::GeneralTab(Settings& settings)
    : m_settings(settings)
    , m_enabled(form::toggle("showSuggestions"))
    , m_launchAtLogin(form::toggle("launchAtLogin"))
    , m_loginError(form::footnote({}))
    , m_acceptKey(new QComboBox)
    , m_altAcceptsWord(form::toggle("altAcceptsWord"))
    , m_continueAfterAccept(form::toggle("continueAfterAccept"))
    , m_debounce(new QSlider(Qt::Horizontal))
    , m_debounceValue(new QLabel) {
    auto* layout = new QVBoxLayout(this);

    QFormLayout* main = form::section(this);
    main->addRow(QStringLiteral("Show suggestions"), m_enabled);
    main->addRow(QStringLiteral("Launch at login"), m_launchAtLogin);
    QPalette red = m_loginError->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    m_loginError->setPalette(red);
    main->addRow(m_loginError);
    m_loginError->hide();
    // Read when the window is made: the tray menu changes the same entry, and the entry is
    // what counts, not a stored flag.
    m_launchAtLogin->setChecked(autostart::isEnabled());

    QFormLayout* keys = form::section(this, QStringLiteral("Keys"));
    m_acceptKey->setObjectName(QStringLiteral("acceptKey"));
    m_acceptKey->addItems(
        {QStringLiteral("Tab"), QStringLiteral("Right Arrow (→)"), QStringLiteral("Tab or →")});
    keys->addRow(QStringLiteral("Accept suggestion with"), m_acceptKey);
    keys->addRow(QStringLiteral("Hold Alt to accept one word at a time"), m_altAcceptsWord);
    keys->addRow(QStringLiteral("Suggest again right after accepting"), m_continueAfterAccept);
    keys->addRow(QStringLiteral("Dismiss"), new QLabel(QStringLiteral("Esc, or keep typing")));

    QFormLayout* timing = form::section(this, QStringLiteral("Timing"));
    m_debounce->setObjectName(QStringLiteral("debounce"));
    m_debounce->setRange(int(Settings::shortestDebounceMs) / debounceStep,
                         int(Settings::longestDebounceMs) / debounceStep);
    m_debounceValue->setObjectName(QStringLiteral("debounceValue"));
    m_debounceValue->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_debounceValue->setFixedWidth(56);
    m_debounceValue->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* slider = new QWidget;
    auto* sliderRow = new QHBoxLayout(slider);
    sliderRow->setContentsMargins(0, 0, 0, 0);
    sliderRow->addWidget(m_debounce);
    sliderRow->addWidget(m_debounceValue);
    timing->addRow(QStringLiteral("Wait after typing"), slider);
    timing->addRow(form::footnote(
        QStringLiteral("Shorter feels snappier; longer uses less battery while you type fast.")));

    QFormLayout* reset = form::section(this);
    auto* resetButton = new QPushButton(QStringLiteral("Reset All Settings"));
    resetButton->setObjectName(QStringLiteral("resetAll"));
    reset->addRow(resetButton);
    layout->addStretch();

    connect(m_enabled, &QCheckBox::toggled, this, [this](bool on) { m_settings.setEnabled(on); });
    connect(m_launchAtLogin, &QCheckBox::toggled, this, [this](bool on) { setLaunchAtLogin(on); });
    connect(m_acceptKey, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_settings.setAcceptKey(allAcceptKeys.at(std::size_t(index))); });
    connect(m_altAcceptsWord, &QCheckBox::toggled, this,
            [this](bool on) { m_settings.setOptionAcceptsWord(on); });
    connect(m_continueAfterAccept, &QCheckBox::toggled, this,
            [this](bool on) { m_settings.setContinueAfterAccept(on); });
    connect(m_debounce, &QSlider::valueChanged, this, [this](int steps) {
        m_settings.setDebounceMs(steps * debounceStep);
        m_debounceValue->setText(form::text(settings_texts::debounceLabel(steps * debounceStep)));
    });
    connect(resetButton, &QPushButton::clicked, this, [this] { m_settings.resetAll(); });
}

void GeneralTab::setLaunchAtLogin(bool enabled) {
    const auto error = autostart::setEnabled(enabled, QCoreApplication::applicationFilePath().toStdString());
    m_loginError->setText(error ? form::text(*error) : QString());
    m_loginError->setVisible(error.has_value());
    if (error) {
        const QSignalBlocker blocker(m_launchAtLogin);
        m_launchAtLogin->setChecked(autostart::isEnabled());
    }
}

void GeneralTab::refresh() {
    const QSignalBlocker b1(m_enabled), b2(m_acceptKey), b3(m_altAcceptsWord), b4(m_continueAfterAccept),
        b5(m_debounce);
    m_enabled->setChecked(m_settings.enabled());
    m_acceptKey->setCurrentIndex(int(m_settings.acceptKey()));
    m_altAcceptsWord->setChecked(m_settings.optionAcceptsWord());
    m_continueAfterAccept->setChecked(m_settings.continueAfterAccept());
    m_debounce->setValue(qRound(m_settings.debounceMs() / debounceStep));
    m_debounceValue->setText(form::text(settings_texts::debounceLabel(m_settings.debounceMs())));
}

} // namespace wisket
