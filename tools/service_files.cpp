#include "service_files.h"

#include "power_view.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

/* The runtime directory of this run: its descriptor (-1: none, or missing)
 * and what its files must be. */
int g_dir = -1;
std::string g_dirPath;
uid_t g_dirOwner = 0;
gid_t g_historyGroup = static_cast<gid_t>(-1);
mode_t g_historyMode = 0600;

const int kNoFollow = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::string modeText(mode_t mode)
{
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string pathOf(const char* name)
{
    return g_dirPath + "/" + name;
}

/* Why a file of the runtime directory is not one the service made; empty
 * when it is: a regular file with one link, of the directory's owner, that
 * no other user may write. */
std::string judgeFile(int fd, const char* name)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return pathOf(name) + ": " + strerror(errno);
    if (!S_ISREG(st.st_mode))
        return pathOf(name) + " is not a regular file (mode " + modeText(st.st_mode) + ")";
    if (st.st_uid != g_dirOwner)
        return pathOf(name) + " belongs to " + userName(st.st_uid) + ", not to the service's user " +
               userName(g_dirOwner);
    if ((st.st_mode & 022) != 0)
        return pathOf(name) + " may be written by other users (mode " + modeText(st.st_mode) + ")";
    if (st.st_nlink != 1)
        return pathOf(name) + " has " + std::to_string(st.st_nlink) + " names (hard links)";
    return "";
}

/* Opens `name` in the runtime directory as judgeFile wants it; -1 with
 * `error` set (and `missing` when there is none). */
int openFile(const char* name, int flags, bool& missing, std::string& error)
{
    missing = false;
    int fd = openat(g_dir, name, flags | kNoFollow, 0600);
    if (fd == -1) {
        missing = errno == ENOENT;
        error = pathOf(name) + (errno == ELOOP ? " is a symbolic link (not followed)" : ": " + std::string(strerror(errno)));
        return -1;
    }
    error = judgeFile(fd, name);
    if (error.empty())
        return fd;
    close(fd);
    return -1;
}

/* The pid file's content: "PID START-TICKS". */
void parseRecord(int fd, ServiceRecord& record)
{
    char text[64] = {};
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    std::istringstream in(got > 0 ? text : "");
    long long pid = 0;
    in >> pid >> record.startTicks;
    record.pid = static_cast<pid_t>(pid);
}

/* Who holds the lock on the pid file: 0 when nobody does. */
pid_t lockHolder(int fd)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK ? lock.l_pid : 0;
}

/* The local time now in `format`, and its milliseconds: "...45.337". */
std::string timeNow(const char* format)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    char text[64];
    size_t n = strftime(text, sizeof text, format, &local);
    snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(tv.tv_usec / 1000));
    return text;
}

/* The effective user of process `pid` (from /proc/PID/status); false when
 * it cannot be read. */
bool processUser(pid_t pid, uid_t& user)
{
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* status = fopen(path.c_str(), "re");
    if (status == nullptr)
        return false;
    char line[256];
    unsigned real = 0, effective = 0;
    bool found = false;
    while (!found && fgets(line, sizeof line, status) != nullptr)
        found = sscanf(line, "Uid: %u %u", &real, &effective) == 2;
    fclose(status);
    user = effective;
    return found;
}

/* The same executable file: the very program, not one of the same name. */
bool sameProgram(pid_t pid, std::string& program)
{
    std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    char target[4096] = {};
    ssize_t n = readlink(exe.c_str(), target, sizeof target - 1);
    program = n > 0 ? std::string(target, static_cast<size_t>(n)) : "unknown";
    struct stat theirs, ours;
    return stat(exe.c_str(), &theirs) == 0 && stat("/proc/self/exe", &ours) == 0 && theirs.st_dev == ours.st_dev &&
           theirs.st_ino == ours.st_ino;
}

/* "" when process `pid` is the service the record describes (the pidfd's
 * process still running, so /proc spoke of it); else what did not match. */
