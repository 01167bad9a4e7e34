#include "app/commandline.h"
#include "app/descriptorlimit.h"
#include "app/station.h"
#include "app/stationsession.h"
#include "app/terminationsignals.h"
#include "app/widget.h"
#include "discovery/listingrun.h"
#include "flashing/jobdescriptors.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.action != CommandLineAction::OpenWindow)
        return runWithoutWindow(argc, argv); // takes no station lock, opens no window
    raiseDescriptorLimit();
    QApplication a(argc, argv);
    // Installed after the application and removed before it goes, once the
    // window and its jobs have gone.
    const JobDescriptorWatch jobDescriptorWatch;
    StationLock station;
    if (!station.claim())
        return 1;
    TerminationSignals termination;
    // A listing that hangs must not keep a signal waiting (the first one
    // runs in the window's constructor, before the event loop).
    setListingCancelCheck(&TerminationSignals::arrived);
    int result = 0;
    {
        Widget w;
        // Read again from the application: on Windows it has the arguments
        // as the system gave them, not in the local code page.
        const StationSession session(&w, parseCommandLine(QCoreApplication::arguments()).options);
        termination.closeOnSignal(&w);
        if (!TerminationSignals::arrived())
            w.show();
        result = a.exec();
    }
    return result;
}
