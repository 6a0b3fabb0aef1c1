#include "overlay/overlay_qt.hpp"

#include <QBitmap>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <cmath>
#include <cstdio>
#include <vector>

// Last: Xlib's macros (None, Bool, Status…) would clash with Qt's headers.
#include <X11/Xlib.h>

namespace wisket {

namespace {

const QColor systemGrey(142, 142, 147);

std::vector<ScreenGeometry> screenGeometries() {
    std::vector<ScreenGeometry> screens;
    const auto add = [&](const QScreen* s) {
        const QRect f = s->geometry();
        const QRect v = s->availableGeometry();
        screens.push_back(
            {.frame = Rect{double(f.x()), double(f.y()), double(f.width()), double(f.height())},
             .visibleFrame = Rect{double(v.x()), double(v.y()), double(v.width()), double(v.height())}});
    };
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) {
        return screens;
    }
    add(primary);
    for (const QScreen* s : QGuiApplication::screens()) {
        if (s != primary) {
            add(s);
        }
    }
    return screens;
}

QRectF toQt(const Rect& r) {
    return {r.x, r.y, r.width, r.height};
}

// The logical pixels that any device pixel of `image` covers, however faintly. A mask of
// only the fully covered pixels would eat the glyphs' anti-aliased edges.
QRegion coveredRegion(const QImage& image, QSize logical) {
    QImage mask(logical, QImage::Format_MonoLSB);
    mask.setColorCount(2);
    mask.setColor(0, qRgb(255, 255, 255)); // Qt::color0: outside
    mask.setColor(1, qRgb(0, 0, 0));       // Qt::color1: inside
    mask.fill(0);
    const double scale = image.devicePixelRatio();
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        const int ly = std::min(int(y / scale), logical.height() - 1);
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) != 0) {
                mask.setPixel(std::min(int(x / scale), logical.width() - 1), ly, 1);
            }
        }
    }
    return QRegion(QBitmap::fromImage(mask));
}

} // namespace

bool compositingActive() {
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 ? x11->display() : nullptr;
    if (display == nullptr) {
        return true;
    }
    // A compositing manager owns this selection for the screen it composites.
    char name[32];
    std::snprintf(name, sizeof name, "_NET_WM_CM_S%d", DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, name, False)) != 0;
}

GhostRow::GhostRow()
    : m_textColour(systemGrey)
    , m_labelFont(QGuiApplication::font())
    , m_hintFont(QGuiApplication::font()) {
    m_hintFont.setWeight(QFont::DemiBold);
    m_hintFont.setPointSizeF(pointSize(overlay::hintFontSize));
}

double GhostRow::pointSize(double pixels) const {
    return pixels * 72.0 / m_reference.logicalDpiY();
}

void GhostRow::setFontSize(double pixels) {
    m_labelFont = QGuiApplication::font();
    m_labelFont.setPointSizeF(pointSize(pixels));
}

void GhostRow::setText(const QString& text) {
    m_text = text;
    for (QChar& c : m_text) {
        if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) {
            c = u' ';
        }
    }
}

void GhostRow::setHint(std::optional<QString> hint) {
    m_hint = std::move(hint);
}

void GhostRow::setOpacity(double opacity) {
    m_textColour.setAlphaF(float(ghostAlpha(opacity)));
}

PanelContent GhostRow::measure() const {
    PanelContent content;
    const QFontMetricsF label(m_labelFont, &m_reference);
    content.label = {std::ceil(label.horizontalAdvance(m_text)), std::ceil(label.height())};
    if (m_hint) {
        const QFontMetricsF hint(m_hintFont, &m_reference);
        content.hintHeight = std::ceil(hint.height()) + 2 * overlay::hintBorderWidth;
    }
    return content;
}

void GhostRow::paint(QPainter& p, const ContentFrames& frames, const QPalette& palette) const {
    const QRectF label = toQt(frames.label);
    p.setFont(m_labelFont);
    p.setPen(m_textColour);
    const QString shown =
        QFontMetricsF(m_labelFont, p.device()).elidedText(m_text, Qt::ElideRight, label.width());
    p.drawText(label, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);

    if (frames.hint && m_hint) {
        const QRectF hint = toQt(*frames.hint);
        QColor border = systemGrey;
        border.setAlphaF(float(overlay::hintBorderAlpha));
        p.setPen(QPen(border, overlay::hintBorderWidth));
        p.setBrush(Qt::NoBrush);
        const double inset = overlay::hintBorderWidth * 0.5; // keeps the stroke inside
        p.drawRoundedRect(hint.adjusted(inset, inset, -inset, -inset), overlay::hintCornerRadius,
                          overlay::hintCornerRadius);
        QColor secondary = palette.color(QPalette::WindowText);
        secondary.setAlphaF(0.5f);
        p.setPen(secondary);
        p.setFont(m_hintFont);
        p.drawText(hint, Qt::AlignCenter | Qt::TextSingleLine, *m_hint);
    }
}

