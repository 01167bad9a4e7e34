// uuu_sim - a stand-in for the command-line board flashing tool that Velmora
// drives.  Copy or link the binary as `uuu` (`uuu.exe` on Windows) into the
// directory Velmora runs from.  Every run is driven by a scenario file so
// tests and demos can make a board succeed, fail, crash, hang or misbehave
// in the ways a real tool and a real board can.
//
// Command line
//   uuu -lsusb               list the boards of the scenario
//   uuu -d -m PORT SCRIPT    "flash" the board at PORT, following SCRIPT
//   uuu -h                   usage
//
// Scenario file
//   $UUU_SIM_SCENARIO if set (it must then exist), otherwise uuu_scenario.txt
//   in the current directory (optional: without it no board is listed and
//   every port flashes with the defaults).  One directive per line; '#'
//   starts a comment, blank lines and CRLF line ends are fine, a value with
//   blanks is written in double quotes (key="a b").
//
//     listing KEY=VALUE...      how `-lsusb` prints
//     defaults KEY=VALUE...     board keys applied to every port first
//     board PORT KEY=VALUE...   one board; it is listed unless listed=0
//     log FILE                  append one line per invocation to FILE:
//                               realtime-ns TAB pid TAB cwd TAB args (TAB-separated)
//
//   listing keys
//     color=0|1         ANSI colour, line-erase and cursor hide/show sequences
//     crlf=0|1          CRLF line ends
//     double_tab=0|1    two TABs between device fields (empty fields between)
//     delay_ms=N        wait before printing anything (slow tool)
//     line_delay_ms=N   wait between lines (output arrives in pieces)
//     lines=N           N extra junk lines after the header that are no devices
//     random_bytes=N    N random bytes (NULs included) before the header
//     seed=N            seed for random_bytes
//     exit_code=N       exit code of the listing run
//     hang=0|1          print the listing, then never exit
//     crash=0|1         print the listing, then die by SIGSEGV
//     spew=0|1          print the listing, then an error line over and over
//     header=0|1        print the "Path" header line (default 1)
//
//   board keys (also valid on `defaults`)
//     chip= pro= vid= pid= bcd=   listing fields (VB100 LOAD: 0xFFF0 0xFFF1 0x0001)
//     serial=TEXT       7th listing field; default made up from the port,
//                       serial="" leaves the field out
//     listed=0|1        show the board in the listing (default 1)
//     duration_ms=N     time from 0% to 100% (default 300)
//     rate=N            progress lines per second (default 20)
//     start_delay_ms=N  wait before the first output line
//     line=FORMAT       progress line; placeholders {port} {pct} {cmd} {kib}
//                       {total_kib} {step} {steps}; default
//                       "{port}>{cmd}: {pct}% ({kib}/{total_kib} KiB)"
//     outcome=ok        progress to 100%, then "PORT->Okay", exit exit_code
//            =fail@P    at P% a line with "Fail: ...", exit 1
//            =error@P   at P% a line with "ERROR: ...", exit 1
//            =crash@P   at P% die by SIGSEGV, no marker
//            =hang@P    at P% stop printing and wait to be killed
//            =exit@P:C  at P% exit silently with code C
//            =closeout@P  at P% close stdout, keep running until killed
//            =okhang      ok, then keep running after the marker (linger=1)
//            =marker_first  ok with marker=early
//            =split_marker  ok with marker=split
//            =burst         ok with marker=burst
//            =lookalike     ok with lookalike=1
//                       outcome= is applied before the other keys of its
//                       line and resets marker, linger and lookalike.
//     marker=plain|early|split|burst
//                       plain: marker line after 100%; early: marker at
//                       marker_at% (before 100%), again after 100% only with
//                       marker_again=1; split: the marker in two writes
//                       split_ms apart; burst: the 99% line, the 100% line
//                       and the marker in one write
//     marker_at=P       early marker after the first line reaching P% (0..99, default 50)
//     marker_again=0|1  early marker: print it again after 100%
//     split_ms=N        pause inside a split write (default 50)
//     linger=0|1        after the marker keep running until killed
//     lookalike=0|1     progress lines carry error/FAIL/fail-like words that
//                       are never exactly ERROR or Fail
//     exit_code=N       exit code after success (default 0)
//     crlf=0|1          CRLF line ends
//     cr=0|1            progress lines end in a bare CR (redrawn in place)
//     color=0|1         colour sequences around lines
//     garbage=0|1       binary bytes (no NUL) around each progress line
//     nul=0|1           NUL bytes in each progress line
//     chunk=N           write all output in pieces of at most N bytes,
//                       split_ms apart
//     bigline=N         one N-byte run without line end right before the
//                       final output of a successful run
//     stderr_noise=0|1  write ERROR/Fail/100%/marker text to stderr at start
//     stamp=FILE        append "NS PORT EVENT" when the marker (okay,
//                       okay-early) or failure line (fail, error) is written
//     stamp_clock=realtime|monotonic   clock of stamp= (default realtime)
//     check_image=0|1   fail when the script's image does not exist (default 1)
//     seed=N            seed for garbage bytes
//
// Script language (the SCRIPT argument)
//   target emmc|sd|nand     storage to write
//   write all|kernel|rootfs "PATH"   write the image at PATH (double quotes)
//   verify                  read back and compare
//   reset                   restart the board when finished
//   done                    end of script; required, nothing may follow
//   '#' comments, blank lines, a UTF-8 BOM and CRLF are accepted.
//
// Exit codes: 0 success, 1 fail/error outcome, 2 script unreadable,
// 3 image not found, 4 bad script, 5 bad scenario, 64 bad command line.

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif

