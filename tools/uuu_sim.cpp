// uuu_sim - a stand-in for the command-line board flashing tool that Velmora
// drives.  Copied or linked as `uuu` (`uuu.exe` on Windows) into the folder
// Velmora runs from, it lists boards and "flashes" them the way a scenario
// file says, so that tests and demos can make a board succeed, fail, crash,
// hang or misbehave on purpose.
//
//   uuu -lsusb               list the boards of the scenario
//   uuu -d -m PORT SCRIPT    "flash" the board at PORT, following SCRIPT
//   uuu -h                   usage
//
// tools/README.md describes the scenario file (found in $UUU_SIM_SCENARIO or
// ./uuu_scenario.txt), its keys, the script language and the exit codes.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <type_traits>
#include <utility>
#include <variant>
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

// Returns false when stdout is gone (closed pipe).
bool say(const std::string &s)
{
    return write_fd(1, s.data(), s.size());
}

// "pid TAB cwd" of this process, for the call log.
std::string pid_and_dir()
{
    char buf[4096];
#ifdef _WIN32
    const std::string pid = std::to_string(_getpid());
    const bool known = _getcwd(buf, sizeof buf) != nullptr;
#else
    const std::string pid = std::to_string(getpid());
    const bool known = getcwd(buf, sizeof buf) != nullptr;
#endif
    return pid + "\t" + (known ? buf : "?");
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
    struct _stat64 st = {};
    const bool regular = _wstat64(wide.c_str(), &st) == 0 && (st.st_mode & _S_IFREG);
#else
    struct stat st = {};
    const bool regular = !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
#endif
    return regular ? int64_t(st.st_size) : -1;
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

bool is_one_of(const std::string &s, std::initializer_list<const char *> names)
{
    return std::any_of(names.begin(), names.end(), [&](const char *name) {
        return s == name;
    });
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
    const bool yes = is_one_of(s, {"1", "yes", "true", "on"});
    if (!yes && !is_one_of(s, {"0", "no", "false", "off"}))
        return false;
    out = yes;
    return true;
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
// comment.  Returns false on an unterminated quote.
bool split_words(const std::string &line, std::vector<Word> &words)
{
    words.clear();
    size_t i = 0;
    const size_t n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= n || line[i] == '#')
            return true;
        Word w;
        w.quoted = line[i] == '"';
        while (i < n && line[i] != ' ' && line[i] != '\t') {
            if (line[i] == '"') {
                const size_t close = line.find('"', i + 1);
                if (close == std::string::npos)
                    return false;
                w.text.append(line, i + 1, close - i - 1);
                i = close + 1;
            } else {
                w.text += line[i++];
            }
        }
        words.push_back(std::move(w));
    }
}

// Calls `step(words)` for each line of `text` that has words; CRs are
// dropped, so CRLF files read like LF ones.  Returns the first error as
// "NAME:LINE: error", empty when every line was fine.
template <class Step> std::string each_line(const std::string &name, const std::string &text, Step step)
{
    std::vector<Word> words;
    size_t number = 0;
    for (size_t pos = 0; pos < text.size(); ++number) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        std::string err;
        if (!split_words(line, words))
            err = "unterminated double quote";
        else if (!words.empty())
            err = step(words);
        if (!err.empty())
            return name + ":" + std::to_string(number + 1) + ": " + err;
    }
    return {};
}

const char *const kEsc = "\x1b";

std::string paint(bool color, const char *code, const std::string &text)
{
    if (!color)
        return text;
    return std::string(kEsc) + "[2K" + kEsc + "[" + code + "m" + text + kEsc + "[0m";
}

// ---------------------------------------------------------------------------
// Scenario

enum class Outcome { Ok, Fail, Error, Crash, Hang, Exit, CloseOut };
enum class Marker { Plain, Early, Split, Burst };

struct Board
{
    std::string port;
    std::string chip = "VB100", pro = "LOAD:", vid = "0xFFF0", pid = "0xFFF1", bcd = "0x0001";
    std::string serial; // empty: no serial field in the listing
    bool listed = true;

