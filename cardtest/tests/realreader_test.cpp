// The console with the real stripedrv.so against the simulated reader,
// end to end: button, library, pseudo-terminal, readersim and back.
#include "consoletest.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

using namespace consoletest;

namespace {
const QString kTrack2 = QStringLiteral("222233021234567654321=44212038899913311");
const QString kTrack3 = QStringLiteral(
    "996888886543215533350201=123456700001003388999010000049120=0000000000=33333");
}  // namespace

class RealReaderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void readShowsBothTracksWithEquals();
    void readOfTrack2LeavesTrack3Empty();
    void writeThenReadGivesTheWrittenData();
    void portThatDoesNotExist();
    void standinLibrariesAnswerNoReader();

private:
    QPushButton *button(const char *name) { return child<QPushButton>(window_, name); }
    QLineEdit *edit(const char *name) { return child<QLineEdit>(window_, name); }
    QString output() { return child<QTextEdit>(window_, "ed_outInfo")->toPlainText(); }

    QProcess sim_;
    QString port_;
    ConsoleDir *dir_ = nullptr;
    MainWindow *window_ = nullptr;
};

void RealReaderTest::initTestCase()
{
#ifndef READERSIM_PATH
    QSKIP("readersim is not part of this build");
#else
    sim_.setProcessChannelMode(QProcess::SeparateChannels);
    sim_.setReadChannel(QProcess::StandardOutput);
    // Paced like a real line at 9600 baud: replies arrive a byte at a time.
    sim_.start(QStringLiteral(READERSIM_PATH), {QStringLiteral("--quiet")});
    QVERIFY2(sim_.waitForStarted(5000), "readersim did not start");
    while (!sim_.canReadLine())
        QVERIFY2(sim_.waitForReadyRead(5000), "readersim printed no port name");
    port_ = QString::fromUtf8(sim_.readLine()).trimmed();
    QVERIFY(!port_.isEmpty());

    dir_ = new ConsoleDir;
    dir_->link("stripedrv.so", QStringLiteral(STRIPEDRV_PATH));
    dir_->link("chipdrv.so", QStringLiteral(CHIPDRV_PATH));
    dir_->link("idcarddrv.so", QStringLiteral(IDCARDDRV_PATH));
    DialogCatcher catcher;
    window_ = new MainWindow;
    QCOMPARE(catcher.takeTexts(), QStringList());
    window_->show();
#endif
}

void RealReaderTest::init()
{
    edit("ed_Port")->setText(port_);
    child<QComboBox>(window_, "cb_mgmod")->setCurrentIndex(2);
}

void RealReaderTest::cleanupTestCase()
{
    delete window_;
    delete dir_;
    if (sim_.state() != QProcess::NotRunning) {
        sim_.terminate();
        if (!sim_.waitForFinished(5000))
            sim_.kill();
    }
}

void RealReaderTest::readShowsBothTracksWithEquals()
{
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("二磁道：") + kTrack2 + QStringLiteral("\n三磁道：") + kTrack3);
}

void RealReaderTest::readOfTrack2LeavesTrack3Empty()
{
    child<QComboBox>(window_, "cb_mgmod")->setCurrentIndex(0);
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("二磁道：") + kTrack2 + QStringLiteral("\n三磁道："));
}

void RealReaderTest::writeThenReadGivesTheWrittenData()
{
    const QString t2 = QStringLiteral("6222020200112233445=29120000");
    const QString t3 = QStringLiteral("996222020200112233445=1560000000000000000=0000000000=00000");
    edit("ed_track2")->setText(t2);
    edit("ed_track3")->setText(t3);
    QTest::mouseClick(button("btn_writeMS"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("写磁条数据成功！"));
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("二磁道：") + t2 + QStringLiteral("\n三磁道：") + t3);
    // Put the card back the way the other cases expect it.
    edit("ed_track2")->setText(kTrack2);
    edit("ed_track3")->setText(kTrack3);
    QTest::mouseClick(button("btn_writeMS"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("写磁条数据成功！"));
}

void RealReaderTest::portThatDoesNotExist()
{
    edit("ed_Port")->setText(QStringLiteral("ttyNoSuchReader9"));
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("读磁条失败，错误代码：-3"));
    QTest::mouseClick(button("btn_writeMS"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("写磁条数据失败，错误代码：-3"));
}

void RealReaderTest::standinLibrariesAnswerNoReader()
{
    QTest::mouseClick(button("btn_readIC"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("读卡失败，错误代码：-20"));
    QTest::mouseClick(button("btn_readID"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("读取二代证信息失败，错误代码：-20"));
    edit("ed_Port")->setText(QStringLiteral("ttyNoSuchReader9"));
    QTest::mouseClick(button("btn_readIC"), Qt::LeftButton);
    QCOMPARE(output(), QStringLiteral("读卡失败，错误代码：-3"));
    // The stripe reader still answers after the stand-ins touched its port.
    edit("ed_Port")->setText(port_);
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);
    QVERIFY(output().startsWith(QStringLiteral("二磁道：") + kTrack2));
}

QTEST_MAIN(RealReaderTest)
#include "realreader_test.moc"