namespace {

// ---------------------------------------------------------------------------
// Platform bits

int64_t realtime_ns()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t monotonic_ns()
{
#ifdef _WIN32
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
#else
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#endif
}

// Sleeps until the monotonic clock reaches `deadline` (from monotonic_ns()).
// Absolute deadlines keep a long run of lines from drifting.
void sleep_until_ns(int64_t deadline)
{
#ifdef _WIN32
    for (;;) {
        const int64_t left = deadline - monotonic_ns();
        if (left <= 0)
            return;
        Sleep(DWORD(std::max<int64_t>(1, left / 1000000)));
    }
#else
    timespec ts{};
    ts.tv_sec = time_t(deadline / 1000000000);
    ts.tv_nsec = long(deadline % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
#endif
}

void sleep_ms(int64_t ms)
{
    if (ms > 0)
        sleep_until_ns(monotonic_ns() + ms * 1000000);
}

[[noreturn]] void sleep_forever()
{
    for (;;) {
#ifdef _WIN32
        Sleep(INFINITE);
#else
        pause();
#endif
    }
}

// Writes all of `data` to `fd` with as few write() calls as the pipe allows.
// Returns false when the descriptor is gone (closed pipe, closed stdout).
bool write_fd(int fd, const char *data, size_t size)
{
    while (size > 0) {
#ifdef _WIN32
        const int n = _write(fd, data, unsigned(std::min<size_t>(size, 1u << 30)));
#else
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
#endif
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

void close_stdout()
{
#ifdef _WIN32
    _close(1);
#else
    close(1);
#endif
}

int process_id()
{
#ifdef _WIN32
    return _getpid();
#else
    return int(getpid());
#endif
}

std::string current_dir()
{
    char buf[4096];
#ifdef _WIN32
    if (_getcwd(buf, sizeof buf))
        return buf;
#else
    if (getcwd(buf, sizeof buf))
        return buf;
#endif
    return "?";
}

[[noreturn]] void crash()
{
#ifndef _WIN32
    // Up to 256 of these may crash at once: keep core files out of the
    // test directories.
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
#ifdef __linux__
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
#endif
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
    std::abort();
}

// Size of a regular file, -1 if there is none.  `path` is UTF-8.
int64_t regular_file_size(const std::string &path)
{
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return -1;
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], n);
    struct _stat64 st
    {
    };
    if (_wstat64(wide.c_str(), &st) != 0 || !(st.st_mode & _S_IFREG))
        return -1;
    return int64_t(st.st_size);
#else
    struct stat st
    {
    };
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return int64_t(st.st_size);
#endif
}

bool read_file(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad())
        return false;
    out = ss.str();
    return true;
}

// Several runs append to the same file at once: each text must land whole at
// the end. POSIX appends atomically in "a" mode; Windows' C library seeks and
// then writes, so there the file is opened for appending only, which Windows
// turns into one write at the end of the file. Wine does not: it looks up the
// end and writes there, and two runs can write over each other. So writers
// also take turns on a lock byte far past any content, which readers never
// touch.
void append_file(const std::string &path, const std::string &text)
{
#ifdef _WIN32
    HANDLE f = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    OVERLAPPED lockByte = {};
    lockByte.OffsetHigh = 0x7fffffff;
    const bool locked = LockFileEx(f, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockByte);
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (locked)
        UnlockFileEx(f, 0, 1, 0, &lockByte);
    CloseHandle(f);
#else
    if (FILE *f = std::fopen(path.c_str(), "ab")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
#endif
}

// ---------------------------------------------------------------------------
// Small helpers

// splitmix64: deterministic, so a scenario gives the same bytes every run.
struct Rng
{
    uint64_t s;
    explicit Rng(uint64_t seed)
        : s(seed)
    {}
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

uint32_t fnv1a(const std::string &s)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : s)
        h = (h ^ c) * 16777619u;
    return h;
}

bool parse_int(const std::string &s, long long lo, long long hi, long long &out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parse_bool(const std::string &s, bool &out)
{
    if (s == "1" || s == "yes" || s == "true" || s == "on") {
        out = true;
        return true;
    }
    if (s == "0" || s == "no" || s == "false" || s == "off") {
        out = false;
        return true;
    }
    return false;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
        s.replace(pos, from.size(), to);
    return s;
}

struct Word
{
    std::string text;
    bool quoted = false; // the word started with a double quote
};

// Splits a line into words at blanks.  A double quote starts a stretch that
// runs to the next double quote, blanks included; there are no escapes, so
// Windows paths keep their backslashes.  '#' at the start of a word starts a
// comment.  Returns false (with `err`) on an unterminated quote.
bool split_words(const std::string &line, std::vector<Word> &words, std::string &err)
{
    words.clear();
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        if (i >= n || line[i] == '#')
            return true;
        Word w;
        w.quoted = line[i] == '"';
        while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] == '"') {
                const size_t close = line.find('"', i + 1);
                if (close == std::string::npos) {
                    err = "unterminated double quote";
                    return false;
                }
                w.text.append(line, i + 1, close - i - 1);
                i = close + 1;
            } else {
                w.text += line[i++];
            }
        }
        words.push_back(std::move(w));
    }
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur += c;
        }
    }
    if (!cur.empty())
        lines.push_back(cur);
    return lines;
}

