/* Semaphore trace viewer: the silent, cached attach and the exact listing. */
#include "support.h"

#include <cstring>

using namespace libpow_test;
using Lines = std::vector<std::string>;

namespace {

const std::string kHead = "\n LIB_POW_showSemLog " + std::string(74, '-') +
                          "\n No   tic         PID   TID         SemName                      SemID       Status  Value\n " +
                          std::string(93, '-') + "\n";
const std::string kTail = " LogEnd " + std::string(69, '-') + " \n\n";

void putRecord(SemLogRecord& r, int32_t tic, int32_t pid, uint32_t tid, const char* name, uint32_t semId,
               const char* status, int32_t value) {
    memset(&r, 0, sizeof r);
    r.tic = tic, r.PID = pid, r.TID = tid, r.SemID = semId, r.Value = value;
    strncpy(r.SemName, name, sizeof r.SemName);
    strncpy(r.Status, status, sizeof r.Status);
}

std::string showSemLog() { return captureStdout([] { LIB_POW_showSemLog(); }); }

class SemLogTest : public LibPowTest {
protected:
    void SetUp() override {
        device.createAreas();
        ASSERT_NE(area = device.semLog(), nullptr);
    }
    SemLogArea* area = nullptr;
};

} // namespace

TEST_F(LibPowTest, TraceAreaAttachIsSilentCachedRetriedAndKeepsNoDescriptor) {
    CountingSeam seam;
    const LibPowSys counting = g_libPowSys;
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(LIB_POW_getLogShmPtr(), nullptr); LIB_POW_showSemLog(); }), "")
        << "a missing area prints nothing, not even the header";
    EXPECT_EQ(CountingSeam::calls.opened, (std::vector<int>{-1, -1})) << "retried by each call";
    device.createAreas();
    g_libPowSys.mmap64 = [](void*, size_t, int, int, int, off64_t) -> void* { errno = ENOMEM; return MAP_FAILED; };
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(LIB_POW_getLogShmPtr(), nullptr); }), "");
    EXPECT_EQ(CountingSeam::calls.closed.size(), 1u) << "a failed mapping closes its descriptor";
    g_libPowSys.mmap64 = counting.mmap64;
    void* first = nullptr;
    EXPECT_EQ(captureStdout([&] { first = LIB_POW_getLogShmPtr(); EXPECT_EQ(LIB_POW_getLogShmPtr(), first); }), "");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(loadWord(g_libPowState.pst_SemLogArea), first);
    EXPECT_EQ(CountingSeam::calls.opened.size(), 4u) << "the attached area makes no second call";
    EXPECT_EQ(CountingSeam::calls.closed.size(), 2u) << "the descriptor is not kept";
    EXPECT_EQ(CountingSeam::calls.mapped, (std::vector<size_t>{8004}));
    device.semLog()->Count = 42; /* the device's area itself, shared */
    EXPECT_EQ(static_cast<SemLogArea*>(first)->Count, 42);
}

TEST_F(SemLogTest, ListingUsesExactFieldFormatsAndEndsAtTheFirstRecordWithoutPidAndTid) {
    LIB_POW_setLogLevel(0); /* not behind the log mask */
    EXPECT_EQ(showSemLog(), kHead + kTail);
    putRecord(area->records[0], 42, 1234, 0xabcd, "sem_POW_Shm_SemName", 0x1000, "take", 1);
    putRecord(area->records[1], -7, -1, 0xfedcba98u, "", 0xffffffffu, "give", INT32_MIN);
    putRecord(area->records[2], 1, 0, 5, "a", 0, "s", 0); /* PID 0 alone */
    putRecord(area->records[3], 2, 7, 0, "b", 0, "s", 0); /* TID 0 alone */
    putRecord(area->records[4], 3, 0, 0, "c", 9, "s", 9); /* the end mark */
    putRecord(area->records[5], 4, 8, 8, "d", 0, "s", 0); /* behind it */
    area->Count = 2;
    EXPECT_EQ(showSemLog(), kHead +
                                " 0001  0000000042  1234  0x0000abcd  sem_POW_Shm_SemName  0x00001000  take  1 \n"
                                " 0002  -000000007  -1  0xfedcba98    0xffffffff  give  -2147483648     ***\n"
                                " 0003  0000000001  0  0x00000005  a  0x00000000  s  0 \n"
                                " 0004  0000000002  7  0x00000000  b  0x00000000  s  0 \n" +
                                kTail);
}

TEST_F(SemLogTest, AllHundredRecordsAreListedCountMarksOnlyARecordItSelectsAndTextKeepsItsWidth) {
    struct { SemLogArea area; SemLogRecord after; } image{}; /* what lies behind the area is no record */
    putRecord(image.after, 7, 7, 7, "behind", 0, "x", 0);
    storeWord(g_libPowState.pst_SemLogArea, area = &image.area);
    for (int i = 0; i < 100; ++i)
        putRecord(area->records[i], i, 1000 + i, 0x10u + static_cast<uint32_t>(i), "sem", 0, "ok", i);
    memset(area->records[0].SemName, 'N', sizeof area->records[0].SemName);
    memset(area->records[0].Status, 'S', sizeof area->records[0].Status);
    area->records[0].SemID = 0x41414141; /* would print as "AAAA" if read on as text */
    area->Count = 100; /* Count lies just past the last record: not read as one */
    Lines got = lines(showSemLog());
    ASSERT_EQ(got.size(), 4u + 100 + 2);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(got[4 + size_t(i)].substr(0, 6), " " + std::string(i < 9 ? "000" : i < 99 ? "00" : "0") + std::to_string(i + 1) + " ");
    EXPECT_EQ(got[4], " 0001  0000000000  1000  0x00000010  " + std::string(52, 'N') + "  0x41414141  " + std::string(8, 'S') + "  0 ");
    EXPECT_EQ(got[103], " 0100  0000000099  1099  0x00000073  sem  0x00000000  ok  99     ***");
    memset(&area->records[5], 0, sizeof area->records[5]);
    const std::pair<int32_t, std::vector<int>> cases[] = {
        {0, {}},    {1, {1}},   {3, {3}},  {5, {5}},        {6, {}}, /* behind the first empty record */
        {100, {}}, {101, {}}, {-1, {}}, {INT32_MIN, {}}, {INT32_MAX, {}}};
    for (const auto& [count, marked] : cases) {
        area->Count = count;
        std::vector<int> found;
        for (const std::string& line : lines(showSemLog()))
            if (line.size() > 7 && line.compare(line.size() - 7, 7, "    ***") == 0)
                found.push_back(std::stoi(line.substr(1, 4)));
        EXPECT_EQ(found, marked) << "Count " << count;
    }
}
