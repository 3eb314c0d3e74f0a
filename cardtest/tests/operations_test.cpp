// The four card operations against fake libraries: the arguments each
// library receives, the output for success and failure, the cleared
// output, the wait cursor and the refusal of a second operation while
// one is running.
#include "consoletest.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

#include <cstring>

using namespace consoletest;

namespace {

// What the hook saw in the middle of a call.
struct DuringCall
{
    QString output;
    bool waitCursor = false;
    int nestedCalls = 0;
};

DuringCall g_during;
MainWindow *g_window = nullptr;
Fake *g_fakes[3];

int totalCalls()
{
    int n = 0;
    for (Fake *f : g_fakes)
        n += f->call->calls;
    return n;
}

void observeCall()
{
    g_during.output = child<QTextEdit>(g_window, "ed_outInfo")->toPlainText();
    const QCursor *cursor = QApplication::overrideCursor();
    g_during.waitCursor = cursor && cursor->shape() == Qt::WaitCursor;
}

// Clicks every button from inside a running call: directly, as a nested
// event loop would deliver them, and queued, as the clicks the operator
// makes on the frozen window arrive once it returns.
void clickEverythingDuringCall()
{
    observeCall();
    const int before = totalCalls();
    for (const char *name : {"btn_readMS", "btn_writeMS", "btn_readIC", "btn_readID"}) {
        QPushButton *button = child<QPushButton>(g_window, name);
        QTest::mouseClick(button, Qt::LeftButton);
        const QPoint centre = button->rect().center();
        QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, centre,
                                                            Qt::LeftButton, Qt::LeftButton,
                                                            Qt::NoModifier));
        QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, centre,
                                                            Qt::LeftButton, Qt::NoButton,
                                                            Qt::NoModifier));
    }
    g_during.nestedCalls = totalCalls() - before;
}

QString text(const char *bytes)
{
    return QString::fromUtf8(bytes);
}

}  // namespace

class OperationsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void readStripeArguments_data();
    void readStripeArguments();
    void readStripeOutput_data();
    void readStripeOutput();
    void writeStripe_data();
    void writeStripe();
    void readIcCard_data();
    void readIcCard();
    void readIdCard_data();
    void readIdCard();
    void everyClickClearsTheOutputFirst_data();
    void everyClickClearsTheOutputFirst();
    void noSecondOperationWhileOneRuns();

private:
    QPushButton *button(const char *name) { return child<QPushButton>(window_, name); }
    QString output() { return child<QTextEdit>(window_, "ed_outInfo")->toPlainText(); }

    ConsoleDir *dir_ = nullptr;
    MainWindow *window_ = nullptr;
    Fake *stripe_ = nullptr;
    Fake *chip_ = nullptr;
    Fake *id_ = nullptr;
};

void OperationsTest::initTestCase()
{
    dir_ = new ConsoleDir;
    dir_->link("stripedrv.so", fakePath("fake_stripe"));
    dir_->link("chipdrv.so", fakePath("fake_chip"));
    dir_->link("idcarddrv.so", fakePath("fake_id"));
    stripe_ = new Fake("fake_stripe");
    chip_ = new Fake("fake_chip");
    id_ = new Fake("fake_id");
    QVERIFY(stripe_->ok() && chip_->ok() && id_->ok());
    g_fakes[0] = stripe_;
    g_fakes[1] = chip_;
    g_fakes[2] = id_;

    DialogCatcher catcher;
    window_ = new MainWindow;
    g_window = window_;
    QCOMPARE(catcher.takeTexts(), QStringList());
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_));
}

void OperationsTest::init()
{
    for (Fake *f : g_fakes)
        f->reset();
    g_during = DuringCall();
    child<QLineEdit>(window_, "ed_Port")->setText(QStringLiteral("ttyCH341USB0"));
    child<QComboBox>(window_, "cb_mgmod")->setCurrentIndex(2);
}

void OperationsTest::cleanupTestCase()
{
    delete window_;
    delete dir_;
}

