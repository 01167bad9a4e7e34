// Velmora binds the processes it starts to its own lifetime: a process that
// has done so is killed from outside, and the child it started afterwards
// must end with it. The child is started with plain Win32, outside any job
// of a tool's own, so only Velmora's job can end it. Two ways to bind:
//   tst_childjob_win                  runs the check
//   tst_childjob_win --holder bind    ToolProcess::bindChildrenToThisProcess(),
//   tst_childjob_win --holder tool    or a first tool start (what the window
//                                     does), then starts a sleeper, prints
//                                     whether binding or start worked and the
//                                     sleeper's id, and waits
//   tst_childjob_win --sleeper        sleeps for a minute
//   tst_childjob_win --exit           ends at once (the tool started first)
// The last line is "N passed, M failed"; the exit code is non-zero on failure.

#include "discovery/toolprocess.h"

#include "check.h"

#include <QCoreApplication>

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

// Starts this program with the arguments; its standard output goes to output
// when given.
HANDLE startSelf(const wchar_t *arguments, HANDLE output, DWORD *pid)
{
    std::wstring commandLine = L"\"" + ownPath() + L"\" " + arguments;
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

// A first tool start binds this process: after it the sleeper is bound
// too. Nothing else here may bind it, or the check proves nothing.
bool startFirstTool()
{
    ToolProcess tool;
    if (!tool.startTool(QString::fromStdWString(ownPath()), {QStringLiteral("--exit")}))
        return false;
    return tool.waitForFinished(15000) && tool.exitCode() == 0;
}

int holder(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool viaTool = argc > 2 && std::strcmp(argv[2], "tool") == 0;
    const bool bound = viaTool ? startFirstTool() : ToolProcess::bindChildrenToThisProcess();
    DWORD sleeperPid = 0;
    HANDLE sleeper = startSelf(L"--sleeper", nullptr, &sleeperPid);
    std::printf("%d %lu\n", bound ? 1 : 0, sleeper ? static_cast<unsigned long>(sleeperPid) : 0UL);
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

void childEndsWithKilledParent(const wchar_t *holderArguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CHECK(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE parent = startSelf(holderArguments, writeEnd, nullptr);
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
        return holder(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--sleeper") == 0) {
        Sleep(60000);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--exit") == 0)
        return 0;
    for (const wchar_t *holderArguments : {L"--holder bind", L"--holder tool"}) {
        const int failedBefore = checksFailed;
        childEndsWithKilledParent(holderArguments);
        if (checksFailed != failedBefore)
            std::printf("FAIL with %ls\n", holderArguments);
    }
    return checkSummary();
}
