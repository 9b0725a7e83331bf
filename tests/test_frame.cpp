/*
 * The library frame: the gated trace print, the three named semaphores and
 * the attach of the power and calendar areas.
 */
#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

using namespace libpow_test;

namespace {

/* Trace lines with their line numbers replaced by N, so that expectations
 * read as the texts themselves. */
std::vector<std::string> traced(const std::string& out)
{
    static const std::regex number(R"(^LIB_PowerService\.cpp\(\d+\):)");
    std::vector<std::string> result;
    for (const std::string& line : lines(out))
        result.push_back(std::regex_replace(line, number, "LIB_PowerService.cpp(N):"));
    return result;
}

/* Counts of the platform calls made through the seam, and the handles
 * they were given. */
struct PlatCalls {
    int creates = 0, takes = 0, gives = 0;
    std::vector<SemId> given;
    std::vector<SemId> shown;
};
PlatCalls* g_calls = nullptr;
LibPowSys g_inner;

SemId countingCreate(int options, sem_b_state state, char* name)
{
    ++g_calls->creates;
    return g_inner.semBCreate(options, state, name);
}
int countingTake(SemId id, int timeout)
{
    ++g_calls->takes;
    return g_inner.semTake(id, timeout);
}
int countingGive(SemId id)
{
    ++g_calls->gives;
    g_calls->given.push_back(id);
    return g_inner.semGive(id);
}
int recordingShow(SemId id, int level)
{
    g_calls->shown.push_back(id);
    return g_inner.semShow(id, level);
}

class FrameTest : public LibPowTest {
protected:
    void SetUp() override
    {
        g_calls = &calls;
        g_inner = g_libPowSys;
        g_libPowSys.semBCreate = countingCreate;
        g_libPowSys.semTake = countingTake;
        g_libPowSys.semGive = countingGive;
        g_libPowSys.semShow = recordingShow;
    }
    void TearDown() override { g_calls = nullptr; }
    PlatCalls calls;
};

std::string countOpenDescriptors()
{
    std::string names;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            names += std::string(entry->d_name) + " ";
        closedir(dir);
    }
    return names;
}

} // namespace

/* ---- Diagnostic log ------------------------------------------------------ */

TEST(LogPrintTest, MaskGatesEveryLevelByOneAnd)
{
    resetLibrary();
    auto printAt = [](unsigned level) {
        return captureStdout([&] { LogPrint(level, "level %u\n", level); });
    };
    EXPECT_EQ(printAt(1), "level 1\n") << "failures print out of the box";
    for (unsigned level : {16u, 32u, 64u})
        EXPECT_EQ(printAt(level), "") << level;
    LIB_POW_setLogLevel(0x71);
    for (unsigned level : {1u, 16u, 32u, 64u})
        EXPECT_EQ(printAt(level), "level " + std::to_string(level) + "\n");
    EXPECT_EQ(printAt(2), "") << "0x71 does not hold level 2";
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    EXPECT_EQ(printAt(0), "") << "level 0 never prints";
    LIB_POW_setLogLevel(0);
    EXPECT_EQ(printAt(1), "") << "mask 0 silences failures too";
}

TEST(LogPrintTest, TextIsCutAfter1023CharactersAndNothingIsAdded)
{
    resetLibrary();
    std::string longText(1500, 'x');
    std::string out = captureStdout([&] { LogPrint(1, "%s", longText.c_str()); });
    EXPECT_EQ(out, std::string(1023, 'x')) << "no line feed may be added either";
    EXPECT_EQ(captureStdout([] { LogPrint(1, "%s", ""); }), "");
    EXPECT_EQ(captureStdout([] { LogPrint(1, "no newline"); }), "no newline");
}

TEST(LogPrintTest, TraceHookPrintsNothingWhateverItIsGiven)
{
    resetLibrary();
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    std::string out = captureStdout([] {
        LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 3", 0, 1234);
        LIB_POW_setwSemLog(11, nullptr, -1, -1);
    });
    EXPECT_EQ(out, "");
}

TEST(LogPrintTest, MaskBelongsToOneProcess)
{
    resetLibrary();
    int child = runChild([] {
        LIB_POW_setLogLevel(0xFFFFFFFFu);
        return IsLogLevel(64) ? 0 : 1;
    });
    EXPECT_EQ(child, 0);
    EXPECT_FALSE(IsLogLevel(64)) << "the child's mask leaked into the parent";
}

