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

#include "bench/procfs.h"
#include "bench/spawn.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
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
    job.pid = spawn::withOutputPipe({"./uuu", "-d", "-m", job.port, script}, &job.out);
    if (job.pid < 0)
        return false;
    job.log = ::open(logNameFor(job.port).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return true;
}

struct Options
{
    std::string resultFile;
    std::string script = "all_uuu_temp.auto";
    long long fdSampleMs = -1;
    std::vector<Job> jobs;
};

bool parseOptions(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--result" && i + 1 < argc) {
            o.resultFile = argv[++i];
        } else if (arg == "--script" && i + 1 < argc) {
            o.script = argv[++i];
        } else if (arg == "--fd-sample-ms" && i + 1 < argc) {
            o.fdSampleMs = std::atoll(argv[++i]);
        } else if (!arg.empty() && arg[0] != '-') {
            o.jobs.emplace_back();
            o.jobs.back().port = arg;
        } else {
            std::fprintf(stderr, "usage: bare_reader --result FILE [--script NAME] [--fd-sample-ms MS] PORT...\n");
            return false;
        }
    }
    if (o.resultFile.empty())
        std::fprintf(stderr, "bare_reader: --result FILE is required\n");
    return !o.resultFile.empty();
}

// Copies what is there to read from one tool into its log; closes both at
// the end of the output.
void copyOutput(Job &job, std::vector<char> &buffer)
{
    const ssize_t n = ::read(job.out, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR)
        return;
    if (n > 0) {
        if (job.log >= 0)
            writeAll(job.log, buffer.data(), static_cast<size_t>(n));
        return;
    }
    ::close(job.out);
    job.out = -1;
    if (job.log >= 0)
        ::close(job.log);
    job.log = -1;
}

// The poll() loop until every tool's output has ended; false on an error.
// *fdsDuring: the descriptor count at fdSampleMs after wall0.
bool copyAll(std::vector<Job> &jobs, long long wall0, long long fdSampleMs, int *fdsDuring)
{
    std::vector<pollfd> fds;
    std::vector<size_t> owner;
    std::vector<char> buffer(64 * 1024);
    bool sampled = fdSampleMs < 0;
    const long long sampleAt = wall0 + fdSampleMs * 1000000LL;
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
            return true;
        int timeout = -1;
        if (!sampled) {
            const long long left = sampleAt - monotonicNs();
            timeout = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
        }
        const int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            std::perror("bare_reader: poll");
            return false;
        }
        if (!sampled && monotonicNs() >= sampleAt) {
            *fdsDuring = procfs::descriptorCount();
            sampled = true;
        }
        for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR))
                copyOutput(jobs[owner[k]], buffer);
        }
    }
}

int reapAll(const std::vector<Job> &jobs)
{
    int exitsOk = 0;
    for (const Job &job : jobs) {
        if (job.pid <= 0)
            continue;
        int status = 0;
        while (waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            ++exitsOk;
    }
    return exitsOk;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parseOptions(argc, argv, o))
        return 64;
    mkdir("logs", 0755);

    const int fdsBefore = procfs::descriptorCount();
    const long long cpu0 = procfs::cpuNs();
    const long long wall0 = monotonicNs();
    int started = 0, failed = 0;
    for (Job &job : o.jobs)
        ++(startJob(job, o.script) ? started : failed);
    int fdsDuring = -1;
    if (!copyAll(o.jobs, wall0, o.fdSampleMs, &fdsDuring))
        return 1;
    const int exitsOk = reapAll(o.jobs);
    const long long cpu1 = procfs::cpuNs();
    const long long wall1 = monotonicNs();

    FILE *out = std::fopen(o.resultFile.c_str(), "w");
    if (!out) {
        std::perror("bare_reader: result file");
        return 1;
    }
    std::fprintf(out, "cpu_ns %lld\nwall_ns %lld\nmaxrss_kib %ld\nfds_before %d\nfds_during %d\n", cpu1 - cpu0,
                 wall1 - wall0, procfs::statusKib("VmHWM"), fdsBefore, fdsDuring);
    std::fprintf(out, "started %d\nfailed %d\nexits_ok %d\n", started, failed, exitsOk);
    std::fclose(out);
    return 0;
}
