// Support for the console's tests: a working directory holding the reader
// libraries under the console's file names, a catcher that answers the
// console's modal dialogs, and access to the fake libraries' records.
#pragma once

#include "fakes/fakereader.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

namespace consoletest {

// Path of a fake library built for the tests, e.g. fakePath("fake_chip").
QString fakePath(const char *name);

// A fresh temporary working directory, entered for the object's life.
class ConsoleDir
{
public:
    ConsoleDir();
    ~ConsoleDir();
    ConsoleDir(const ConsoleDir &) = delete;
    ConsoleDir &operator=(const ConsoleDir &) = delete;

    // Links `name` (e.g. "stripedrv.so") in the directory to `target`.
    void link(const QString &name, const QString &target);
    // Writes a file `name` that is not a library at all.
    void garbage(const QString &name);
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    QString previous_;
};

// What a dialog showed.
struct Dialog
{
    QString title;
    QString text;
    bool critical = false;  // the critical icon
    bool onlyOk = false;    // OK is its one button
};

// Watches for message boxes from the moment it is made; records each one
// and dismisses it with its OK button, so that a modal dialog never blocks
// a test.
class DialogCatcher
{
public:
    DialogCatcher();
    // Every dialog seen so far, in order; forgets them.
    QList<Dialog> take();
    // Just the texts of take().
    QStringList takeTexts();

private:
    void poll();
    QTimer timer_;
    QList<Dialog> seen_;
};

// The records of one fake library. The file is opened by path; when the
// console has loaded it through a link, this is the same library.
class Fake
{
public:
    explicit Fake(const char *name);
    bool ok() const { return call != nullptr && reply != nullptr; }
    // Forgets the calls and answers the next ones with `result`.
    void reset(int result = 0);

    FakeCall *call = nullptr;
    FakeReply *reply = nullptr;
};

// A named child of the console window; fails the test when missing.
template <typename T>
T *child(QWidget *window, const char *name)
{
    T *found = window->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("console window has no %s", name);
    return found;
}

}  // namespace consoletest
