#include "app/widget.h"

#include "flashing/scripttext.h"

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
    // The scripts that jobs got of their own, when their image differed
    // from that of a running job's script.
    const QSet<QString> ownScripts = ownJobScripts;
    for (const QString &name : ownScripts) {
        file.setFileName(name);
        if (!file.exists() || file.remove())
            ownJobScripts.remove(name);
    }
}
