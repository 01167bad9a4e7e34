#include "widget.h"
#include "ui_widget.h"

#include "listingparser.h"
#include "toolprocess.h"

#include <QDebug>
#include <QLabel>
#include <QPointer>

void Widget::rescanDevices()
{
    QTableWidget *table = ui->tableWidget;
    QMap<QString, QString> previousStatuses;
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, 0);
        if (const QLabel *label = statusLabelAt(row))
            previousStatuses.insert(item ? item->text() : QString(), label->text());
    }

    bool listed = true;
    const QString listing = runListing(&listed);
    if (!listed) {
        // The tool is there but could not be started: the boards are where
        // they were, and so are their jobs.
        qDebug() << "Cannot run the listing; the device table is left as it is";
        return;
    }
    rebuildDeviceRows(parseListing(listing), previousStatuses);

    for (auto it = previousStatuses.cbegin(); it != previousStatuses.cend(); ++it) {
        const QString &devicePort = it.key();
        if (findRowByPath(devicePort) >= 0 || it.value() != QLatin1String("Running"))
            continue;
        appendLostJobRow(devicePort);
        qDebug() << "Target Will Kill uuu.exe";
        QProcess *process = processMap.value(devicePort);
        if (process && process->state() == QProcess::Running) {
            QPointer<QProcess> guard(process);
            connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                    [this, devicePort, guard] {
                        // Only a job that is still this process's may be ended.
                        if (guard && processMap.value(devicePort) == guard)
                            finishJob(devicePort, nullptr, nullptr, QStringLiteral("Stopped"));
                        else
                            updateButtonStates();
                    });
            static_cast<ToolProcess *>(process)->killChild();
        } else {
            finishJob(devicePort, nullptr, nullptr, QStringLiteral("Stopped"));
        }
    }

    updateButtonStates();
}