void OperationsTest::readStripeArguments_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("trackMode");
    QTest::newRow("二磁道") << 0 << "ttyUSB0" << 2;
    QTest::newRow("三磁道") << 1 << "pts/7" << 3;
    QTest::newRow("二三磁道") << 2 << "ttyCH341USB0" << 23;
    QTest::newRow("empty port") << 2 << "" << 23;
    QTest::newRow("port name in UTF-8") << 0 << "tty读卡器" << 2;
}

void OperationsTest::readStripeArguments()
{
    QFETCH(int, selector);
    QFETCH(QString, port);
    QFETCH(int, trackMode);
    child<QComboBox>(window_, "cb_mgmod")->setCurrentIndex(selector);
    child<QLineEdit>(window_, "ed_Port")->setText(port);
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);

    const FakeCall &c = *stripe_->call;
    QCOMPARE(c.calls, 1);
    QCOMPARE(QString::fromLatin1(c.function), QStringLiteral("MS_ReadCard"));
    QCOMPARE(QByteArray(c.port), port.toUtf8());
    QCOMPARE(QByteArray(c.extPort), QByteArray());
    QCOMPARE(c.baud, 9600);
    QCOMPARE(c.timeout, 20);
    QCOMPARE(c.ints[0], trackMode);
    QCOMPARE(c.ints[1], 0);
    QCOMPARE(c.nullArgument, 0);
    QCOMPARE(c.buffersZeroed, 1);
}

void OperationsTest::readStripeOutput_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("track2");
    QTest::addColumn<QByteArray>("track3");
    QTest::addColumn<QString>("shown");
    QTest::newRow("both tracks")
        << 0 << QByteArray("1234=5678") << QByteArray("99=88=77")
        << text("二磁道：1234=5678\n三磁道：99=88=77");
    QTest::newRow("only track 2 filled")
        << 0 << QByteArray("6222021234567890=2512") << QByteArray()
        << text("二磁道：6222021234567890=2512\n三磁道：");
    QTest::newRow("no card data") << 0 << QByteArray() << QByteArray() << text("二磁道：\n三磁道：");
    QTest::newRow("port cannot be opened")
        << -3 << QByteArray("left") << QByteArray("over") << text("读磁条失败，错误代码：-3");
    QTest::newRow("no card before the limit") << -2 << QByteArray() << QByteArray()
                                              << text("读磁条失败，错误代码：-2");
    QTest::newRow("positive code is a failure too")
        << 21 << QByteArray("1") << QByteArray("2") << text("读磁条失败，错误代码：21");
    QTest::newRow("invalid UTF-8 shown replaced")
        << 0 << QByteArray("12\xff" "34") << QByteArray("ok")
        << QStringLiteral("二磁道：12") + QChar(0xFFFD) + QStringLiteral("34\n三磁道：ok");
}

void OperationsTest::readStripeOutput()
{
    QFETCH(int, result);
    QFETCH(QByteArray, track2);
    QFETCH(QByteArray, track3);
    QFETCH(QString, shown);
    stripe_->reset(result);
    std::strcpy(stripe_->reply->first, track2.constData());
    std::strcpy(stripe_->reply->second, track3.constData());
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);
    QCOMPARE(stripe_->call->calls, 1);
    QCOMPARE(output(), shown);
}

void OperationsTest::writeStripe_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<QString>("track2");
    QTest::addColumn<QString>("track3");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("trackMode");
    QTest::addColumn<QString>("shown");
    const QString t2 = QStringLiteral("222233021234567654321=44212038899913311");
    const QString t3 = QStringLiteral(
        "996888886543215533350201=123456700001003388999010000049120=0000000000=33333");
    QTest::newRow("form defaults") << 2 << t2 << t3 << 0 << 23 << text("写磁条数据成功！");
    QTest::newRow("track 2 only") << 0 << "1234=5678" << t3 << 0 << 2 << text("写磁条数据成功！");
    QTest::newRow("track 3 only") << 1 << t2 << "99=00" << 0 << 3 << text("写磁条数据成功！");
    QTest::newRow("empty track 2") << 2 << "" << t3 << 0 << 23 << text("写磁条数据成功！");
    QTest::newRow("status rq") << 2 << t2 << t3 << -5 << 23 << text("写磁条数据失败，错误代码：-5");
    QTest::newRow("port cannot be opened")
        << 2 << t2 << t3 << -3 << 23 << text("写磁条数据失败，错误代码：-3");
    QTest::newRow("text in UTF-8") << 2 << "卡=1" << "é" << 0 << 23 << text("写磁条数据成功！");
}

