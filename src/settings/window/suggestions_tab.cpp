#include "settings/settings.hpp"
#include "settings/window/settings_tabs.hpp"
#include "settings/window/settings_texts.hpp"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

namespace wisket {

SuggestionsTab::SuggestionsTab(Settings& settings)
    : m_settings(settings)
    , m_adaptive(form::toggle("adaptiveLength"))
    , m_maxWordsLabel(new QLabel)
    , m_maxWords(new QSpinBox)
    , m_preference(new QButtonGroup(this))
    , m_lengthFooter(form::footnote({}))
    , m_screenContext(form::toggle("useScreenContext")) {
    auto* layout = new QVBoxLayout(this);

    m_lengthForm = form::section(this);
    m_lengthForm->addRow(QStringLiteral("Adapt length to what you are typing"), m_adaptive);
    m_maxWords->setObjectName(QStringLiteral("maxWords"));
    m_maxWords->setRange(Settings::fewestWords, Settings::mostWords);
    m_maxWordsLabel->setObjectName(QStringLiteral("maxWordsLabel"));
    m_lengthForm->addRow(m_maxWordsLabel, m_maxWords);
    // A segmented control: one checked button of three.
    auto* segments = new QWidget;
    auto* segmentRow = new QHBoxLayout(segments);
    segmentRow->setContentsMargins(0, 0, 0, 0);
    segmentRow->setSpacing(0);
    for (const LengthPreference preference : allLengthPreferences) {
        auto* button = new QPushButton(form::text(displayLabel(preference)));
        button->setCheckable(true);
        // The three share the field's width, so the form fits the window without scrolling.
        button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        m_preference->addButton(button, int(preference));
        segmentRow->addWidget(button);
    }
    m_lengthForm->addRow(QStringLiteral("Length"), segments);
    m_lengthFooter->setObjectName(QStringLiteral("lengthFooter"));
    m_lengthForm->addRow(m_lengthFooter);

    QFormLayout* context = form::section(this);
    context->addRow(QStringLiteral("Use the conversation on screen as context"), m_screenContext);
    context->addRow(form::footnote(QStringLiteral(
        "Reads up to 800 characters near the field you are typing in (the email you are replying to, earlier "
        "chat messages) and the text after your cursor, so suggestions can use names, dates and topic. Read "
        "through Accessibility, kept in memory for the current field only, never saved or sent anywhere.")));

    QFormLayout* ranges = form::section(this, QStringLiteral("Word range by type of text"));
    m_ranges = qobject_cast<QGroupBox*>(ranges->parentWidget());
    m_ranges->setObjectName(QStringLiteral("wordRanges"));
    for (const TextKind kind : settings_texts::wordRangeKinds) {
        auto* value = new QLabel;
        value->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        ranges->addRow(form::text(settings_texts::kindLabel(kind)), value);
        m_rangeValues.push_back(value);
    }
    ranges->addRow(form::footnote(QStringLiteral(
        "Shorter still at the start of a sentence, in greetings and sign-offs, in lists, and when there is "
        "little text so far.")));
    layout->addStretch();

    connect(m_adaptive, &QCheckBox::toggled, this, [this](bool on) { m_settings.setAdaptiveLength(on); });
    connect(m_maxWords, &QSpinBox::valueChanged, this, [this](int words) { m_settings.setMaxWords(words); });
    connect(m_preference, &QButtonGroup::idClicked, this,
            [this](int id) { m_settings.setLengthPreference(allLengthPreferences.at(std::size_t(id))); });
    connect(m_screenContext, &QCheckBox::toggled, this,
            [this](bool on) { m_settings.setUseScreenContext(on); });
}

void SuggestionsTab::refresh() {
    const QSignalBlocker b1(m_adaptive), b2(m_maxWords), b3(m_screenContext);
    const bool adaptive = m_settings.adaptiveLength();
    const int maxWords = m_settings.maxWords();
    m_adaptive->setChecked(adaptive);
    m_maxWords->setValue(maxWords);
    m_maxWordsLabel->setText(form::text(settings_texts::longestSuggestionLabel(maxWords)));
    m_preference->button(int(m_settings.lengthPreference()))->setChecked(true);
    m_lengthForm->setRowVisible(2, adaptive);
    m_lengthFooter->setText(form::text(settings_texts::lengthFooter(adaptive, maxWords)));
    m_screenContext->setChecked(m_settings.useScreenContext());
    m_ranges->setVisible(adaptive);
    for (std::size_t i = 0; i < m_rangeValues.size(); ++i) {
        m_rangeValues[i]->setText(form::text(settings_texts::wordRangeText(
            settings_texts::wordRangeKinds[i], m_settings.lengthPreference(), maxWords)));
    }
}

} // namespace wisket
