#include "app/descriptorlimit.h"
#include "app/station.h"
#include "app/stationrecords.h"
#include "app/widget.h"
#include "discovery/listingrun.h"

#include <QApplication>

#ifdef _WIN32
#include "app/win/childjob_win.h"
#endif

int main(int argc, char *argv[])
{
#ifdef _WIN32
    velmoraBindChildrenToThisProcess(); // no tool outlives Velmora, however it ends
#endif
    raiseDescriptorLimit();
    QApplication a(argc, argv);
    StationLock station;
    if (!station.claim())
        return 1;
    TerminationSignals termination;
    // A listing that hangs must not keep a signal waiting (the first one
    // runs in the window's constructor, before the event loop).
    setListingCancelCheck(&TerminationSignals::arrived);
    int result = 0;
    {
        StationRecords records; // outlives the window, whose end stops the jobs still running
        Widget w;
        records.attach(&w);
        termination.closeOnSignal(&w);
        if (!TerminationSignals::arrived())
            w.show();
        result = a.exec();
    }
    return result;
}
