// The test console's one window: the form, the reader library calls bound
// at start, and the four card operations.
#pragma once

#include <QMainWindow>

class Ui_MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Call shapes of the bound functions. The stripe ones are those of
    // stripedrv.h, the other two those of the IC and ID card libraries.
    typedef int (*MsReadCardFn)(const char *szPort, const char *szExtPort, int nBaud,
                                int nTimeout, int nTrackMode, int nReserved,
                                char *szTrack2data, char *szTrack3data);
    typedef int (*MsWriteCardFn)(const char *szPort, const char *szExtPort, int nBaud,
                                 int nTimeout, int nTrackMode, int nReserved,
                                 const char *szTrack2data, const char *szTrack3data);
    typedef int (*IcGetInfoFn)(const char *szPort, const char *szExtPort, int nBaud,
                               int nTimeout, int *pnCardType, const char *szAid,
                               const char *szItems, int *pnInfoLen, char *szInfo);
    typedef int (*IdGetInfoFn)(const char *szPort, const char *szExtPort, int nBaud,
                               int nTimeout, const char *szPhotoPath,
                               const char *szOption1, const char *szOption2,
                               const char *szOption3, char *szInfo);

    // The slots are declared in this order on purpose: it gives them the
    // meta-object method indices 0 (read stripe), 1 (IC card), 2 (ID card)
    // and 3 (write stripe).
private slots:
    void on_btn_readMS_clicked();
    void on_btn_readIC_clicked();
    void on_btn_readID_clicked();
    void on_btn_writeMS_clicked();

private:
    void initLibrary();

    Ui_MainWindow *ui;
    bool msLoaded;
    bool icLoaded;
    bool idLoaded;
    MsReadCardFn msReadCard;
    MsWriteCardFn msWriteCard;
    IcGetInfoFn icGetInfo;
    IdGetInfoFn idGetInfo;
};
