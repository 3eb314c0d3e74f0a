// The console's form as setupUi builds it, and the window class around it.
#include "consoletest.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QMenuBar>
#include <QMetaMethod>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

using namespace consoletest;

namespace {

struct Expected
{
    const char *name;
    const char *className;
};

// The widgets of the form, in creation order, as children of
// verticalLayoutWidget (the row layouts are children of verticalLayout).
const Expected kWidgets[] = {
    {"verticalLayout", "QVBoxLayout"}, {"label", "QLabel"},
    {"ed_Port", "QLineEdit"},          {"label_2", "QLabel"},
    {"ed_track2", "QLineEdit"},        {"label_5", "QLabel"},
    {"ed_track3", "QLineEdit"},        {"label_4", "QLabel"},
    {"cb_mgmod", "QComboBox"},         {"btn_readMS", "QPushButton"},
    {"btn_writeMS", "QPushButton"},    {"btn_readIC", "QPushButton"},
    {"btn_readID", "QPushButton"},     {"ed_outInfo", "QTextEdit"},
};

// One row of verticalLayout: its layout and the names of its items, a
// spacer written as "".
struct Row
{
    const char *layout;
    QStringList items;
};

QString itemName(QLayoutItem *item)
{
    if (item->spacerItem())
        return QString();
    if (item->widget())
        return item->widget()->objectName();
    return QStringLiteral("<layout %1>").arg(item->layout()->objectName());
}

}  // namespace

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void windowItself();
    void objectTreeInCreationOrder();
    void layoutsRowsAndSpacers();
    void sizes();
    void textsCharacterForCharacter();
    void selectorAndOutputDefaults();
    void controlsKeepTheirPlaceOnResize();
    void existingObjectNameIsKept();
    void windowClassMetaObject();
    void windowSelectsBothTracks();
};

void FormTest::windowItself()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(832, 510));
    QCOMPARE(window.windowTitle(), QStringLiteral("Velmora测试程序"));
    QCOMPARE(window.centralWidget(), ui.centralWidget);
    QCOMPARE(ui.centralWidget->objectName(), QStringLiteral("centralWidget"));
    // No menu, tool or status bar; looked up without creating them.
    QVERIFY(window.findChild<QMenuBar *>() == nullptr);
    QVERIFY(window.findChild<QStatusBar *>() == nullptr);
    QVERIFY(window.findChild<QToolBar *>() == nullptr);
    // The central widget has no layout: the controls keep a fixed place.
    QVERIFY(ui.centralWidget->layout() == nullptr);
    QCOMPARE(ui.centralWidget->children().size(), 1);
    QCOMPARE(ui.centralWidget->children().first(), ui.verticalLayoutWidget);
}

void FormTest::objectTreeInCreationOrder()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(ui.verticalLayoutWidget->objectName(), QStringLiteral("verticalLayoutWidget"));
    QCOMPARE(ui.verticalLayoutWidget->parent(), ui.centralWidget);
    QCOMPARE(ui.verticalLayoutWidget->layout(), ui.verticalLayout);

    const QObjectList children = ui.verticalLayoutWidget->children();
    QCOMPARE(children.size(), int(sizeof kWidgets / sizeof kWidgets[0]));
    for (int i = 0; i < children.size(); ++i) {
        QCOMPARE(children[i]->objectName(), QString::fromLatin1(kWidgets[i].name));
        QCOMPARE(children[i]->metaObject()->className(), kWidgets[i].className);
    }

    // Row layouts are created without a parent and then adopted by
    // verticalLayout, in row order.
    const char *rows[] = {"horizontalLayout", "horizontalLayout_2", "horizontalLayout_6",
                          "horizontalLayout_3", "horizontalLayout_4"};
    const QObjectList rowObjects = ui.verticalLayout->children();
    QCOMPARE(rowObjects.size(), 5);
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(rowObjects[i]->objectName(), QString::fromLatin1(rows[i]));
        QCOMPARE(rowObjects[i]->metaObject()->className(), "QHBoxLayout");
    }

    // The members of the form point at these very objects.
    QCOMPARE(ui.ed_Port, window.findChild<QLineEdit *>("ed_Port"));
    QCOMPARE(ui.cb_mgmod, window.findChild<QComboBox *>("cb_mgmod"));
    QCOMPARE(ui.ed_outInfo, window.findChild<QTextEdit *>("ed_outInfo"));
    QCOMPARE(ui.horizontalLayout_6->objectName(), QStringLiteral("horizontalLayout_6"));
}

