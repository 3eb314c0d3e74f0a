#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "chipdrv.h"
#include "idcarddrv.h"
#include "stripedrv.h"

#include <QApplication>
#include <QByteArray>
#include <QLibrary>
#include <QMessageBox>
#include <QString>

#include <cstring>
#include <type_traits>

// The console links none of the reader libraries, but the addresses it
// resolves must have exactly the shapes the libraries declare.
static_assert(std::is_same<MainWindow::MsReadCardFn, decltype(&MS_ReadCard)>::value,
              "MS_ReadCard shape");
static_assert(std::is_same<MainWindow::MsWriteCardFn, decltype(&MS_WriteCard)>::value,
              "MS_WriteCard shape");
static_assert(std::is_same<MainWindow::IcGetInfoFn, decltype(&IC_GetInfo)>::value,
              "IC_GetInfo shape");
static_assert(std::is_same<MainWindow::IdGetInfoFn, decltype(&ID_GetInfo)>::value,
              "ID_GetInfo shape");

namespace {

// Fixed parameters of every call the console makes.
const char kNoExtPort[] = "";
const int kBaud = 9600;
const int kTimeoutSeconds = 20;
const int kReserved = 0;

// Buffer sizes handed to the libraries; each is zero-filled before a call.
const int kTrackBufSize = 256;
const int kIcInfoBufSize = 512;
const int kIdInfoBufSize = 2048;

// True while a library call runs. The stripe library keeps its one port in
// process-wide globals and must never be entered twice at once, so the
// guard is process-wide as well.
bool g_callRunning = false;

// One synchronous library call. A stripe read waits for the swipe on the
// GUI thread, up to about 52 seconds, and the window is frozen meanwhile:
// the wait cursor says so. Clicks made on the frozen window pile up in the
// event queue; they are delivered while the call is still marked as
// running, so every slot they reach returns at once instead of starting
// one operation after another.
class LibraryCall
{
public:
    LibraryCall()
    {
        g_callRunning = true;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        // Let the cleared output area and the cursor reach the screen
        // before the window stops painting.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    ~LibraryCall()
    {
        QCoreApplication::processEvents();
        QApplication::restoreOverrideCursor();
        g_callRunning = false;
    }
    LibraryCall(const LibraryCall &) = delete;
    LibraryCall &operator=(const LibraryCall &) = delete;
};

// The track selector's items stand for TrackMode 2, 3 and 23.
int trackModeOf(int index)
{
    switch (index) {
    case 0:
        return 2;
    case 1:
        return 3;
    default:
        return 23;
    }
}

// A library's text: the bytes up to the first NUL, but never beyond the
// buffer, decoded as UTF-8.
QString textOf(const char *buffer, int size)
{
    return QString::fromUtf8(buffer, static_cast<int>(qstrnlen(buffer, size)));
}

void showError(const QString &text)
{
    QMessageBox::critical(nullptr, MainWindow::tr("错误信息提示"), text);
}

}  // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui_MainWindow)
{
    msReadCard = nullptr;
    msWriteCard = nullptr;
    icGetInfo = nullptr;
    idGetInfo = nullptr;
    ui->setupUi(this);
    msLoaded = false;
    icLoaded = false;
    idLoaded = false;
    ui->cb_mgmod->setCurrentIndex(2);  // "二三磁道": both tracks
    initLibrary();
}

MainWindow::~MainWindow()
{
    delete ui;
}

// Binds the reader libraries from the working directory, always in the
// same order, reporting each one that is missing or lacks its function.
// Nothing is ever unloaded: destroying a QLibrary leaves the library in
// the process, so the addresses stay valid for the window's life.
void MainWindow::initLibrary()
{
    QLibrary stripeLib(QStringLiteral("./stripedrv.so"));
    if (!stripeLib.load()) {
        showError(tr("无法加载磁条读卡器动态库"));
    } else {
        msReadCard = reinterpret_cast<MsReadCardFn>(stripeLib.resolve("MS_ReadCard"));
        msWriteCard = reinterpret_cast<MsWriteCardFn>(stripeLib.resolve("MS_WriteCard"));
        if (msReadCard)
            msLoaded = true;
        else
            showError(tr("无法加载磁条读卡器库函数"));
    }

    QLibrary chipLib(QStringLiteral("./chipdrv.so"));
    if (!chipLib.load()) {
        showError(tr("无法加载IC卡读卡器动态库"));
    } else {
        icGetInfo = reinterpret_cast<IcGetInfoFn>(chipLib.resolve("IC_GetInfo"));
        if (icGetInfo)
            icLoaded = true;
        else
            showError(tr("无法加载IC卡读卡器库函数"));
    }

    QLibrary idLib(QStringLiteral("./idcarddrv.so"));
    if (!idLib.load()) {
        showError(tr("无法加载二代证读卡器动态库"));
    } else {
        idGetInfo = reinterpret_cast<IdGetInfoFn>(idLib.resolve("ID_GetInfo"));
        if (idGetInfo)
            idLoaded = true;
        else
            showError(tr("无法加载二代证读卡器库函数"));
    }
}

void MainWindow::on_btn_readMS_clicked()
{
    if (g_callRunning)
        return;
    ui->ed_outInfo->setText(QString());
    if (!msLoaded) {
        showError(tr("磁条读卡器库函数没有加载！"));
        return;
    }
    const QByteArray port = ui->ed_Port->text().toUtf8();
    const int trackMode = trackModeOf(ui->cb_mgmod->currentIndex());
    char track2[kTrackBufSize];
    char track3[kTrackBufSize];
    std::memset(track2, 0, sizeof track2);
    std::memset(track3, 0, sizeof track3);

    int result;
    {
        LibraryCall call;
        result = msReadCard(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds, trackMode,
                            kReserved, track2, track3);
    }

    if (result == 0)
        ui->ed_outInfo->setText(tr("二磁道：") + textOf(track2, kTrackBufSize) + QLatin1Char('\n')
                                + tr("三磁道：") + textOf(track3, kTrackBufSize));
    else
        ui->ed_outInfo->setText(tr("读磁条失败，错误代码：") + QString::number(result, 10));
}

void MainWindow::on_btn_readIC_clicked()
{
    if (g_callRunning)
        return;
    ui->ed_outInfo->setText(QString());
    if (!icLoaded) {
        showError(tr("IC卡读卡器库函数没有加载！"));
        return;
    }
    const QByteArray port = ui->ed_Port->text().toUtf8();
    int cardType = 3;  // contact and contactless
    int infoLen = 0;
    char info[kIcInfoBufSize];
    std::memset(info, 0, sizeof info);

    int result;
    {
        LibraryCall call;
        result = icGetInfo(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds, &cardType, "",
                           "A", &infoLen, info);
    }

    if (result == 0)
        ui->ed_outInfo->setText(tr("IC卡信息：") + textOf(info, kIcInfoBufSize));
    else
        ui->ed_outInfo->setText(tr("读卡失败，错误代码：") + QString::number(result, 10));
}

void MainWindow::on_btn_readID_clicked()
{
    if (g_callRunning)
        return;
    ui->ed_outInfo->setText(QString());
    if (!idLoaded) {
        showError(tr("二代证读卡器库函数没有加载！"));
        return;
    }
    const QByteArray port = ui->ed_Port->text().toUtf8();
    char info[kIdInfoBufSize];
    std::memset(info, 0, sizeof info);

    int result;
    {
        LibraryCall call;
        result = idGetInfo(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds, "./photo.jpg",
                           "", "", "", info);
    }

    if (result == 0)
        ui->ed_outInfo->setText(tr("二代证信息：") + textOf(info, kIdInfoBufSize));
    else
        ui->ed_outInfo->setText(tr("读取二代证信息失败，错误代码：") + QString::number(result, 10));
}

void MainWindow::on_btn_writeMS_clicked()
{
    if (g_callRunning)
        return;
    ui->ed_outInfo->setText(QString());
    // A stripe library may export MS_ReadCard without MS_WriteCard; the
    // write then reports the function as missing instead of calling null.
    if (!msLoaded || !msWriteCard) {
        showError(tr("磁条读卡器库函数没有加载！"));
        return;
    }
    const QByteArray port = ui->ed_Port->text().toUtf8();
    const int trackMode = trackModeOf(ui->cb_mgmod->currentIndex());
    const QByteArray track2 = ui->ed_track2->text().toUtf8();
    const QByteArray track3 = ui->ed_track3->text().toUtf8();

    int result;
    {
        LibraryCall call;
        result = msWriteCard(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds, trackMode,
                             kReserved, track2.constData(), track3.constData());
    }

    if (result == 0)
        ui->ed_outInfo->setText(tr("写磁条数据成功！"));
    else
        ui->ed_outInfo->setText(tr("写磁条数据失败，错误代码：") + QString::number(result, 10));
}
