// cardtest: a window from which an operator tries out the stripe reader
// library and the IC and ID card reader libraries. It takes no options;
// the libraries are loaded from the working directory.
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