// ---------------------------------------------------------------------------
// Scenario

enum class Outcome { Ok, Fail, Error, Crash, Hang, Exit, CloseOut };
enum class Marker { Plain, Early, Split, Burst };

struct Board
{
    std::string port;
    std::string chip = "VB100", pro = "LOAD:", vid = "0xFFF0", pid = "0xFFF1", bcd = "0x0001";
    bool serial_set = false;
    std::string serial;
    bool listed = true;

    long long duration_ms = 300;
    long long rate = 20;
    long long start_delay_ms = 0;
    std::string line = "{port}>{cmd}: {pct}% ({kib}/{total_kib} KiB)";

    Outcome outcome = Outcome::Ok;
    int at = 100;      // percentage at which a non-ok outcome strikes
    int exit_with = 0; // code for outcome=exit@P:C
    Marker marker = Marker::Plain;
    int marker_at = 50;
    bool marker_again = false;
    long long split_ms = 50;
    bool linger = false;
    bool lookalike = false;
    int exit_code = 0;

    bool crlf = false, cr = false, color = false, garbage = false, nul = false;
    long long chunk = 0;
    long long bigline = 0;
    bool stderr_noise = false;
    std::string stamp;
    bool stamp_monotonic = false;
    bool check_image = true;
    long long seed = 1;
};

struct Listing
{
    bool color = false, crlf = false, double_tab = false, hang = false, crash = false, header = true, spew = false;
    long long delay_ms = 0, line_delay_ms = 0, lines = 0, random_bytes = 0, seed = 7;
    int exit_code = 0;
};

using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct Scenario
{
    Listing listing;
    KeyValues defaults;
    std::vector<std::pair<std::string, KeyValues>> boards; // scenario order
    std::string log_file;
};

