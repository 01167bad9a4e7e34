#include "app/widget.h"

#include "discovery/listingparser.h"
#include "discovery/listingrun.h"
#include "flashing/attemptsignals.h"
#include "flashing/statustexts.h"

#include <QDebug>
#include <QProcess>

namespace {

// A listing starts every row afresh, but a device whose tool still runs
// keeps showing it, so that it can be stopped and is not flashed twice at once.
QMap<QString, QString> jobStatuses(const QMap<QString, QProcess *> &processMap)
{
    QMap<QString, QString> statuses;
    for (auto it = processMap.cbegin(); it != processMap.cend(); ++it) {
        if (it.value())
            statuses.insert(it.key(), StatusText::running());
    }
    return statuses;
}

} // namespace

bool Widget::runDeviceListing(QVector<ListedDevice> *devices)
{
    ListingRun run = runToolListing();
    if (run.outcome == ListingRun::NoTool) {
        // No tool means no boards, unless jobs run: their tools are there.
        for (const QProcess *process : qAsConst(processMap)) {
            if (process) {
                run.outcome = ListingRun::Failed;
                run.failure = QStringLiteral("the listing tool is missing while jobs run");
                break;
            }
        }
    }
    if (run.outcome == ListingRun::Failed) {
        qDebug().noquote()
            << QStringLiteral("Device listing failed (%1); the device table is left as it is").arg(run.failure);
        emit announcements->listingFinished(false, 0);
        return false;
    }
    *devices = run.devices;
    return true;
}

void Widget::listdevices()
{
    QVector<ListedDevice> devices;
    if (!runDeviceListing(&devices))
        return;
    applyListing(devices, jobStatuses(processMap));
    updateDeviceCountLineEdit();
    emit announcements->listingFinished(true, int(devices.size()));
}

void Widget::populateDeviceTable(const QString &text)
{
    applyListing(parseListing(text), jobStatuses(processMap));
}
