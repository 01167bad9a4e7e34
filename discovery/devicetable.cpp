#include "widget.h"
#include "ui_widget.h"

#include "listingparser.h"
#include "summary.h"

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

} // namespace

int Widget::findRowByPath(const QString &path) const
{
    QTableWidget *table = ui->tableWidget;
    if (!rowIndexValid) {
        rowIndex.clear();
        const int rows = table->rowCount();
        rowIndex.reserve(rows);
        for (int row = 0; row < rows; ++row) {
            const QTableWidgetItem *item = table->item(row, PathColumn);
            // The first row of a path wins.
            if (item && !rowIndex.contains(item->text()))
                rowIndex.insert(item->text(), row);
        }
        rowIndexValid = true;
    }
    return rowIndex.value(path, -1);
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

bool Widget::deviceRowWidgets(const QString &devicePort, QLabel **statusLabel, QPushButton **actionButton) const
{
    *statusLabel = nullptr;
    *actionButton = nullptr;
    const int row = findRowByPath(devicePort);
    if (row < 0)
        return false;
    QLabel *label = statusLabelAt(row);
    QPushButton *button = actionButtonAt(row);
    if (!label || !button)
        return false;
    *statusLabel = label;
    *actionButton = button;
    return true;
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

void Widget::rebuildDeviceRows(const QVector<ListedDevice> &devices, const QMap<QString, QString> &statuses)
{
    QTableWidget *table = ui->tableWidget;
    table->setRowCount(0);
    table->setRowCount(int(devices.size()));
    const QStringList modes = {QStringLiteral("Image"), QStringLiteral("Kernel"), QStringLiteral("FileSystem")};
    for (int row = 0; row < devices.size(); ++row) {
        const QStringList &fields = devices.at(row).fields;
        for (int column = 0; column < fields.size() && column <= ModeColumn; ++column)
            table->setItem(row, column, new QTableWidgetItem(fields.at(column)));
        const QString devicePort = fields.at(0);

        auto *mode = new QComboBox(table);
        mode->addItems(modes);
        mode->setCurrentIndex(0);
        table->setCellWidget(row, ModeColumn, mode);

        const QString status = statuses.value(devicePort, QStringLiteral("Idle"));
        auto *label = new QLabel(status);
        label->setAlignment(Centred);
        table->setCellWidget(row, StatusColumn, label);

        auto *button =
            new QPushButton(status == QLatin1String("Running") ? QStringLiteral("Stop") : QStringLiteral("Run"));
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
}

void Widget::appendLostJobRow(const QString &devicePort)
{
    QTableWidget *table = ui->tableWidget;
    const int row = table->rowCount();
    table->insertRow(row);
    table->setItem(row, PathColumn, new QTableWidgetItem(devicePort));
    table->setItem(row, ModeColumn, new QTableWidgetItem(QStringLiteral("N/A")));
    auto *label = new QLabel(QStringLiteral("Fail"));
    label->setAlignment(Centred);
    table->setCellWidget(row, StatusColumn, label);
}