// "fail@40" -> P=40; "exit@40:3" -> P=40, code 3.
bool parse_at(const std::string &v, const std::string &name, int &pct, int *code)
{
    const std::string prefix = name + "@";
    if (v.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string rest = v.substr(prefix.size());
    long long p = 0;
    if (code) {
        const size_t colon = rest.find(':');
        long long c = 0;
        if (colon == std::string::npos || !parse_int(rest.substr(colon + 1), 0, 255, c))
            return false;
        *code = int(c);
        rest.resize(colon);
    }
    if (!parse_int(rest, 0, 100, p))
        return false;
    pct = int(p);
    return true;
}

bool apply_outcome(Board &b, const std::string &v)
{
    b.outcome = Outcome::Ok;
    b.at = 100;
    b.marker = Marker::Plain;
    b.linger = false;
    b.lookalike = false;
    if (v == "ok")
        return true;
    if (v == "okhang") {
        b.linger = true;
        return true;
    }
    if (v == "marker_first") {
        b.marker = Marker::Early;
        return true;
    }
    if (v == "split_marker") {
        b.marker = Marker::Split;
        return true;
    }
    if (v == "burst") {
        b.marker = Marker::Burst;
        return true;
    }
    if (v == "lookalike") {
        b.lookalike = true;
        return true;
    }
    static const std::pair<const char *, Outcome> with_pct[] = {
        {"fail", Outcome::Fail}, {"error", Outcome::Error},       {"crash", Outcome::Crash},
        {"hang", Outcome::Hang}, {"closeout", Outcome::CloseOut},
    };
    for (const auto &[name, kind] : with_pct) {
        if (parse_at(v, name, b.at, nullptr)) {
            b.outcome = kind;
            return true;
        }
    }
    if (parse_at(v, "exit", b.at, &b.exit_with)) {
        b.outcome = Outcome::Exit;
        return true;
    }
    return false;
}

// Applies one board key.  Returns an error text, empty on success.
std::string apply_board_key(Board &b, const std::string &key, const std::string &v)
{
    long long n = 0;
    bool f = false;
    auto num = [&](long long lo, long long hi, long long &dst) -> std::string {
        if (!parse_int(v, lo, hi, n))
            return key + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
        dst = n;
        return {};
    };
    auto flag = [&](bool &dst) -> std::string {
        if (!parse_bool(v, f))
            return key + " wants 0 or 1";
        dst = f;
        return {};
    };
    auto field = [&](std::string &dst) -> std::string {
        if (v.find_first_of("\t\n") != std::string::npos)
            return key + " must not contain a TAB";
        dst = v;
        return {};
    };

    if (key == "chip")
        return field(b.chip);
    if (key == "pro")
        return field(b.pro);
    if (key == "vid")
        return field(b.vid);
    if (key == "pid")
        return field(b.pid);
    if (key == "bcd")
        return field(b.bcd);
    if (key == "serial") {
        b.serial_set = true;
        return field(b.serial);
    }
    if (key == "listed")
        return flag(b.listed);
    if (key == "duration_ms")
        return num(0, 86400000, b.duration_ms);
    if (key == "rate")
        return num(1, 10000, b.rate);
    if (key == "start_delay_ms")
        return num(0, 86400000, b.start_delay_ms);
    if (key == "line") {
        b.line = v;
        return {};
    }
    if (key == "outcome") {
        if (!apply_outcome(b, v))
            return "unknown outcome '" + v + "'";
        return {};
    }
    if (key == "marker") {
        if (v == "plain")
            b.marker = Marker::Plain;
        else if (v == "early")
            b.marker = Marker::Early;
        else if (v == "split")
            b.marker = Marker::Split;
        else if (v == "burst")
            b.marker = Marker::Burst;
        else
            return "marker wants plain, early, split or burst";
        return {};
    }
    if (key == "marker_at") {
        long long p = 0;
        std::string e = num(0, 99, p);
        b.marker_at = int(p);
        return e;
    }
    if (key == "marker_again")
        return flag(b.marker_again);
    if (key == "split_ms")
        return num(0, 60000, b.split_ms);
    if (key == "linger")
        return flag(b.linger);
    if (key == "lookalike")
        return flag(b.lookalike);
    if (key == "exit_code") {
        long long c = 0;
        std::string e = num(0, 255, c);
        b.exit_code = int(c);
        return e;
    }
    if (key == "crlf")
        return flag(b.crlf);
    if (key == "cr")
        return flag(b.cr);
    if (key == "color")
        return flag(b.color);
    if (key == "garbage")
        return flag(b.garbage);
    if (key == "nul")
        return flag(b.nul);
    if (key == "chunk")
        return num(0, 1 << 30, b.chunk);
    if (key == "bigline")
        return num(0, 1ll << 30, b.bigline);
    if (key == "stderr_noise")
        return flag(b.stderr_noise);
    if (key == "stamp") {
        b.stamp = v;
        return {};
    }
    if (key == "stamp_clock") {
        if (v != "realtime" && v != "monotonic")
            return "stamp_clock wants realtime or monotonic";
        b.stamp_monotonic = v == "monotonic";
        return {};
    }
    if (key == "check_image")
        return flag(b.check_image);
    if (key == "seed")
        return num(0, INT64_MAX, b.seed);
    return "unknown board key '" + key + "'";
}

std::string apply_listing_key(Listing &l, const std::string &key, const std::string &v)
{
    long long n = 0;
    bool f = false;
    auto num = [&](long long hi, long long &dst) -> std::string {
        if (!parse_int(v, 0, hi, n))
            return key + " wants a whole number from 0 to " + std::to_string(hi);
        dst = n;
        return {};
    };
    auto flag = [&](bool &dst) -> std::string {
        if (!parse_bool(v, f))
            return key + " wants 0 or 1";
        dst = f;
        return {};
    };
    if (key == "color")
        return flag(l.color);
    if (key == "crlf")
        return flag(l.crlf);
    if (key == "double_tab")
        return flag(l.double_tab);
    if (key == "hang")
        return flag(l.hang);
    if (key == "crash")
        return flag(l.crash);
    if (key == "header")
        return flag(l.header);
    if (key == "spew")
        return flag(l.spew);
    if (key == "delay_ms")
        return num(86400000, l.delay_ms);
    if (key == "line_delay_ms")
        return num(86400000, l.line_delay_ms);
    if (key == "lines")
        return num(1000000, l.lines);
    if (key == "random_bytes")
        return num(1 << 30, l.random_bytes);
    if (key == "seed")
        return num(INT64_MAX, l.seed);
    if (key == "exit_code") {
        long long c = 0;
        std::string e = num(255, c);
        l.exit_code = int(c);
        return e;
    }
    return "unknown listing key '" + key + "'";
}

// Board settings for `port`: built-in defaults, then `defaults`, then the
// port's own board lines.  Within each list outcome= goes first, because it
// resets the keys it is shorthand for.
Board board_for(const Scenario &sc, const std::string &port)
{
    Board b;
    b.port = port;
    auto apply = [&](const KeyValues &kvs) {
        for (int pass = 0; pass < 2; ++pass)
            for (const auto &[k, v] : kvs)
                if ((k == "outcome") == (pass == 0))
                    apply_board_key(b, k, v); // validated while loading
    };
    apply(sc.defaults);
    for (const auto &[p, kvs] : sc.boards)
        if (p == port)
            apply(kvs);
    return b;
}

// Loads the scenario.  Returns an error text, empty on success.
std::string load_scenario(Scenario &sc)
{
    std::string path = "uuu_scenario.txt";
    bool required = false;
    if (const char *env = std::getenv("UUU_SIM_SCENARIO"); env && *env) {
        path = env;
        required = true;
    }
    std::string text;
    if (!read_file(path, text))
        return required ? "cannot read scenario " + path : std::string();

    const std::vector<std::string> lines = split_lines(text);
    std::vector<Word> words;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string where = path + ":" + std::to_string(i + 1) + ": ";
        std::string err;
        if (!split_words(lines[i], words, err))
            return where + err;
        if (words.empty())
            continue;
        const std::string &what = words[0].text;
        size_t first_kv = 1;
        if (what == "log") {
            if (words.size() != 2)
                return where + "log wants one file name";
            sc.log_file = words[1].text;
            continue;
        }
        if (what == "board") {
            if (words.size() < 2)
                return where + "board wants a port";
            first_kv = 2;
        } else if (what != "listing" && what != "defaults") {
            return where + "unknown directive '" + what + "'";
        }
        KeyValues kvs;
        for (size_t w = first_kv; w < words.size(); ++w) {
            const std::string &word = words[w].text;
            const size_t eq = word.find('=');
            if (eq == std::string::npos || eq == 0)
                return where + "expected KEY=VALUE, got '" + word + "'";
            kvs.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        }
        Board scratch;
        for (const auto &[k, v] : kvs) {
            err = what == "listing" ? apply_listing_key(sc.listing, k, v) : apply_board_key(scratch, k, v);
            if (!err.empty())
                return where + err;
        }
        if (what == "defaults")
            sc.defaults.insert(sc.defaults.end(), kvs.begin(), kvs.end());
        else if (what == "board")
            sc.boards.emplace_back(words[1].text, std::move(kvs));
    }
    return {};
}

