#include "bench_device.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool writeFile(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        close(fd);
    return ok;
}

} // namespace

std::string enterPrivateShm()
{
    if (unshare(CLONE_NEWNS) != 0) {
        /* Not privileged: a user namespace in which we are root first. */
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return std::string("unshare: ") + strerror(errno);
        if (!writeFile("/proc/self/setgroups", "deny") ||
            !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return "cannot map our ids in a user namespace";
    }
    /* Nothing mounted here may reach the machine's own mount table. */
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making our mounts private: ") + strerror(errno);
    if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
        return std::string("mount tmpfs on /dev/shm: ") + strerror(errno);
    return "";
}

bool runPair(const std::function<void(int)>& work)
{
    int gate[2];
    if (pipe(gate) != 0)
        return false;
    pid_t child[2] = {-1, -1};
    for (int k = 0; k < 2; ++k) {
        child[k] = fork();
        if (child[k] == 0) {
            char byte;
            close(gate[1]);
            while (read(gate[0], &byte, 1) == -1 && errno == EINTR) {
            }
            work(k);
            _exit(0);
        }
    }
    close(gate[0]);
    close(gate[1]); /* the last write end: both children start */
    bool ok = true;
    for (pid_t pid : child) {
        int status = 0;
        ok = ok && pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
}