void OperationsTest::writeStripe()
{
    QFETCH(int, selector);
    QFETCH(QString, track2);
    QFETCH(QString, track3);
    QFETCH(int, result);
    QFETCH(int, trackMode);
    QFETCH(QString, shown);
    stripe_->reset(result);
    child<QComboBox>(window_, "cb_mgmod")->setCurrentIndex(selector);
    child<QLineEdit>(window_, "ed_Port")->setText(QStringLiteral("ttyUSB3"));
    child<QLineEdit>(window_, "ed_track2")->setText(track2);
    child<QLineEdit>(window_, "ed_track3")->setText(track3);
    QTest::mouseClick(button("btn_writeMS"), Qt::LeftButton);

    const FakeCall &c = *stripe_->call;
    QCOMPARE(c.calls, 1);
    QCOMPARE(QString::fromLatin1(c.function), QStringLiteral("MS_WriteCard"));
    QCOMPARE(QByteArray(c.port), QByteArray("ttyUSB3"));
    QCOMPARE(QByteArray(c.extPort), QByteArray());
    QCOMPARE(c.baud, 9600);
    QCOMPARE(c.timeout, 20);
    QCOMPARE(c.ints[0], trackMode);
    QCOMPARE(c.ints[1], 0);
    QCOMPARE(QByteArray(c.texts[0]), track2.toUtf8());
    QCOMPARE(QByteArray(c.texts[1]), track3.toUtf8());
    QCOMPARE(c.nullArgument, 0);
    QCOMPARE(output(), shown);
}

void OperationsTest::readIcCard_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<bool>("unterminated");
    QTest::addColumn<QString>("shown");
    QTest::newRow("information") << 0 << QByteArray("卡号=6222000011112222") << false
                                 << text("IC卡信息：卡号=6222000011112222");
    QTest::newRow("empty information") << 0 << QByteArray() << false << text("IC卡信息：");
    QTest::newRow("no reader") << -20 << QByteArray("ignored") << false
                               << text("读卡失败，错误代码：-20");
    QTest::newRow("buffer filled to the last byte")
        << 0 << QByteArray() << true << text("IC卡信息：") + QString(512, QLatin1Char('F'));
}

void OperationsTest::readIcCard()
{
    QFETCH(int, result);
    QFETCH(QByteArray, info);
    QFETCH(bool, unterminated);
    QFETCH(QString, shown);
    chip_->reset(result);
    std::strcpy(chip_->reply->first, info.constData());
    chip_->reply->fillWithoutNul = unterminated;
    child<QLineEdit>(window_, "ed_Port")->setText(QStringLiteral("ttyUSB1"));
    QTest::mouseClick(button("btn_readIC"), Qt::LeftButton);

    const FakeCall &c = *chip_->call;
    QCOMPARE(c.calls, 1);
    QCOMPARE(QByteArray(c.port), QByteArray("ttyUSB1"));
    QCOMPARE(QByteArray(c.extPort), QByteArray());
    QCOMPARE(c.baud, 9600);
    QCOMPARE(c.timeout, 20);
    QCOMPARE(c.ints[0], 3);
    QCOMPARE(QByteArray(c.texts[0]), QByteArray());
    QCOMPARE(QByteArray(c.texts[1]), QByteArray("A"));
    QCOMPARE(c.nullArgument, 0);
    QCOMPARE(c.buffersZeroed, 1);
    QCOMPARE(output(), shown);
}