/* Each trace line carries the source line of its own print statement. */
TEST_F(FrameTest, TraceLinesNameThisFileAndThePrintStatementsLine)
{
    device.createAreas();
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    std::string out = captureStdout([] { getPwrShm(); });
    std::vector<std::string> source;
    std::ifstream file(LIBPOW_SOURCE_FILE);
    for (std::string line; std::getline(file, line);)
        source.push_back(line);
    ASSERT_GT(source.size(), 100u);

    static const std::regex prefix(R"(^LIB_PowerService\.cpp\((\d+)\):(\w+) (\w+))");
    int checked = 0;
    for (const std::string& line : lines(out)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, prefix)) << line;
        size_t number = std::stoul(m[1]);
        ASSERT_LE(number, source.size());
        const std::string& statement = source[number - 1];
        EXPECT_NE(statement.find("POW_LOG"), std::string::npos) << line << " -> " << statement;
        EXPECT_NE(statement.find(m[3].str()), std::string::npos) << line << " -> " << statement;
        ++checked;
    }
    EXPECT_EQ(checked, 6);
}

/* ---- Named semaphores ---------------------------------------------------- */

TEST_F(FrameTest, FirstLockCreatesByNameAndPublishesTheHandle)
{
    LIB_POW_setLogLevel(64);
    SemId first = 0;
    std::string out = captureStdout([&] { first = lockPowShm(); });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(g_semPowID, first);
    EXPECT_EQ(g_libPowState.pst_SemPowID, first);
    char handleText[32];
    snprintf(handleText, sizeof handleText, "%p", static_cast<void*>(first));
    EXPECT_EQ(traced(out), (std::vector<std::string>{
                               "LIB_PowerService.cpp(N):lock Start(Name=sem_POW_Shm_SemName)",
                               std::string("LIB_PowerService.cpp(N):lock End(pst_SemID=") + handleText + ")",
                           }));
    unlock(first);

    SemId second = lockPowShm();
    EXPECT_EQ(second, first);
    EXPECT_EQ(calls.creates, 1) << "the cached handle must be reused";
    EXPECT_EQ(calls.takes, 2);
    unlock(second);
    EXPECT_EQ(calls.gives, 2);

    SemId nvd = lockNvdShm();
    SemId rdy = LIB_POW_Lock_HddReadyFlag();
    EXPECT_EQ(g_semNvdID, nvd);
    EXPECT_EQ(g_semRdyID, rdy);
    EXPECT_NE(nvd, nullptr);
    EXPECT_NE(rdy, nullptr);
    EXPECT_NE(nvd, first);
    unlock(nvd);
    LIB_POW_UnLock_HddReadyFlag(rdy);
}

SemId failingCreate(int, sem_b_state, char*)
{
    ++g_calls->creates;
    errno = EINVAL;
    return 0;
}

TEST_F(FrameTest, FailedCreateTakesNothingAndIsRetriedByTheNextLock)
{
    g_libPowSys.semBCreate = failingCreate;
    g_libPowSys.errnoGet = [] { return EMFILE; };
    std::string out = captureStdout([] { EXPECT_EQ(lockPowShm(), nullptr); });
    EXPECT_EQ(calls.takes, 0);
    EXPECT_EQ(g_semPowID, nullptr);
    EXPECT_EQ(traced(out), (std::vector<std::string>{
                               "LIB_PowerService.cpp(N):lock PLAT_semBCreate(Name=sem_POW_Shm_SemName) "
                               "Failed! errno=24[Too many open files]",
                           }));

    g_libPowSys.semBCreate = countingCreate;
    g_libPowSys.errnoGet = kLibPowRealSys.errnoGet;
    SemId handle = lockPowShm();
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(calls.creates, 2);
    unlock(handle);
}