    long long duration_ms = 300, rate = 20, start_delay_ms = 0;
    std::string line = "{port}>{cmd}: {pct}% ({kib}/{total_kib} KiB)";

    Outcome outcome = Outcome::Ok;
    int at = 100;      // percentage at which a non-ok outcome strikes
    int exit_with = 0; // code for outcome=exit@P:C
    Marker marker = Marker::Plain;
    long long marker_at = 50, split_ms = 50, exit_code = 0;
    bool marker_again = false, linger = false, lookalike = false;

    bool crlf = false, color = false, garbage = false, nul = false, check_image = true;
    long long chunk = 0, bigline = 0, seed = 1;
    std::string stamp;
};

struct Listing
{
    bool color = false, crlf = false, double_tab = false, hang = false, crash = false, spew = false, header = true;
    long long delay_ms = 0, lines = 0, random_bytes = 0, seed = 7, exit_code = 0;
};

template <class T> using Parser = std::string (*)(T &, const std::string &);

// One entry of a key table: the key's name and what it sets, a flag, a
// number from `lo` to `hi`, text (no TAB: it could split a listing row), or
// a value with its own parser.
template <class T> struct Key
{
    const char *name;
    std::variant<bool T::*, long long T::*, std::string T::*, Parser<T>> target;
    long long lo = 0, hi = 0;
};

// Sets one key's member from its text.  Returns an error text, empty on success.
template <class T> std::string set_value(const Key<T> &key, T &to, const std::string &v)
{
    const std::string name = key.name;
    if (const auto *flag = std::get_if<bool T::*>(&key.target))
        return parse_bool(v, to.**flag) ? std::string() : name + " wants 0 or 1";
    if (const auto *number = std::get_if<long long T::*>(&key.target)) {
        if (parse_int(v, key.lo, key.hi, to.**number))
            return {};
        return name + " wants a whole number from " + std::to_string(key.lo) + " to " + std::to_string(key.hi);
    }
    if (const auto *text = std::get_if<std::string T::*>(&key.target)) {
        if (v.find('\t') != std::string::npos)
            return name + " must not contain a TAB";
        to.**text = v;
        return {};
    }
    return std::get<Parser<T>>(key.target)(to, v);
}

// outcome= is ok, a shorthand for ok with other keys, or KIND@P (exit@P:C).
// It resets the keys the shorthands stand for, so it is applied first.
std::string set_outcome(Board &b, const std::string &v)
{
    static const std::pair<const char *, Outcome> strikes[] = {
        {"fail@", Outcome::Fail}, {"error@", Outcome::Error}, {"crash@", Outcome::Crash},
        {"hang@", Outcome::Hang}, {"exit@", Outcome::Exit},   {"closeout@", Outcome::CloseOut}};
    b.outcome = Outcome::Ok;
    b.at = 100;
    b.marker = v == "marker_first"   ? Marker::Early
               : v == "split_marker" ? Marker::Split
               : v == "burst"        ? Marker::Burst
                                     : Marker::Plain;
    b.linger = v == "okhang";
    b.lookalike = v == "lookalike";
    if (is_one_of(v, {"ok", "okhang", "lookalike", "marker_first", "split_marker", "burst"}))
        return {};
    const size_t at = v.find('@') + 1; // 0 without an '@'
    const auto kind = std::find_if(std::begin(strikes), std::end(strikes), [&](const auto &k) {
        return v.compare(0, at, k.first) == 0;
    });
    std::string unknown = "unknown outcome '" + v + "'";
    if (kind == std::end(strikes))
        return unknown;
    std::string pct = v.substr(at);
    long long p = 0, code = 0;
    if (kind->second == Outcome::Exit) {
        const size_t colon = pct.find(':');
        if (colon == std::string::npos || !parse_int(pct.substr(colon + 1), 0, 255, code))
            return unknown;
        pct.resize(colon);
    }
    if (!parse_int(pct, 0, 100, p))
        return unknown;
    b.outcome = kind->second;
    b.at = int(p);
    b.exit_with = int(code);
    return {};
}

