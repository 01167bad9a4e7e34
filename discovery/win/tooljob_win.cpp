#include "discovery/win/tooljob_win.h"

#include <windows.h>
#include <tlhelp32.h>

namespace {

HANDLE newKillOnCloseJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

bool assignToJob(HANDLE job, DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, processId);
    if (!process)
        return false;
    const bool assigned = AssignProcessToJobObject(job, process);
    CloseHandle(process);
    return assigned;
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

bool ToolJob::adopt(const QProcess &process)
{
    close();
    if (HANDLE job = newKillOnCloseJob()) {
        if (assignToJob(job, DWORD(process.processId())))
            m_job = job;
        else
            CloseHandle(job);
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