TEST_F(FrameTest, FailedTakeMeansNotHeldAndDropsTheCachedHandle)
{
    SemId good = lockPowShm();
    unlock(good);
    g_libPowSys.semTake = [](SemId, int) { return -1; };
    g_libPowSys.errnoGet = [] { return EINVAL; };
    std::string out = captureStdout([] { EXPECT_EQ(lockPowShm(), nullptr); });
    EXPECT_EQ(traced(out), (std::vector<std::string>{
                               "LIB_PowerService.cpp(N):lock PLAT_semTake() Failed! errno=22[Invalid argument]",
                           }));
    EXPECT_EQ(g_semPowID, nullptr);
    EXPECT_EQ(g_libPowState.pst_SemPowID, nullptr);

    g_libPowSys.semTake = countingTake;
    SemId again = lockPowShm();
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(calls.creates, 2) << "a dropped handle is obtained afresh";
    unlock(again);
}

TEST_F(FrameTest, UnlockOfNothingCallsNoPlatformFunction)
{
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    std::string out = captureStdout([] { unlock(0); });
    EXPECT_EQ(calls.gives, 0);
    EXPECT_EQ(traced(out), (std::vector<std::string>{
                               "LIB_PowerService.cpp(N):unlock Start(pst_SemID=(nil))",
                               "LIB_PowerService.cpp(N):unlock End",
                           }));
    captureStdout([] { LIB_POW_dbgSemUnLock(1); });
    EXPECT_EQ(calls.gives, 0) << "no POW handle yet, so nothing to give";
}

TEST_F(FrameTest, RefusedGiveIsReportedWhateverTheMask)
{
    /* The platform refuses a give from a thread that does not hold the
     * semaphore; the library must say so even with tracing off. */
    LIB_POW_dbgSemLock(3);
    ASSERT_NE(g_semRdyID, nullptr);
    LIB_POW_setLogLevel(0);
    std::string out;
    std::thread([&] { out = captureStdout([] { LIB_POW_dbgSemUnLock(3); }); }).join();
    EXPECT_EQ(out, "### LIB_POW SEM_POST ERR 1[Operation not permitted]\n");
    int otherTake = 0;
    std::thread([&] { otherTake = PLAT_semTake(g_semRdyID, PLAT_NO_WAIT); }).join();
    EXPECT_EQ(otherTake, -1) << "a refused give must leave the holder holding";
    LIB_POW_dbgSemUnLock(3);
    std::thread([&] {
        otherTake = PLAT_semTake(g_semRdyID, PLAT_NO_WAIT);
        if (otherTake == 0)
            PLAT_semGive(g_semRdyID);
    }).join();
    EXPECT_EQ(otherTake, 0);
}

TEST_F(FrameTest, HddReadyUnlockGivesExactlyTheHandlePassed)
{
    SemId rdy = LIB_POW_Lock_HddReadyFlag();
    ASSERT_NE(rdy, nullptr);
    SemId pow = lockPowShm();
    LIB_POW_UnLock_HddReadyFlag(pow);
    ASSERT_EQ(calls.given.size(), 1u);
    EXPECT_EQ(calls.given[0], pow);
    LIB_POW_UnLock_HddReadyFlag(rdy);
    EXPECT_EQ(calls.given.back(), rdy);
}

TEST_F(FrameTest, DebugEntryPointsRejectUnknownSelectors)
{
    LIB_POW_setLogLevel(0);
    std::string out = captureStdout([] {
        LIB_POW_dbgSemLock(0);
        LIB_POW_dbgSemLock(4);
        LIB_POW_dbgSemUnLock(-1);
    });
    EXPECT_EQ(out, "invalid value 0\ninvalid value 4\ninvalid value -1\n");
    EXPECT_EQ(calls.creates + calls.takes + calls.gives, 0);
}

TEST_F(FrameTest, DumpBeforeAnyLockShowsNullHandles)
{
    std::string out = captureStdout([] { LIB_POW_semShow(); });
    EXPECT_EQ(calls.shown, std::vector<SemId>(6, nullptr));
    std::vector<std::string> got = lines(out);
    std::vector<std::string> own;
    for (const std::string& line : got)
        if (line.empty() || line.rfind("-", 0) == 0)
            own.push_back(line);
    EXPECT_EQ(own, (std::vector<std::string>{
                       "----PowerLibSemShow Start", "", "- semPowID[0x0] ---", "---", "",
                       "- semNvdID[0x0] ---", "---", "", "- semRdyID[0x0] ---",
                       "----PowerLibSemShow End ", ""}));
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
}

