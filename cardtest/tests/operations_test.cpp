// The four card operations against fake libraries: the arguments each
// library receives, the output for success and failure, the output cleared
// and the wait cursor shown during the call, and no second operation while
// one is running.
#include "consoletest.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

using namespace consoletest;

namespace {

MainWindow *g_window = nullptr;
Fake *g_fakes[3];  // stripe, chip, ID
QString g_outputDuringCall;
bool g_waitCursorDuringCall = false;
int g_nestedCalls = 0;

int totalCalls()
{
    return g_fakes[0]->call->calls + g_fakes[1]->call->calls + g_fakes[2]->call->calls;
}

QString output()
{
    return child<QTextEdit>(g_window, "ed_outInfo")->toPlainText();
}

void click(const char *button)
{
    QTest::mouseClick(child<QPushButton>(g_window, button), Qt::LeftButton);
}

void observeCall()
{
    g_outputDuringCall = output();
    const QCursor *cursor = QApplication::overrideCursor();
    g_waitCursorDuringCall = cursor && cursor->shape() == Qt::WaitCursor;
}

// Clicks every button from inside a running call: directly, as a nested
// event loop would deliver them, and queued, as the clicks the operator
// makes on the frozen window arrive once it returns.
void clickEverythingDuringCall()
{
    const int before = totalCalls();
    for (const char *name : {"btn_readMS", "btn_writeMS", "btn_readIC", "btn_readID"}) {
        QPushButton *button = child<QPushButton>(g_window, name);
        QTest::mouseClick(button, Qt::LeftButton);
        const QPointF centre = button->rect().center();
        const QPointF global = button->mapToGlobal(button->rect().center());
        // The constructor with both positions is the one Qt 5 and Qt 6 share.
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QCoreApplication::postEvent(button, new QMouseEvent(type, centre, global, Qt::LeftButton,
                                                                Qt::LeftButton, Qt::NoModifier));
    }
    g_nestedCalls = totalCalls() - before;
}

}  // namespace

class OperationsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void operation_data();
    void operation();
    void noSecondOperationWhileOneRuns();

private:
    ConsoleDir dir_;
};

void OperationsTest::initTestCase()
{
    dir_.putAll("fake_stripe", "fake_chip", "fake_id");
    g_fakes[0] = new Fake("fake_stripe");
    g_fakes[1] = new Fake("fake_chip");
    g_fakes[2] = new Fake("fake_id");
    DialogCatcher catcher;
    g_window = new MainWindow;
    QCOMPARE(catcher.take(), QStringList());
    g_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(g_window));
}

