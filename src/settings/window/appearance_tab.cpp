#include "overlay/overlay_qt.hpp"
#include "settings/settings.hpp"
#include "settings/window/settings_tabs.hpp"

#include <QCheckBox>
#include <QFontMetricsF>
#include <QFormLayout>
#include <QPainter>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace wisket {

namespace {

// The opacity slider's steps between 0.3 and 1.0: fine enough to feel continuous.
constexpr int opacitySteps = 1000;

constexpr double previewFontSize = 14;
constexpr double previewPadding = 6;

} // namespace

class GhostPreview final : public QWidget {
public:
    GhostPreview() {
        setObjectName(QStringLiteral("preview"));
        m_row.setFontSize(previewFontSize);
        m_row.setText(QStringLiteral(" back to you by Friday."));
        const QFontMetricsF metrics(m_row.labelFont());
        setMinimumHeight(int(std::ceil(metrics.height() + 2 * previewPadding)));
    }

    void setLook(double opacity, std::optional<QString> hint) {
        m_row.setOpacity(opacity);
        m_row.setHint(std::move(hint));
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        const QString typed = QStringLiteral("Thanks for the update, I'll get");
        const QFontMetricsF metrics(m_row.labelFont(), this);
        const double typedWidth = std::ceil(metrics.horizontalAdvance(typed));
        // The ghost row starts where the typed text ends, as the overlay sits at the caret.
        const PanelStyle style{
            .fontSize = previewFontSize,
            .insets = {.top = previewPadding, .left = typedWidth, .bottom = previewPadding}};
        const PanelContent content = m_row.measure();
        // As wide as the row needs, so the badge follows the text as it does at a caret.
        const Size row{std::min(fittingSize(style, content).width, double(width())), double(height())};
        const ContentFrames frames = arrangeContent(style, content, row);
        p.setFont(m_row.labelFont());
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRectF(0, frames.label.y, typedWidth, frames.label.height),
                   Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, typed);
        m_row.paint(p, frames, palette());
    }

private:
    GhostRow m_row;
};

AppearanceTab::AppearanceTab(Settings& settings)
    : m_settings(settings)
    , m_opacity(new QSlider(Qt::Horizontal))
    , m_keyHint(form::toggle("showKeyHint"))
    , m_preview(new GhostPreview) {
    auto* layout = new QVBoxLayout(this);
    QFormLayout* ghost = form::section(this, QStringLiteral("Ghost text"));
    m_opacity->setObjectName(QStringLiteral("opacity"));
    m_opacity->setRange(int(Settings::faintestGhostOpacity * opacitySteps), opacitySteps);
    ghost->addRow(QStringLiteral("Opacity"), m_opacity);
    ghost->addRow(QStringLiteral("Show key hint next to the suggestion"), m_keyHint);
    QFormLayout* preview = form::section(this, QStringLiteral("Preview"));
    preview->addRow(m_preview);
    layout->addStretch();

    connect(m_opacity, &QSlider::valueChanged, this, [this](int value) {
        m_settings.setGhostOpacity(double(value) / opacitySteps);
        refresh(); // the preview follows the slider as it moves
    });
    connect(m_keyHint, &QCheckBox::toggled, this, [this](bool on) { m_settings.setShowKeyHint(on); });
}

void AppearanceTab::refresh() {
    const QSignalBlocker b1(m_opacity), b2(m_keyHint);
    m_opacity->setValue(int(std::lround(m_settings.ghostOpacity() * opacitySteps)));
    m_keyHint->setChecked(m_settings.showKeyHint());
    m_preview->setLook(m_settings.ghostOpacity(),
                       m_settings.showKeyHint() ? std::optional(form::text(hintLabel(m_settings.acceptKey())))
                                                : std::nullopt);
}

} // namespace wisket
