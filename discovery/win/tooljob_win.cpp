#include "discovery/win/tooljob_win.h"

#include <windows.h>
#include <tlhelp32.h>

namespace {

// A new job that ends its members when its last handle closes, holding the
// process; null when either step fails.
HANDLE newKillOnCloseJobHolding(HANDLE process)
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, process)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// A process created suspended has one thread, which has not run yet. Qt 5
// still holds its handle after the start; otherwise it is looked up among
// all threads, which costs more.
bool resumeThreadsOf(const QProcess &process)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    if (const PROCESS_INFORMATION *info = process.pid()) {
        if (info->hThread)
            return ResumeThread(info->hThread) != DWORD(-1);
    }
    QT_WARNING_POP
#endif
    const DWORD processId = DWORD(process.processId());
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    bool resumed = false;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != processId)
            continue;
        if (HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
            resumed |= ResumeThread(thread) != DWORD(-1);
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
    return resumed;
}

} // namespace

ToolJob::~ToolJob()
{
    close();
}

unsigned long ToolJob::creationFlags(unsigned long flags)
{
    return flags | CREATE_SUSPENDED;
}

bool ToolJob::bindThisProcess()
{
    // Never closed: the job ends with this process, and with it its members.
    return newKillOnCloseJobHolding(GetCurrentProcess()) != nullptr;
}

bool ToolJob::adopt(const QProcess &process)
{
    close();
    if (HANDLE handle = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(process.processId()))) {
        m_job = newKillOnCloseJobHolding(handle);
        CloseHandle(handle);
    }
    return resumeThreadsOf(process);
}

bool ToolJob::terminate(unsigned exitCode)
{
    return m_job && TerminateJobObject(m_job, exitCode);
}

void ToolJob::close()
{
    if (m_job)
        CloseHandle(m_job);
    m_job = nullptr;
}