// ---------------------------------------------------------------------------
// Output

const char *const kEsc = "\x1b";

// Everything a run prints goes through here, so that chunk= can cut any
// output into small pieces and cr=1 can close a redrawn line before the next.
class Out
{
public:
    long long chunk = 0;
    long long split_ms = 0;

    void put(const std::string &s)
    {
        if (chunk <= 0 || s.size() <= size_t(chunk)) {
            raw(s);
            return;
        }
        for (size_t pos = 0; pos < s.size(); pos += size_t(chunk)) {
            if (pos > 0)
                sleep_ms(split_ms);
            raw(s.substr(pos, size_t(chunk)));
        }
    }

private:
    static void raw(const std::string &s) { write_fd(1, s.data(), s.size()); }
};

// ---------------------------------------------------------------------------
// Listing: uuu -lsusb

std::string default_serial(const std::string &port)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "VLM%08X", unsigned(fnv1a(port)));
    return buf;
}

std::vector<std::string> junk_lines(long long count)
{
    static const char *const kinds[] = {
        "",
        "   ",
        "Hint: boards in download mode are shown above",
        "=====",
        "1:99\tVB100\tLOAD:\t0xFFF0\t0xFFF1", // one field short of a device
        "\t\t\t\t\t\t\t",
        "note\t\t\t\t\t\tincomplete",
        "  4:1 \t VB100",
        "\x1b[0m\x1b[?25h",
        "no permission for 3:7 (try again as root)",
    };
    const size_t n = sizeof kinds / sizeof kinds[0];
    std::vector<std::string> out;
    for (long long i = 0; i < count; ++i)
        out.emplace_back(kinds[size_t(i) % n]);
    return out;
}

