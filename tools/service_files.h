/*
 * service_files.h - the stand-in service's own files, kept in /dev/shm next
 * to the areas (so a private /dev/shm holds them too): a pid file whose lock
 * says that a service runs, and a bounded history of what it saw.
 */
#ifndef LIBPOW_SERVICE_FILES_H
#define LIBPOW_SERVICE_FILES_H

#include <string>
#include <sys/types.h>
#include <vector>

#define POWSVC_PID_FILE "/dev/shm/powsvc.pid"
#define POWSVC_HISTORY_FILE "/dev/shm/powsvc.history"
/* The history is cut over to HISTORY.1 (the one older file kept) when it
 * reaches this size, so both together never pass twice this. */
#define POWSVC_HISTORY_LIMIT (64 * 1024)

/* The pid of the running service; 0 when none runs. A service holds a lock
 * on the pid file for its whole life, so a killed one never counts. */
pid_t runningService();

/* Makes this process the one running service: the pid file's descriptor,
 * kept open until releaseService; -1 with `running` set to the pid of the
 * service that runs already (0 when that one is still starting), or with
 * `error` set when the file cannot be had. */
int claimService(pid_t& running, std::string& error);
void releaseService(int fd);

/* Appends "YYYY-MM-DD HH:MM:SS.mmm EVENT TEXT" to the history. Failures
 * are silent: the history must never stop the service. */
void appendHistory(const std::string& event, const std::string& text);

/* The history lines, oldest first; false with `error` when there is none. */
bool readHistory(std::vector<std::string>& lines, std::string& error);

#endif
