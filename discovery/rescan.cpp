#include "app/widget.h"
#include "ui_widget.h"

#include "discovery/listingparser.h"
#include "flashing/attemptsignals.h"
#include "flashing/flashprocess.h"
#include "flashing/statustexts.h"

#include <QComboBox>
#include <QDebug>
#include <QLabel>

void Widget::rescanDevices()
{
    QTableWidget *table = ui->tableWidget;
    QMap<QString, QString> previousStatuses;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (const QLabel *label = statusLabelAt(row))
            previousStatuses.insert(portAt(row), label->text());
    }

    QVector<ListedDevice> devices;
    if (!runDeviceListing(&devices))
        return;
    applyListing(devices, previousStatuses);
    emit announcements->listingFinished(true, int(devices.size()));
}

void Widget::applyListing(const QVector<ListedDevice> &devices, const QMap<QString, QString> &statuses)
{
    // The mode the operator chose for a port stays chosen; the first row of
    // a port is the one its job is started with.
    QMap<QString, QString> modes;
    for (int row = 0; row < ui->tableWidget->rowCount(); ++row) {
        const QComboBox *mode = modeComboAt(row);
        if (mode && !modes.contains(portAt(row)))
            modes.insert(portAt(row), mode->currentText());
    }
    rebuildDeviceRows(devices, statuses, modes);

    for (auto it = statuses.cbegin(); it != statuses.cend(); ++it) {
        const QString &devicePort = it.key();
        if (findRowByPath(devicePort) >= 0 || it.value() != StatusText::running())
            continue;
        appendLostJobRow(devicePort);
        qDebug() << "Target Will Kill uuu.exe";
        if (FlashProcess *process = jobProcess(devicePort))
            endJobByKill(process, AttemptOutcome::Lost, QStringLiteral("board vanished"), false);
        else
            finishJob(devicePort, nullptr, nullptr, StatusText::stopped());
    }

    updateButtonStates();
}
