#include "widget.h"

#include "listingparser.h"
#include "toolcontract.h"
#include "toolprocess.h"

#include <QFileInfo>
#include <QProcess>

QString Widget::runListing(bool *listed)
{
    ToolProcess process;
    // Standard error is never read; keep it from piling up in memory.
    process.setStandardErrorFile(QProcess::nullDevice());
    const bool started =
        process.startTool(ToolContract::program(), ToolContract::listingArguments(), QIODevice::ReadWrite);
    if (started)
        process.waitForFinished(ToolContract::listingTimeoutMs);
    if (listed) {
        const QFileInfo tool(ToolContract::program());
        *listed = started || !(tool.isFile() && tool.isExecutable());
    }
    const QByteArray output = process.readAllStandardOutput();
    // A tool still running after the wait is ended here rather than by the
    // destructor's own, longer wait.
    if (process.killChild())
        process.waitForFinished(3000);
    process.markNotRunning();
    return stripEscapeSequences(decodeToolOutput(output));
}

void Widget::listdevices()
{
    populateDeviceTable(runListing());
    updateDeviceCountLineEdit();
}

void Widget::populateDeviceTable(const QString &text)
{
    // Jobs stay recorded: a device whose tool still runs keeps showing it, so
    // that it can be stopped and is not flashed twice at once.
    QMap<QString, QString> statuses;
    for (auto it = processMap.cbegin(); it != processMap.cend(); ++it) {
        if (it.value())
            statuses.insert(it.key(), QStringLiteral("Running"));
    }
    rebuildDeviceRows(parseListing(text), statuses);
    updateButtonStates();
}
