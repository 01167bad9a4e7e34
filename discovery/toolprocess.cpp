#include "toolprocess.h"

#include <QFileInfo>

bool ToolProcess::startTool(const QString &program, const QStringList &arguments, OpenMode mode)
{
    m_startError.clear();
    if (program.contains(QLatin1Char('/')) || program.contains(QLatin1Char('\\'))) {
        const QFileInfo file(program);
        if (!file.isFile() || !file.isExecutable()) {
            m_startError = file.exists() ? QStringLiteral("%1 is not an executable file").arg(program)
                                         : QStringLiteral("%1 does not exist").arg(program);
            return false;
        }
    }
    start(program, arguments, mode);
    if (processId() > 0)
        return true;
    markNotRunning();
    return false;
}

bool ToolProcess::killChild()
{
    if (state() == NotRunning || processId() <= 0)
        return false;
    m_killedByUs = true;
    kill();
    return true;
}

void ToolProcess::markStartFailed()
{
    if (state() != NotRunning)
        setProcessState(NotRunning);
}

void ToolProcess::markNotRunning()
{
    if (state() != NotRunning && processId() <= 0)
        setProcessState(NotRunning);
}
