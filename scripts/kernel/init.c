/*
 * /init of the test guest: mounts what the tests use, runs every program in
 * /tests one after the other, reports each one's exit, and powers off.
 *
 * The kernel ignores every signal that process 1 has no handler for, a
 * SIGKILL it sends itself included, so the tests cannot run as process 1:
 * each one is a child of ours, in its own process group. We also reap the
 * orphans the tests leave behind, as any init does.
 *
 * The host reads the console. Lines that start with "init:" are ours; the
 * last one, "init: all done", says that the guest neither hung nor panicked.
 * Settings come from the kernel command line as environment variables (the
 * kernel hands unknown name=value words to /init), and the tests inherit
 * them: LIBPOW_PROGRAM_SECONDS limits one program (default 600).
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <PLAT_semLib.h>

static void mountOrSay(const char* source, const char* target, const char* type, const char* options) {
    mkdir(target, 0755);
    if (mount(source, target, type, 0, options) != 0)
        printf("init: mount %s on %s failed: %s\n", type, target, strerror(errno));
}

static void onAlarm(int sig) { (void)sig; }

static int notHidden(const struct dirent* entry) { return entry->d_name[0] != '.'; }

/* Runs one program; its wait status, or -1 when it outlived `seconds`. */
static int runProgram(const char* path, unsigned seconds) {
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        execl(path, path, (char*)NULL);
        printf("init: exec %s failed: %s\n", path, strerror(errno));
        _exit(127);
    }
    if (child < 0)
        return printf("init: fork failed: %s\n", strerror(errno)), 1 << 8;
    alarm(seconds);
    for (;;) {
        int status;
        pid_t ended = waitpid(-1, &status, 0);
        if (ended == child) {
            alarm(0);
            return status;
        }
        if (ended < 0 && errno == EINTR) { /* the alarm: stop it and its children */
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
    }
}

int main(void) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    mountOrSay("proc", "/proc", "proc", NULL);
    mountOrSay("sysfs", "/sys", "sysfs", NULL);
    mountOrSay("devtmpfs", "/dev", "devtmpfs", NULL);
    mountOrSay("tmpfs", "/dev/shm", "tmpfs", "mode=1777");
    struct sigaction alarmAction = {.sa_handler = onAlarm}; /* no SA_RESTART: the wait returns EINTR */
    sigaction(SIGALRM, &alarmAction, NULL);

    const char* limit = getenv("LIBPOW_PROGRAM_SECONDS");
    unsigned seconds = limit != NULL && atoi(limit) > 0 ? (unsigned)atoi(limit) : 600;
    printf("init: robust futexes: %s\n", PLAT_semRobustSupported() ? "yes" : "no");

    struct dirent** programs;
    int count = scandir("/tests", &programs, notHidden, alphasort);
    for (int i = 0; i < count; ++i) {
        char path[512];
        snprintf(path, sizeof path, "/tests/%s", programs[i]->d_name);
        printf("init: run %s\n", programs[i]->d_name);
        time_t start = time(NULL);
        int status = runProgram(path, seconds);
        const char* how = status == -1 ? "timeout" : WIFSIGNALED(status) ? "signal" : "exit";
        int value = status == -1 ? (int)seconds : WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
        printf("init: end %s %s %d (%ld s)\n", programs[i]->d_name, how, value, (long)(time(NULL) - start));
    }
    if (count < 0)
        printf("init: no /tests: %s\n", strerror(errno));
    printf("init: all done\n");
    sync();
    reboot(RB_POWER_OFF);
    /* Ending process 1 panics the kernel; with panic=-1 and qemu's
     * -no-reboot that ends the emulator too. */
    printf("init: power off failed: %s\n", strerror(errno));
    return 1;
}