// The window and everything in it, painted by hand into one image: the label and the badge
// are a row of the layout's arithmetic, and the same image gives the window its shape when
// nothing composites.
class QtOverlay::Panel final : public QWidget {
public:
    Panel()
        : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_X11DoNotAcceptFocus);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        setFocusPolicy(Qt::NoFocus);
        winId(); // the native window exists from the start and is kept
    }

    GhostRow& row() { return m_row; }
    void setComposited(bool composited) { m_composited = composited; }

    // Takes the anchor's look and measures the content in it.
    Size applyStyle(const PanelStyle& style) {
        m_style = style;
        m_row.setFontSize(style.fontSize);
        m_content = m_row.measure();
        return fittingSize(m_style, m_content);
    }

    void place(const Rect& frame) {
        const QRect pixels(int(std::lround(frame.x)), int(std::lround(frame.y)),
                           int(std::lround(frame.width)), int(std::lround(frame.height)));
        setGeometry(pixels);
        redraw(pixels.size());
    }

    // Paints the content at `size` and, without compositing, shapes the window to it. The
    // window is painted at once, before its new shape is set: painted later, the old text
    // would show through the new frame and shape until the event loop came round.
    void redraw(QSize size) {
        const qreal scale = devicePixelRatioF();
        QImage image(size * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::transparent);
        paintContent(image, size);
        // A move alone changes nothing inside the window: the window system carries it.
        if (image == m_image && m_composited == m_drawnComposited) {
            return;
        }
        m_image = std::move(image);
        m_drawnComposited = m_composited;
        repaint();
        if (m_composited) {
            clearMask();
        } else {
            const QRegion covered = coveredRegion(m_image, size);
            // An empty mask is no mask at all, which would show the whole frame: a pixel
            // outside the window leaves nothing instead.
            setMask(covered.isEmpty() ? QRegion(-1, -1, 1, 1) : covered);
        }
    }

    void redraw() { redraw(size()); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        if (!m_composited) {
            // The shape leaves only covered pixels; blend their partial coverage with a
            // light field so nothing reaches the screen darkened towards black.
            p.fillRect(rect(), palette().color(QPalette::Base));
            p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
        p.drawImage(0, 0, m_image);
    }

private:
    void paintContent(QImage& image, QSize size) const {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        if (m_style.backing) {
            QColor backing = palette().color(QPalette::Window);
            backing.setAlphaF(float(overlay::backingAlpha));
            p.setPen(Qt::NoPen);
            p.setBrush(backing);
            p.drawRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), overlay::backingCornerRadius,
                              overlay::backingCornerRadius);
        }

        const ContentFrames frames =
            arrangeContent(m_style, m_content, {double(size.width()), double(size.height())});
        m_row.paint(p, frames, palette());
    }

    GhostRow m_row;
    PanelStyle m_style;
    PanelContent m_content;
    QImage m_image;
    bool m_composited = true;
    bool m_drawnComposited = true; // what m_image was last drawn and shaped for
};

QtOverlay::QtOverlay()
    : m_panel(std::make_unique<Panel>()) {}

QtOverlay::~QtOverlay() = default;

void QtOverlay::style(std::optional<std::string> hint, double opacity) {
    m_panel->row().setOpacity(opacity);
    m_panel->row().setHint(hint ? std::optional(QString::fromStdString(*hint)) : std::nullopt);
}

void QtOverlay::show(const std::string& text, const Anchor& anchor) {
    m_anchor = anchor;
    m_panel->row().setText(QString::fromStdString(text));
    // Asked at every showing, so a compositing manager started or stopped since is noticed.
    m_panel->setComposited(compositingActive());
    layout();
    m_panel->show();
    m_panel->raise();
    m_isVisible = true;
}

void QtOverlay::setText(const std::string& text) {
    m_panel->row().setText(QString::fromStdString(text));
    layout();
}

void QtOverlay::moveToCaret(const Rect& caret) {
    m_anchor = Anchor::caret(caret);
    layout();
}

void QtOverlay::hide() {
    if (!m_isVisible) {
        return;
    }
    m_panel->hide();
    m_isVisible = false;
}

bool QtOverlay::isVisible() const {
    return m_isVisible;
}

Rect QtOverlay::frame() const {
    const QRect g = m_panel->geometry();
    return {double(g.x()), double(g.y()), double(g.width()), double(g.height())};
}

std::uint64_t QtOverlay::windowId() const {
    return m_panel->winId();
}

void QtOverlay::layout() {
    if (!m_anchor) {
        return;
    }
    const std::vector<ScreenGeometry> screens = screenGeometries();
    if (screens.empty()) {
        // Nowhere to measure against: the new text goes into the frame the panel has.
        m_panel->redraw();
        return;
    }
    const PanelStyle style = panelStyle(*m_anchor);
    const Size fitting = m_panel->applyStyle(style);
    if (const std::optional<Rect> frame = panelFrame(*m_anchor, fitting, screens)) {
        m_panel->place(*frame);
    }
}

} // namespace wisket
