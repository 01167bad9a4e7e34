// A process that has called velmoraBindChildrenToThisProcess() is killed from
// outside; the child it started must end with it. Plain Win32, no toolkit:
//   tst_childjob_win              runs the check
//   tst_childjob_win --holder     binds, starts a sleeper, prints its id, waits
//   tst_childjob_win --sleeper    sleeps for a minute
// The last line is "N passed, M failed"; the exit code is non-zero on failure.

#include "app/win/childjob_win.h"

#include "check.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring ownPath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

// Starts this program with one argument; its standard output goes to output
// when given.
HANDLE startSelf(const wchar_t *argument, HANDLE output, DWORD *pid)
{
    std::wstring commandLine = L"\"" + ownPath() + L"\" " + argument;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &startup,
                        &info))
        return nullptr;
    CloseHandle(info.hThread);
    if (pid)
        *pid = info.dwProcessId;
    return info.hProcess;
}

int holder()
{
    const bool bound = velmoraBindChildrenToThisProcess();
    DWORD sleeperPid = 0;
    HANDLE sleeper = startSelf(L"--sleeper", nullptr, &sleeperPid);
    std::printf("%d %lu\n", bound ? 1 : 0, sleeper ? static_cast<unsigned long>(sleeperPid) : 0UL);
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

void childEndsWithKilledParent()
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CHECK(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE parent = startSelf(L"--holder", writeEnd, nullptr);
    CloseHandle(writeEnd);
    CHECK(parent != nullptr);
    if (!parent)
        return;

    char line[64] = {};
    DWORD got = 0;
    std::string text;
    while (text.find('\n') == std::string::npos && ReadFile(readEnd, line, sizeof line - 1, &got, nullptr) && got)
        text.append(line, got);
    CloseHandle(readEnd);
    int bound = 0;
    unsigned long sleeperPid = 0;
    CHECK(std::sscanf(text.c_str(), "%d %lu", &bound, &sleeperPid) == 2);
    CHECK(bound == 1);
    CHECK(sleeperPid != 0);
    // Held before the parent dies, so the id cannot be taken by another process.
    HANDLE sleeper = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, sleeperPid);
    CHECK(sleeper != nullptr);

    // As the task manager ends a program: no chance to clean up.
    CHECK(TerminateProcess(parent, 1));
    CHECK(WaitForSingleObject(parent, 10000) == WAIT_OBJECT_0);
    CloseHandle(parent);
    if (!sleeper)
        return;
    const bool ended = WaitForSingleObject(sleeper, 10000) == WAIT_OBJECT_0;
    CHECK(ended);
    if (!ended)
        TerminateProcess(sleeper, 1);
    CloseHandle(sleeper);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--holder") == 0)
        return holder();
    if (argc > 1 && std::strcmp(argv[1], "--sleeper") == 0) {
        Sleep(60000);
        return 0;
    }
    childEndsWithKilledParent();
    return checkSummary();
}
