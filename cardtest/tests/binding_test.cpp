// Binding the reader libraries at start: which dialogs appear, in which
// order, and what the buttons do afterwards.
//
// The console binds once per process and Qt keeps every library it loaded
// under its file name, so each function here builds exactly one window and
// runs in a process of its own (ctest runs them that way).
#include "consoletest.h"
#include "mainwindow.h"

#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include <cstring>
#include <memory>

using namespace consoletest;

namespace {

const QString kTitle = QStringLiteral("错误信息提示");
const QString kStripeLib = QStringLiteral("无法加载磁条读卡器动态库");
const QString kChipLib = QStringLiteral("无法加载IC卡读卡器动态库");
const QString kIdLib = QStringLiteral("无法加载二代证读卡器动态库");
const QString kStripeFn = QStringLiteral("无法加载磁条读卡器库函数");
const QString kChipFn = QStringLiteral("无法加载IC卡读卡器库函数");
const QString kIdFn = QStringLiteral("无法加载二代证读卡器库函数");
const QString kStripeNotBound = QStringLiteral("磁条读卡器库函数没有加载！");
const QString kChipNotBound = QStringLiteral("IC卡读卡器库函数没有加载！");
const QString kIdNotBound = QStringLiteral("二代证读卡器库函数没有加载！");

// How one library file lies in the working directory: missing (""),
// "garbage" (a file that is no library) or the name of a fake.
void layOut(ConsoleDir &dir, const char *file, const char *what)
{
    if (!*what)
        return;
    if (!std::strcmp(what, "garbage"))
        dir.garbage(QString::fromLatin1(file));
    else
        dir.link(QString::fromLatin1(file), fakePath(what));
}

}  // namespace

class BindingTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void noneOfTheThree();
    void allThree();
    void onlyTheStripeLibrary();
    void stripeMissingTheOthersThere();
    void filesThatAreNoLibraries();
    void librariesWithoutTheirFunctions();
    void chipLibraryWithoutItsFunction();
    void idLibraryWithoutItsFunction();
    void stripeLibraryWithOnlyTheWriteCall();
    void stripeLibraryWithoutTheWriteCall();
    void missingAndFunctionlessMixed();
    void librariesBesideTheProgramAreNotUsed();

private:
    // Lays out the working directory, builds the window and returns the
    // texts of the dialogs it showed, checking that each was a critical
    // one titled "错误信息提示" with OK as its only button.
    QStringList start(const char *stripe, const char *chip, const char *id);
    // Clicks a button; returns the dialogs it showed.
    QStringList click(const char *button);
    QString output() { return child<QTextEdit>(window_.get(), "ed_outInfo")->toPlainText(); }

    std::unique_ptr<ConsoleDir> dir_;
    std::unique_ptr<DialogCatcher> catcher_;
    std::unique_ptr<MainWindow> window_;
};

void BindingTest::init()
{
    static int windows = 0;
    if (windows++ > 0)
        QSKIP("run each function in a process of its own, as ctest does");
}

QStringList BindingTest::start(const char *stripe, const char *chip, const char *id)
{
    dir_.reset(new ConsoleDir);
    layOut(*dir_, "stripedrv.so", stripe);
    layOut(*dir_, "chipdrv.so", chip);
    layOut(*dir_, "idcarddrv.so", id);
    catcher_.reset(new DialogCatcher);
    window_.reset(new MainWindow);
    QStringList texts;
    for (const Dialog &d : catcher_->take()) {
        texts << d.text;
        if (d.title != kTitle || !d.critical || !d.onlyOk)
            texts << QStringLiteral("<dialog not a critical OK box titled %1>").arg(kTitle);
    }
    return texts;
}

QStringList BindingTest::click(const char *button)
{
    child<QTextEdit>(window_.get(), "ed_outInfo")->setText(QStringLiteral("previous result"));
    QTest::mouseClick(child<QPushButton>(window_.get(), button), Qt::LeftButton);
    QStringList texts;
    for (const Dialog &d : catcher_->take()) {
        texts << d.text;
        if (d.title != kTitle || !d.critical || !d.onlyOk)
            texts << QStringLiteral("<dialog not a critical OK box titled %1>").arg(kTitle);
    }
    return texts;
}

void BindingTest::noneOfTheThree()
{
    QCOMPARE(start("", "", ""), QStringList() << kStripeLib << kChipLib << kIdLib);
    window_->show();
    // Every button then only reports its missing function, and leaves the
    // output area empty although it held an earlier result.
    QCOMPARE(click("btn_readMS"), QStringList() << kStripeNotBound);
    QCOMPARE(output(), QString());
    QCOMPARE(click("btn_writeMS"), QStringList() << kStripeNotBound);
    QCOMPARE(output(), QString());
    QCOMPARE(click("btn_readIC"), QStringList() << kChipNotBound);
    QCOMPARE(output(), QString());
    QCOMPARE(click("btn_readID"), QStringList() << kIdNotBound);
    QCOMPARE(output(), QString());
}

