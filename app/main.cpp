#include "app/commandline.h"
#include "app/descriptorlimit.h"
#include "app/headless.h"
#include "app/station.h"
#include "app/stationsession.h"
#include "app/terminationsignals.h"
#include "discovery/listingrun.h"
#include "flashing/jobdescriptors.h"

#include <QApplication>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.action != CommandLineAction::OpenWindow)
        return runWithoutWindow(argc, argv); // takes no station lock, opens no window
    const bool headless = commandLine.options.headless;
    if (headless)
        selectHeadlessPlatform();
    raiseDescriptorLimit();
    QApplication a(argc, argv);
    // Read again from the application: on Windows it has the arguments as
    // the system gave them, not in the local code page.
    const Options options = parseCommandLine(QCoreApplication::arguments()).options;
    // Installed after the application and removed before it goes, once the
    // window and its jobs have gone.
    const JobDescriptorWatch jobDescriptorWatch;
    // Nobody is at the screen to close a box (the station lock's refusal).
    QFile standardError;
    std::unique_ptr<UnattendedMessageBoxes> boxes;
    if (headless && standardError.open(stderr, QIODevice::WriteOnly))
        boxes = std::make_unique<UnattendedMessageBoxes>(&standardError);
    StationLock station;
    if (!station.claim())
        return headless ? ExitStationError : 1;
    if (headless) {
        QDir::current().mkpath(QStringLiteral("logs"));
        sendDebugOutputTo(QStringLiteral("logs/velmora-debug.txt"));
    }
    TerminationSignals termination;
    // A listing that hangs must not keep a signal waiting (the first one
    // runs in the window's constructor, before the event loop).
    setListingCancelCheck(&TerminationSignals::arrived);
    return runStation(options, termination);
}
