#include "consoletest.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>

#include <dlfcn.h>
#include <cstring>

namespace consoletest {

QString fakePath(const char *name)
{
    return QStringLiteral(FAKE_DIR "/") + QString::fromLatin1(name) + QStringLiteral(".so");
}

ConsoleDir::ConsoleDir()
    : previous_(QDir::currentPath())
{
    if (!dir_.isValid() || !QDir::setCurrent(dir_.path()))
        qFatal("cannot make a working directory for the console");
}

ConsoleDir::~ConsoleDir()
{
    QDir::setCurrent(previous_);
}

void ConsoleDir::link(const QString &name, const QString &target)
{
    if (!QFile::link(target, dir_.filePath(name)))
        qFatal("cannot link %s", qPrintable(name));
}

void ConsoleDir::garbage(const QString &name)
{
    QFile file(dir_.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write("not a shared library\n") < 0)
        qFatal("cannot write %s", qPrintable(name));
}

DialogCatcher::DialogCatcher()
{
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start(10);
}

void DialogCatcher::poll()
{
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        QMessageBox *box = qobject_cast<QMessageBox *>(window);
        if (!box || !box->isVisible())
            continue;
        Dialog seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.critical = box->icon() == QMessageBox::Critical;
        seen.onlyOk = box->buttons().size() == 1 && box->button(QMessageBox::Ok) != nullptr;
        seen_.append(seen);
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->done(0);
    }
}

QList<Dialog> DialogCatcher::take()
{
    QList<Dialog> all;
    all.swap(seen_);
    return all;
}

QStringList DialogCatcher::takeTexts()
{
    QStringList texts;
    for (const Dialog &d : take())
        texts << d.text;
    return texts;
}

Fake::Fake(const char *name)
{
    void *handle = dlopen(fakePath(name).toLocal8Bit().constData(), RTLD_LAZY);
    if (!handle)
        return;
    call = static_cast<FakeCall *>(dlsym(handle, "fake_call"));
    reply = static_cast<FakeReply *>(dlsym(handle, "fake_reply"));
}

void Fake::reset(int result)
{
    std::memset(call, 0, sizeof *call);
    std::memset(reply, 0, sizeof *reply);
    reply->result = result;
}

}  // namespace consoletest
