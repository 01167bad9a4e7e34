#include "discovery/summary.h"

#include <QCoreApplication>

QString connectedDevicesText(int count)
{
    return QCoreApplication::translate("Widget", "Connected Devices：%1").arg(count);
}

QString failedDevicesText(const QStringList &failedDevices)
{
    QString text = QCoreApplication::translate("Widget", "Failed Devices: %1").arg(failedDevices.size());
    if (failedDevices.isEmpty())
        return text;
    QStringList items;
    items.reserve(failedDevices.size());
    for (const QString &device : failedDevices)
        items.append(QCoreApplication::translate("Widget", "Device #%1").arg(device));
    text += QCoreApplication::translate("Widget", " (") + items.join(QCoreApplication::translate("Widget", ", ")) +
            QCoreApplication::translate("Widget", ")");
    return text;
}
