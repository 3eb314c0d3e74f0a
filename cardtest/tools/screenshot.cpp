// cardtest_screenshot PORT FILE.png: shows the console window in the
// current working directory (which must hold the reader libraries, as for
// cardtest itself), types PORT into the port field, clicks "读取磁条" and
// saves the window with the result of the read as FILE.png. Used to make
// docs/screenshot.png (see docs/console.md); not a test.
#include "mainwindow.h"

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: cardtest_screenshot PORT FILE.png\n");
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[1]);
    const QString file = QString::fromLocal8Bit(argv[2]);

    MainWindow window;
    window.show();
    int status = 1;
    QTimer::singleShot(500, [&] {
        window.findChild<QLineEdit *>(QStringLiteral("ed_Port"))->setText(port);
        window.findChild<QPushButton *>(QStringLiteral("btn_readMS"))->click();
        // Let the result paint before grabbing.
        QTimer::singleShot(500, [&] {
            status = window.grab().save(file) ? 0 : 1;
            app.quit();
        });
    });
    app.exec();
    return status;
}