std::string mismatch(const ServiceRecord& r, int pidfd)
{
    std::string who = "pid " + std::to_string(r.pid);
    uid_t user = 0;
    std::string program;
    if (r.lockHolder != r.pid)
        return "the pid file names " + who + ", but " +
               (r.lockHolder == 0 ? "nobody holds its lock" : "its lock is held by " + holderName(r.lockHolder));
    if (!processUser(r.pid, user))
        return who + " cannot be looked at in /proc";
    if (user != r.user)
        return who + " runs as " + userName(user) + ", not as the service's user " + userName(r.user);
    if (!sameProgram(r.pid, program))
        return who + " runs " + program + ", not this program";
    if (r.startTicks == 0 || processStartTicks(r.pid) != r.startTicks)
        return who + " started at tick " + std::to_string(processStartTicks(r.pid)) + " after boot, not at tick " +
               std::to_string(r.startTicks) + " as the pid file says (another process under a reused pid)";
    if (syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0)
        return who + " ended while it was being looked at";
    return "";
}

bool readLines(const char* name, std::vector<std::string>& lines, bool& missing, std::string& error)
{
    int fd = openFile(name, O_RDONLY, missing, error);
    if (fd == -1)
        return false;
    std::string text;
    char buffer[8192];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return true;
}

} // namespace

std::string runDirectory(const std::string& option)
{
    const char* variable = getenv(POWSVC_RUN_DIR_VARIABLE);
    return !option.empty() ? option : variable != nullptr && *variable != '\0' ? variable : POWSVC_RUN_DIR;
}

bool openRunDirectory(const std::string& path, bool service, std::string& error)
{
    g_dirPath = path;
    std::string fix = " (the service keeps its pid file and history only where no other user may write; fix "
                      "it, or give another with --run-dir or $" POWSVC_RUN_DIR_VARIABLE ")";
    if (service && mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot make the runtime directory " + path + ": " + strerror(errno) + fix;
        return false;
    }
    g_dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (g_dir == -1 && errno == ENOENT && !service)
        return true;
    struct stat st;
    if (g_dir == -1) {
        int err = errno;
        bool link = lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        error = "the runtime directory " + path +
                (link ? " is a symbolic link (not followed)"
                      : err == ENOTDIR ? " is not a directory" : ": " + std::string(strerror(err))) +
                fix;
        return false;
    }
    if (fstat(g_dir, &st) != 0)
        error = "cannot look at the runtime directory " + path + ": " + strerror(errno);
    else if (service && st.st_uid != geteuid())
        error = "the runtime directory " + path + " belongs to " + userName(st.st_uid) +
                ", not to this service's user " + userName(geteuid());
    else if ((st.st_mode & 022) != 0)
        error = "the runtime directory " + path + " may be written by other users (mode " + modeText(st.st_mode) +
                ")";
    g_dirOwner = st.st_uid;
    if (error.empty())
        return true;
    error += fix;
    close(g_dir);
    g_dir = -1;
    return false;
}

bool findService(ServiceRecord& record, std::string& error)
{
    record = ServiceRecord();
    bool missing = false;
    int fd = g_dir == -1 ? -1 : openFile(POWSVC_PID_NAME, O_RDONLY, missing, error);
    if (fd == -1)
        return g_dir == -1 || missing;
    record.user = g_dirOwner;
    record.lockHolder = lockHolder(fd);
    parseRecord(fd, record);
    close(fd);
    return true;
}

bool signalService(const ServiceRecord& record, int signal, std::string& error)
{
    std::string who = "pid " + std::to_string(record.pid);
    int pidfd = record.pid > 1 ? static_cast<int>(syscall(SYS_pidfd_open, record.pid, 0)) : -1;
    if (record.pid <= 1)
        error = "the pid file names " + who + ", which cannot be the service";
    else if (pidfd == -1)
        error = who + " cannot be had: " + strerror(errno);
    else
        error = mismatch(record, pidfd);
    if (error.empty() && syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) != 0)
        error = "cannot signal " + who + ": " + strerror(errno);
    if (pidfd != -1)
        close(pidfd);
    if (!error.empty())
        error = "nothing signalled: " + error;
    return error.empty();
}

