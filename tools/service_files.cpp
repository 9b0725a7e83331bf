#include "service_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

pid_t pidIn(int fd)
{
    char text[32] = {};
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    return got > 0 ? static_cast<pid_t>(atoi(text)) : 0;
}

std::string stamp()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm local;
    localtime_r(&tv.tv_sec, &local);
    char text[64];
    size_t n = strftime(text, sizeof text, "%F %T", &local);
    snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(tv.tv_usec / 1000));
    return text;
}

bool readLines(const std::string& path, std::vector<std::string>& lines)
{
    std::ifstream in(path);
    if (!in)
        return false;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return true;
}

} // namespace

pid_t runningService()
{
    int fd = open(POWSVC_PID_FILE, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return 0;
    pid_t pid = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0)
        pid = errno == EWOULDBLOCK ? pidIn(fd) : 0;
    close(fd);
    return pid;
}

int claimService(pid_t& running, std::string& error)
{
    running = 0;
    int fd = open(POWSVC_PID_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd == -1) {
        /* Another user's service: its file is readable by all, so it can
         * still be named. */
        int err = errno;
        running = runningService();
        error = running != 0 ? ""
                             : std::string("cannot open ") + POWSVC_PID_FILE + ": " + strerror(err) +
                                   (err == EACCES ? "; no service holds it (one that was killed left it behind): "
                                                    "remove it as its owner"
                                                  : "");
        return -1;
    }
    fchmod(fd, 0644); /* whatever the umask: every user may read who runs */
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            running = pidIn(fd);
        else
            error = std::string("cannot lock ") + POWSVC_PID_FILE + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        error = std::string("cannot write ") + POWSVC_PID_FILE + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

void releaseService(int fd)
{
    unlink(POWSVC_PID_FILE);
    close(fd);
}

void appendHistory(const std::string& event, const std::string& text)
{
    struct stat st;
    if (stat(POWSVC_HISTORY_FILE, &st) == 0 && st.st_size >= POWSVC_HISTORY_LIMIT)
        rename(POWSVC_HISTORY_FILE, POWSVC_HISTORY_FILE ".1");
    int fd = open(POWSVC_HISTORY_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd == -1)
        return;
    std::string line = stamp() + " " + event + " " + text + "\n";
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

bool readHistory(std::vector<std::string>& lines, std::string& error)
{
    bool older = readLines(POWSVC_HISTORY_FILE ".1", lines);
    if (!readLines(POWSVC_HISTORY_FILE, lines) && !older) {
        error = std::string("no history in ") + POWSVC_HISTORY_FILE +
                " (powsvc run keeps it; it has not run since /dev/shm was emptied)";
        return false;
    }
    return true;
}