TEST_F(FrameTest, DumpShowsTheHeldSemaphoreAndItsHolder)
{
    LIB_POW_dbgSemLock(1);
    std::string out = captureStdout([] { LIB_POW_semShow(); });
    char word[32];
    snprintf(word, sizeof word, "- semPowID[0x%x] ---",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(g_semPowID)));
    EXPECT_NE(out.find(word), std::string::npos) << out;
    EXPECT_NE(out.find("held by pid " + std::to_string(getpid())), std::string::npos) << out;
    EXPECT_EQ(calls.shown.at(0), g_semPowID);
    LIB_POW_dbgSemUnLock(1);
}

TEST_F(FrameTest, SemaphoreExcludesOtherProcesses)
{
    LIB_POW_dbgSemLock(1);
    /* A fresh process reaches the same semaphore by name and cannot have it. */
    int child = runChild([] {
        resetLibrary();
        SemId mine = g_libPowSys.semBCreate(0, SEM_FULL, const_cast<char*>(LIBPOW_SEM_POW));
        if (mine == nullptr)
            return 2;
        return PLAT_semTake(mine, 100) == -1 && PLAT_errnoGet() == ETIMEDOUT ? 0 : 1;
    });
    EXPECT_EQ(child, 0);
    LIB_POW_dbgSemUnLock(1);
    child = runChild([] {
        resetLibrary();
        SemId mine = lockPowShm();
        unlock(mine);
        return mine != nullptr ? 0 : 1;
    });
    EXPECT_EQ(child, 0);
}

TEST_F(FrameTest, HolderKilledInsideTheLockDoesNotWedgeIt)
{
    if (!PLAT_semRobustSupported())
        GTEST_SKIP() << "no robust futex list in this process (user-mode emulator): "
                        "a dead holder cannot be recovered here";
    device.createAreas();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = startChild([&] {
        resetLibrary();
        LIB_POW_dbgSemLock(1);
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        return 0;
    });
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(child, SIGKILL);
    EXPECT_EQ(waitChild(child), 128 + SIGKILL);
    close(ready[0]);
    close(ready[1]);

    SemId handle = lockPowShm();
    EXPECT_NE(handle, nullptr) << "the dead holder's lock must be recovered";
    unlock(handle);
    EXPECT_NE(getPwrShm(), nullptr) << "and the first attach, which takes it too, goes through";
}

/* ---- Shared-area attach -------------------------------------------------- */

TEST_F(FrameTest, FirstPowerAttachIsTracedUnderTheLockAndLaterOnesAreFree)
{
    device.createAreas();
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    PwrSharedArea* area = nullptr;
    std::string out = captureStdout([&] { area = getPwrShm(); });
    ASSERT_NE(area, nullptr);
    std::vector<std::string> got = traced(out);
    ASSERT_EQ(got.size(), 6u) << out;
    EXPECT_EQ(got[0], "LIB_PowerService.cpp(N):lock Start(Name=sem_POW_Shm_SemName)");
    EXPECT_EQ(got[1].rfind("LIB_PowerService.cpp(N):lock End(pst_SemID=0x", 0), 0u);
    EXPECT_EQ(got[2], "LIB_PowerService.cpp(N):GetShm Start(Key=/shm_PWR_SharedArea, size=2060, mode=0x1b6)");
    char endLine[96];
    snprintf(endLine, sizeof endLine, "LIB_PowerService.cpp(N):GetShm End(pv_ShmAddr=%p)", static_cast<void*>(area));
    EXPECT_EQ(got[3], endLine);
    EXPECT_EQ(got[4].rfind("LIB_PowerService.cpp(N):unlock Start(pst_SemID=0x", 0), 0u);
    EXPECT_EQ(got[5], "LIB_PowerService.cpp(N):unlock End");

    std::string again = captureStdout([&] { EXPECT_EQ(getPwrShm(), area); });
    EXPECT_EQ(again, "");
    EXPECT_EQ(calls.takes, 1);

    /* The mapping is the object itself: what the owner sees, we see. */
    device.pwr()->b_HddReady = 1;
    EXPECT_EQ(area->b_HddReady, 1);
    EXPECT_EQ(area->us_FreeIndexNum, 255);
}

