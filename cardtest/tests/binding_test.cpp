// Binding the reader libraries at start: which dialogs appear, in which
// order, and what each button does afterwards.
//
// The console binds once per process and the loader keeps every library
// under its file name, so each row builds exactly one window and runs in a
// process of its own (ctest runs every row that way).
#include "consoletest.h"
#include "mainwindow.h"

#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

using namespace consoletest;

namespace {

const QString kStripeLib = QStringLiteral("无法加载磁条读卡器动态库");
const QString kChipLib = QStringLiteral("无法加载IC卡读卡器动态库");
const QString kIdLib = QStringLiteral("无法加载二代证读卡器动态库");
const QString kStripeFn = QStringLiteral("无法加载磁条读卡器库函数");
const QString kChipFn = QStringLiteral("无法加载IC卡读卡器库函数");
const QString kIdFn = QStringLiteral("无法加载二代证读卡器库函数");

// The buttons, the library file each uses (stripe, chip, ID) and its
// dialog when that library's function is not bound. Which function each
// button calls the operation tests pin down.
struct Button
{
    const char *name;
    int file;
    const char *notBound;
};
const Button kButtons[] = {
    {"btn_readMS", 0, "磁条读卡器库函数没有加载！"},
    {"btn_writeMS", 0, "磁条读卡器库函数没有加载！"},
    {"btn_readIC", 1, "IC卡读卡器库函数没有加载！"},
    {"btn_readID", 2, "二代证读卡器库函数没有加载！"},
};

}  // namespace

class BindingTest : public QObject
{
    Q_OBJECT

private slots:
    void startAndClickEveryButton_data();
    void startAndClickEveryButton();
};

void BindingTest::startAndClickEveryButton_data()
{
    // What lies in the working directory as stripedrv.so, chipdrv.so and
    // idcarddrv.so ("" missing, "garbage" no library, else a fake), the
    // dialogs at start, and which of the four buttons then reach their
    // library ('1') or report their function as not bound ('0').
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("dialogs");
    QTest::addColumn<QString>("bound");
    const QStringList all = {"fake_stripe", "fake_chip", "fake_id"};
    QTest::newRow("none") << QStringList{"", "", ""} << QStringList{kStripeLib, kChipLib, kIdLib}
                          << "0000";
    QTest::newRow("all") << all << QStringList() << "1111";
    QTest::newRow("only stripe") << QStringList{"fake_stripe", "", ""}
                                 << QStringList{kChipLib, kIdLib} << "1100";
    // A failure with the first library does not stop the other two.
    QTest::newRow("stripe missing") << QStringList{"", "fake_chip", "fake_id"}
                                    << QStringList{kStripeLib} << "0011";
    QTest::newRow("no libraries") << QStringList{"garbage", "garbage", "garbage"}
                                  << QStringList{kStripeLib, kChipLib, kIdLib} << "0000";
    QTest::newRow("no functions") << QStringList{"fake_nothing", "fake_nothing", "fake_nothing"}
                                  << QStringList{kStripeFn, kChipFn, kIdFn} << "0000";
    // Libraries that load but export the other card's call.
    QTest::newRow("chip and ID swapped") << QStringList{"fake_stripe", "fake_id", "fake_chip"}
                                         << QStringList{kChipFn, kIdFn} << "1100";
    // Without MS_ReadCard the stripe library counts as not bound, for
    // writing too.
    QTest::newRow("stripe write only") << QStringList{"fake_stripe_writeonly", "fake_chip", "fake_id"}
                                       << QStringList{kStripeFn} << "0011";
    // MS_WriteCard is not checked at start; the write must then not call it.
    QTest::newRow("stripe read only") << QStringList{"fake_stripe_readonly", "fake_chip", "fake_id"}
                                      << QStringList() << "1011";
    QTest::newRow("mixed") << QStringList{"fake_nothing", "", "garbage"}
                           << QStringList{kStripeFn, kChipLib, kIdLib} << "0000";
}

void BindingTest::startAndClickEveryButton()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, dialogs);
    QFETCH(QString, bound);
    static int windows = 0;
    if (windows++ > 0)
        QSKIP("run each row in a process of its own, as ctest does");
    ConsoleDir dir;
    dir.putAll(files[0], files[1], files[2]);
    DialogCatcher catcher;
    MainWindow window;
    QCOMPARE(catcher.take(), dialogs);

    QTextEdit *output = child<QTextEdit>(&window, "ed_outInfo");
    for (const Button &b : kButtons) {
        const QString &file = files[b.file];
        FakeCall *call = file.startsWith("fake_") ? Fake(file).call : nullptr;
        const int before = call ? call->calls : 0;
        output->setText(QStringLiteral("previous result"));
        QTest::mouseClick(child<QPushButton>(&window, b.name), Qt::LeftButton);
        if (bound[int(&b - kButtons)] == '1') {
            QVERIFY2(call && call->calls == before + 1, b.name);
            QCOMPARE(catcher.take(), QStringList());
        } else {
            QCOMPARE(catcher.take(), QStringList{QString::fromUtf8(b.notBound)});
            QCOMPARE(output->toPlainText(), QString());
            QCOMPARE(call ? call->calls : 0, before);
        }
    }
}

QTEST_MAIN(BindingTest)
#include "binding_test.moc"
