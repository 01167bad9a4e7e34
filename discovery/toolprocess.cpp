#include "toolprocess.h"

bool ToolProcess::startTool(const QString &program, const QStringList &arguments, OpenMode mode)
{
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

void ToolProcess::markNotRunning()
{
    if (state() != NotRunning && processId() <= 0)
        setProcessState(NotRunning);
}
