#include "app/onboarding_window.hpp"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

namespace wisket {

namespace {

QLabel* markdownLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::MarkdownText);
    label->setWordWrap(true);
    return label;
}

QLabel* secondary(QLabel* label) {
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

// The theme's symbol, else the nearest of the style's own.
QLabel* symbol(const QString& themeName, QStyle::StandardPixmap fallback, int size) {
    auto* label = new QLabel;
    label->setPixmap(QIcon::fromTheme(themeName, label->style()->standardIcon(fallback)).pixmap(size, size));
    label->setFixedWidth(std::max(size, 18));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return label;
}

// The texts that differ between the two kinds of session.
struct KindTexts {
    const char* need;
    const char* steps; // none when one button does it all
    const char* button;
    const char* footnote;
};

KindTexts textsOf(OnboardingKind kind) {
    switch (kind) {
    case OnboardingKind::inputSource:
        return {
            "In this Wayland session Wisket works as an **input method**: the desktop hands it the "
            "keys of the field you type in. Here is exactly what it does with them:",
            "**To switch it on:** open **Settings → Keyboard → Input Sources**, press **+**, type "
            "**wisket**, choose **English** (or **Other**), then **English (Wisket)**, and press "
            "**Add**. Then pick **English (Wisket)** in the keyboard menu of the top bar (or press "
            "**Super+Space**).",
            "Open Keyboard Settings",
            "Wisket is an input source of the desktop. This window closes by itself once it is "
            "added.",
        };
    case OnboardingKind::accessibility:
        break;
    }
    return {
        "To work across apps it needs the **Accessibility** permission. Here is exactly what that is "
        "used for:",
        nullptr,
        "Open Accessibility Settings",
        "Wisket switches on the desktop's **accessibility** support. This window closes by itself once "
        "it is on.",
    };
}

} // namespace

OnboardingWindow::OnboardingWindow(OnboardingKind kind, std::function<void()> grant,
                                   std::function<void()> relaunch, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint) {
    setWindowTitle(QStringLiteral("Welcome to Wisket"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);

    auto* header = new QHBoxLayout;
    header->setSpacing(12);
    auto* icon = new QLabel;
    icon->setPixmap(
        QIcon::fromTheme(QStringLiteral("wisket-active"), QIcon(QStringLiteral(":/icons/wisket-active.svg")))
            .pixmap(30, 30));
    header->addWidget(icon);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* title = new QLabel(QStringLiteral("Autocomplete everywhere"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    titleFont.setBold(true);
    title->setFont(titleFont);
    titles->addWidget(title);
    titles->addWidget(secondary(markdownLabel(
        QStringLiteral("Ghost-text suggestions in your browser, mail, chat and any other text field."))));
    header->addLayout(titles, 1);
    layout->addLayout(header);

    const KindTexts texts = textsOf(kind);
    auto* explanation = new QVBoxLayout;
    explanation->setSpacing(10);
    explanation->addWidget(markdownLabel(QString::fromUtf8(texts.need)));
    const struct {
        const char* themeName;
        QStyle::StandardPixmap fallback;
        const char* text;
    } rows[] = {
        {"view-visible", QStyle::SP_FileDialogContentsView,
         "Reads the text around your cursor in the field you are typing in, and the conversation "
         "just above it, to predict the next words."},
        {"input-keyboard", QStyle::SP_ComputerIcon,
         "Watches keystrokes to know when you paused, and to catch **Tab** (accept) and **Esc** "
         "(dismiss). They are never saved or sent."},
        {"security-high", QStyle::SP_BrowserStop,
         "Password fields and secure input are skipped. Password managers and terminals are "
         "excluded by default."},
        {"drive-harddisk", QStyle::SP_DriveHDIcon,
         "Suggestions come from a model on this computer. What you type is never written to disk "
         "or sent over the network."},
    };
    for (const auto& [themeName, fallback, text] : rows) {
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        row->addWidget(symbol(QString::fromLatin1(themeName), fallback, 16));
        row->addWidget(markdownLabel(QString::fromUtf8(text)), 1);
        explanation->addLayout(row);
    }
    if (texts.steps) {
        explanation->addWidget(markdownLabel(QString::fromUtf8(texts.steps)));
    } else {
        explanation->addWidget(markdownLabel(QStringLiteral(
            "Browsers, Electron and Qt applications that are already running must be restarted once.")));
    }
    layout->addLayout(explanation);

    m_missing = markdownLabel({});
    m_missing->hide();
    layout->addWidget(m_missing);

    auto* buttons = new QHBoxLayout;
    auto* open = new QPushButton(QString::fromUtf8(texts.button));
    open->setDefault(true);
    connect(open, &QPushButton::clicked, this, std::move(grant));
    buttons->addWidget(open);
    buttons->addStretch(1);
    auto* again = new QPushButton(QStringLiteral("Relaunch"));
    again->setToolTip(QStringLiteral("Use this if it still says it is waiting after you turned it on."));
    connect(again, &QPushButton::clicked, this, std::move(relaunch));
    buttons->addWidget(again);
    layout->addLayout(buttons);

    auto* footnote = secondary(markdownLabel(QString::fromUtf8(texts.footnote)));
    QFont small = footnote->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    footnote->setFont(small);
    layout->addWidget(footnote);

    fitHeight();
}

void OnboardingWindow::fitHeight() {
    // The texts wrap at the fixed width; the height follows them.
    setFixedSize(fixedWidth, layout()->totalHeightForWidth(fixedWidth));
}

void OnboardingWindow::setMissing(const QString& missing) {
    m_missing->setText(missing);
    m_missing->setVisible(!missing.isEmpty());
    fitHeight();
}

} // namespace wisket
