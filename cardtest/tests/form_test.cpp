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

const int kMax = QWIDGETSIZE_MAX;

// The widgets in creation order: the row layout holding each (none: it sits
// in verticalLayout itself), its text (current item of a combo box, plain
// text of a text edit) and its minimum and maximum sizes.
struct Widget
{
    const char *name, *className, *row, *text;
    QSize min, max;
};
const Widget kWidgets[] = {
    {"label", "QLabel", "horizontalLayout", "端口号：", {0, 0}, {kMax, kMax}},
    {"ed_Port", "QLineEdit", "horizontalLayout", "ttyCH341USB0", {200, 30}, {200, kMax}},
    {"label_2", "QLabel", "horizontalLayout_2", "二磁道：", {0, 0}, {kMax, kMax}},
    {"ed_track2", "QLineEdit", "horizontalLayout_2", "222233021234567654321=44212038899913311",
     {600, 30}, {600, kMax}},
    {"label_5", "QLabel", "horizontalLayout_6", "三磁道：", {0, 0}, {kMax, kMax}},
    {"ed_track3", "QLineEdit", "horizontalLayout_6",
     "996888886543215533350201=123456700001003388999010000049120=0000000000=33333", {700, 30},
     {700, kMax}},
    {"label_4", "QLabel", "horizontalLayout_3", "磁道号：", {0, 0}, {kMax, kMax}},
    // The form alone selects the first item.
    {"cb_mgmod", "QComboBox", "horizontalLayout_3", "二磁道", {112, 30}, {kMax, kMax}},
    {"btn_readMS", "QPushButton", "horizontalLayout_3", "读取磁条", {180, 0}, {kMax, kMax}},
    {"btn_writeMS", "QPushButton", "horizontalLayout_3", "写入磁条", {180, 0}, {kMax, kMax}},
    {"btn_readIC", "QPushButton", "horizontalLayout_4", "读取IC卡信息", {180, 0}, {kMax, kMax}},
    {"btn_readID", "QPushButton", "horizontalLayout_4", "读取二代证信息", {180, 0}, {kMax, kMax}},
    {"ed_outInfo", "QTextEdit", "", "", {0, 0}, {kMax, kMax}},
};
const char *const kRows[] = {"horizontalLayout", "horizontalLayout_2", "horizontalLayout_6",
                             "horizontalLayout_3", "horizontalLayout_4"};

QString shownText(QObject *w)
{
    const char *property = qobject_cast<QComboBox *>(w) ? "currentText"
        : qobject_cast<QTextEdit *>(w)                  ? "plainText"
                                                        : "text";
    return w->property(property).toString();
}

// A layout's items as names: widgets and layouts by object name, a spacer
// as "spacer WxH h-policy v-policy" from its size hint and policies.
QStringList items(QLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (QSpacerItem *s = item->spacerItem())
            names << QStringLiteral("spacer %1x%2 %3 %4")
                         .arg(s->sizeHint().width())
                         .arg(s->sizeHint().height())
                         .arg(s->sizePolicy().horizontalPolicy())
                         .arg(s->sizePolicy().verticalPolicy());
        else
            names << (item->widget() ? item->widget()->objectName() : item->layout()->objectName());
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
    QCOMPARE(window.centralWidget(), ui.centralWidget);
    QCOMPARE(ui.centralWidget->objectName(), QStringLiteral("centralWidget"));
    QVERIFY(ui.centralWidget->layout() == nullptr);
    QCOMPARE(ui.centralWidget->children(), QObjectList() << ui.verticalLayoutWidget);
    QCOMPARE(ui.verticalLayoutWidget->objectName(), QStringLiteral("verticalLayoutWidget"));
    QCOMPARE(ui.verticalLayoutWidget->geometry(), QRect(20, 20, 791, 461));
    QCOMPARE(ui.verticalLayoutWidget->layout(), ui.verticalLayout);
    QCOMPARE(ui.verticalLayout->spacing(), 15);
    QCOMPARE(ui.verticalLayout->contentsMargins(), QMargins(0, 0, 0, 0));

    // verticalLayout first, then every widget, in creation order.
    const QObjectList children = ui.verticalLayoutWidget->children();
    QCOMPARE(children.size(), 1 + int(std::size(kWidgets)));
    QCOMPARE(children[0]->objectName(), QStringLiteral("verticalLayout"));
    QCOMPARE(children[0]->metaObject()->className(), "QVBoxLayout");
    for (const Widget &w : kWidgets) {
        QObject *c = children[1 + int(&w - kWidgets)];
        QCOMPARE(c->objectName(), QString::fromLatin1(w.name));
        QCOMPARE(c->metaObject()->className(), w.className);
        QCOMPARE(shownText(c), QString::fromUtf8(w.text));
        QCOMPARE(static_cast<QWidget *>(c)->minimumSize(), w.min);
        QCOMPARE(static_cast<QWidget *>(c)->maximumSize(), w.max);
    }
    // The colons are the full-width ones.
    QCOMPARE(ui.label->text().at(3), QChar(0xFF1A));
    QCOMPARE(ui.cb_mgmod->count(), 3);
    QCOMPARE(ui.cb_mgmod->itemText(1), QStringLiteral("三磁道"));
    QCOMPARE(ui.cb_mgmod->itemText(2), QStringLiteral("二三磁道"));

    // The rows, adopted by verticalLayout in order, each its widgets and a
    // trailing spacer; then the output area and the bottom spacer.
    const QString rowSpacer = QStringLiteral("spacer 40x20 %1 %2")
                                  .arg(QSizePolicy::Expanding).arg(QSizePolicy::Minimum);
    QStringList outer;
    for (const char *rowName : kRows) {
        QObject *row = ui.verticalLayout->children().value(int(outer.size()));
        QVERIFY2(row && row->objectName() == QLatin1String(rowName), rowName);
        QCOMPARE(row->metaObject()->className(), "QHBoxLayout");
        QCOMPARE(static_cast<QLayout *>(row)->spacing(), 6);
        QStringList expected;
        for (const Widget &w : kWidgets)
            if (!std::strcmp(w.row, rowName))
                expected << QString::fromLatin1(w.name);
        QCOMPARE(items(static_cast<QLayout *>(row)), expected << rowSpacer);
        outer << QString::fromLatin1(rowName);
    }
    QCOMPARE(ui.verticalLayout->children().size(), 5);
    QCOMPARE(items(ui.verticalLayout), outer << QStringLiteral("ed_outInfo")
                                             << QStringLiteral("spacer 20x40 %1 %2")
                                                    .arg(QSizePolicy::Minimum)
                                                    .arg(QSizePolicy::Expanding));
    QCOMPARE(ui.verticalLayout->itemAt(6)->spacerItem(), ui.verticalSpacer);
}

void FormTest::slotsHaveMethodIndices0To3()
{
    const QMetaObject &mo = MainWindow::staticMetaObject;
    QCOMPARE(mo.superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 4);
    const char *const names[] = {"on_btn_readMS_clicked()", "on_btn_readIC_clicked()",
                                 "on_btn_readID_clicked()", "on_btn_writeMS_clicked()"};
    for (int i = 0; i < 4; ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(m.methodSignature(), QByteArray(names[i]));
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Private);
        QCOMPARE(m.returnType(), int(QMetaType::Void));
    }
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
