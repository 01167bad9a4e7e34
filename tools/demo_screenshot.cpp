// Takes the README's screenshot: starts the window in a demo folder, picks the
// sample image, presses StartAll and saves the screen a few seconds later.
// Usage: velmora_screenshot DEMO_DIR OUT.png [SECONDS]
#include "app/widget.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DEMO_DIR OUT.png [SECONDS]\n", argv[0]);
        return 64;
    }
    const QString out = QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[2]));
    const int seconds = argc > 3 ? QByteArray(argv[3]).toInt() : 4;
    if (!QDir::setCurrent(QString::fromLocal8Bit(argv[1])))
        return 66;

    Widget window;
    window.move(20, 20);
    window.show();
    window.findChild<QLineEdit *>(QStringLiteral("lineEdit_All"))
        ->setText(QDir::current().absoluteFilePath(QStringLiteral("sample.img")));
    QTimer::singleShot(300, &window, [&window] {
        window.findChild<QPushButton *>(QStringLiteral("startAllButton"))->click();
    });
    QTimer::singleShot(300 + seconds * 1000, &window, [&] {
        const QPixmap shot = window.screen()->grabWindow(0, 0, 0, window.frameGeometry().right() + 21,
                                                         window.frameGeometry().bottom() + 21);
        app.exit(shot.save(out) ? 0 : 1);
    });
    return app.exec();
}
