/*
 * service_files.h - the stand-in service's own files: a pid file whose lock
 * says that a service runs, and a bounded history of what it saw.
 *
 * They live in a runtime directory of the service's user that no other
 * user may write (/run/powsvc; --run-dir or $POWSVC_RUN_DIR point
 * elsewhere), never next to the areas in the world-writable /dev/shm.
 * Every file there is opened without following a link and judged by its
 * descriptor; a process named in the pid file is signalled only once it is
 * proven to be the service that holds the file's lock.
 */
#ifndef LIBPOW_SERVICE_FILES_H
#define LIBPOW_SERVICE_FILES_H

#include <string>
#include <sys/types.h>
#include <vector>

#define POWSVC_RUN_DIR "/run/powsvc"
#define POWSVC_RUN_DIR_VARIABLE "POWSVC_RUN_DIR"
#define POWSVC_PID_NAME "powsvc.pid"
#define POWSVC_HISTORY_NAME "powsvc.history"
/* The history is cut over to HISTORY.1 (the one older file kept) when it
 * reaches this size, so both together never pass twice this. */
#define POWSVC_HISTORY_LIMIT (64 * 1024)

/* The runtime directory: `option` when given, else $POWSVC_RUN_DIR, else
 * /run/powsvc. */
std::string runDirectory(const std::string& option);

/* Opens the runtime directory that every call below uses. It must be a
 * directory (not a link to one) that no user but its owner may write; for
 * the service (`service`) it must also be its own user's, and it is made
 * (mode 0755) when missing. A reader accepts a missing one (no service has
 * run there). False with one line naming the directory and what is wrong. */
bool openRunDirectory(const std::string& path, bool service, std::string& error);

/* What the pid file says, with the kernel's word on its lock. */
struct ServiceRecord {
    pid_t lockHolder = 0;              /* who holds the lock: 0, no service runs */
    pid_t pid = 0;                     /* the pid written in the file */
    unsigned long long startTicks = 0; /* that process's start, as written */
    uid_t user = 0;                    /* the service's user: the file's owner */
};

/* The running service, if any. False with `error` when the pid file is not
 * what it must be. */
bool findService(ServiceRecord& record, std::string& error);

/* Signals the service of `record`, after proving that the process is the
 * one meant: pid above 1, holding the pid file's lock, this program run by
 * the service's user, started when the file says. A pidfd keeps a process
 * that ends meanwhile from being replaced by another under the same pid.
 * False with `error` naming what did not match. */
bool signalService(const ServiceRecord& record, int signal, std::string& error);

/* Makes this process the one running service: the pid file's descriptor,
 * locked and kept open until releaseService; -1 with `running` set to the
 * pid of the service that runs already, or with `error` set when the file
 * cannot be had. Whatever a stale or forged file says is overwritten. */
int claimService(pid_t& running, std::string& error);
void releaseService(int fd);

/* The history's group and mode once the areas' are known: group-readable
 * when they are, world-readable only when they are world-usable. */
void setHistoryAccess(gid_t group, mode_t mode);

/* Appends "YYYY-MM-DD HH:MM:SS.mmm EVENT TEXT" to the history. Failures
 * are silent: the history must never stop the service. */
void appendHistory(const std::string& event, const std::string& text);

/* Keeps `text` in a new file of the runtime directory, named after `kind`
 * and the time ("calendar.20261207-104512.337.0"), mode 0600. True with
 * its path, or false with `error`. */
bool keepFile(const std::string& kind, const std::string& text, std::string& path, std::string& error);

/* The history lines, oldest first; false with `error` when there is none. */
bool readHistory(std::vector<std::string>& lines, std::string& error);

#endif
