#include "discovery/listingrun.h"

#include "discovery/toolcontract.h"
#include "discovery/toolprocess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>

namespace {

int testTimeoutMs = 0;
ListingCancelCheck cancelCheck = nullptr;

// How often a running listing looks at the cancel check.
constexpr int WaitSliceMs = 50;

enum class ReadEnd { Ended, TimedOut, TooLong, Cancelled };

// Reads the listing as it arrives until the tool ends, the limit of time or
// size is reached, or the cancel check says so.
ReadEnd readListing(ToolProcess &process, QByteArray *output)
{
    bool outputClosed = false;
    const QMetaObject::Connection closing = QObject::connect(&process, &QProcess::readChannelFinished, [&outputClosed] {
        outputClosed = true;
    });
    // The flag lives no longer than this call; the process does.
    const auto disconnect = qScopeGuard([&closing] {
        QObject::disconnect(closing);
    });
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        *output += process.readAllStandardOutput();
        if (output->size() > MaxListingBytes)
            return ReadEnd::TooLong;
        if (process.state() == QProcess::NotRunning)
            return ReadEnd::Ended;
        if (cancelCheck && cancelCheck())
            return ReadEnd::Cancelled;
        const qint64 left = listingTimeoutMs() - clock.elapsed();
        if (left <= 0)
            return ReadEnd::TimedOut;
        const int slice = int(qMin<qint64>(left, WaitSliceMs));
        // Once the tool has closed its output only its end is left to wait for.
        if (outputClosed)
            process.waitForFinished(slice);
        else
            process.waitForReadyRead(slice);
    }
}

QString failureOf(ReadEnd end, const ToolProcess &process, bool header)
{
    switch (end) {
    case ReadEnd::TimedOut:
        return QStringLiteral("the listing tool did not end within %1 ms").arg(listingTimeoutMs());
    case ReadEnd::TooLong:
        return QStringLiteral("the listing is longer than %1 MiB").arg(MaxListingBytes / (1024 * 1024));
    case ReadEnd::Cancelled:
        return QStringLiteral("the listing was given up, Velmora is ending");
    case ReadEnd::Ended:
        break;
    }
    if (process.exitStatus() == QProcess::CrashExit)
        return QStringLiteral("the listing tool crashed");
    if (process.exitCode() != 0)
        return QStringLiteral("the listing tool exited with code %1").arg(process.exitCode());
    if (!header)
        return QStringLiteral("the listing has no header line");
    return QString();
}

} // namespace

int listingTimeoutMs()
{
    return testTimeoutMs > 0 ? testTimeoutMs : ToolContract::listingTimeoutMs;
}

void setListingCancelCheck(ListingCancelCheck check)
{
    cancelCheck = check;
}

void setListingTimeoutForTesting(int ms)
{
    testTimeoutMs = ms;
}

ListingRun runToolListing()
{
    ListingRun run;
    ToolProcess process;
    // Standard error is never read; keep it from piling up in memory.
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startTool(ToolContract::program(), ToolContract::listingArguments(), QIODevice::ReadWrite)) {
        const QFileInfo tool(ToolContract::program());
        if (tool.isFile() && tool.isExecutable()) {
            // The tool is there, but the station is short of something.
            run.failure = QStringLiteral("the listing tool could not be started: %1").arg(process.startError());
        } else {
            run.outcome = ListingRun::NoTool;
        }
        return run;
    }

    // The wait holds up the event loop, which would record the listing's
    // group only after it.
    ToolGroups::instance()->flush();
    QByteArray output;
    const ReadEnd end = readListing(process, &output);
    // A tool still running is ended here rather than by the destructor's
    // own, longer wait.
    if (process.killChild())
        process.waitForFinished(3000);
    process.markNotRunning();

    bool header = false;
    if (end == ReadEnd::Ended)
        run.devices = parseListing(stripEscapeSequences(decodeToolOutput(output)), &header);
    run.failure = failureOf(end, process, header);
    if (run.failure.isEmpty())
        run.outcome = ListingRun::Listed;
    else
        run.devices.clear();
    return run;
}