std::string set_marker(Board &b, const std::string &v)
{
    static const char *const names[] = {"plain", "early", "split", "burst"};
    const auto *name = std::find_if(std::begin(names), std::end(names), [&](const char *n) {
        return v == n;
    });
    if (name == std::end(names))
        return "marker wants plain, early, split or burst";
    b.marker = Marker(name - names);
    return {};
}

constexpr long long kDayMs = 86400000;

const Key<Board> kBoardKeys[] = {
    {"chip", &Board::chip},
    {"pro", &Board::pro},
    {"vid", &Board::vid},
    {"pid", &Board::pid},
    {"bcd", &Board::bcd},
    {"serial", &Board::serial},
    {"listed", &Board::listed},
    {"duration_ms", &Board::duration_ms, 0, kDayMs},
    {"rate", &Board::rate, 1, 10000},
    {"start_delay_ms", &Board::start_delay_ms, 0, kDayMs},
    {"line", &Board::line},
    {"outcome", set_outcome},
    {"marker", set_marker},
    {"marker_at", &Board::marker_at, 0, 99},
    {"marker_again", &Board::marker_again},
    {"split_ms", &Board::split_ms, 0, 60000},
    {"linger", &Board::linger},
    {"lookalike", &Board::lookalike},
    {"exit_code", &Board::exit_code, 0, 255},
    {"crlf", &Board::crlf},
    {"color", &Board::color},
    {"garbage", &Board::garbage},
    {"nul", &Board::nul},
    {"chunk", &Board::chunk, 0, 1 << 30},
    {"bigline", &Board::bigline, 0, 1ll << 30},
    {"stamp", &Board::stamp},
    {"check_image", &Board::check_image},
    {"seed", &Board::seed, 0, INT64_MAX},
};

const Key<Listing> kListingKeys[] = {
    {"color", &Listing::color},
    {"crlf", &Listing::crlf},
    {"double_tab", &Listing::double_tab},
    {"hang", &Listing::hang},
    {"crash", &Listing::crash},
    {"spew", &Listing::spew},
    {"header", &Listing::header},
    {"delay_ms", &Listing::delay_ms, 0, kDayMs},
    {"lines", &Listing::lines, 0, 1000000},
    {"random_bytes", &Listing::random_bytes, 0, 1 << 30},
    {"seed", &Listing::seed, 0, INT64_MAX},
    {"exit_code", &Listing::exit_code, 0, 255},
};

// Applies `key=v` from `table` to `to`.  Returns an error text, empty on success.
template <class T, size_t N>
std::string set_key(const Key<T> (&table)[N], T &to, const std::string &key, const std::string &v)
{
    for (const Key<T> &k : table)
        if (key == k.name)
            return set_value(k, to, v);
    return std::string("unknown ") + (std::is_same_v<T, Listing> ? "listing" : "board") + " key '" + key + "'";
}

using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct Scenario
{
    Listing listing;
    KeyValues defaults;
    std::vector<std::pair<std::string, KeyValues>> boards; // scenario order
    std::string log_file;
};

std::string default_serial(const std::string &port)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "VLM%08X", unsigned(fnv1a(port)));
    return buf;
}

// Board settings for `port`: built-in defaults, then `defaults`, then the
// port's own board lines.
Board board_for(const Scenario &sc, const std::string &port)
{
    Board b;
    b.port = port;
    b.serial = default_serial(port);
    auto apply = [&](const KeyValues &kvs) {
        for (int pass = 0; pass < 2; ++pass)
            for (const auto &[k, v] : kvs)
                if ((k == "outcome") == (pass == 0))
                    set_key(kBoardKeys, b, k, v); // checked while loading
    };
    apply(sc.defaults);
    for (const auto &[p, kvs] : sc.boards)
        if (p == port)
            apply(kvs);
    return b;
}