void BindingTest::allThree()
{
    QCOMPARE(start("fake_stripe", "fake_chip", "fake_id"), QStringList());
    Fake stripe("fake_stripe"), chip("fake_chip"), id("fake_id");
    for (const char *b : {"btn_readMS", "btn_writeMS", "btn_readIC", "btn_readID"})
        QCOMPARE(click(b), QStringList());
    QCOMPARE(stripe.call->calls, 2);
    QCOMPARE(chip.call->calls, 1);
    QCOMPARE(id.call->calls, 1);
}

void BindingTest::onlyTheStripeLibrary()
{
    QCOMPARE(start("fake_stripe", "", ""), QStringList() << kChipLib << kIdLib);
    Fake stripe("fake_stripe");
    QCOMPARE(click("btn_readMS"), QStringList());
    QCOMPARE(click("btn_writeMS"), QStringList());
    QCOMPARE(stripe.call->calls, 2);
    QCOMPARE(click("btn_readIC"), QStringList() << kChipNotBound);
    QCOMPARE(click("btn_readID"), QStringList() << kIdNotBound);
}

void BindingTest::stripeMissingTheOthersThere()
{
    // A failure with the first library does not stop the other two.
    QCOMPARE(start("", "fake_chip", "fake_id"), QStringList() << kStripeLib);
    Fake chip("fake_chip"), id("fake_id");
    QCOMPARE(click("btn_readIC"), QStringList());
    QCOMPARE(click("btn_readID"), QStringList());
    QCOMPARE(chip.call->calls, 1);
    QCOMPARE(id.call->calls, 1);
    QCOMPARE(click("btn_readMS"), QStringList() << kStripeNotBound);
}

void BindingTest::filesThatAreNoLibraries()
{
    QCOMPARE(start("garbage", "garbage", "garbage"), QStringList() << kStripeLib << kChipLib << kIdLib);
}

void BindingTest::librariesWithoutTheirFunctions()
{
    QCOMPARE(start("fake_nothing", "fake_nothing", "fake_nothing"),
             QStringList() << kStripeFn << kChipFn << kIdFn);
    QCOMPARE(click("btn_readMS"), QStringList() << kStripeNotBound);
    QCOMPARE(click("btn_readIC"), QStringList() << kChipNotBound);
    QCOMPARE(click("btn_readID"), QStringList() << kIdNotBound);
}

void BindingTest::chipLibraryWithoutItsFunction()
{
    // A library that loads but exports only the ID card call.
    QCOMPARE(start("fake_stripe", "fake_id", "fake_id"), QStringList() << kChipFn);
    QCOMPARE(click("btn_readIC"), QStringList() << kChipNotBound);
    QCOMPARE(output(), QString());
    QCOMPARE(click("btn_readID"), QStringList());
}

void BindingTest::idLibraryWithoutItsFunction()
{
    QCOMPARE(start("fake_stripe", "fake_chip", "fake_chip"), QStringList() << kIdFn);
    QCOMPARE(click("btn_readID"), QStringList() << kIdNotBound);
    QCOMPARE(click("btn_readIC"), QStringList());
}

void BindingTest::stripeLibraryWithOnlyTheWriteCall()
{
    // Without MS_ReadCard the stripe library counts as not bound, for
    // writing too.
    QCOMPARE(start("fake_stripe_writeonly", "fake_chip", "fake_id"), QStringList() << kStripeFn);
    Fake stripe("fake_stripe_writeonly");
    QCOMPARE(click("btn_readMS"), QStringList() << kStripeNotBound);
    QCOMPARE(click("btn_writeMS"), QStringList() << kStripeNotBound);
    QCOMPARE(stripe.call->calls, 0);
}

void BindingTest::stripeLibraryWithoutTheWriteCall()
{
    // MS_WriteCard is not checked at start: no dialog. The write button
    // must then not call the missing function.
    QCOMPARE(start("fake_stripe_readonly", "fake_chip", "fake_id"), QStringList());
    Fake stripe("fake_stripe_readonly");
    QCOMPARE(click("btn_writeMS"), QStringList() << kStripeNotBound);
    QCOMPARE(output(), QString());
    QCOMPARE(stripe.call->calls, 0);
    QCOMPARE(click("btn_readMS"), QStringList());
    QCOMPARE(stripe.call->calls, 1);
    QCOMPARE(QString::fromLatin1(stripe.call->function), QStringLiteral("MS_ReadCard"));
}

void BindingTest::missingAndFunctionlessMixed()
{
    QCOMPARE(start("fake_nothing", "", "garbage"), QStringList() << kStripeFn << kChipLib << kIdLib);
}

void BindingTest::librariesBesideTheProgramAreNotUsed()
{
    // The libraries lie in one directory, the console runs in another: the
    // "./" paths look only in the working directory.
    ConsoleDir libs;
    libs.link("stripedrv.so", fakePath("fake_stripe"));
    libs.link("chipdrv.so", fakePath("fake_chip"));
    libs.link("idcarddrv.so", fakePath("fake_id"));
    QCOMPARE(start("", "", ""), QStringList() << kStripeLib << kChipLib << kIdLib);
}

QTEST_MAIN(BindingTest)
#include "binding_test.moc"
