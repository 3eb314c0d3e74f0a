#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "chipdrv.h"
#include "idcarddrv.h"
#include "stripedrv.h"
#include "trace.h"

#include <QApplication>
#include <QByteArray>
#include <QLibrary>
#include <QMessageBox>
#include <QString>
#include <QTextEdit>

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
        return SD_TRACK_2;
    case 1:
        return SD_TRACK_3;
    default:
        return SD_TRACKS_2_3;
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

template <typename Fn>
Fn resolveAs(QLibrary &library, const char *name)
{
    return reinterpret_cast<Fn>(library.resolve(name));
}

// Loads one reader library from the working directory and lets `resolve`
// take its functions; `resolve` says whether the one the console needs was
// there. A library that does not load, or lacks that function, is
// reported. Returns whether the library is usable.
template <typename Resolve>
bool bindLibrary(const char *file, const QString &noLibrary, const QString &noFunction,
                 Resolve resolve)
{
    QLibrary library(QString::fromLatin1(file));
    if (!library.load()) {
        showError(noLibrary);
        return false;
    }
    if (resolve(library))
        return true;
    showError(noFunction);
    return false;
}

// One card operation, run the same way by every button: a click while a
// call runs is dropped, the output area is cleared, an unbound function is
// reported in a dialog; otherwise the call runs and its result is shown,
// `success()` for 0, else `failure` followed by the code.
template <typename Call, typename Success>
void runOperation(QTextEdit *output, bool bound, const QString &notBound, Call call,
                  Success success, const QString &failure)
{
    if (g_callRunning)
        return;
    output->setText(QString());
    if (!bound) {
        showError(notBound);
        return;
    }
    int result;
    {
        LibraryCall running;
        result = call();
    }
    output->setText(result == 0 ? success() : failure + QString::number(result, 10));
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

// The driver's trace, switched on in the working directory, writes every
// card to a file in plain text: said at start, read with the driver's own
// lookup.
static void warnOfTrace(sdcustody::IniLookup lookup)
{
    const std::string warning =
        sdcustody::traceWarning(sdcustody::traceIn(sdcustody::workingDirectory(), lookup));
    if (!warning.empty())
        qWarning("cardtest: warning: %s", warning.c_str());
}

// Binds the reader libraries from the working directory, always in the
// same order, reporting each one that is missing or lacks its function.
// Nothing is ever unloaded: destroying a QLibrary leaves the library in
// the process, so the addresses stay valid for the window's life.
void MainWindow::initLibrary()
{
    msLoaded = bindLibrary("./stripedrv.so", tr("无法加载磁条读卡器动态库"),
                           tr("无法加载磁条读卡器库函数"), [this](QLibrary &library) {
                               msReadCard = resolveAs<MsReadCardFn>(library, "MS_ReadCard");
                               msWriteCard = resolveAs<MsWriteCardFn>(library, "MS_WriteCard");
                               warnOfTrace(
                                   resolveAs<sdcustody::IniLookup>(library, "X_INIKeyString"));
                               return msReadCard != nullptr;
                           });
    icLoaded = bindLibrary("./chipdrv.so", tr("无法加载IC卡读卡器动态库"),
                           tr("无法加载IC卡读卡器库函数"), [this](QLibrary &library) {
                               icGetInfo = resolveAs<IcGetInfoFn>(library, "IC_GetInfo");
                               return icGetInfo != nullptr;
                           });
    idLoaded = bindLibrary("./idcarddrv.so", tr("无法加载二代证读卡器动态库"),
                           tr("无法加载二代证读卡器库函数"), [this](QLibrary &library) {
                               idGetInfo = resolveAs<IdGetInfoFn>(library, "ID_GetInfo");
                               return idGetInfo != nullptr;
                           });
}

void MainWindow::on_btn_readMS_clicked()
{
    const QByteArray port = ui->ed_Port->text().toUtf8();
    const int trackMode = trackModeOf(ui->cb_mgmod->currentIndex());
    char track2[kTrackBufSize];
    char track3[kTrackBufSize];
    std::memset(track2, 0, sizeof track2);
    std::memset(track3, 0, sizeof track3);
    runOperation(
        ui->ed_outInfo, msLoaded, tr("磁条读卡器库函数没有加载！"),
        [&] {
            return msReadCard(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds, trackMode,
                              kReserved, track2, track3);
        },
        [&] {
            return tr("二磁道：") + textOf(track2, kTrackBufSize) + QLatin1Char('\n') +
                   tr("三磁道：") + textOf(track3, kTrackBufSize);
        },
        tr("读磁条失败，错误代码："));
}

void MainWindow::on_btn_readIC_clicked()
{
    const QByteArray port = ui->ed_Port->text().toUtf8();
    int cardType = 3;  // contact and contactless
    int infoLen = 0;
    char info[kIcInfoBufSize];
    std::memset(info, 0, sizeof info);
    runOperation(
        ui->ed_outInfo, icLoaded, tr("IC卡读卡器库函数没有加载！"),
        [&] {
            return icGetInfo(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds, &cardType,
                             "", "A", &infoLen, info);
        },
        [&] { return tr("IC卡信息：") + textOf(info, kIcInfoBufSize); },
        tr("读卡失败，错误代码："));
}

void MainWindow::on_btn_readID_clicked()
{
    const QByteArray port = ui->ed_Port->text().toUtf8();
    char info[kIdInfoBufSize];
    std::memset(info, 0, sizeof info);
    runOperation(
        ui->ed_outInfo, idLoaded, tr("二代证读卡器库函数没有加载！"),
        [&] {
            return idGetInfo(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds,
                             "./photo.jpg", "", "", "", info);
        },
        [&] { return tr("二代证信息：") + textOf(info, kIdInfoBufSize); },
        tr("读取二代证信息失败，错误代码："));
}

void MainWindow::on_btn_writeMS_clicked()
{
    const QByteArray port = ui->ed_Port->text().toUtf8();
    const int trackMode = trackModeOf(ui->cb_mgmod->currentIndex());
    const QByteArray track2 = ui->ed_track2->text().toUtf8();
    const QByteArray track3 = ui->ed_track3->text().toUtf8();
    // A stripe library may export MS_ReadCard without MS_WriteCard; the
    // write then reports the function as missing instead of calling null.
    runOperation(
        ui->ed_outInfo, msLoaded && msWriteCard, tr("磁条读卡器库函数没有加载！"),
        [&] {
            return msWriteCard(port.constData(), kNoExtPort, kBaud, kTimeoutSeconds, trackMode,
                               kReserved, track2.constData(), track3.constData());
        },
        [&] { return tr("写磁条数据成功！"); }, tr("写磁条数据失败，错误代码："));
}
