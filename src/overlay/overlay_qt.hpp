#pragma once

// The ghost-text overlay on Qt 6 Widgets: one frameless tool-tip window above everything,
// which the window manager does not manage, that never takes focus and lets every click
// through to the application below.
//
// With a compositing manager the caret placement shows nothing but the grey text and the
// key-hint badge. Without one a translucent window would show black, so the window is then
// shaped to the pixels the text and the badge cover, and those are painted over a light
// field colour (their anti-aliased edges read as on a light text field). The below placement
// keeps its light backing either way.

#include "control/collaborators.hpp"
#include "overlay/overlay_layout.hpp"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace wisket {

// True when the window system blends translucent windows with what lies below them: always,
// except on an X11 display without a compositing manager. Needs a QGuiApplication.
bool compositingActive();

// The row of ghost text and key-hint badge, measured and painted as the overlay shows it.
// The settings window's preview paints with it too, so that it shows exactly what the
// overlay will. Needs a QGuiApplication.
class GhostRow {
public:
    GhostRow();

    // The label font for `pixels` screen points (the badge's font is fixed).
    void setFontSize(double pixels);
    // One line: breaks in the text show as spaces.
    void setText(const QString& text);
    void setHint(std::optional<QString> hint);
    // The user's opacity setting; the text never disappears entirely (ghostAlpha).
    void setOpacity(double opacity);

    const QFont& labelFont() const { return m_labelFont; }
    // The natural sizes of the label and badge in the current fonts.
    PanelContent measure() const;
    // The label and badge into their frames, in the window colours of `palette`.
    void paint(QPainter& painter, const ContentFrames& frames, const QPalette& palette) const;

private:
    // Layout lengths are screen points, which Qt calls pixels; fonts are set in typographic
    // points of the device they are drawn on.
    double pointSize(double pixels) const;

    QImage m_reference{1, 1, QImage::Format_ARGB32_Premultiplied}; // fonts are measured for it
    QString m_text;
    std::optional<QString> m_hint = QStringLiteral("tab");
    QColor m_textColour;
    QFont m_labelFont;
    QFont m_hintFont;
};

// Main thread only; needs a QApplication, and creates its window at once (hidden) and keeps
// it for its whole life.
class QtOverlay final : public Overlay {
public:
    QtOverlay();
    ~QtOverlay() override;
    QtOverlay(const QtOverlay&) = delete;
    QtOverlay& operator=(const QtOverlay&) = delete;

    void style(std::optional<std::string> hint, double opacity) override;
    void show(const std::string& text, const Anchor& anchor) override;
    void setText(const std::string& text) override;
    void moveToCaret(const Rect& caret) override;
    void hide() override;
    bool isVisible() const override;

    // Where the panel is, or would be when shown (global coordinates, top-left origin).
    Rect frame() const;
    // The native window (an X11 window id), for tests and diagnostics.
    std::uint64_t windowId() const;

private:
    void layout();

    class Panel;
    std::unique_ptr<Panel> m_panel;
    std::optional<Anchor> m_anchor;
    bool m_isVisible = false;
};

} // namespace wisket
