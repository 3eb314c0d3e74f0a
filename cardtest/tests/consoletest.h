// Support for the console's tests: a working directory holding the reader
// libraries under the console's file names, a catcher that answers the
// console's modal dialogs, and access to the fake libraries' records.
#pragma once

#include "fakes/fakereader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <dlfcn.h>
#include <cstring>
#include <utility>

namespace consoletest {

inline QString fakePath(const QString &name)
{
    return QStringLiteral(FAKE_DIR "/") + name + QStringLiteral(".so");
}

// A fresh temporary working directory, entered for the object's life.
class ConsoleDir
{
public:
    ConsoleDir() : previous_(QDir::currentPath())
    {
        if (!dir_.isValid() || !QDir::setCurrent(dir_.path()))
            qFatal("cannot make a working directory for the console");
    }
    ~ConsoleDir() { QDir::setCurrent(previous_); }

    // Lays out stripedrv.so, chipdrv.so and idcarddrv.so: "" leaves one
    // missing, "garbage" writes a file that is no library, anything else is
    // linked to (a fake's name or a path).
    void putAll(const QString &stripe, const QString &chip, const QString &id)
    {
        const QString what[] = {stripe, chip, id};
        const char *const files[] = {"stripedrv.so", "chipdrv.so", "idcarddrv.so"};
        for (int i = 0; i < 3; ++i) {
            QFile out(dir_.filePath(QLatin1String(files[i])));
            bool ok = true;
            if (what[i] == QLatin1String("garbage"))
                ok = out.open(QIODevice::WriteOnly) && out.write("not a library\n") > 0;
            else if (!what[i].isEmpty())
                ok = QFile::link(what[i].contains('/') ? what[i] : fakePath(what[i]), out.fileName());
            if (!ok)
                qFatal("cannot lay out %s", files[i]);
        }
    }

private:
    QTemporaryDir dir_;
    QString previous_;
};

// Watches for message boxes from the moment it is made and dismisses each
// with OK, so that a modal dialog never blocks a test. take() gives their
// texts in order; a box that is not a critical one titled "错误信息提示"
// with OK as its only button adds a "<not ...>" entry after its text.
class DialogCatcher
{
public:
    DialogCatcher()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget *window : QApplication::topLevelWidgets()) {
                QMessageBox *box = qobject_cast<QMessageBox *>(window);
                if (!box || !box->isVisible())
                    continue;
                seen_ << box->text();
                QAbstractButton *ok = box->button(QMessageBox::Ok);
                if (box->windowTitle() != QStringLiteral("错误信息提示") || !ok
                    || box->icon() != QMessageBox::Critical || box->buttons().size() != 1)
                    seen_ << QStringLiteral("<not a critical OK box titled 错误信息提示>");
                ok ? ok->click() : box->done(0);
            }
        });
        timer_.start(10);
    }
    QStringList take() { return std::exchange(seen_, QStringList()); }

private:
    QTimer timer_;
    QStringList seen_;
};

// The records of one fake library, opened by path: once the console has
// loaded it through a link, this is the same library.
struct Fake
{
    explicit Fake(const QString &name)
    {
        void *handle = dlopen(fakePath(name).toLocal8Bit().constData(), RTLD_LAZY);
        call = static_cast<FakeCall *>(handle ? dlsym(handle, "fake_call") : nullptr);
        reply = static_cast<FakeReply *>(handle ? dlsym(handle, "fake_reply") : nullptr);
        if (!call || !reply)
            qFatal("cannot open fake %s", qPrintable(name));
    }
    // Forgets the calls and answers the next ones with `result`.
    void reset(int result = 0)
    {
        std::memset(call, 0, sizeof *call);
        std::memset(reply, 0, sizeof *reply);
        reply->result = result;
    }
    FakeCall *call;
    FakeReply *reply;
};

// A named child of the console window; ends the test when missing.
template <typename T>
T *child(QWidget *window, const char *name)
{
    T *found = window->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("console window has no %s", name);
    return found;
}

}  // namespace consoletest
