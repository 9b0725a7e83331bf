/* The frame: gated trace print, the three named semaphores, the area attach. */
#include "support.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <thread>
#include <unistd.h>

using namespace libpow_test;
using Lines = std::vector<std::string>;

namespace {

class FrameTest : public LibPowTest {
protected:
    CountingSeam seam;
    SeamCalls& calls = CountingSeam::calls;
};

SemId failingCreate(int, sem_b_state, char*) { return ++CountingSeam::calls.creates, errno = EINVAL, SemId{}; }

} // namespace

TEST(LogPrintTest, MaskGatesByOneAndTextIsCutAt1023WithNothingAdded) {
    resetLibrary();
    auto printAll = [] {
        return captureStdout([] {
            for (unsigned level : {0u, 1u, 2u, 16u, 32u, 64u})
                LogPrint(level, "%u ", level);
        });
    };
    EXPECT_EQ(printAll(), "1 2 ") << "failures print out of the box";
    const std::pair<unsigned, const char*> masks[] = {{0x71, "1 16 32 64 "}, {0xFFFFFFFFu, "1 2 16 32 64 "}, {0, ""}};
    for (const auto& [mask, printed] : masks) {
        LIB_POW_setLogLevel(mask);
        EXPECT_EQ(printAll(), printed) << mask;
    }
    LIB_POW_setLogLevel(1);
    std::string longText(1500, 'x');
    EXPECT_EQ(captureStdout([&] { LogPrint(1, "%s", longText.c_str()); }), std::string(1023, 'x'));
    EXPECT_EQ(captureStdout([] { LogPrint(1, "%s", ""), LogPrint(1, "no newline"); }), "no newline");
    EXPECT_EQ(captureStdout([] { LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 3", 0, 1234), LIB_POW_setwSemLog(11, nullptr, -1, -1); }), "")
        << "the trace hook prints nothing";
}

/* Each trace line carries the source line of its own print statement: trace_lines.inc lists the library's
 * print statements, made from its source when the test is built. */
TEST_F(FrameTest, TraceLinesNameThisFileAndThePrintStatementsLine) {
    const std::map<size_t, std::string> statements = {
#include "trace_lines.inc"
    };
    device.createAreas();
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    Lines out = lines(captureStdout([] { getPwrShm(); }));
    EXPECT_EQ(out.size(), 6u);
    for (const std::string& line : out) {
        size_t n = 0;
        char word[64] = "";
        ASSERT_EQ(sscanf(line.c_str(), "LIB_PowerService.cpp(%zu):%*[A-Za-z_] %63[A-Za-z_]", &n, word), 2) << line;
        auto statement = statements.find(n);
        EXPECT_TRUE(statement != statements.end() && statement->second == word) << line << ": no such statement there";
    }
}

TEST_F(FrameTest, FirstLockCreatesByNameThenTheCachedHandleIsReused) {
    SemId first = 0;
    Lines got = traceAt(64, [&] { first = lockPowShm(); });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(got, (Lines{"lock Start(Name=sem_POW_Shm_SemName)", "lock End(pst_SemID=" + pointerText(first) + ")"}));
    unlock(first);
    EXPECT_EQ(lockPowShm(), first);
    unlock(first);
    EXPECT_EQ(calls.creates, 1) << "the cached handle must be reused";
    EXPECT_EQ(calls.takes + calls.gives, 4);
    SemId nvd = lockNvdShm(), rdy = LIB_POW_Lock_HddReadyFlag();
    EXPECT_EQ(g_semNvdID, nvd);
    EXPECT_EQ(g_semRdyID, rdy);
    EXPECT_TRUE(nvd != nullptr && rdy != nullptr && nvd != first && rdy != first && nvd != rdy);
    unlock(nvd);
    calls.given.clear(); /* the HddReady unlock gives exactly the handle it is passed */
    SemId pow = lockPowShm();
    LIB_POW_UnLock_HddReadyFlag(pow);
    LIB_POW_UnLock_HddReadyFlag(rdy);
    EXPECT_EQ(calls.given, (std::vector<SemId>{pow, rdy}));
}

TEST_F(FrameTest, FailedCreateOrTakeHoldsNothingAndTheNextLockTriesAfresh) {
    const LibPowSys counting = g_libPowSys;
    g_libPowSys.semBCreate = failingCreate;
    g_libPowSys.errnoGet = [] { return EMFILE; };
    EXPECT_EQ(traceAt(3, [] { EXPECT_EQ(lockPowShm(), nullptr); }),
              Lines{"lock PLAT_semBCreate(Name=sem_POW_Shm_SemName) Failed! errno=24[Too many open files]"});
    EXPECT_EQ(calls.takes, 0);
    EXPECT_EQ(g_semPowID, nullptr);
    g_libPowSys = counting;
    unlock(lockPowShm()); /* a handle is cached now: the failed take must drop it */
    g_libPowSys.errnoGet = [] { return EINVAL; };
    g_libPowSys.semTake = [](SemId, int) { return -1; };
    EXPECT_EQ(traceAt(3, [] { EXPECT_EQ(lockPowShm(), nullptr); }), Lines{"lock PLAT_semTake() Failed! errno=22[Invalid argument]"});
    EXPECT_EQ(g_semPowID, nullptr) << "a failed take drops the cached handle";
    EXPECT_EQ(g_libPowState.pst_SemPowID, nullptr);
    g_libPowSys = counting;
    SemId handle = lockPowShm();
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(calls.creates, 3) << "a dropped handle is obtained afresh";
    unlock(handle);
}

TEST_F(FrameTest, UnlockOfNothingAndUnknownSelectorsCallNoPlatformFunction) {
    EXPECT_EQ(traceAt(0xFFFFFFFFu, [] { unlock(0); }), (Lines{"unlock Start(pst_SemID=(nil))", "unlock End"}));
    captureStdout([] { LIB_POW_dbgSemUnLock(1); }); /* no POW handle yet */
    LIB_POW_setLogLevel(0);
    EXPECT_EQ(captureStdout([] { LIB_POW_dbgSemLock(0), LIB_POW_dbgSemLock(4), LIB_POW_dbgSemUnLock(-1); }),
              "invalid value 0\ninvalid value 4\ninvalid value -1\n");
    EXPECT_EQ(calls.creates + calls.takes + calls.gives, 0);
}

TEST_F(FrameTest, RefusedGiveIsReportedWhateverTheMaskAndLeavesTheHolderHolding) {
    LIB_POW_dbgSemLock(3);
    ASSERT_NE(g_semRdyID, nullptr);
    LIB_POW_setLogLevel(0);
    std::string out;
    std::thread([&] { out = captureStdout([] { LIB_POW_dbgSemUnLock(3); }); }).join();
    EXPECT_EQ(out, "### LIB_POW SEM_POST ERR 1[Operation not permitted]\n");
    auto otherTakes = [] {
        int rc = -2;
        std::thread([&] {
            if ((rc = PLAT_semTake(g_semRdyID, PLAT_NO_WAIT)) == 0)
                PLAT_semGive(g_semRdyID);
        }).join();
        return rc;
    };
    EXPECT_EQ(otherTakes(), -1);
    LIB_POW_dbgSemUnLock(3);
    EXPECT_EQ(otherTakes(), 0);
}

TEST_F(FrameTest, DumpShowsEachHandleNullBeforeAnyLockAndTheHolderAfter) {
    std::string out = captureStdout([] { LIB_POW_semShow(); });
    EXPECT_EQ(calls.shown, std::vector<SemId>(6, nullptr));
    Lines own = lines(out); /* the dump's own lines: the platform's are indented */
    std::erase_if(own, [](const std::string& line) { return !line.empty() && line.rfind("-", 0) != 0; });
    EXPECT_EQ(own, (Lines{"----PowerLibSemShow Start", "", "- semPowID[0x0] ---", "---", "", "- semNvdID[0x0] ---", "---", "",
                          "- semRdyID[0x0] ---", "----PowerLibSemShow End ", ""}));
    LIB_POW_dbgSemLock(1);
    out = captureStdout([] { LIB_POW_semShow(); });
    char word[32];
    snprintf(word, sizeof word, "- semPowID[0x%x] ---", static_cast<unsigned>(reinterpret_cast<uintptr_t>(g_semPowID)));
    EXPECT_NE(out.find(word), std::string::npos) << out;
    EXPECT_NE(out.find("held by pid " + std::to_string(getpid())), std::string::npos) << out;
    EXPECT_EQ(calls.shown.at(6), g_semPowID);
    LIB_POW_dbgSemUnLock(1);
}

TEST_F(FrameTest, FirstAttachIsTracedUnderTheLockMapsExactSizesKeepsNoDescriptor) {
    device.createAreas();
    PwrSharedArea* area = nullptr;
    Lines got = traceAt(0xFFFFFFFFu, [&] { area = getPwrShm(); });
    ASSERT_NE(area, nullptr);
    std::string pow = pointerText(g_semPowID);
    EXPECT_EQ(got, (Lines{"lock Start(Name=sem_POW_Shm_SemName)", "lock End(pst_SemID=" + pow + ")",
                          "GetShm Start(Key=/shm_PWR_SharedArea, size=2060, mode=0x1b6)",
                          "GetShm End(pv_ShmAddr=" + pointerText(area) + ")", "unlock Start(pst_SemID=" + pow + ")", "unlock End"}));
    ASSERT_NE(getNvdShm(), nullptr);
    EXPECT_EQ(calls.mapped, (std::vector<size_t>{2060, 4756}));
    EXPECT_EQ(calls.closed, calls.opened) << "a descriptor is kept";
    EXPECT_EQ(traceAt(0xFFFFFFFFu, [&] { EXPECT_EQ(getPwrShm(), area); getNvdShm(); }), Lines{});
    EXPECT_EQ(calls.opened.size(), 2u) << "an attached area makes no system call";
    EXPECT_EQ(calls.takes, 1);
}

TEST_F(FrameTest, FailedAttachIsReportedCreatesNothingClosesAndIsRetried) {
    static LibPowSys counting;
    counting = g_libPowSys;
    g_libPowSys.shm_open = [](const char* name, int flags, mode_t mode) {
        EXPECT_EQ(flags, O_RDWR) << "the library must never create or truncate";
        return counting.shm_open(name, flags, mode);
    };
    g_libPowSys.semBCreate = failingCreate; /* without the POW semaphore, no attach at all */
    Lines got = traceAt(64, [] { EXPECT_EQ(getPwrShm(), nullptr); });
    EXPECT_TRUE(calls.opened.empty());
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2], "unlock Start(pst_SemID=(nil))");
    EXPECT_EQ(calls.gives, 0);
    g_libPowSys.semBCreate = counting.semBCreate;
    EXPECT_EQ(traceAt(0xFFFFFFFFu, [] { EXPECT_EQ(getNvdShm(), nullptr); }),
              (Lines{"GetShm Start(Key=/shm_NVD_SharedArea, size=4756, mode=0x1b6)",
                     "GetShm shm_open(Key=/shm_NVD_SharedArea) Failed! errno=2[No such file or directory]", "GetShm End(pv_ShmAddr=(nil))"}));
    EXPECT_EQ(calls.takes, 0) << "the calendar attach takes no semaphore of its own";
    EXPECT_EQ(shm_unlink(device.names.nvd.c_str()), -1) << "the library created the object";
    EXPECT_EQ(getPwrShm(), nullptr);
    ASSERT_EQ(calls.gives, 1) << "the POW semaphore is given back after a failed attach";
    device.createAreas();
    calls.opened.clear();
    g_libPowSys.mmap64 = [](void*, size_t, int, int, int, off64_t) -> void* { return errno = ENOMEM, MAP_FAILED; };
    EXPECT_EQ(traceAt(3, [] { EXPECT_EQ(getPwrShm(), nullptr); }),
              Lines{"GetShm mmap(Key=/shm_PWR_SharedArea, size=2060) Failed! errno=12[Cannot allocate memory]"});
    EXPECT_EQ(calls.closed, calls.opened);
    g_libPowSys.mmap64 = counting.mmap64;
    EXPECT_NE(getNvdShm(), nullptr);
    EXPECT_NE(getPwrShm(), nullptr);
}
