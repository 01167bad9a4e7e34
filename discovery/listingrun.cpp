#include "listingrun.h"

#include "toolcontract.h"
#include "toolprocess.h"

#include <QFileInfo>

namespace {

int testTimeoutMs = 0;

} // namespace

int listingTimeoutMs()
{
    return testTimeoutMs > 0 ? testTimeoutMs : ToolContract::listingTimeoutMs;
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
    process.waitForFinished(listingTimeoutMs());
    const bool ended = process.state() == QProcess::NotRunning;
    const QByteArray output = process.readAllStandardOutput();
    // A tool still running after the wait is ended here rather than by the
    // destructor's own, longer wait.
    if (process.killChild())
        process.waitForFinished(3000);
    process.markNotRunning();

    bool header = false;
    run.devices = parseListing(stripEscapeSequences(decodeToolOutput(output)), &header);
    if (!ended)
        run.failure = QStringLiteral("the listing tool did not end within %1 ms").arg(listingTimeoutMs());
    else if (process.exitStatus() == QProcess::CrashExit)
        run.failure = QStringLiteral("the listing tool crashed");
    else if (process.exitCode() != 0)
        run.failure = QStringLiteral("the listing tool exited with code %1").arg(process.exitCode());
    else if (!header)
        run.failure = QStringLiteral("the listing has no header line");
    if (run.failure.isEmpty())
        run.outcome = ListingRun::Listed;
    else
        run.devices.clear();
    return run;
}
