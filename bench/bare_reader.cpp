// bare_reader - the cheapest possible way to do Velmora's I/O work, as the
// yardstick for velmora_bench's CPU cost ratio.
//
// It starts one flashing tool per port exactly as Velmora does
// (`./uuu -d -m PORT SCRIPT`, standard input and standard error on the null
// device, standard output on a pipe), and copies each tool's standard output
// into logs/<port>_log.txt with one write() per read(), in a single poll()
// loop.  Nothing is parsed, decoded or shown.
//
// Usage: bare_reader --result FILE [--script NAME] [--fd-sample-ms MS] PORT...
//
// Runs in the current directory (the tool is ./uuu).  The result file gets
// one "key value" line per figure:
//   cpu_ns      user+system CPU of this process (children excluded) from the
//               first start to the last reaped tool
//   wall_ns     wall time of the same span
//   maxrss_kib  peak resident set size (VmHWM)
//   fds_before  open descriptors before the first start
//   fds_during  open descriptors at --fd-sample-ms after the first start
//   started     tools started, failed: tools that could not be started
//   exits_ok    tools that exited with status 0

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long long cpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &tv) {
        return static_cast<long long>(tv.tv_sec) * 1000000000LL + static_cast<long long>(tv.tv_usec) * 1000LL;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

int openDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1; // the directory stream's own descriptor
}

long peakRssKib()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            value = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}

std::string logNameFor(const std::string &port)
{
    std::string name = port;
    for (char &c : name) {
        if (c == ':' || c == '/' || c == '\\')
            c = '_';
    }
    return "logs/" + name + "_log.txt";
}

struct Job
{
    std::string port;
    pid_t pid = -1;
    int out = -1; // read end of the tool's standard output
    int log = -1;
};

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Starts ./uuu for one port; false when no tool could be started.
bool startJob(Job &job, const std::string &script)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string program = "./uuu";
    std::vector<std::string> args = {program, "-d", "-m", job.port, script};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const int rc = posix_spawn(&job.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        job.pid = -1;
        return false;
    }
    job.out = pipeFds[0];
    job.log = ::open(logNameFor(job.port).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string resultFile;
    std::string script = "all_uuu_temp.auto";
    long long fdSampleMs = -1;
    std::vector<Job> jobs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--result" && i + 1 < argc) {
            resultFile = argv[++i];
        } else if (arg == "--script" && i + 1 < argc) {
            script = argv[++i];
        } else if (arg == "--fd-sample-ms" && i + 1 < argc) {
            fdSampleMs = std::atoll(argv[++i]);
        } else if (!arg.empty() && arg[0] != '-') {
            Job job;
            job.port = arg;
            jobs.push_back(job);
        } else {
            std::fprintf(stderr, "usage: bare_reader --result FILE [--script NAME] [--fd-sample-ms MS] PORT...\n");
            return 64;
        }
    }
    if (resultFile.empty()) {
        std::fprintf(stderr, "bare_reader: --result FILE is required\n");
        return 64;
    }
    mkdir("logs", 0755);

    const int fdsBefore = openDescriptors();
    const long long cpu0 = cpuNs();
    const long long wall0 = monotonicNs();

    int started = 0, failed = 0;
    for (Job &job : jobs) {
        if (startJob(job, script))
            ++started;
        else
            ++failed;
    }

    std::vector<pollfd> fds;
    std::vector<size_t> owner;
    std::vector<char> buffer(64 * 1024);
    int fdsDuring = -1;
    bool sampled = fdSampleMs < 0;
    for (;;) {
        fds.clear();
        owner.clear();
        for (size_t i = 0; i < jobs.size(); ++i) {
            if (jobs[i].out >= 0) {
                fds.push_back(pollfd{jobs[i].out, POLLIN, 0});
                owner.push_back(i);
            }
        }
        if (fds.empty())
            break;
        int timeout = -1;
        if (!sampled) {
            const long long left = wall0 + fdSampleMs * 1000000LL - monotonicNs();
            timeout = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
        }
        const int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            std::perror("bare_reader: poll");
            return 1;
        }
        if (!sampled && monotonicNs() >= wall0 + fdSampleMs * 1000000LL) {
            fdsDuring = openDescriptors();
            sampled = true;
        }
        for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Job &job = jobs[owner[k]];
            const ssize_t n = ::read(job.out, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                if (job.log >= 0)
                    writeAll(job.log, buffer.data(), static_cast<size_t>(n));
                continue;
            }
            ::close(job.out);
            job.out = -1;
            if (job.log >= 0)
                ::close(job.log);
            job.log = -1;
        }
    }

    int exitsOk = 0;
    for (Job &job : jobs) {
        if (job.pid <= 0)
            continue;
        int status = 0;
        while (waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            ++exitsOk;
    }

    const long long cpu1 = cpuNs();
    const long long wall1 = monotonicNs();

    FILE *out = std::fopen(resultFile.c_str(), "w");
    if (!out) {
        std::perror("bare_reader: result file");
        return 1;
    }
    std::fprintf(out, "cpu_ns %lld\nwall_ns %lld\nmaxrss_kib %ld\nfds_before %d\nfds_during %d\n", cpu1 - cpu0,
                 wall1 - wall0, peakRssKib(), fdsBefore, fdsDuring);
    std::fprintf(out, "started %d\nfailed %d\nexits_ok %d\n", started, failed, exitsOk);
    std::fclose(out);
    return 0;
}
