/*
 * semaphore_wait.h - how powctl and powsvc wait for one of the device's
 * semaphores before a call that would wait for it without limit: visibly,
 * naming who holds it, and no longer than the command's --timeout.
 */
#ifndef LIBPOW_SEMAPHORE_WAIT_H
#define LIBPOW_SEMAPHORE_WAIT_H

#include <string>

double monotonicSeconds();

/* `seconds` as a person wrote it: "0.5", "3". */
std::string secondsText(double seconds);

/* The --timeout of one command, counted from its start; negative: none. */
struct WaitLimit {
    double seconds = -1;
    double started = monotonicSeconds();
    int leftMs() const; /* -1: no limit, 0: used up */
};

/* Why semaphore `name` could not be opened (errno `err`). A permission
 * refusal names the object's owner, group and mode, and what to do. */
std::string semaphoreOpenError(const std::string& name, int err);

/* Waits until semaphore `name` (`label` in messages, e.g. "POW") is free:
 * takes it and gives it back at once. Half a second after the command
 * started it says "PROGRAM: waiting for LABEL, held by pid N (name)" on
 * stderr, and again when the holder changes. One that nobody has made yet
 * counts as free (the caller's library call makes it). False with the
 * reason in `error`: the limit passed, the semaphore may not be opened or
 * taken, or it is damaged (cut short under the wait, or held by a thread
 * that is gone and was never recovered: it would be waited for for ever). */
bool waitForSemaphore(const std::string& label, const std::string& name, const WaitLimit& limit, std::string& error);

/* The same, saying why not on stderr (see fail). */
bool semaphoreFree(const std::string& label, const std::string& name, const WaitLimit& limit);

#endif
