// A flashing tool that is a launcher: runs uuu_sim.exe from its own folder as
// a child process (not in its place) with the same arguments and standard
// handles, waits for it and exits with its exit code. Plain Win32.

#include <windows.h>

#include <string>

namespace {

// The command line after the program's own name.
const wchar_t *argumentsOf(const wchar_t *commandLine)
{
    const wchar_t *p = commandLine;
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p)
            ++p;
    } else {
        for (; *p && *p != L' ' && *p != L'\t'; ++p) {
        }
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return p;
}

} // namespace

int main()
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring simulator(self, length);
    simulator.erase(simulator.find_last_of(L"\\/") + 1);
    simulator += L"uuu_sim.exe";
    std::wstring commandLine = L"\"" + simulator + L"\" " + argumentsOf(GetCommandLineW());

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(simulator.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child))
        return 70;
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 70;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    return int(code);
}