// Reads one scenario directive into `sc`.  Returns an error text, empty on success.
std::string read_directive(Scenario &sc, const std::vector<Word> &words)
{
    const std::string &what = words[0].text;
    if (what == "log") {
        if (words.size() != 2)
            return "log wants one file name";
        sc.log_file = words[1].text;
        return {};
    }
    if (what == "board" && words.size() < 2)
        return "board wants a port";
    if (!is_one_of(what, {"board", "listing", "defaults"}))
        return "unknown directive '" + what + "'";
    KeyValues kvs;
    Board checked;
    for (size_t i = what == "board" ? 2 : 1; i < words.size(); ++i) {
        const std::string &word = words[i].text;
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0)
            return "expected KEY=VALUE, got '" + word + "'";
        kvs.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        std::string err = what == "listing" ? set_key(kListingKeys, sc.listing, kvs.back().first, kvs.back().second)
                                            : set_key(kBoardKeys, checked, kvs.back().first, kvs.back().second);
        if (!err.empty())
            return err;
    }
    if (what == "defaults")
        sc.defaults.insert(sc.defaults.end(), kvs.begin(), kvs.end());
    else if (what == "board")
        sc.boards.emplace_back(words[1].text, std::move(kvs));
    return {};
}

// Loads the scenario.  Returns an error text, empty on success.
std::string load_scenario(Scenario &sc)
{
    const char *env = std::getenv("UUU_SIM_SCENARIO");
    const bool required = env && *env;
    const std::string path = required ? env : "uuu_scenario.txt";
    std::string text;
    if (!read_file(path, text))
        return required ? "cannot read scenario " + path : std::string();
    return each_line(path, text, [&](const std::vector<Word> &words) {
        return read_directive(sc, words);
    });
}

// ---------------------------------------------------------------------------
// Listing: uuu -lsusb

std::string junk_line(long long i)
{
    static const char *const kinds[] = {"",
                                        "   ",
                                        "Hint: boards in download mode are shown above",
                                        "=====",
                                        "1:99\tVB100\tLOAD:\t0xFFF0\t0xFFF1", // one field short of a device
                                        "\t\t\t\t\t\t\t",
                                        "note\t\t\t\t\t\tincomplete",
                                        "  4:1 \t VB100",
                                        "\x1b[0m\x1b[?25h",
                                        "no permission for 3:7 (try again as root)"};
    return kinds[size_t(i) % (sizeof kinds / sizeof *kinds)];
}

// Adds the board rows to `lines`, each listed board once in scenario order,
// with a junk line after each row while junk is left.  Returns the number of
// boards listed.
size_t add_devices(const Scenario &sc, std::vector<std::string> &lines, long long &junk_used)
{
    const Listing &l = sc.listing;
    const std::string sep = l.double_tab ? "\t\t" : "\t";
    std::vector<std::string> seen;
    size_t listed = 0;
    for (const auto &entry : sc.boards) {
        if (std::find(seen.begin(), seen.end(), entry.first) != seen.end())
            continue;
        seen.push_back(entry.first);
        const Board b = board_for(sc, entry.first);
        if (!b.listed)
            continue;
        std::string row = "\t" + b.port + sep + b.chip + sep + b.pro + sep + b.vid + sep + b.pid + sep + b.bcd;
        if (!b.serial.empty())
            row += sep + b.serial;
        lines.push_back(paint(l.color, "32", row));
        ++listed;
        if (junk_used < l.lines)
            lines.push_back(junk_line(junk_used++));
    }
    return listed;
}

std::vector<std::string> listing_lines(const Scenario &sc)
{
    const Listing &l = sc.listing;
    std::vector<std::string> lines;
    if (l.random_bytes > 0) {
        Rng rng{uint64_t(l.seed)};
        std::string bytes;
        for (long long i = 0; i < l.random_bytes; ++i)
            bytes += char(rng.next() & 0xFF);
        lines.push_back(bytes);
    }
    lines.push_back((l.color ? std::string(kEsc) + "[?25l" : std::string()) +
                    paint(l.color, "1;36", "uuu_sim 1.0 - Velmora board simulator"));
    lines.push_back("");
    lines.push_back("Boards waiting in download mode:");
    if (l.header) {
        std::string header = "\tPath";
        for (const char *name : {"Chip", "Pro", "Vid", "Pid", "BcdVersion", "Serial_no"})
            header += (l.double_tab ? "\t\t" : "\t") + std::string(name);
        lines.push_back(paint(l.color, "1", header));
    }
    lines.push_back(std::string(64, '='));
    long long junk_used = 0;
    const size_t listed = add_devices(sc, lines, junk_used);
    while (junk_used < l.lines)
        lines.push_back(junk_line(junk_used++));
    lines.push_back(std::to_string(listed) + (listed == 1 ? " board" : " boards") +
                    (l.color ? std::string(kEsc) + "[?25h" : std::string()));
    return lines;
}

