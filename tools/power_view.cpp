#include "power_view.h"

#include "PLAT_semLib.h"
#include "area_owner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* The boot time, for turning a process's start tick into a date. */
time_t bootTime()
{
    std::istringstream stat(readFile("/proc/stat"));
    for (std::string word; stat >> word;)
        if (word == "btime") {
            long long seconds = 0;
            stat >> seconds;
            return static_cast<time_t>(seconds);
        }
    return 0;
}

time_t startTime(pid_t pid)
{
    unsigned long long ticks = processStartTicks(pid);
    time_t boot = bootTime();
    if (ticks == 0 || boot == 0)
        return 0;
    return boot + static_cast<time_t>(ticks / static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)));
}

std::string formatTime(time_t when, const char* format)
{
    tm local;
    localtime_r(&when, &local);
    char text[32];
    strftime(text, sizeof text, format, &local);
    return text;
}

/* The length of the well-formed UTF-8 sequence at `at`, or 0 when the
 * byte there does not start one (stray continuation, overlong form,
 * surrogate, beyond U+10FFFF, or cut short). */
size_t utf8Sequence(const std::string& text, size_t at)
{
    auto byte = [&](size_t n) { return static_cast<unsigned char>(text[n]); };
    unsigned char c = byte(at);
    if (c < 0x80)
        return 1;
    size_t length = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    unsigned char low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
    unsigned char high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t n = 2; n < length; ++n)
        if ((byte(at + n) & 0xc0) != 0x80)
            return 0;
    return length;
}

} // namespace

