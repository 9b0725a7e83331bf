/*
 * bench_device.h - where the benchmarks run: a private /dev/shm of their
 * own (a mount namespace with its own tmpfs), in which they make the
 * device's objects under their real names as the power service would. So a
 * benchmark measures the library as a client calls it, never touches the
 * machine's own objects, and needs no test code.
 */
#ifndef LIBPOW_BENCH_DEVICE_H
#define LIBPOW_BENCH_DEVICE_H

#include <functional>
#include <string>
#include <sys/types.h>

/* The exit code of a benchmark program that cannot have a private /dev/shm
 * here: it measures nothing (CTest counts it as skipped). */
constexpr int kBenchNoPrivateShm = 77;

/* This process and its children get their own /dev/shm; "" or why not. */
std::string enterPrivateShm();

/* Runs `work(0)` and `work(1)` in two child processes that start together;
 * returns once both have ended, false if either failed. */
bool runPair(const std::function<void(int)>& work);

#endif