int run_listing(const Scenario &sc)
{
    const Listing &l = sc.listing;
    sleep_ms(l.delay_ms);
    const std::string eol = l.crlf ? "\r\n" : "\n";
    for (const std::string &line : listing_lines(sc))
        say(line + eol);
    if (l.crash)
        crash();
    if (l.spew) {
        // A tool stuck retrying: the same line until nobody reads it any more.
        std::string block;
        for (int i = 0; i < 256; ++i)
            block += "ERROR: USB bus 1 does not answer, retrying" + eol;
        while (say(block)) {
        }
        return 1;
    }
    if (l.hang)
        sleep_forever();
    return int(l.exit_code);
}

// ---------------------------------------------------------------------------
// Script

struct Script
{
    std::string image; // first double-quoted argument
    std::string cmd;   // "write all" etc., for progress lines; empty until a write
    bool image_seen = false, done = false;
};

// Checks one script command.  Returns an error text, empty on success.
std::string script_command(Script &s, const std::vector<Word> &w)
{
    if (s.done)
        return "nothing may follow 'done'";
    for (const Word &word : w)
        if (word.quoted && !s.image_seen) {
            s.image = word.text;
            s.image_seen = true;
        }
    const std::string &c = w[0].text;
    if (c == "target") {
        if (w.size() != 2 || !is_one_of(w[1].text, {"emmc", "sd", "nand"}))
            return "target wants emmc, sd or nand";
    } else if (c == "write") {
        if (w.size() != 3 || !is_one_of(w[1].text, {"all", "kernel", "rootfs"}))
            return "write wants all, kernel or rootfs and a double-quoted image path";
        if (!w[2].quoted)
            return "image path must be in double quotes, got " + w[2].text;
        if (s.cmd.empty())
            s.cmd = "write " + w[1].text;
    } else if (is_one_of(c, {"verify", "reset", "done"})) {
        if (w.size() != 1)
            return c + " takes no arguments";
        s.done = c == "done";
    } else {
        return "unknown command '" + c + "'";
    }
    return {};
}

// Parses the script text.  Returns an error text, empty on success.
std::string parse_script(const std::string &name, std::string text, Script &s)
{
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    std::string err = each_line(name, text, [&](const std::vector<Word> &w) {
        return script_command(s, w);
    });
    if (!err.empty())
        return err;
    if (s.cmd.empty())
        return name + ": no write command";
    if (!s.done)
        return name + ": no 'done' at the end (script cut short?)";
    return {};
}

// ---------------------------------------------------------------------------
// Flashing: uuu -d -m PORT SCRIPT

class Flash
{
public:
    Flash(Board b, std::string script_name)
        : b_(std::move(b))
        , script_name_(std::move(script_name))
        , rng_{uint64_t(b_.seed) ^ fnv1a(b_.port)}
        , eol_(b_.crlf ? "\r\n" : "\n")
    {}