int run_listing(const Scenario &sc)
{
    const Listing &l = sc.listing;
    sleep_ms(l.delay_ms);

    const std::string eol = l.crlf ? "\r\n" : "\n";
    const std::string sep = l.double_tab ? "\t\t" : "\t";
    auto paint = [&](const char *code, const std::string &text) {
        if (!l.color)
            return text;
        return std::string(kEsc) + "[2K" + kEsc + "[" + code + "m" + text + kEsc + "[0m";
    };

    std::vector<std::string> lines;
    if (l.random_bytes > 0) {
        Rng rng(uint64_t(l.seed));
        std::string bytes;
        for (long long i = 0; i < l.random_bytes; ++i)
            bytes += char(rng.next() & 0xFF);
        lines.push_back(bytes);
    }
    lines.push_back((l.color ? std::string(kEsc) + "[?25l" : std::string()) +
                    paint("1;36", "uuu_sim 1.0 - Velmora board simulator"));
    lines.push_back("");
    lines.push_back("Boards waiting in download mode:");
    if (l.header)
        lines.push_back(paint("1", "\tPath" + sep + "Chip" + sep + "Pro" + sep + "Vid" + sep + "Pid" + sep +
                                       "BcdVersion" + sep + "Serial_no"));
    lines.push_back(std::string(64, '='));

    std::vector<std::string> junk = junk_lines(l.lines);
    size_t next_junk = 0;
    int listed = 0;
    std::vector<std::string> seen;
    for (const auto &entry : sc.boards) {
        const std::string &port = entry.first;
        if (std::find(seen.begin(), seen.end(), port) != seen.end())
            continue;
        seen.push_back(port);
        const Board b = board_for(sc, port);
        if (!b.listed)
            continue;
        std::string row = "\t" + b.port + sep + b.chip + sep + b.pro + sep + b.vid + sep + b.pid + sep + b.bcd;
        const std::string serial = b.serial_set ? b.serial : default_serial(b.port);
        if (!serial.empty())
            row += sep + serial;
        lines.push_back(paint("32", row));
        ++listed;
        if (next_junk < junk.size())
            lines.push_back(junk[next_junk++]);
    }
    while (next_junk < junk.size())
        lines.push_back(junk[next_junk++]);
    lines.push_back(std::to_string(listed) + (listed == 1 ? " board" : " boards") +
                    (l.color ? std::string(kEsc) + "[?25h" : std::string()));

    Out out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            sleep_ms(l.line_delay_ms);
        out.put(lines[i] + eol);
    }
    if (l.crash)
        crash();
    if (l.spew) {
        // A tool stuck retrying: the same line until nobody reads it any more.
        std::string block;
        for (int i = 0; i < 256; ++i)
            block += "ERROR: USB bus 1 does not answer, retrying" + eol;
        while (write_fd(1, block.data(), block.size())) {
        }
        return 1;
    }
    if (l.hang)
        sleep_forever();
    return l.exit_code;
}

// ---------------------------------------------------------------------------
// Script

struct Script
{
    std::string image; // first double-quoted argument
    std::string cmd;   // "write all" etc., for progress lines
};

// Parses the script text.  Returns an error text, empty on success.
std::string parse_script(const std::string &name, std::string text, Script &s)
{
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    const std::vector<std::string> lines = split_lines(text);
    bool done = false, image_seen = false, write_seen = false;
    std::vector<Word> w;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string where = name + ":" + std::to_string(i + 1) + ": ";
        std::string err;
        if (!split_words(lines[i], w, err))
            return where + err;
        if (w.empty())
            continue;
        if (done)
            return where + "nothing may follow 'done'";
        for (const Word &word : w)
            if (word.quoted && !image_seen) {
                s.image = word.text;
                image_seen = true;
            }
        const std::string &c = w[0].text;
        if (c == "target") {
            if (w.size() != 2 || (w[1].text != "emmc" && w[1].text != "sd" && w[1].text != "nand"))
                return where + "target wants emmc, sd or nand";
        } else if (c == "write") {
            if (w.size() != 3 || (w[1].text != "all" && w[1].text != "kernel" && w[1].text != "rootfs"))
                return where + "write wants all, kernel or rootfs and a double-quoted image path";
            if (!w[2].quoted)
                return where + "image path must be in double quotes, got " + w[2].text;
            if (!write_seen)
                s.cmd = "write " + w[1].text;
            write_seen = true;
        } else if (c == "verify" || c == "reset" || c == "done") {
            if (w.size() != 1)
                return where + c + " takes no arguments";
            done = c == "done";
        } else {
            return where + "unknown command '" + c + "'";
        }
    }
    if (!write_seen)
        return name + ": no write command";
    if (!done)
        return name + ": no 'done' at the end (script cut short?)";
    return {};
}

// ---------------------------------------------------------------------------
// Flashing: uuu -d -m PORT SCRIPT

class Flash
{
public:
    Flash(const Board &b, std::string script_name)
        : b_(b)
        , script_name_(std::move(script_name))
        , rng_(uint64_t(b.seed) ^ fnv1a(b.port))
    {
        out_.chunk = b.chunk;
        out_.split_ms = b.split_ms;
        eol_ = b.crlf ? "\r\n" : "\n";
    }

