#pragma once

// What the benchmarks, the soak and the tests read about processes from
// Linux's /proc: open descriptors, children, memory and CPU time. Plain C++
// and POSIX, so that the bare reader (which links no Qt) counts the same way
// as the window's harnesses.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

namespace procfs {

// The numeric entries of a /proc folder (pids in /proc, descriptors in
// /proc/PID/fd); ownFds: the folder lists this process's descriptors, and the
// one that reads it is left out. *ok false when the folder cannot be read.
inline std::vector<int> numericEntries(const char *path, bool ownFds, bool *ok = nullptr)
{
    std::vector<int> numbers;
    DIR *dir = ::opendir(path);
    if (ok)
        *ok = dir != nullptr;
    if (!dir)
        return numbers;
    const int own = ownFds ? ::dirfd(dir) : -1;
    while (const dirent *entry = ::readdir(dir)) {
        char *end = nullptr;
        const long n = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && n != own)
            numbers.push_back(int(n));
    }
    ::closedir(dir);
    return numbers;
}

inline std::string pidPath(pid_t pid, const char *leaf)
{
    return "/proc/" + (pid > 0 ? std::to_string(pid) : std::string("self")) + "/" + leaf;
}

// The open descriptors of a process (0: this one); *ok false when they
// cannot be read.
inline std::vector<int> descriptors(pid_t pid = 0, bool *ok = nullptr)
{
    return numericEntries(pidPath(pid, "fd").c_str(), pid <= 0 || pid == ::getpid(), ok);
}

// How many descriptors the process has open; -1 when that cannot be read.
inline int descriptorCount(pid_t pid = 0)
{
    bool ok = false;
    const size_t count = descriptors(pid, &ok).size();
    return ok ? int(count) : -1;
}

// What one descriptor of this process refers to ("/tmp/x/logs/2_1_log.txt",
// "pipe:[1234]"), or "" when it is closed.
inline std::string descriptorTarget(int fd)
{
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : std::string();
}

struct Stat
{
    char state = 0; // 'Z' for a zombie, 0 when the process is gone
    pid_t parent = 0;
};

// Fields of /proc/PID/stat after the command name, which may hold spaces
// and parentheses of its own.
inline Stat stat(pid_t pid)
{
    Stat s;
    FILE *file = std::fopen(pidPath(pid, "stat").c_str(), "r");
    if (!file)
        return s;
    char line[1024];
    const size_t n = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[n] = '\0';
    const char *close = std::strrchr(line, ')');
    int parent = 0;
    if (close && std::sscanf(close + 1, " %c %d", &s.state, &parent) == 2)
        s.parent = pid_t(parent);
    else
        s.state = 0;
    return s;
}

// Every process in this PID namespace; *ok false when /proc cannot be read.
inline std::vector<int> processes(bool *ok = nullptr)
{
    return numericEntries("/proc", false, ok);
}

// The direct children of this process, zombies included.
inline std::vector<int> children()
{
    std::vector<int> pids;
    const pid_t self = ::getpid();
    for (int pid : processes()) {
        if (stat(pid).parent == self)
            pids.push_back(pid);
    }
    return pids;
}

// A "Key:   123 kB" line of /proc/self/status in KiB ("VmHWM" is the peak
// resident size, "VmRSS" the current one); -1 when it is missing.
inline long statusKib(const char *key)
{
    FILE *file = std::fopen("/proc/self/status", "r");
    if (!file)
        return -1;
    char line[256];
    long value = -1;
    const size_t length = std::strlen(key);
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

// User plus system CPU time of this process (its children excluded), in ns.
inline long long cpuNs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &tv) {
        return static_cast<long long>(tv.tv_sec) * 1000000000LL + static_cast<long long>(tv.tv_usec) * 1000LL;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

} // namespace procfs
