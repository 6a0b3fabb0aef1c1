// The Qt 6 application of the test desktop: a conversation above a line edit and a text
// edit. Qt counts text offsets in UTF-16 units, unlike GTK, which is why it is here.

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Qt chat"));
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Ada: Did the parcel arrive this morning?")));
    layout->addWidget(new QLabel(QStringLiteral("Ben: It did, thank you for sending it.")));

    // Text outside the Basic Multilingual Plane, where Qt's offsets (UTF-16 units) differ
    // from code points.
    auto* subject = new QLineEdit(QStringLiteral("Caf\u00e9 \U0001F600 na\u00efve "));
    subject->setAccessibleName(QStringLiteral("Subject"));
    subject->setPlaceholderText(QStringLiteral("What is it about"));
    layout->addWidget(subject);

    auto* message = new QTextEdit;
    message->setAccessibleName(QStringLiteral("Message"));
    message->setAcceptRichText(false);
    layout->addWidget(message);

    window.resize(600, 400);
    window.move(0, 0);
    window.show();
    return app.exec();
}
