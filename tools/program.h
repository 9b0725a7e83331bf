/*
 * program.h - what powctl and powsvc share while a command runs: the line
 * that says why it failed, and the stop signals that end a hold or the
 * service's loop.
 */
#ifndef LIBPOW_PROGRAM_H
#define LIBPOW_PROGRAM_H

#include "semaphore_wait.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

/* The program's name ("powctl"), which starts every line it writes on
 * stderr; describeProgram sets it. */
inline std::string g_program;

/* Says "PROGRAM: message" on stderr, after what is on stdout so far, and
 * gives 2: in both programs the exit status of a failure. */
inline int fail(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "%s: %s\n", g_program.c_str(), message.c_str());
    return 2;
}

/* The stop signal (SIGINT or SIGTERM) that came since catchStopSignals,
 * 0 while none has: what holds or runs then gives back what it took and
 * ends. */
inline volatile sig_atomic_t g_stopSignal = 0;

inline void catchStopSignals()
{
    auto onStopSignal = [](int sig) { g_stopSignal = sig; };
    signal(SIGINT, onStopSignal);
    signal(SIGTERM, onStopSignal);
}

/* Waits `seconds`, or less when a stop signal comes. */
inline void holdUntilStopped(double seconds)
{
    for (double until = monotonicSeconds() + seconds; g_stopSignal == 0 && monotonicSeconds() < until;)
        usleep(20 * 1000);
}

#endif
