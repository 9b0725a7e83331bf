/*
 * LIB_POW_system.cpp - what the owner kit asks of the system beyond opening
 * and mapping: surviving an object cut short under a mapping (SIGBUS), and
 * finding the processes that have an object open or mapped.
 */
#include "LIB_POW_owner_internal.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

/* The innermost guarded call of this thread, or null. */
thread_local sigjmp_buf* t_guard = nullptr;
struct sigaction g_before; /* the SIGBUS action before ours */
pthread_once_t g_installed = PTHREAD_ONCE_INIT;

/* A fault inside a guarded call ends that call; any other goes where it
 * would have gone without us: to the earlier handler, or (default, or
 * ignored, which a fault cannot be) back to the faulting instruction with
 * the default action, which ends the process as before. The two handler
 * fields share their storage, so SIG_DFL also stands for a null one. */
void onBusError(int sig, siginfo_t* info, void* context)
{
    if (t_guard != nullptr)
        siglongjmp(*t_guard, 1);
    if (g_before.sa_handler == SIG_DFL || g_before.sa_handler == SIG_IGN)
        signal(SIGBUS, SIG_DFL);
    else if ((g_before.sa_flags & SA_SIGINFO) != 0)
        g_before.sa_sigaction(sig, info, context);
    else
        g_before.sa_handler(sig);
}

void installHandler()
{
    struct sigaction action = {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &g_before);
}

/* The numbers after "Label:" in /proc/PID/status (Uid, Gid, Groups); none
 * when the process is gone. */
int statusNumbers(pid_t pid, const std::string& label, unsigned long* numbers, int max)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line) && line.compare(0, label.size() + 1, label + ":") != 0) {
    }
    std::istringstream values(line.erase(0, label.size() + 1));
    int got = 0;
    while (got < max && values >> numbers[got])
        ++got;
    return got;
}

/* Whether one of the process's descriptors is the object. */
bool hasOpen(pid_t pid, const struct stat& object)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/fd", static_cast<int>(pid));
    DIR* fds = opendir(path);
    if (fds == nullptr)
        return false;
    bool found = false;
    for (dirent* entry; !found && (entry = readdir(fds)) != nullptr;) {
        struct stat st;
        snprintf(path, sizeof path, "/proc/%d/fd/%.20s", static_cast<int>(pid), entry->d_name);
        found = entry->d_name[0] != '.' && stat(path, &st) == 0 && st.st_dev == object.st_dev &&
                st.st_ino == object.st_ino;
    }
    closedir(fds);
    return found;
}

/* Whether the process maps the object: its device and inode in a line of
 * /proc/PID/maps ("start-end perms offset MAJOR:MINOR INODE path"). */
bool hasMapped(pid_t pid, const struct stat& object)
{
    char path[40];
    snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(pid));
    FILE* maps = fopen(path, "re");
    if (maps == nullptr)
        return false;
    char* line = nullptr; /* as long as the longest path needs */
    size_t size = 0;
    bool found = false;
    while (!found && getline(&line, &size, maps) != -1) {
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        found = sscanf(line, "%*s %*s %*s %x:%x %llu", &major, &minor, &inode) == 3 &&
                inode == static_cast<unsigned long long>(object.st_ino) && major == major(object.st_dev) &&
                minor == minor(object.st_dev);
    }
    free(line);
    fclose(maps);
    return found;
}

} // namespace

int LIB_POW_ownerGuard(LIB_POW_GuardedFn fn, void* context, int faulted)
{
    pthread_once(&g_installed, installHandler);
    sigjmp_buf here;
    sigjmp_buf* outer = t_guard;
    if (sigsetjmp(here, 1) != 0) {
        t_guard = outer;
        return faulted;
    }
    t_guard = &here;
    int result = fn(context);
    t_guard = outer;
    return result;
}

std::vector<pid_t> processesUsing(const struct stat& object)
{
    std::vector<pid_t> users;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return users;
    for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
        char* end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid == getpid()) /* not a process, or this one */
            continue;
        if (hasOpen(static_cast<pid_t>(pid), object) || hasMapped(static_cast<pid_t>(pid), object))
            users.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return users;
}

bool processMayUse(pid_t pid, uid_t owner, gid_t group, mode_t mode)
{
    unsigned long uids[2] = {}, gids[2] = {}, groups[64] = {};
    if (statusNumbers(pid, "Uid", uids, 2) < 2 || statusNumbers(pid, "Gid", gids, 2) < 2)
        return false; /* gone, or not to be seen: not known to be one of ours */
    int count = statusNumbers(pid, "Groups", groups, 64);
    if (uids[1] == 0 || uids[1] == owner || (mode & 0006) == 0006)
        return true;
    bool member = gids[1] == group || std::find(groups, groups + count, group) != groups + count;
    return member && (mode & 0060) == 0060;
}

std::string processName(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) ? name : "ended";
}

std::string processList(const std::vector<pid_t>& pids)
{
    std::string list;
    for (pid_t pid : pids)
        list += (list.empty() ? "pid " : ", pid ") + std::to_string(pid) + " (" + processName(pid) + ")";
    return list;
}
