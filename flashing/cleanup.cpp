#include "widget.h"

#include "scriptgenerator.h"

#include <QFile>

#include <cstdio>

void Widget::doProcessFinished()
{
    const QStringList names = temporaryScriptNames();
    std::fputs("Do delete tempfile", stdout);
    std::fflush(stdout);
    QFile file;
    for (const QString &name : names) {
        file.setFileName(name);
        if (file.exists())
            file.remove();
    }
}
