#include "app/widget.h"
#include "ui_widget.h"

#include "discovery/listingparser.h"
#include "discovery/summary.h"
#include "flashing/statustexts.h"

#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>

namespace {

constexpr int PathColumn = 0;
constexpr int ProColumn = 2;
constexpr int ModeColumn = 6;
constexpr int StatusColumn = 7;
constexpr int ActionColumn = 8;
constexpr int ProgressColumn = 9;
constexpr Qt::Alignment Centred = Qt::AlignHCenter | Qt::AlignVCenter;
// The port a row was built for, on its path item: the cell's text is only
// what it shows.
constexpr int PortRole = Qt::UserRole;

// The listing's cells show what the tool said; nobody types into them (a
// barcode scanner sends keys to whatever has the focus).
QTableWidgetItem *listingItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

QTableWidgetItem *pathItem(const QString &devicePort)
{
    QTableWidgetItem *item = listingItem(devicePort);
    item->setData(PortRole, devicePort);
    return item;
}

} // namespace

int Widget::findRowByPath(const QString &path) const
{
    QTableWidget *table = ui->tableWidget;
    if (!rowIndexValid) {
        rowIndex.clear();
        const int rows = table->rowCount();
        rowIndex.reserve(rows);
        for (int row = 0; row < rows; ++row) {
            const QString port = portAt(row);
            // The first row of a path wins.
            if (table->item(row, PathColumn) && !rowIndex.contains(port))
                rowIndex.insert(port, row);
        }
        rowIndexValid = true;
    }
    return rowIndex.value(path, -1);
}

QString Widget::portAt(int row) const
{
    const QTableWidgetItem *item = ui->tableWidget->item(row, PathColumn);
    return item ? item->data(PortRole).toString() : QString();
}

QLabel *Widget::statusLabelAt(int row) const
{
    return qobject_cast<QLabel *>(ui->tableWidget->cellWidget(row, StatusColumn));
}

QPushButton *Widget::actionButtonAt(int row) const
{
    return qobject_cast<QPushButton *>(ui->tableWidget->cellWidget(row, ActionColumn));
}

QComboBox *Widget::modeComboAt(int row) const
{
    return qobject_cast<QComboBox *>(ui->tableWidget->cellWidget(row, ModeColumn));
}

QProgressBar *Widget::progressBarAt(int row) const
{
    return qobject_cast<QProgressBar *>(ui->tableWidget->cellWidget(row, ProgressColumn));
}

Widget::DeviceRow Widget::deviceRow(const QString &devicePort) const
{
    const int row = findRowByPath(devicePort);
    if (row < 0)
        return DeviceRow();
    DeviceRow widgets;
    widgets.status = statusLabelAt(row);
    widgets.action = actionButtonAt(row);
    if (!widgets.status || !widgets.action)
        return DeviceRow();
    widgets.progress = progressBarAt(row);
    return widgets;
}

void Widget::updateButtonStates()
{
    ui->startAllButton->setEnabled(ui->tableWidget->rowCount() > 0);
    bool running = false;
    for (const QProcess *process : qAsConst(processMap)) {
        if (process && process->state() == QProcess::Running) {
            running = true;
            break;
        }
    }
    ui->stopAllButton->setEnabled(running);
}

void Widget::updateDeviceCountLineEdit()
{
    QTableWidget *table = ui->tableWidget;
    int count = 0;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, ProColumn);
        if (item && !item->text().trimmed().isEmpty())
            ++count;
    }
    connectedCount = count;
    ui->lineEdit->setText(connectedDevicesText(connectedCount));
    ui->lineEdit_2->setText(failedDevicesText(failedDevices.values()));
}

void Widget::rebuildDeviceRows(const QVector<ListedDevice> &devices, const QMap<QString, QString> &statuses,
                               const QMap<QString, QString> &modes)
{
    QTableWidget *table = ui->tableWidget;
    // A cell widget shown or deleted while the table shows it costs a pass
    // over all its siblings, which made a rebuild quadratic in the rows: they
    // are rebuilt with the viewport hidden, and shown again all at once.
    QWidget *viewport = table->viewport();
    const bool viewportShown = !viewport->isHidden();
    viewport->hide();
    table->setRowCount(0);
    table->setRowCount(int(devices.size()));
    const QStringList modeNames = {QStringLiteral("Image"), QStringLiteral("Kernel"), QStringLiteral("FileSystem")};
    const QString running = StatusText::running();
    for (int row = 0; row < devices.size(); ++row) {
        const QStringList &fields = devices.at(row).fields;
        const QString devicePort = fields.at(0);
        table->setItem(row, PathColumn, pathItem(devicePort));
        for (int column = 1; column < fields.size() && column <= ModeColumn; ++column)
            table->setItem(row, column, listingItem(fields.at(column)));

        auto *mode = new QComboBox(table);
        mode->addItems(modeNames);
        mode->setCurrentIndex(0);
        if (modes.contains(devicePort))
            mode->setCurrentText(modes.value(devicePort));
        table->setCellWidget(row, ModeColumn, mode);

        const QString status = statuses.value(devicePort, StatusText::idle());
        auto *label = new QLabel(status);
        label->setAlignment(Centred);
        if (status == StatusText::failed())
            label->setStyleSheet(StatusText::failedStyle());
        table->setCellWidget(row, StatusColumn, label);

        auto *button = new QPushButton(status == running ? StatusText::stopAction() : StatusText::run());
        connect(button, &QPushButton::clicked, this, [this, devicePort] {
            runOrStopDevice(devicePort);
        });
        table->setCellWidget(row, ActionColumn, button);

        auto *bar = new QProgressBar(table);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setAlignment(Centred);
        table->setCellWidget(row, ProgressColumn, bar);
    }
    if (viewportShown)
        viewport->show();
}

void Widget::appendLostJobRow(const QString &devicePort)
{
    QTableWidget *table = ui->tableWidget;
    const int row = table->rowCount();
    table->insertRow(row);
    table->setItem(row, PathColumn, pathItem(devicePort));
    table->setItem(row, ModeColumn, listingItem(StatusText::notApplicable()));
    auto *label = new QLabel(StatusText::lost());
    label->setAlignment(Centred);
    table->setCellWidget(row, StatusColumn, label);
}