    int run()
    {
        sleep_ms(b_.start_delay_ms);
        print("0", "uuu_sim 1.0 - Velmora board simulator");
        std::string text;
        if (regular_file_size(script_name_) < 0 || !read_file(script_name_, text)) {
            print("1;31", "ERROR: cannot open script " + script_name_);
            return 2;
        }
        Script script;
        const std::string err = parse_script(script_name_, text, script);
        if (!err.empty()) {
            print("1;31", "ERROR: " + err);
            return 4;
        }
        const int64_t size = regular_file_size(script.image);
        print("0", b_.port + ">Image: \"" + script.image + "\" " +
                       (size >= 0 ? std::to_string(size) + " bytes" : std::string("(missing)")));
        if (size < 0 && b_.check_image) {
            print("1;31", "ERROR: image not found: " + script.image);
            return 3;
        }
        cmd_ = script.cmd;
        total_kib_ = size > 0 ? (size + 1023) / 1024 : 0;
        return progress();
    }

private:
    const Board b_;
    const std::string script_name_;
    Rng rng_;
    const std::string eol_;
    std::string cmd_;
    int64_t total_kib_ = 0;
    long long steps_ = 1;

    // Every write goes through here, so that chunk= can cut any of them
    // into pieces.
    void put(const std::string &s) const
    {
        const size_t piece = b_.chunk > 0 ? size_t(b_.chunk) : s.size();
        for (size_t pos = 0; pos < s.size(); pos += piece) {
            if (pos > 0)
                sleep_ms(b_.split_ms);
            say(s.substr(pos, piece));
        }
    }

    // Writes `s`; with an `event`, stamps the time taken just before.
    void emit(const std::string &s, const char *event) const
    {
        const int64_t t = realtime_ns();
        put(s);
        if (event && !b_.stamp.empty())
            append_file(b_.stamp, std::to_string(t) + " " + b_.port + " " + event + "\n");
    }

    void print(const char *code, const std::string &text, const char *event = nullptr) const
    {
        emit(paint(b_.color, code, text) + eol_, event);
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

    // One progress line as it goes out, line end included.
    std::string progress_line(int pct, long long step)
    {
        static const char *const lookalikes[] = {"error count: 0",   "FAIL-safe: off",    "failover: none",
                                                 "Error log: empty", "retry on failure",  "FAILED blocks: none",
                                                 "ERRor bits: none", "ERR0R check: pass", "no errors"};
        const std::pair<const char *, std::string> fields[] = {{"{port}", b_.port},
                                                               {"{pct}", std::to_string(pct)},
                                                               {"{cmd}", cmd_},
                                                               {"{kib}", std::to_string(total_kib_ * pct / 100)},
                                                               {"{total_kib}", std::to_string(total_kib_)},
                                                               {"{step}", std::to_string(step)},
                                                               {"{steps}", std::to_string(steps_)}};
        std::string t = b_.line;
        for (const auto &[from, to] : fields)
            t = replace_all(t, from, to);
        if (b_.lookalike)
            t += " | " + std::string(lookalikes[size_t(step) % (sizeof lookalikes / sizeof *lookalikes)]);
        if (b_.nul) {
            t.insert(0, 1, '\0');
            const size_t pc = t.find('%');
            t.insert(pc == std::string::npos ? t.size() : pc + 1, 1, '\0');
        }
        if (b_.garbage) {
            const std::string before = binary_bytes(4);
            t = before + t + binary_bytes(4);
        }
        return paint(b_.color, "33", t) + eol_;
    }

    std::string marker_line() const { return paint(b_.color, "1;32", b_.port + "->Okay") + eol_; }

    void marker(const char *event) const
    {
        const std::string line = marker_line();
        if (b_.marker != Marker::Split)
            return emit(line, event);
        // Cut inside the port, e.g. "1:1" + "1->Okay".
        const size_t cut = line.find(b_.port + "->Okay") + std::max<size_t>(1, b_.port.size() - 1);
        put(line.substr(0, cut));
        sleep_ms(b_.split_ms);
        emit(line.substr(cut), event);
    }

    [[noreturn]] void strike()
    {
        switch (b_.outcome) {
        case Outcome::Fail: {
            char block[16];
            std::snprintf(block, sizeof block, "%06X", unsigned(rng_.next() & 0xFFFFFF));
            print("1;31", b_.port + ">Fail: write error at block 0x" + block + " (err -5)", "fail");
            std::exit(1);
        }
        case Outcome::Error:
            print("1;31", b_.port + ">ERROR: board stopped answering (timeout after 5000 ms)", "error");
            std::exit(1);
        case Outcome::Crash:
            crash();
        case Outcome::Exit:
            std::exit(b_.exit_with);
        case Outcome::CloseOut:
            std::fclose(stdout); // closes descriptor 1, which all output goes to
            sleep_forever();
        case Outcome::Hang:
        case Outcome::Ok:
            sleep_forever();
        }
        std::abort();
    }

    // Progress lines at their times; a non-ok outcome strikes at the first
    // line that reaches its percentage, and that line shows exactly it.
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
            if (ok && b_.marker == Marker::Burst && k == steps_)
                break;
            const int pct = ok ? int(k * 100 / steps_) : std::min(int(k * 100 / steps_), b_.at);
            put(progress_line(pct, k));
            if (!ok && pct == b_.at)
                strike();
            if (b_.marker == Marker::Early && !early_sent && pct >= b_.marker_at) {
                marker("okay-early");
                early_sent = true;
            }
        }
        return succeed();
    }

    // The end of a successful run: the long line without line end, if any,
    // then the marker (for marker=burst together with the last two lines).
    int succeed()
    {
        if (b_.bigline > 0) {
            static const std::string unit = "data 0123456789abcdef ";
            std::string s;
            while (s.size() < size_t(b_.bigline))
                s += unit;
            s.resize(size_t(b_.bigline));
            put(s);
        }
        if (b_.marker == Marker::Burst) {
            std::string all = progress_line(99, steps_);
            all += progress_line(100, steps_);
            emit(all + marker_line(), "okay");
        } else if (b_.marker != Marker::Early || b_.marker_again) {
            marker("okay");
        }
        if (b_.linger)
            sleep_forever();
        return int(b_.exit_code);
    }
};