void OperationsTest::readIdCard_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<bool>("unterminated");
    QTest::addColumn<QString>("shown");
    QTest::newRow("information") << 0 << QByteArray("姓名：张三|性别：男|民族：汉") << false
                                 << text("二代证信息：姓名：张三|性别：男|民族：汉");
    QTest::newRow("failure") << -7 << QByteArray("ignored") << false
                             << text("读取二代证信息失败，错误代码：-7");
    QTest::newRow("buffer filled to the last byte")
        << 0 << QByteArray() << true << text("二代证信息：") + QString(2048, QLatin1Char('F'));
}

void OperationsTest::readIdCard()
{
    QFETCH(int, result);
    QFETCH(QByteArray, info);
    QFETCH(bool, unterminated);
    QFETCH(QString, shown);
    id_->reset(result);
    std::strcpy(id_->reply->first, info.constData());
    id_->reply->fillWithoutNul = unterminated;
    child<QLineEdit>(window_, "ed_Port")->setText(QStringLiteral("ttyUSB2"));
    QTest::mouseClick(button("btn_readID"), Qt::LeftButton);

    const FakeCall &c = *id_->call;
    QCOMPARE(c.calls, 1);
    QCOMPARE(QByteArray(c.port), QByteArray("ttyUSB2"));
    QCOMPARE(QByteArray(c.extPort), QByteArray());
    QCOMPARE(c.baud, 9600);
    QCOMPARE(c.timeout, 20);
    QCOMPARE(QByteArray(c.texts[0]), QByteArray("./photo.jpg"));
    QCOMPARE(QByteArray(c.texts[1]), QByteArray());
    QCOMPARE(QByteArray(c.texts[2]), QByteArray());
    QCOMPARE(QByteArray(c.texts[3]), QByteArray());
    QCOMPARE(c.nullArgument, 0);
    QCOMPARE(c.buffersZeroed, 1);
    QCOMPARE(output(), shown);
}

void OperationsTest::everyClickClearsTheOutputFirst_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("fake");
    QTest::newRow("read stripe") << "btn_readMS" << 0;
    QTest::newRow("write stripe") << "btn_writeMS" << 0;
    QTest::newRow("IC card") << "btn_readIC" << 1;
    QTest::newRow("ID card") << "btn_readID" << 2;
}

void OperationsTest::everyClickClearsTheOutputFirst()
{
    QFETCH(QString, name);
    QFETCH(int, fake);
    g_fakes[fake]->reset(-1);
    g_fakes[fake]->reply->during = observeCall;
    child<QTextEdit>(window_, "ed_outInfo")->setText(QStringLiteral("result of an earlier click"));
    QTest::mouseClick(button(qPrintable(name)), Qt::LeftButton);
    QCOMPARE(g_fakes[fake]->call->calls, 1);
    QCOMPARE(g_during.output, QString());  // cleared before the call
    QVERIFY(g_during.waitCursor);
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(output().endsWith(QStringLiteral("-1")));
    QVERIFY(!output().contains(QStringLiteral("earlier")));
}

void OperationsTest::noSecondOperationWhileOneRuns()
{
    std::strcpy(stripe_->reply->first, "1111");
    std::strcpy(stripe_->reply->second, "2222");
    stripe_->reply->during = clickEverythingDuringCall;
    QTest::mouseClick(button("btn_readMS"), Qt::LeftButton);
    QCoreApplication::processEvents();
    QCOMPARE(g_during.nestedCalls, 0);
    QCOMPARE(totalCalls(), 1);
    QCOMPARE(output(), text("二磁道：1111\n三磁道：2222"));
    QVERIFY(QApplication::overrideCursor() == nullptr);

    // Once the call is over the buttons work again.
    stripe_->reply->during = nullptr;
    QTest::mouseClick(button("btn_readIC"), Qt::LeftButton);
    QCOMPARE(chip_->call->calls, 1);
    QCOMPARE(totalCalls(), 2);
}

QTEST_MAIN(OperationsTest)
#include "operations_test.moc"