    int run()
    {
        sleep_ms(b_.start_delay_ms);
        if (b_.stderr_noise) {
            const std::string noise =
                "uuu_sim: stderr noise, ERROR Fail 100% " + b_.port + "->Okay (must not be taken for output)\n";
            write_fd(2, noise.data(), noise.size());
        }
        info("uuu_sim 1.0 - Velmora board simulator");

        std::string text;
        if (regular_file_size(script_name_) < 0 || !read_file(script_name_, text)) {
            failure("ERROR: cannot open script " + script_name_, "");
            return 2;
        }
        Script script;
        const std::string err = parse_script(script_name_, text, script);
        if (!err.empty()) {
            failure("ERROR: " + err, "");
            return 4;
        }
        const int64_t size = regular_file_size(script.image);
        info(b_.port + ">Image: \"" + script.image + "\" " +
             (size >= 0 ? std::to_string(size) + " bytes" : std::string("(missing)")));
        if (size < 0 && b_.check_image) {
            failure("ERROR: image not found: " + script.image, "");
            return 3;
        }
        cmd_ = script.cmd;
        total_kib_ = size > 0 ? (size + 1023) / 1024 : 0;
        return progress();
    }

private:
    const Board &b_;
    std::string script_name_;
    Rng rng_;
    Out out_;
    std::string eol_;
    std::string cmd_;
    int64_t total_kib_ = 0;
    long long steps_ = 1;
    bool open_cr_ = false; // a bare-CR progress line still waits for its line end

    std::string paint(const char *code, const std::string &text) const
    {
        if (!b_.color)
            return text;
        return std::string(kEsc) + "[2K" + kEsc + "[" + code + "m" + text + kEsc + "[0m";
    }

    std::string close_cr()
    {
        if (!open_cr_)
            return {};
        open_cr_ = false;
        return eol_;
    }

    void info(const std::string &text) { out_.put(close_cr() + paint("0", text) + eol_); }

    void failure(const std::string &text, const char *event)
    {
        const std::string line = close_cr() + paint("1;31", text) + eol_;
        const int64_t t = now();
        out_.put(line);
        if (*event)
            stamp(t, event);
    }

    int64_t now() const { return b_.stamp_monotonic ? monotonic_ns() : realtime_ns(); }

    void stamp(int64_t t, const char *event) const
    {
        if (!b_.stamp.empty())
            append_file(b_.stamp, std::to_string(t) + " " + b_.port + " " + event + "\n");
    }

    std::string binary_bytes(int count)
    {
        // High bytes and control characters, but no NUL, line ends, ESC,
        // digits, letters or '%', so the bytes never form a word or a
        // percentage by chance.
        static const char pool[] = "\x01\x02\x03\x04\x05\x06\x07\x08\x0b\x0c\x0e\x0f\x10\x11"
                                   "\x12\x13\x14\x7f\x80\x81\x9b\xa0\xc0\xc3\xe2\xed\xef\xf0"
                                   "\xf5\xf8\xfe\xff";
        std::string s;
        for (int i = 0; i < count; ++i)
            s += pool[rng_.next() % (sizeof pool - 1)];
        return s;
    }

    std::string progress_text(int pct, long long step)
    {
        static const char *const lookalikes[] = {
            "error count: 0",      "FAIL-safe: off",   "failover: none",    "Error log: empty", "retry on failure",
            "FAILED blocks: none", "ERRor bits: none", "ERR0R check: pass", "no errors",
        };
        std::string t = b_.line;
        t = replace_all(t, "{port}", b_.port);
        t = replace_all(t, "{pct}", std::to_string(pct));
        t = replace_all(t, "{cmd}", cmd_);
        t = replace_all(t, "{kib}", std::to_string(total_kib_ * pct / 100));
        t = replace_all(t, "{total_kib}", std::to_string(total_kib_));
        t = replace_all(t, "{step}", std::to_string(step));
        t = replace_all(t, "{steps}", std::to_string(steps_));
        if (b_.lookalike)
            t += " | " + std::string(lookalikes[size_t(step) % (sizeof lookalikes / sizeof *lookalikes)]);
        if (b_.nul) {
            t.insert(0, 1, '\0');
            const size_t pc = t.find('%');
            t.insert(pc == std::string::npos ? t.size() : pc + 1, 1, '\0');
        }
        if (b_.garbage)
            t = binary_bytes(4) + t + binary_bytes(4);
        return t;
    }

    // One progress line as it goes out, line end included.  With cr=1 the
    // next progress line redraws this one; only other lines close it.
    std::string progress_line(int pct, long long step)
    {
        std::string s = paint("33", progress_text(pct, step));
        if (b_.cr) {
            s += '\r';
            open_cr_ = true;
        } else {
            s += eol_;
        }
        return s;
    }

    std::string marker_line() { return close_cr() + paint("1;32", b_.port + "->Okay") + eol_; }

    void marker(const char *event)
    {
        const std::string line = marker_line();
        int64_t t = now();
        if (b_.marker == Marker::Split) {
            // Cut inside the port, e.g. "1:1" + "1->Okay".
            const size_t cut = line.find(b_.port + "->Okay") + std::max<size_t>(1, b_.port.size() - 1);
            out_.put(line.substr(0, cut));
            sleep_ms(b_.split_ms);
            t = now();
            out_.put(line.substr(cut));
        } else {
            out_.put(line);
        }
        stamp(t, event);
    }

