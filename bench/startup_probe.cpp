// startup_probe: opens one window and says "shown" on standard output the
// moment the window system first exposes it, then ends at once.
//
//   startup_probe bare       a bare QMainWindow
//   startup_probe cardtest   the console's MainWindow, which loads
//                            ./stripedrv.so, ./chipdrv.so and ./idcarddrv.so
//                            from the working directory while it is built
//
// bench_startup starts it and measures from the start of the process to
// that line.
#include "mainwindow.h"

#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QWindow>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

class ExposeWatch : public QObject {
protected:
    bool eventFilter(QObject *obj, QEvent *event) override
    {
        if (event->type() == QEvent::Expose) {
            auto *w = qobject_cast<QWindow *>(obj);
            if (w != nullptr && w->isExposed()) {
                std::fputs("shown\n", stdout);
                std::fflush(stdout);
                _exit(0); // the figure ends here; no teardown
            }
        }
        return QObject::eventFilter(obj, event);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    const bool console = argc > 1 && std::strcmp(argv[1], "cardtest") == 0;
    QApplication app(argc, argv);
    ExposeWatch watch;
    app.installEventFilter(&watch);
    if (console) {
        MainWindow window;
        window.show();
        return app.exec();
    }
    QMainWindow window;
    window.resize(640, 480);
    window.show();
    return app.exec();
}
