/*
 * startup_client.c - the smallest device program: it starts, asks whether
 * power saving is delayed, and exits. Built twice for bench_startup: with
 * the library (bench_start_client), and without it and its request
 * (bench_start_bare), so that the difference is what the library costs a
 * process.
 *
 * With --report it also prints, just before it exits, what the process
 * holds then: its private dirty memory (kB, /proc/self/smaps_rollup), its
 * number of mappings (/proc/self/maps) and the request's answer (-1: no
 * request made).
 */
#include <stdio.h>
#include <string.h>

#ifdef LIBPOW_CLIENT
#include <LIB_PowerService.h>
#endif

static long privateDirtyKb(void)
{
    FILE* rollup = fopen("/proc/self/smaps_rollup", "r");
    char line[256];
    long kb = -1;
    if (rollup == NULL)
        return -1;
    while (kb < 0 && fgets(line, sizeof line, rollup) != NULL)
        sscanf(line, "Private_Dirty: %ld kB", &kb);
    fclose(rollup);
    return kb;
}

static int mappings(void)
{
    FILE* maps = fopen("/proc/self/maps", "r");
    int count = 0, c;
    if (maps == NULL)
        return -1;
    while ((c = fgetc(maps)) != EOF)
        count += c == '\n';
    fclose(maps);
    return count;
}

int main(int argc, char** argv)
{
    int answer = -1;
#ifdef LIBPOW_CLIENT
    answer = LIB_POW_IsPowerSaveDelay() ? 1 : 0;
#endif
    if (argc > 1 && strcmp(argv[1], "--report") == 0) {
        /* Both counted before printing: stdout's buffer is the same in
         * both programs, but it must not fall between the two readings. */
        long dirty = privateDirtyKb();
        int maps = mappings();
        printf("private_dirty_kb=%ld mappings=%d answer=%d\n", dirty, maps, answer);
    }
    return 0;
}