    [[noreturn]] void strike()
    {
        switch (b_.outcome) {
        case Outcome::Fail:
            failure(b_.port + ">Fail: write error at block 0x" + hex_block() + " (err -5)", "fail");
            std::exit(1);
        case Outcome::Error:
            failure(b_.port + ">ERROR: board stopped answering (timeout after 5000 ms)", "error");
            std::exit(1);
        case Outcome::Crash:
            crash();
        case Outcome::Hang:
            sleep_forever();
        case Outcome::Exit:
            std::exit(b_.exit_with);
        case Outcome::CloseOut:
            close_stdout();
            sleep_forever();
        case Outcome::Ok:
            break;
        }
        std::abort();
    }

    std::string hex_block()
    {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%06X", unsigned(rng_.next() & 0xFFFFFF));
        return buf;
    }

    int progress()
    {
        steps_ = std::max<long long>(1, std::llround(double(b_.duration_ms) * double(b_.rate) / 1000.0));
        const int64_t duration_ns = int64_t(b_.duration_ms) * 1000000;
        const int64_t t0 = monotonic_ns();
        const bool ok = b_.outcome == Outcome::Ok;
        bool early_sent = false;

        for (long long k = 0; k <= steps_; ++k) {
            if (k > 0)
                sleep_until_ns(t0 + int64_t(double(duration_ns) * double(k) / double(steps_)));
            int pct = int(k * 100 / steps_);
            if (ok && b_.marker == Marker::Burst && k == steps_) {
                if (b_.bigline > 0)
                    out_.put(bigline());
                const std::string all = progress_line(99, k) + progress_line(100, k) + marker_line();
                const int64_t t = now();
                out_.put(all);
                stamp(t, "okay");
                return finish();
            }
            const bool strikes = !ok && pct >= b_.at;
            if (strikes)
                pct = b_.at;
            out_.put(progress_line(pct, k));
            if (strikes)
                strike();
            if (b_.marker == Marker::Early && !early_sent && pct >= b_.marker_at) {
                marker("okay-early");
                early_sent = true;
            }
        }
        if (b_.bigline > 0)
            out_.put(bigline());
        if (b_.marker != Marker::Early || b_.marker_again)
            marker("okay");
        return finish();
    }

    std::string bigline() const
    {
        static const std::string unit = "data 0123456789abcdef ";
        std::string s;
        s.reserve(size_t(b_.bigline));
        while (s.size() < size_t(b_.bigline))
            s += unit;
        s.resize(size_t(b_.bigline));
        return s;
    }

    int finish()
    {
        if (b_.linger)
            sleep_forever();
        return b_.exit_code;
    }
};

// ---------------------------------------------------------------------------

const char *const kUsage = "usage: uuu -lsusb              list boards\n"
                           "       uuu -d -m PORT SCRIPT   flash the board at PORT with SCRIPT\n"
                           "scenario: $UUU_SIM_SCENARIO or ./uuu_scenario.txt (see tools/README.md)\n";

void say(const std::string &s)
{
    write_fd(1, s.data(), s.size());
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
#endif
    bool list = false, help = false;
    std::string port, script;
    std::vector<std::string> extra;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-lsusb") {
            list = true;
        } else if (a == "-d") {
            // accepted; the simulator has no debug output
        } else if (a == "-m") {
            if (i + 1 >= argc) {
                say("ERROR: -m wants a port\n" + std::string(kUsage));
                return 64;
            }
            port = argv[++i];
        } else if (a == "-h" || a == "--help") {
            help = true;
        } else if (!a.empty() && a[0] == '-') {
            say("ERROR: unknown option " + a + "\n" + kUsage);
            return 64;
        } else {
            extra.push_back(a);
        }
    }
    if (help) {
        say(kUsage);
        return 0;
    }

    Scenario sc;
    const std::string err = load_scenario(sc);
    if (!sc.log_file.empty()) {
        std::string entry = std::to_string(realtime_ns()) + "\t" + std::to_string(process_id()) + "\t" + current_dir();
        for (int i = 1; i < argc; ++i)
            entry += std::string("\t") + argv[i];
        append_file(sc.log_file, entry + "\n");
    }
    if (!err.empty()) {
        say("ERROR: " + err + "\n");
        std::fprintf(stderr, "uuu_sim: %s\n", err.c_str());
        return 5;
    }

    if (list)
        return run_listing(sc);

    if (port.empty() || extra.size() != 1) {
        say("ERROR: flashing wants -m PORT and one SCRIPT\n" + std::string(kUsage));
        return 64;
    }
    const Board b = board_for(sc, port);
    Flash flash(b, extra[0]);
    return flash.run();
}