namespace {
std::vector<size_t> g_mappedLengths;
std::vector<int> g_opened, g_closed;
int recordingShmOpen(const char* name, int flags, mode_t mode)
{
    EXPECT_EQ(flags, O_RDWR) << "the library must never create or truncate";
    int fd = g_inner.shm_open(name, flags, mode);
    g_opened.push_back(fd);
    return fd;
}
void* recordingMmap(void* addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    g_mappedLengths.push_back(len);
    return g_inner.mmap64(addr, len, prot, flags, fd, off);
}
int recordingClose(int fd)
{
    g_closed.push_back(fd);
    return g_inner.close(fd);
}
} // namespace

TEST_F(FrameTest, AttachMapsExactlyTheAreaAndKeepsNoDescriptor)
{
    device.createAreas();
    g_mappedLengths.clear();
    g_opened.clear();
    g_closed.clear();
    g_libPowSys.shm_open = recordingShmOpen;
    g_libPowSys.mmap64 = recordingMmap;
    g_libPowSys.close = recordingClose;
    std::string before = countOpenDescriptors();
    ASSERT_NE(getPwrShm(), nullptr);
    ASSERT_NE(getNvdShm(), nullptr);
    EXPECT_EQ(g_mappedLengths, (std::vector<size_t>{2060, 4756}));
    EXPECT_EQ(g_closed, g_opened);
    EXPECT_EQ(countOpenDescriptors(), before);
    getPwrShm();
    getNvdShm();
    EXPECT_EQ(g_opened.size(), 2u) << "an attached area makes no system call";
}

TEST_F(FrameTest, MissingAreaIsReportedNotCreatedAndRetried)
{
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    std::string out = captureStdout([] { EXPECT_EQ(getNvdShm(), nullptr); });
    EXPECT_EQ(traced(out), (std::vector<std::string>{
                               "LIB_PowerService.cpp(N):GetShm Start(Key=/shm_NVD_SharedArea, size=4756, mode=0x1b6)",
                               "LIB_PowerService.cpp(N):GetShm shm_open(Key=/shm_NVD_SharedArea) Failed! "
                               "errno=2[No such file or directory]",
                               "LIB_PowerService.cpp(N):GetShm End(pv_ShmAddr=(nil))",
                           }));
    EXPECT_EQ(calls.takes, 0) << "the calendar attach takes no semaphore of its own";
    EXPECT_EQ(shm_unlink(device.names.nvd.c_str()), -1) << "the library created the object";

    LIB_POW_setLogLevel(3);
    EXPECT_EQ(getPwrShm(), nullptr);
    EXPECT_EQ(calls.gives, 1) << "the POW semaphore is given back after a failed attach";

    device.createAreas();
    EXPECT_NE(getNvdShm(), nullptr);
    EXPECT_NE(getPwrShm(), nullptr);
}

TEST_F(FrameTest, FailedMappingClosesTheDescriptorAndIsRetried)
{
    device.createAreas();
    g_opened.clear();
    g_closed.clear();
    g_libPowSys.shm_open = recordingShmOpen;
    g_libPowSys.close = recordingClose;
    g_libPowSys.mmap64 = [](void*, size_t, int, int, int, off64_t) -> void* {
        errno = ENOMEM;
        return MAP_FAILED;
    };
    std::string out = captureStdout([] { EXPECT_EQ(getPwrShm(), nullptr); });
    EXPECT_NE(out.find("LIB_PowerService.cpp("), std::string::npos);
    EXPECT_NE(out.find(":GetShm mmap(Key=/shm_PWR_SharedArea, size=2060) Failed! errno=12[Cannot allocate memory]\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(g_closed, g_opened);
    g_libPowSys.mmap64 = kLibPowRealSys.mmap64;
    EXPECT_NE(getPwrShm(), nullptr);
}

TEST_F(FrameTest, NoPowerSemaphoreMeansNoAttachAttempt)
{
    device.createAreas();
    g_opened.clear();
    g_libPowSys.shm_open = recordingShmOpen;
    g_libPowSys.semBCreate = failingCreate;
    LIB_POW_setLogLevel(64);
    std::string out = captureStdout([] { EXPECT_EQ(getPwrShm(), nullptr); });
    EXPECT_TRUE(g_opened.empty());
    std::vector<std::string> got = traced(out);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2], "LIB_PowerService.cpp(N):unlock Start(pst_SemID=(nil))");
    EXPECT_EQ(calls.gives, 0);
}