// ---------------------------------------------------------------------------

const char *const kUsage = "usage: uuu -lsusb              list boards\n"
                           "       uuu -d -m PORT SCRIPT   flash the board at PORT with SCRIPT\n"
                           "scenario: $UUU_SIM_SCENARIO or ./uuu_scenario.txt (see tools/README.md)\n";

struct Args
{
    bool list = false, help = false;
    std::string port;
    std::vector<std::string> rest;
};

// Reads the command line.  Returns an error text, empty on success.
std::string parse_args(int argc, char **argv, Args &args)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-lsusb") {
            args.list = true;
        } else if (a == "-m") {
            if (i + 1 >= argc)
                return "-m wants a port";
            args.port = argv[++i];
        } else if (a == "-h" || a == "--help") {
            args.help = true;
        } else if (a == "-d") {
            // accepted; the simulator has no debug output
        } else if (!a.empty() && a[0] == '-') {
            return "unknown option " + a;
        } else {
            args.rest.push_back(a);
        }
    }
    return {};
}

// Appends "realtime-ns TAB pid TAB cwd TAB args..." to the scenario's call log.
void log_call(const std::string &log_file, int argc, char **argv)
{
    std::string entry = std::to_string(realtime_ns()) + "\t" + pid_and_dir();
    for (int i = 1; i < argc; ++i)
        entry += std::string("\t") + argv[i];
    append_file(log_file, entry + "\n");
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
#endif
    Args args;
    if (const std::string err = parse_args(argc, argv, args); !err.empty()) {
        say("ERROR: " + err + "\n" + kUsage);
        return 64;
    }
    if (args.help) {
        say(kUsage);
        return 0;
    }
    Scenario sc;
    const std::string err = load_scenario(sc);
    if (!sc.log_file.empty())
        log_call(sc.log_file, argc, argv);
    if (!err.empty()) {
        say("ERROR: " + err + "\n");
        std::fprintf(stderr, "uuu_sim: %s\n", err.c_str());
        return 5;
    }
    if (args.list)
        return run_listing(sc);
    if (args.port.empty() || args.rest.size() != 1) {
        say("ERROR: flashing wants -m PORT and one SCRIPT\n" + std::string(kUsage));
        return 64;
    }
    return Flash(board_for(sc, args.port), args.rest[0]).run();
}