void OperationsTest::operation_data()
{
    // The button, selector index and port; what the library answers: its
    // result and the texts it fills in (none: 'F' to the last byte of every
    // buffer; for a write these are the track fields typed); the call it
    // sees and the output shown.
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("selector");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArrayList>("reply");
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("shown");
    const QByteArrayList none = {"", ""};
    const QString F(256, 'F');
    QTest::newRow("read 二磁道, UTF-8 port, invalid UTF-8 replaced")
        << "btn_readMS" << 0 << "tty读卡器" << 0 << QByteArrayList{"1234=5678", "9\xff=8"}
        << "MS_ReadCard tty读卡器||9600|20|2|0|zeroed|zeroed"
        << QStringLiteral("二磁道：1234=5678\n三磁道：9") + QChar(0xFFFD) + QStringLiteral("=8");
    QTest::newRow("read 三磁道 port fails")
        << "btn_readMS" << 1 << "pts/7" << -3 << QByteArrayList{"left", "over"}
        << "MS_ReadCard pts/7||9600|20|3|0|zeroed|zeroed" << "读磁条失败，错误代码：-3";
    QTest::newRow("read 二三磁道 empty port, no data")
        << "btn_readMS" << 2 << "" << 0 << none
        << "MS_ReadCard ||9600|20|23|0|zeroed|zeroed" << "二磁道：\n三磁道：";
    QTest::newRow("read buffers filled to the last byte")
        << "btn_readMS" << 2 << "ttyUSB0" << 0 << QByteArrayList()
        << "MS_ReadCard ttyUSB0||9600|20|23|0|zeroed|zeroed"
        << QStringLiteral("二磁道：") + F + QStringLiteral("\n三磁道：") + F;
    QTest::newRow("write 二三磁道")
        << "btn_writeMS" << 2 << "ttyUSB3" << 0 << QByteArrayList{"1234=5678", "99=00"}
        << "MS_WriteCard ttyUSB3||9600|20|23|0|1234=5678|99=00" << "写磁条数据成功！";
    QTest::newRow("write 二磁道 UTF-8")
        << "btn_writeMS" << 0 << "ttyUSB3" << 0 << QByteArrayList{"卡=1", "é"}
        << "MS_WriteCard ttyUSB3||9600|20|2|0|卡=1|é" << "写磁条数据成功！";
    QTest::newRow("write 三磁道 empty track 2 fails")
        << "btn_writeMS" << 1 << "ttyUSB3" << -5 << QByteArrayList{"", "99=00"}
        << "MS_WriteCard ttyUSB3||9600|20|3|0||99=00" << "写磁条数据失败，错误代码：-5";
    QTest::newRow("IC information")
        << "btn_readIC" << 2 << "ttyUSB1" << 0 << QByteArrayList{"卡号=6222000011112222"}
        << "IC_GetInfo ttyUSB1||9600|20|3||A|len|zeroed" << "IC卡信息：卡号=6222000011112222";
    QTest::newRow("IC fails")
        << "btn_readIC" << 2 << "ttyUSB1" << -20 << QByteArrayList{"ignored"}
        << "IC_GetInfo ttyUSB1||9600|20|3||A|len|zeroed" << "读卡失败，错误代码：-20";
    QTest::newRow("IC buffer filled to the last byte")
        << "btn_readIC" << 2 << "ttyUSB1" << 0 << QByteArrayList()
        << "IC_GetInfo ttyUSB1||9600|20|3||A|len|zeroed" << QStringLiteral("IC卡信息：") + F + F;
    QTest::newRow("ID information")
        << "btn_readID" << 2 << "ttyUSB2" << 0 << QByteArrayList{"姓名：张三|性别：男"}
        << "ID_GetInfo ttyUSB2||9600|20|./photo.jpg||||zeroed" << "二代证信息：姓名：张三|性别：男";
    QTest::newRow("ID fails with a positive code")
        << "btn_readID" << 2 << "ttyUSB2" << 7 << QByteArrayList{"ignored"}
        << "ID_GetInfo ttyUSB2||9600|20|./photo.jpg||||zeroed" << "读取二代证信息失败，错误代码：7";
    QTest::newRow("ID buffer filled to the last byte")
        << "btn_readID" << 2 << "ttyUSB2" << 0 << QByteArrayList()
        << "ID_GetInfo ttyUSB2||9600|20|./photo.jpg||||zeroed"
        << QStringLiteral("二代证信息：") + QString(2048, 'F');
}

void OperationsTest::operation()
{
    QFETCH(QString, button);
    QFETCH(int, selector);
    QFETCH(QString, port);
    QFETCH(int, result);
    QFETCH(QByteArrayList, reply);
    QFETCH(QString, call);
    QFETCH(QString, shown);
    for (Fake *f : g_fakes)
        f->reset();
    Fake &fake = *g_fakes[button.endsWith("MS") ? 0 : button.endsWith("IC") ? 1 : 2];
    fake.reset(result);
    qstrcpy(fake.reply->first, reply.value(0).constData());
    qstrcpy(fake.reply->second, reply.value(1).constData());
    fake.reply->fillWithoutNul = reply.isEmpty();
    fake.reply->during = observeCall;
    child<QComboBox>(g_window, "cb_mgmod")->setCurrentIndex(selector);
    child<QLineEdit>(g_window, "ed_Port")->setText(port);
    child<QLineEdit>(g_window, "ed_track2")->setText(QString::fromUtf8(reply.value(0)));
    child<QLineEdit>(g_window, "ed_track3")->setText(QString::fromUtf8(reply.value(1)));
    child<QTextEdit>(g_window, "ed_outInfo")->setText(QStringLiteral("result of an earlier click"));
    click(qPrintable(button));

    QCOMPARE(totalCalls(), 1);
    QCOMPARE(QString::fromUtf8(fake.call->args), call);
    QCOMPARE(g_outputDuringCall, QString());  // cleared before the call
    QVERIFY(g_waitCursorDuringCall);
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QCOMPARE(output(), shown);
}

void OperationsTest::noSecondOperationWhileOneRuns()
{
    for (Fake *f : g_fakes)
        f->reset();
    qstrcpy(g_fakes[0]->reply->first, "1111");
    qstrcpy(g_fakes[0]->reply->second, "2222");
    g_fakes[0]->reply->during = clickEverythingDuringCall;
    click("btn_readMS");
    QCoreApplication::processEvents();
    QCOMPARE(g_nestedCalls, 0);
    QCOMPARE(totalCalls(), 1);
    QCOMPARE(output(), QStringLiteral("二磁道：1111\n三磁道：2222"));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    // Once the call is over the buttons work again.
    click("btn_readIC");
    QCOMPARE(totalCalls(), 2);
}

QTEST_MAIN(OperationsTest)
#include "operations_test.moc"