void FormTest::layoutsRowsAndSpacers()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    QCOMPARE(ui.verticalLayout->spacing(), 15);
    QCOMPARE(ui.verticalLayout->contentsMargins(), QMargins(0, 0, 0, 0));

    const Row rows[] = {
        {"horizontalLayout", {"label", "ed_Port", ""}},
        {"horizontalLayout_2", {"label_2", "ed_track2", ""}},
        {"horizontalLayout_6", {"label_5", "ed_track3", ""}},
        {"horizontalLayout_3", {"label_4", "cb_mgmod", "btn_readMS", "btn_writeMS", ""}},
        {"horizontalLayout_4", {"btn_readIC", "btn_readID", ""}},
    };
    QCOMPARE(ui.verticalLayout->count(), 7);
    for (int r = 0; r < 5; ++r) {
        QLayoutItem *rowItem = ui.verticalLayout->itemAt(r);
        QBoxLayout *row = qobject_cast<QHBoxLayout *>(rowItem->layout());
        QVERIFY2(row, rows[r].layout);
        QCOMPARE(row->objectName(), QString::fromLatin1(rows[r].layout));
        QCOMPARE(row->spacing(), 6);
        QCOMPARE(ui.verticalLayout->stretch(r), 0);
        QCOMPARE(int(rowItem->alignment()), 0);
        QCOMPARE(row->count(), rows[r].items.size());
        for (int i = 0; i < row->count(); ++i) {
            QCOMPARE(itemName(row->itemAt(i)), rows[r].items[i]);
            QCOMPARE(row->stretch(i), 0);
            QCOMPARE(int(row->itemAt(i)->alignment()), 0);
        }
        QSpacerItem *spacer = row->itemAt(row->count() - 1)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }
    QCOMPARE(ui.verticalLayout->itemAt(5)->widget(), static_cast<QWidget *>(ui.ed_outInfo));
    QCOMPARE(ui.verticalLayout->stretch(5), 0);
    QSpacerItem *bottom = ui.verticalLayout->itemAt(6)->spacerItem();
    QVERIFY(bottom);
    QCOMPARE(bottom, ui.verticalSpacer);
    QCOMPARE(bottom->sizeHint(), QSize(20, 40));
    QCOMPARE(bottom->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(bottom->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

void FormTest::sizes()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(ui.verticalLayoutWidget->geometry(), QRect(20, 20, 791, 461));
    QCOMPARE(ui.ed_Port->minimumSize(), QSize(200, 30));
    QCOMPARE(ui.ed_Port->maximumSize(), QSize(200, 16777215));
    QCOMPARE(ui.ed_track2->minimumSize(), QSize(600, 30));
    QCOMPARE(ui.ed_track2->maximumSize(), QSize(600, 16777215));
    QCOMPARE(ui.ed_track3->minimumSize(), QSize(700, 30));
    QCOMPARE(ui.ed_track3->maximumSize(), QSize(700, 16777215));
    QCOMPARE(ui.cb_mgmod->minimumSize(), QSize(112, 30));
    QCOMPARE(ui.cb_mgmod->maximumSize(), QSize(16777215, 16777215));
    for (QPushButton *b : {ui.btn_readMS, ui.btn_writeMS, ui.btn_readIC, ui.btn_readID}) {
        QCOMPARE(b->minimumSize(), QSize(180, 0));
        QCOMPARE(b->maximumSize(), QSize(16777215, 16777215));
    }
}

void FormTest::textsCharacterForCharacter()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(ui.label->text(), QStringLiteral("端口号："));
    QCOMPARE(ui.ed_Port->text(), QStringLiteral("ttyCH341USB0"));
    QCOMPARE(ui.label_2->text(), QStringLiteral("二磁道："));
    QCOMPARE(ui.ed_track2->text(), QStringLiteral("222233021234567654321=44212038899913311"));
    QCOMPARE(ui.label_5->text(), QStringLiteral("三磁道："));
    QCOMPARE(ui.ed_track3->text(),
             QStringLiteral("996888886543215533350201=123456700001003388999010000049120="
                            "0000000000=33333"));
    QCOMPARE(ui.label_4->text(), QStringLiteral("磁道号："));
    QCOMPARE(ui.btn_readMS->text(), QStringLiteral("读取磁条"));
    QCOMPARE(ui.btn_writeMS->text(), QStringLiteral("写入磁条"));
    QCOMPARE(ui.btn_readIC->text(), QStringLiteral("读取IC卡信息"));
    QCOMPARE(ui.btn_readID->text(), QStringLiteral("读取二代证信息"));
    // The colons are the full-width ones.
    QCOMPARE(ui.label->text().at(3), QChar(0xFF1A));
    QCOMPARE(ui.label_4->text().toUtf8(), QByteArray("\xE7\xA3\x81\xE9\x81\x93\xE5\x8F\xB7\xEF\xBC\x9A"));
}