std::string userName(uid_t uid)
{
    passwd* pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

unsigned long long processStartTicks(pid_t pid)
{
    /* Through a descriptor of /proc: a user-mode emulator rewrites what a
     * process reads at /proc/self or /proc/ITS-OWN-PID, start time included,
     * and the service's own record must say what others will read. */
    int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int fd = proc == -1 ? -1 : openat(proc, (std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    char text[1024] = {};
    ssize_t got = fd == -1 ? 0 : read(fd, text, sizeof text - 1);
    for (int opened : {fd, proc})
        if (opened != -1)
            close(opened);
    std::string stat(text, got > 0 ? static_cast<size_t>(got) : 0);
    size_t end = stat.rfind(')');
    if (end == std::string::npos || end + 2 > stat.size())
        return 0;
    /* After the name: state is field 3, the start tick field 22. */
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    for (int n = 3; n < 22 && fields >> field;)
        ++n;
    unsigned long long ticks = 0;
    return fields >> ticks ? ticks : 0;
}

ProcessInfo lookUpProcess(pid_t pid)
{
    ProcessInfo info;
    if (pid <= 0)
        return info;
    std::string dir = "/proc/" + std::to_string(pid);
    info.name = readFile(dir + "/comm");
    info.name.erase(info.name.find_last_not_of('\n') + 1);
    info.cmdline = readFile(dir + "/cmdline");
    info.cmdline.erase(info.cmdline.find_last_not_of('\0') + 1);
    std::replace(info.cmdline.begin(), info.cmdline.end(), '\0', ' ');
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        info.user = userName(st.st_uid);
    info.started = startTime(pid);
    return info;
}

bool processRuns(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
}

bool readPower(const AreaNames& names, bool tryPow, PowerSnapshot& s, LIB_POW_OwnerError& error)
{
    LIB_POW_Names kit = names.kit();
    int underPow = 0;
    if (LIB_POW_ownerCopyPower(&kit, tryPow ? 1 : 0, &s.image, &underPow, &s.powHolder, &error) != 0)
        return false;
    s.underPow = underPow != 0;
    s.rows.clear();
    for (int i = 0; i < LIB_POW_DELAY_INDEX_COUNT; ++i) {
        pid_t pid = s.image.sl_DelayPid[i];
        int count = s.image.ss_DelayCount[i];
        if (pid != 0 || count != 0)
            s.rows.push_back({i, pid, count, pid != 0 && processRuns(pid)});
    }
    s.findings.clear();
    LIB_POW_ownerAuditImage(&s.image, nullptr, collectFinding, &s.findings, &s.audit);
    return true;
}

std::string lostIndices(const PowerSnapshot& s)
{
    std::string list;
    for (const LIB_POW_Finding& f : s.findings)
        if (f.kind == LIB_POW_LOST_INDEX) {
            /* Appended piece by piece: g++ 12 at -O3 warns wrongly (-Wrestrict)
             * about "literal" + string (GCC bug 105329). */
            if (!list.empty())
                list += ' ';
            list += std::to_string(f.index);
        }
    return list.empty() ? "none" : list;
}

std::string describeHolder(pid_t pid)
{
    ProcessInfo info = lookUpProcess(pid);
    std::string text = "pid " + std::to_string(pid);
    if (info.name.empty())
        return text + " (ended)";
    text += " (" + printable(info.name) + ", user " + printable(info.user);
    if (info.started != 0)
        text += ", since " + shortTime(info.started);
    return text + ")" + (info.cmdline.empty() ? "" : ": " + printable(info.cmdline));
}

std::string holderName(pid_t pid)
{
    std::string name = lookUpProcess(pid).name;
    return "pid " + std::to_string(pid) + " (" + (name.empty() ? "ended" : printable(name)) + ")";
}

std::vector<std::string> changes(const PowerSnapshot& was, const PowerSnapshot& now)
{
    std::vector<std::string> out;
    /* Every index, as nobody's and counting nothing where a look has no row for it. */
    std::vector<IndexRow> before(LIB_POW_DELAY_INDEX_COUNT), after(LIB_POW_DELAY_INDEX_COUNT);
    for (const IndexRow& r : was.rows)
        before[r.index] = r;
    for (const IndexRow& r : now.rows)
        after[r.index] = r;
    for (int i = 0; i < LIB_POW_DELAY_INDEX_COUNT; ++i) {
        const IndexRow& old = before[i];
        const IndexRow& cur = after[i];
        std::string index = "index " + std::to_string(i);
        if (old.pid != 0 && old.pid != cur.pid)
            out.push_back(index + " released (was pid " + std::to_string(old.pid) + ")");
        if (cur.pid != 0 && cur.pid != old.pid)
            out.push_back(index + " taken by " + describeHolder(cur.pid));
        else if (old.count != cur.count)
            out.push_back(index + " count " + std::to_string(old.count) + " -> " + std::to_string(cur.count));
        if (cur.pid != 0 && cur.pid == old.pid && old.running && !cur.running)
            out.push_back(index + ": holder pid " + std::to_string(cur.pid) + " has ended");
    }
    int a = was.image.DelayTaskNum, b = now.image.DelayTaskNum;
    if (a != b)
        out.push_back("total " + std::to_string(a) + " -> " + std::to_string(b) +
                      (a == 0 ? ": power saving delayed" : b == 0 ? ": nothing reserved" : ""));
    auto flag = [&](const char* name, int x, int y) {
        if (x != y)
            out.push_back(std::string("flag ") + name + " " + std::to_string(x) + " -> " + std::to_string(y));
    };
    flag("hdd-ready", was.image.b_HddReady, now.image.b_HddReady);
    flag("reset-timer", was.image.uc_ResetAutoSleepTimer, now.image.uc_ResetAutoSleepTimer);
    flag("none-reserved", was.image.b_DelayPowerSaveTaskNoneReserved, now.image.b_DelayPowerSaveTaskNoneReserved);
    flag("hdd-sleep-delay", was.image.b_HddSleepDelay, now.image.b_HddSleepDelay);
    return out;
}

std::string clockNow()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    char text[48];
    snprintf(text, sizeof text, "%s.%03d", formatTime(tv.tv_sec, "%H:%M:%S").c_str(),
             static_cast<int>(tv.tv_usec / 1000));
    return text;
}

std::string shortTime(time_t when)
{
    time_t now = time(nullptr);
    bool today = formatTime(now, "%F") == formatTime(when, "%F");
    return formatTime(when, today ? "%H:%M:%S" : "%F");
}

std::string isoTime(time_t when)
{
    return when == 0 ? "" : formatTime(when, "%FT%T%z");
}

std::string printable(const std::string& text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        size_t length = utf8Sequence(text, at);
        if (c < 0x20 || c == 0x7f || length == 0) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(c));
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : hex;
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

void printTable(const std::vector<Column>& columns, const std::vector<std::vector<std::string>>& rows,
                const std::string& indent)
{
    std::vector<std::string> header;
    std::vector<size_t> width;
    for (const Column& column : columns) {
        header.push_back(column.title);
        width.push_back(std::max(column.width, header.back().size()));
    }
    for (const std::vector<std::string>& row : rows)
        for (size_t n = 0; n < row.size(); ++n)
            width[n] = std::max(width[n], row[n].size());
    auto print = [&](const std::vector<std::string>& row) {
        std::string line = indent;
        for (size_t n = 0; n < columns.size(); ++n) {
            std::string pad(width[n] - row[n].size(), ' ');
            line += (n ? " " : "") + (columns[n].right ? pad + row[n] : row[n] + pad);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        printf("%s\n", line.c_str());
    };
    print(header);
    for (const std::vector<std::string>& row : rows)
        print(row);
}
