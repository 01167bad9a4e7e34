#include "testplatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <windows.h>
#include <tlhelp32.h>

bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return false;
    DWORD code = 0;
    bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    // Process ids are reused at once, also by the suites that run beside
    // this one: only a program in this test's station folder is its tool.
    wchar_t image[MAX_PATH * 2];
    DWORD size = DWORD(sizeof image / sizeof image[0]);
    if (alive && QueryFullProcessImageNameW(process, 0, image, &size)) {
        const QString folder =
            QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(image, int(size)))).absolutePath();
        alive = folder.compare(QDir::currentPath(), Qt::CaseInsensitive) == 0;
    }
    CloseHandle(process);
    return alive;
}

QList<int> childPids()
{
    QList<int> pids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return pids;
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        // Process ids are reused at once on Windows: a listed child must
        // still be running to count.
        if (entry.th32ParentProcessID == self && processAlive(entry.th32ProcessID))
            pids << int(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
}

bool logHeldOpen()
{
    // An open handle on a file refuses an exclusive open of it.
    const QDir logs(QStringLiteral("logs"));
    const QStringList names = logs.entryList({QStringLiteral("*_log.txt")}, QDir::Files);
    for (const QString &name : names) {
        const QString path = QDir::toNativeSeparators(logs.absoluteFilePath(name));
        HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_SHARING_VIOLATION)
                return true;
            continue;
        }
        CloseHandle(file);
    }
    return false;
}

QString toolFileName()
{
    return QStringLiteral("uuu.exe");
}

bool installSimulatorAs(const QString &simulator, const QString &toolPath)
{
    removeToolFile(toolPath);
    return QFile::copy(simulator, toolPath);
}

QStringList openDescriptors()
{
    // Windows names no handle cheaply: one entry per handle, for the count.
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count))
        return {};
    QStringList handles;
    for (DWORD i = 0; i < count; ++i)
        handles << QStringLiteral("handle");
    return handles;
}

void removeToolFile(const QString &toolPath)
{
    if (QFile::remove(toolPath) || !QFile::exists(toolPath))
        return;
    // A running program cannot be deleted, but it can be moved aside.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString aside = toolPath + QStringLiteral(".gone%1").arg(attempt);
        if (QFile::rename(toolPath, aside))
            return;
    }
}

QByteArray notAProgram()
{
    // Wine would run a "#!" script through the host's shell.
    return QByteArrayLiteral("MZ this is no program\r\necho 3:1->Okay\r\n");
}

bool inOwnPidNamespace()
{
    return false;
}

QString writableUeventDevice()
{
    return QString();
}

bool raiseUevent(const QString &, const char *)
{
    return false;
}

bool takePrivateMounts()
{
    return false;
}

QString mountSmallFileSystem(const QString &, const QByteArray &)
{
    return QStringLiteral("needs a mount namespace");
}

QString readOnlyFolderUnavailable()
{
    return QStringLiteral("needs a folder that POSIX permissions make read-only");
}

QString makeFolderReadOnly(const QString &)
{
    return readOnlyFolderUnavailable();
}

void restoreTestFolders()
{}

bool writeShellScript(const QString &, const QByteArray &)
{
    return false;
}

bool standardOutputClosed(qint64)
{
    return true;
}
