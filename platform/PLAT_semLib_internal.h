/*
 * PLAT_semLib_internal.h - the seam of the semaphore layer: every system
 * call that makes, opens, checks or mends a semaphore's file, and the
 * mutex set-up calls, go through this table, so that a test can make any
 * one of them fail and see that nothing is left half made.
 *
 * Not installed. The shared library hides it; the tests link the static
 * copy of the layer to reach it.
 */
#ifndef PLAT_SEMLIB_INTERNAL_H
#define PLAT_SEMLIB_INTERNAL_H

#include <cstddef>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>

struct PlatSys {
    int (*shm_open)(const char* name, int oflag, mode_t mode);
    int (*shm_unlink)(const char* name);
    int (*openTmpFile)(const char* directory); /* an unnamed file there (O_TMPFILE), or -1 */
    int (*mkostemp)(char* pathTemplate, int flags);
    int (*fchmod)(int fd, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat* st);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*linkat)(int fromDir, const char* from, int toDir, const char* to, int flags);
    int (*unlink)(const char* path);
    ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t count, off_t offset);
    void* (*malloc)(size_t size);
    int (*mutexattr_init)(pthread_mutexattr_t* attr);
    int (*mutexattr_setpshared)(pthread_mutexattr_t* attr, int shared);
    int (*mutexattr_setrobust)(pthread_mutexattr_t* attr, int robust);
    int (*mutex_init)(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr);
    long (*getRobustList)(int tid, void** head, size_t* length); /* the get_robust_list system call */
};

extern PlatSys g_platSys;
extern const PlatSys kPlatRealSys;

#endif
