#include "descriptorlimit.h"
#include "station.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
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
