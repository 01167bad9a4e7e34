#include "descriptorlimit.h"
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
    int result = 0;
    {
        Widget w;
        w.show();
        result = a.exec();
    }
    return result;
}
