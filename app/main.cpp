#include "descriptorlimit.h"
#include "station.h"
#include "widget.h"

#include <QApplication>

#ifdef _WIN32
#include "win/childjob_win.h"
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
    int result = 0;
    {
        Widget w;
        termination.closeOnSignal(&w);
        w.show();
        result = a.exec();
    }
    return result;
}
