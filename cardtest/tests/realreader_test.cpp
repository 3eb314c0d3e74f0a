// The console with the real stripedrv.so and the stand-in libraries against
// the simulated reader, end to end: button, library, pseudo-terminal,
// readersim and back.
#include "consoletest.h"
#include "mainwindow.h"
#include "protocol.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

using namespace consoletest;

// The simulated reader's demo card.
const QString kTrack2 = QString::fromLatin1(readersim::kDefaultTrack2);
const QString kTrack3 = QString::fromLatin1(readersim::kDefaultTrack3);

class RealReaderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void readShowsBothTracksWithEqualsAlsoAfterTheStandins();
    void writeThenReadGivesTheWrittenData();

private:
    QString clickFor(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(window_, button), Qt::LeftButton);
        return child<QTextEdit>(window_, "ed_outInfo")->toPlainText();
    }
    QLineEdit *edit(const char *name) { return child<QLineEdit>(window_, name); }

    QProcess sim_;
    ConsoleDir *dir_ = nullptr;
    MainWindow *window_ = nullptr;
};

void RealReaderTest::initTestCase()
{
    if (!qEnvironmentVariableIsEmpty("SD_EMULATOR"))
        QSKIP("QProcess cannot start the simulated reader under qemu-user, which refuses the "
              "clone call it forks with");
    // Paced like a real line at 9600 baud: replies arrive a byte at a time.
    sim_.start(QStringLiteral(READERSIM_PATH), {QStringLiteral("--quiet")});
    QVERIFY2(sim_.waitForStarted(30000), "readersim did not start");
    while (!sim_.canReadLine())
        QVERIFY2(sim_.waitForReadyRead(30000), "readersim printed no port name");
    dir_ = new ConsoleDir;
    dir_->putAll(STRIPEDRV_PATH, CHIPDRV_PATH, IDCARDDRV_PATH);
    DialogCatcher catcher;
    window_ = new MainWindow;  // selects both tracks
    QCOMPARE(catcher.take(), QStringList());
    window_->show();
    edit("ed_Port")->setText(QString::fromUtf8(sim_.readLine()).trimmed());
}

void RealReaderTest::cleanupTestCase()
{
    delete window_;
    delete dir_;
    sim_.terminate();
    if (!sim_.waitForFinished(5000))
        sim_.kill();
}

void RealReaderTest::readShowsBothTracksWithEqualsAlsoAfterTheStandins()
{
    const QString card = QStringLiteral("二磁道：") + kTrack2 + QStringLiteral("\n三磁道：") + kTrack3;
    QCOMPARE(clickFor("btn_readMS"), card);
    QCOMPARE(clickFor("btn_readIC"), QStringLiteral("读卡失败，错误代码：-20"));
    QCOMPARE(clickFor("btn_readID"), QStringLiteral("读取二代证信息失败，错误代码：-20"));
    // The stripe reader still answers after the stand-ins opened its port.
    QCOMPARE(clickFor("btn_readMS"), card);
}

void RealReaderTest::writeThenReadGivesTheWrittenData()
{
    const QString t2 = QStringLiteral("6222020200112233445=29120000");
    const QString t3 = QStringLiteral("996222020200112233445=1560000000000000000=0000000000=00000");
    edit("ed_track2")->setText(t2);
    edit("ed_track3")->setText(t3);
    QCOMPARE(clickFor("btn_writeMS"), QStringLiteral("写磁条数据成功！"));
    QCOMPARE(clickFor("btn_readMS"),
             QStringLiteral("二磁道：") + t2 + QStringLiteral("\n三磁道：") + t3);
}

QTEST_MAIN(RealReaderTest)
#include "realreader_test.moc"
