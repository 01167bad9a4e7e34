#include "descriptorlimit.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
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