int claimService(pid_t& running, std::string& error)
{
    running = 0;
    bool missing = false;
    int history = openFile(POWSVC_HISTORY_NAME, O_RDONLY, missing, error);
    if (history == -1 && !missing)
        return -1;
    if (history != -1)
        close(history);
    int fd = openFile(POWSVC_PID_NAME, O_RDWR | O_CREAT, missing, error);
    if (fd == -1)
        return -1;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        running = errno == EAGAIN || errno == EACCES ? lockHolder(fd) : 0;
        if (running == 0)
            error = "cannot lock " + pathOf(POWSVC_PID_NAME) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    std::string record = std::to_string(getpid()) + " " + std::to_string(processStartTicks(getpid())) + "\n";
    if (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, record.data(), record.size(), 0) != static_cast<ssize_t>(record.size())) {
        error = "cannot write " + pathOf(POWSVC_PID_NAME) + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

void releaseService(int fd)
{
    unlinkat(g_dir, POWSVC_PID_NAME, 0);
    close(fd);
}

void setHistoryAccess(gid_t group, mode_t mode)
{
    g_historyGroup = group;
    g_historyMode = mode;
}

void appendHistory(const std::string& event, const std::string& text)
{
    if (g_dir == -1)
        return;
    bool missing = false;
    std::string error;
    int fd = openFile(POWSVC_HISTORY_NAME, O_WRONLY | O_APPEND | O_CREAT, missing, error);
    struct stat st;
    if (fd != -1 && fstat(fd, &st) == 0 && st.st_size >= POWSVC_HISTORY_LIMIT) {
        close(fd);
        renameat(g_dir, POWSVC_HISTORY_NAME, g_dir, POWSVC_HISTORY_NAME ".1");
        fd = openFile(POWSVC_HISTORY_NAME, O_WRONLY | O_APPEND | O_CREAT, missing, error);
    }
    if (fd == -1)
        return;
    /* As readable as the areas are usable, never more. */
    mode_t mode = g_historyMode;
    if (fstat(fd, &st) != 0 || (g_historyGroup != static_cast<gid_t>(-1) && st.st_gid != g_historyGroup &&
                                fchown(fd, static_cast<uid_t>(-1), g_historyGroup) != 0))
        mode &= 0600;
    if ((st.st_mode & 07777) != mode)
        fchmod(fd, mode);
    std::string line = timeNow("%F %T") + " " + event + " " + text + "\n";
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

bool readHistory(std::vector<std::string>& lines, std::string& error)
{
    bool any = false;
    for (const char* name : {POWSVC_HISTORY_NAME ".1", POWSVC_HISTORY_NAME}) {
        bool missing = true;
        if (g_dir != -1 && readLines(name, lines, missing, error))
            any = true;
        else if (!missing)
            return false;
    }
    if (!any)
        error = "no history in " + g_dirPath + " (powsvc run keeps it there; it has not run with this runtime directory)";
    return any;
}

bool keepFile(const std::string& kind, const std::string& text, std::string& path, std::string& error)
{
    if (g_dir == -1) {
        error = "no runtime directory to keep " + kind + " in";
        return false;
    }
    std::string when = timeNow("%Y%m%d-%H%M%S");
    char name[96];
    for (int n = 0; n < 100; ++n) {
        snprintf(name, sizeof name, "%s.%s.%d", kind.c_str(), when.c_str(), n);
        int fd = openat(g_dir, name, O_WRONLY | O_CREAT | O_EXCL | kNoFollow, 0600);
        if (fd == -1 && errno == EEXIST)
            continue;
        path = pathOf(name);
        if (fd == -1) {
            error = "cannot make " + path + ": " + strerror(errno);
            return false;
        }
        bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        int err = errno;
        if (close(fd) != 0 && written) {
            written = false;
            err = errno;
        }
        if (!written) {
            error = "cannot write " + path + ": " + strerror(err);
            unlinkat(g_dir, name, 0);
        }
        return written;
    }
    error = "cannot find a free name for " + kind + " in " + g_dirPath;
    return false;
}
