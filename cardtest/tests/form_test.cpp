// The console's form as setupUi builds it, and the window class around it.
#include "consoletest.h"
#include "mainwindow.h"
#include "protocol.h"
#include "ui_mainwindow.h"

#include <QMenuBar>
#include <QMetaMethod>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

using namespace consoletest;

namespace {

const int kMax = QWIDGETSIZE_MAX;

// The widgets in creation order: the row layout holding each (none: it sits
// in verticalLayout itself), its text (current item of a combo box, plain
// text of a text edit), its minimum size and its maximum width (0: none);
// no maximum height. The track fields hold the simulated reader's card.
struct Widget
{
    const char *name, *className, *row, *text;
    int minWidth, minHeight, maxWidth;
};
const Widget kWidgets[] = {
    {"label", "QLabel", "horizontalLayout", "端口号：", 0, 0, 0},
    {"ed_Port", "QLineEdit", "horizontalLayout", "ttyCH341USB0", 200, 30, 200},
    {"label_2", "QLabel", "horizontalLayout_2", "二磁道：", 0, 0, 0},
    {"ed_track2", "QLineEdit", "horizontalLayout_2", readersim::kDefaultTrack2, 600, 30, 600},
    {"label_5", "QLabel", "horizontalLayout_6", "三磁道：", 0, 0, 0},
    {"ed_track3", "QLineEdit", "horizontalLayout_6",
     readersim::kDefaultTrack3, 700, 30, 700},
    {"label_4", "QLabel", "horizontalLayout_3", "磁道号：", 0, 0, 0},
    {"cb_mgmod", "QComboBox", "horizontalLayout_3", "二磁道", 112, 30, 0},  // the form alone: item 0
    {"btn_readMS", "QPushButton", "horizontalLayout_3", "读取磁条", 180, 0, 0},
    {"btn_writeMS", "QPushButton", "horizontalLayout_3", "写入磁条", 180, 0, 0},
    {"btn_readIC", "QPushButton", "horizontalLayout_4", "读取IC卡信息", 180, 0, 0},
    {"btn_readID", "QPushButton", "horizontalLayout_4", "读取二代证信息", 180, 0, 0},
    {"ed_outInfo", "QTextEdit", "", "", 0, 0, 0},
};

QString shownText(QObject *w)
{
    const char *property = qobject_cast<QComboBox *>(w) ? "currentText"
        : qobject_cast<QTextEdit *>(w)                  ? "plainText"
                                                        : "text";
    return w->property(property).toString();
}

// Objects as "name class".
QStringList described(const QObjectList &objects)
{
    QStringList all;
    for (const QObject *o : objects)
        all << o->objectName() + QLatin1Char(' ') + QLatin1String(o->metaObject()->className());
    return all;
}

// A layout's items: a widget by name, a layout as "name class", a spacer as
// "spacer WxH h-policy v-policy" (policies 1 Minimum, 7 Expanding).
QStringList items(QLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (QSpacerItem *s = item->spacerItem())
            names << QString::asprintf("spacer %dx%d %d %d", s->sizeHint().width(),
                                       s->sizeHint().height(), int(s->sizePolicy().horizontalPolicy()),
                                       int(s->sizePolicy().verticalPolicy()));
        else
            names << (item->widget() ? item->widget()->objectName()
                                     : described(QObjectList() << item->layout()).first());
    }
    return names;
}

}  // namespace

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void formBuildsTheListedObjects();
    void slotsHaveMethodIndices0To3();
    void windowSelectsBothTracks();
};

void FormTest::formBuildsTheListedObjects()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(832, 510));
    QCOMPARE(window.windowTitle(), QStringLiteral("Velmora测试程序"));
    QVERIFY(!window.findChild<QMenuBar *>() && !window.findChild<QStatusBar *>()
            && !window.findChild<QToolBar *>());
    // The central widget has no layout: the controls keep a fixed place.
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
    QVERIFY(window.centralWidget()->layout() == nullptr);
    QCOMPARE(described(window.centralWidget()->children()),
             QStringList{"verticalLayoutWidget QWidget"});
    QCOMPARE(ui.verticalLayoutWidget->geometry(), QRect(20, 20, 791, 461));
    QCOMPARE(ui.verticalLayout->spacing(), 15);
    QCOMPARE(ui.verticalLayout->contentsMargins(), QMargins(0, 0, 0, 0));

    // verticalLayout first, then every widget, in creation order; the row
    // layouts are adopted by verticalLayout in order of their first widget.
    QStringList children{"verticalLayout QVBoxLayout"}, rows;
    for (const Widget &w : kWidgets) {
        children << QString::fromLatin1(w.name) + QLatin1Char(' ') + QLatin1String(w.className);
        if (*w.row && !rows.contains(QLatin1String(w.row)))
            rows << QString::fromLatin1(w.row);
        QWidget *widget = window.findChild<QWidget *>(QLatin1String(w.name));
        QVERIFY2(widget, w.name);
        QCOMPARE(shownText(widget), QString::fromUtf8(w.text));
        QCOMPARE(widget->minimumSize(), QSize(w.minWidth, w.minHeight));
        QCOMPARE(widget->maximumSize(), QSize(w.maxWidth ? w.maxWidth : kMax, kMax));
    }
    QCOMPARE(described(ui.verticalLayoutWidget->children()), children);
    QCOMPARE(ui.label->text().at(3), QChar(0xFF1A));  // the full-width colon
    QCOMPARE(ui.cb_mgmod->count(), 3);
    QCOMPARE(ui.cb_mgmod->itemText(1), QStringLiteral("三磁道"));
    QCOMPARE(ui.cb_mgmod->itemText(2), QStringLiteral("二三磁道"));

    // Each row: its widgets and a trailing spacer; then the output area and
    // the bottom spacer.
    QStringList outer;
    for (const QString &rowName : rows) {
        QLayout *row = ui.verticalLayout->findChild<QLayout *>(rowName);
        QVERIFY2(row, qPrintable(rowName));
        QCOMPARE(row->spacing(), 6);
        QStringList expected;
        for (const Widget &w : kWidgets)
            if (rowName == QLatin1String(w.row))
                expected << QString::fromLatin1(w.name);
        QCOMPARE(items(row), expected << QStringLiteral("spacer 40x20 7 1"));
        outer << rowName + QStringLiteral(" QHBoxLayout");
    }
    QCOMPARE(items(ui.verticalLayout),
             outer << QStringLiteral("ed_outInfo") << QStringLiteral("spacer 20x40 1 7"));
}

void FormTest::slotsHaveMethodIndices0To3()
{
    const QMetaObject &mo = MainWindow::staticMetaObject;
    QCOMPARE(mo.superClass(), &QMainWindow::staticMetaObject);
    QStringList methods;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        const bool privateSlot = m.methodType() == QMetaMethod::Slot
            && m.access() == QMetaMethod::Private && m.returnType() == QMetaType::Void;
        methods << m.methodSignature() + (privateSlot ? "" : " (not a private void slot)");
    }
    QCOMPARE(methods, QStringList({"on_btn_readMS_clicked()", "on_btn_readIC_clicked()",
                                   "on_btn_readID_clicked()", "on_btn_writeMS_clicked()"}));
}

void FormTest::windowSelectsBothTracks()
{
    ConsoleDir dir;  // no libraries: three dialogs, dismissed
    DialogCatcher dialogs;
    MainWindow window;
    QCOMPARE(dialogs.take().size(), 3);
    QCOMPARE(child<QComboBox>(&window, "cb_mgmod")->currentIndex(), 2);
}

QTEST_MAIN(FormTest)
#include "form_test.moc"