void FormTest::selectorAndOutputDefaults()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(ui.cb_mgmod->count(), 3);
    QCOMPARE(ui.cb_mgmod->itemText(0), QStringLiteral("二磁道"));
    QCOMPARE(ui.cb_mgmod->itemText(1), QStringLiteral("三磁道"));
    QCOMPARE(ui.cb_mgmod->itemText(2), QStringLiteral("二三磁道"));
    // The form alone leaves the first item selected.
    QCOMPARE(ui.cb_mgmod->currentIndex(), 0);
    QVERIFY(!ui.cb_mgmod->isEditable());
    QVERIFY(ui.ed_outInfo->toPlainText().isEmpty());
    QVERIFY(!ui.ed_outInfo->isReadOnly());
    QCOMPARE(ui.ed_Port->echoMode(), QLineEdit::Normal);
}

void FormTest::controlsKeepTheirPlaceOnResize()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (QSize size : {QSize(1200, 900), QSize(300, 200)}) {
        window.resize(size);
        QCoreApplication::processEvents();
        QCOMPARE(ui.verticalLayoutWidget->geometry(), QRect(20, 20, 791, 461));
        QCOMPARE(ui.ed_Port->width(), 200);
        QCOMPARE(ui.ed_track3->width(), 700);
    }
    // No margin: the first row starts at the area's top left corner.
    QCOMPARE(ui.label->x(), 0);
    QCOMPARE(ui.ed_Port->y(), 0);
}

void FormTest::existingObjectNameIsKept()
{
    QMainWindow window;
    window.setObjectName(QStringLiteral("consoleWindow"));
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("consoleWindow"));
}

void FormTest::windowClassMetaObject()
{
    const QMetaObject &mo = MainWindow::staticMetaObject;
    QCOMPARE(mo.className(), "MainWindow");
    QCOMPARE(mo.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 4);
    QCOMPARE(mo.propertyCount(), mo.propertyOffset());
    QCOMPARE(mo.enumeratorCount(), mo.enumeratorOffset());
    QCOMPARE(mo.classInfoCount(), mo.classInfoOffset());
    const char *slotNames[] = {"on_btn_readMS_clicked", "on_btn_readIC_clicked",
                           "on_btn_readID_clicked", "on_btn_writeMS_clicked"};
    for (int i = 0; i < 4; ++i) {
        QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(m.name(), QByteArray(slotNames[i]));
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Private);
        QCOMPARE(m.parameterCount(), 0);
        QCOMPARE(m.returnType(), int(QMetaType::Void));
    }
}

void FormTest::windowSelectsBothTracks()
{
    ConsoleDir dir;
    dir.link("stripedrv.so", fakePath("fake_stripe"));
    dir.link("chipdrv.so", fakePath("fake_chip"));
    dir.link("idcarddrv.so", fakePath("fake_id"));
    DialogCatcher dialogs;
    MainWindow window;
    QCOMPARE(dialogs.takeTexts(), QStringList());
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QComboBox *selector = child<QComboBox>(&window, "cb_mgmod");
    QCOMPARE(selector->currentIndex(), 2);
    QCOMPARE(selector->currentText(), QStringLiteral("二三磁道"));
}

QTEST_MAIN(FormTest)
#include "form_test.moc"
