#include "app/widget.h"
#include "testsupport.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QTableWidget>
#include <QTextDocument>
#include <QToolButton>
#include <QtTest>

// The window's fixed shape: form, slot table, construction and teardown.
class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void slotTable();
    void formTreeAndTexts();
    void startsEmptyWithoutTool();
    void selectIconFallsBackToEmbeddedImage();
    void deviceErrorsAndReset();
    void tableColumnsStretch();
};

void TestForm::slotTable()
{
    const QMetaObject &mo = Widget::staticMetaObject;
    QCOMPARE(mo.className(), "Widget");
    QCOMPARE(mo.superClass(), &QWidget::staticMetaObject);
    const QList<QByteArray> expected = {"doProcessFinished()",
                                        "doSelectAllFile()",
                                        "updateDeviceCountLineEdit()",
                                        "extractProgressValue(QString)",
                                        "onDeviceError(int,QString)",
                                        "runAll()",
                                        "stopAll()",
                                        "listdevices()"};
    QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = mo.method(mo.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
    QCOMPARE(mo.method(mo.methodOffset() + 3).parameterNames(), QList<QByteArray>({"output"}));
    QCOMPARE(mo.method(mo.methodOffset() + 3).returnType(), int(QMetaType::Int));
    QCOMPARE(mo.method(mo.methodOffset() + 4).parameterNames(), QList<QByteArray>({"devicePort", "errorMessage"}));
    QCOMPARE(mo.propertyCount(), mo.propertyOffset());
    QCOMPARE(mo.enumeratorCount(), mo.enumeratorOffset());
}

void TestForm::formTreeAndTexts()
{
    ToolDir dir;
    dir.removeTool();
    Widget w;
    QCOMPARE(w.objectName(), QStringLiteral("Widget"));
    QCOMPARE(w.size(), QSize(657, 456));
    QCOMPARE(w.windowTitle(), QStringLiteral("Velmora V1.0"));
    QCOMPARE(w.contextMenuPolicy(), Qt::DefaultContextMenu);

    const QStringList names = {"verticalLayout_6",   "verticalLayout_5", "verticalLayout_3", "verticalLayout_2",
                               "verticalLayout",     "horizontalLayout", "toolButton_rst",   "label_7",
                               "cBoxDevice",         "lineEdit_All",     "tBtnSelectAll",    "listButton",
                               "horizontalLayout_2", "lineEdit_2",       "lineEdit",         "tableWidget",
                               "horizontalLayout_3", "startAllButton",   "stopAllButton"};
    for (const QString &name : names)
        QVERIFY2(w.findChild<QObject *>(name), qPrintable(name));

    // The layout nesting, outermost first (the geometry is the form file's).
    auto *top = w.findChild<QVBoxLayout *>("verticalLayout_6");
    QCOMPARE(w.layout(), top);
    auto *v5 = w.findChild<QVBoxLayout *>("verticalLayout_5");
    QCOMPARE(top->itemAt(0)->layout(), v5);
    auto *v3 = w.findChild<QVBoxLayout *>("verticalLayout_3");
    QCOMPARE(v5->itemAt(0)->layout(), v3);
    auto *v2 = w.findChild<QVBoxLayout *>("verticalLayout_2");
    QCOMPARE(v3->itemAt(0)->layout(), v2);
    QCOMPARE(v3->itemAt(1)->layout(), w.findChild<QHBoxLayout *>("horizontalLayout_3"));
    QCOMPARE(v2->itemAt(1)->widget(), w.findChild<QTableWidget *>("tableWidget"));
    auto *toolRow = w.findChild<QHBoxLayout *>("horizontalLayout");
    const QStringList toolRowOrder = {"toolButton_rst", "label_7",       "cBoxDevice",
                                      "lineEdit_All",   "tBtnSelectAll", "listButton"};
    QCOMPARE(toolRow->count(), toolRowOrder.size());
    for (int i = 0; i < toolRowOrder.size(); ++i)
        QCOMPARE(toolRow->itemAt(i)->widget()->objectName(), toolRowOrder.at(i));
    auto *summaryRow = w.findChild<QHBoxLayout *>("horizontalLayout_2");
    QCOMPARE(summaryRow->itemAt(0)->widget()->objectName(), QStringLiteral("lineEdit_2"));
    QCOMPARE(summaryRow->itemAt(1)->widget()->objectName(), QStringLiteral("lineEdit"));

    QCOMPARE(w.findChild<QToolButton *>("toolButton_rst")->text(), QStringLiteral("Reset"));
    auto *label = w.findChild<QLabel *>("label_7");
    QTextDocument doc;
    doc.setHtml(label->text());
    QCOMPARE(doc.toPlainText(), QStringLiteral("Select:"));
    auto *select = w.findChild<QToolButton *>("tBtnSelectAll");
    QCOMPARE(select->text(), QStringLiteral("..."));
    QCOMPARE(select->toolTip(), QString::fromUtf8("\xE9\x80\x89\xE6\x8B\xA9\xE6\x96\x87\xE4\xBB\xB6."));
    QCOMPARE(w.findChild<QPushButton *>("listButton")->text(), QStringLiteral("List"));
    QCOMPARE(w.findChild<QPushButton *>("startAllButton")->text(), QStringLiteral("StartAll"));
    QCOMPARE(w.findChild<QPushButton *>("stopAllButton")->text(), QStringLiteral("StopAll"));

    auto *medium = w.findChild<QComboBox *>("cBoxDevice");
    QCOMPARE(medium->count(), 1);
    QCOMPARE(medium->currentText(), QStringLiteral("EMMC"));

    for (const char *name : {"lineEdit", "lineEdit_2"}) {
        auto *line = w.findChild<QLineEdit *>(name);
        QVERIFY(line->isReadOnly());
        QVERIFY(line->isEnabled());
    }
    auto *image = w.findChild<QLineEdit *>("lineEdit_All");
    QVERIFY(!image->isReadOnly());
    QTest::keyClicks(image, "typed.img");
    QCOMPARE(image->text(), QStringLiteral("typed.img"));
}

void TestForm::startsEmptyWithoutTool()
{
    ToolDir dir;
    dir.removeTool();
    Widget w;
    auto *table = w.findChild<QTableWidget *>("tableWidget");
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(table->columnCount(), 10);
    QVERIFY(!w.findChild<QPushButton *>("startAllButton")->isEnabled());
    QVERIFY(!w.findChild<QPushButton *>("stopAllButton")->isEnabled());
    QCOMPARE(w.findChild<QLineEdit *>("lineEdit")->text(), QString::fromUtf8("Connected Devices\xEF\xBC\x9A"
                                                                             "0"));
    QCOMPARE(w.findChild<QLineEdit *>("lineEdit_2")->text(), QStringLiteral("Failed Devices: 0"));
}

void TestForm::selectIconFallsBackToEmbeddedImage()
{
    ToolDir dir;
    dir.removeTool();
    const QImage embedded(QStringLiteral(":/res/select.png"));
    QCOMPARE(embedded.size(), QSize(64, 64));
    QVERIFY(embedded.hasAlphaChannel());
    QVERIFY(QFile::exists(QStringLiteral(":/res/download.png")));

    const auto shownImage = [] {
        Widget w;
        return w.findChild<QToolButton *>("tBtnSelectAll")
            ->icon()
            .pixmap(64, 64)
            .toImage()
            .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };
    const QImage shown = shownImage();
    QCOMPARE(shown.size(), QSize(64, 64));
    QCOMPARE(shown, embedded.convertToFormat(QImage::Format_ARGB32_Premultiplied));

    // A file res/select.png in the working directory takes precedence.
    QDir(dir.path()).mkpath("res");
    QImage red(64, 64, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(dir.filePath("res/select.png")));
    QCOMPARE(shownImage().pixel(10, 10), QColor(Qt::red).rgba());
}

void TestForm::deviceErrorsAndReset()
{
    ToolDir dir;
    dir.removeTool();
    Widget w;
    auto *failed = w.findChild<QLineEdit *>("lineEdit_2");
    QTest::ignoreMessage(QtDebugMsg, "Device 3 Error: timeout");
    QVERIFY(QMetaObject::invokeMethod(&w, "onDeviceError", Q_ARG(int, 3), Q_ARG(QString, "timeout")));
    QCOMPARE(failed->text(), QStringLiteral("Failed Devices: 1 (Device #3)"));
    QTest::ignoreMessage(QtDebugMsg, "Device 3 Error: again");
    QVERIFY(QMetaObject::invokeMethod(&w, "onDeviceError", Q_ARG(int, 3), Q_ARG(QString, "again")));
    QCOMPARE(failed->text(), QStringLiteral("Failed Devices: 1 (Device #3)"));
    QTest::ignoreMessage(QtDebugMsg, "Device -1 Error: x");
    QVERIFY(QMetaObject::invokeMethod(&w, "onDeviceError", Q_ARG(int, -1), Q_ARG(QString, "x")));
    QVERIFY(failed->text().startsWith(QStringLiteral("Failed Devices: 2 (")));
    QVERIFY(failed->text().contains(QStringLiteral("Device #-1")));

    QTest::mouseClick(w.findChild<QToolButton *>("toolButton_rst"), Qt::LeftButton);
    QCOMPARE(failed->text(), QStringLiteral("Failed Devices: 0"));

    int result = 0;
    QVERIFY(QMetaObject::invokeMethod(&w, "extractProgressValue", Q_RETURN_ARG(int, result),
                                      Q_ARG(QString, "at 42% of 80%")));
    QCOMPARE(result, 42);
}

void TestForm::tableColumnsStretch()
{
    ToolDir dir;
    dir.removeTool();
    Widget w;
    auto *table = w.findChild<QTableWidget *>("tableWidget");
    QStringList headers;
    for (int c = 0; c < table->columnCount(); ++c)
        headers << table->horizontalHeaderItem(c)->text();
    QCOMPARE(headers,
             QStringList({"Path", "Chip", "Pro", "Vid", "Pid", "BcdVersion", "Mode", "Status", "Action", "Progress"}));
    w.show();
    w.resize(900, 500);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QHeaderView *header = table->horizontalHeader();
    for (int c = 0; c < 10; ++c)
        QCOMPARE(header->sectionResizeMode(c), QHeaderView::Stretch);
    QVERIFY(qAbs(header->sectionSize(0) - header->sectionSize(9)) <= 1);
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
