#include "widget.h"

#include <QApplication>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_LINUX
    // Every flashing board holds a few descriptors; let a full rack fit.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
    QApplication a(argc, argv);
    int result = 0;
    {
        Widget w;
        w.show();
        result = a.exec();
    }
    return result;
}
