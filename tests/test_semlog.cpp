/*
 * Semaphore trace viewer: the silent, cached attach of the trace area and
 * the exact listing; and the area owner's record writer that feeds it.
 */
#include "support.h"

#include <climits>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace libpow_test;

namespace {

const std::string kHead = "\n"
                          " LIB_POW_showSemLog " + std::string(74, '-') + "\n"
                          " No   tic         PID   TID         SemName                      SemID"
                          "       Status  Value\n"
                          " " + std::string(93, '-') + "\n";
const std::string kTail = " LogEnd " + std::string(69, '-') + " \n\n";

void putRecord(SemLogRecord& record, int32_t tic, int32_t pid, uint32_t tid, const char* name,
               uint32_t semId, const char* status, int32_t value)
{
    memset(&record, 0, sizeof record);
    record.tic = tic;
    record.PID = pid;
    record.TID = tid;
    strncpy(record.SemName, name, sizeof record.SemName);
    record.SemID = semId;
    strncpy(record.Status, status, sizeof record.Status);
    record.Value = value;
}

std::string showSemLog()
{
    return captureStdout([] { LIB_POW_showSemLog(); });
}

/* Counting wrappers around the seam, for the attach's system calls. */
LibPowSys g_inner;
int g_opens = 0, g_maps = 0, g_closes = 0;
bool g_failMap = false;

int countingShmOpen(const char* name, int oflag, mode_t mode)
{
    ++g_opens;
    return g_inner.shm_open(name, oflag, mode);
}

void* countingMmap(void* addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    ++g_maps;
    if (g_failMap) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return g_inner.mmap64(addr, len, prot, flags, fd, off);
}

int countingClose(int fd)
{
    ++g_closes;
    return g_inner.close(fd);
}

class SemLogTest : public LibPowTest {
protected:
    void SetUp() override
    {
        g_inner = g_libPowSys;
        g_opens = g_maps = g_closes = 0;
        g_failMap = false;
        g_libPowSys.shm_open = countingShmOpen;
        g_libPowSys.mmap64 = countingMmap;
        g_libPowSys.close = countingClose;
    }
};

class SemLogListingTest : public SemLogTest {
protected:
    void SetUp() override
    {
        SemLogTest::SetUp();
        device.createAreas();
        area = device.semLog();
        ASSERT_NE(area, nullptr);
    }

    /* Fills the first n records with distinct, well-formed entries. */
    void fill(int n)
    {
        for (int i = 0; i < n; ++i)
            putRecord(area->records[i], i, 1000 + i, 0x10u + static_cast<uint32_t>(i), "sem", 0, "ok", i);
    }

    /* The numbers of the lines that carry the Count mark. */
    std::vector<int> markedLines()
    {
        std::vector<int> marked;
        for (const std::string& line : lines(showSemLog()))
            if (line.size() > 7 && line.compare(line.size() - 7, 7, "    ***") == 0)
                marked.push_back(std::stoi(line.substr(1, 4)));
        return marked;
    }

    SemLogArea* area = nullptr;
};

} // namespace

/* ---- Attach ---------------------------------------------------------- */

TEST_F(SemLogTest, MissingAreaGivesNullPrintsNothingAndIsRetried)
{
    std::string out = captureStdout([] {
        EXPECT_EQ(LIB_POW_getLogShmPtr(), nullptr);
        LIB_POW_showSemLog();
    });
    EXPECT_EQ(out, ""); /* not even the header, and no failure line at mask 3 */
    EXPECT_EQ(g_opens, 2);
    EXPECT_EQ(g_maps, 0);
    EXPECT_EQ(loadWord(g_libPowState.pst_SemLogArea), nullptr);

    device.createAreas();
    EXPECT_NE(LIB_POW_getLogShmPtr(), nullptr);
    EXPECT_EQ(g_opens, 3);
}

TEST_F(SemLogTest, AttachIsSilentCachedAndMakesNoSecondSystemCall)
{
    device.createAreas();
    LIB_POW_setLogLevel(0xFFFFFFFFu);
    void* first = nullptr;
    void* second = nullptr;
    std::string out = captureStdout([&] {
        first = LIB_POW_getLogShmPtr();
        second = LIB_POW_getLogShmPtr();
    });
    EXPECT_EQ(out, "");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(second, first);
    EXPECT_EQ(loadWord(g_libPowState.pst_SemLogArea), first);
    EXPECT_EQ(g_opens, 1);
    EXPECT_EQ(g_maps, 1);
    EXPECT_EQ(g_closes, 1); /* the descriptor is not kept */

    /* It is the device's trace area, shared: a write through the test's own
     * mapping shows through the library's. */
    device.semLog()->Count = 42;
    EXPECT_EQ(static_cast<SemLogArea*>(first)->Count, 42);
}

TEST_F(SemLogTest, FailedMappingClosesDescriptorAndIsRetried)
{
    device.createAreas();
    g_failMap = true;
    EXPECT_EQ(LIB_POW_getLogShmPtr(), nullptr);
    EXPECT_EQ(g_closes, 1);
    EXPECT_EQ(showSemLog(), "");
    g_failMap = false;
    EXPECT_NE(LIB_POW_getLogShmPtr(), nullptr);
    EXPECT_EQ(g_opens, 3);
    EXPECT_EQ(g_closes, 3);
}

/* ---- Listing ----------------------------------------------------------- */

TEST_F(SemLogListingTest, AllZeroAreaPrintsHeaderAndLogEndOnly)
{
    LIB_POW_setLogLevel(0); /* not behind the log mask */
    EXPECT_EQ(showSemLog(), kHead + kTail);
}

TEST_F(SemLogListingTest, RecordLinesUseExactFieldFormats)
{
    putRecord(area->records[0], 42, 1234, 0xabcd, "sem_POW_Shm_SemName", 0x1000, "take", 1);
    putRecord(area->records[1], -7, -1, 0xfedcba98u, "", 0xffffffffu, "give", -2147483647 - 1);
    area->Count = 2;
    EXPECT_EQ(showSemLog(),
              kHead +
                  " 0001  0000000042  1234  0x0000abcd  sem_POW_Shm_SemName  0x00001000  take  1 \n"
                  " 0002  -000000007  -1  0xfedcba98    0xffffffff  give  -2147483648     ***\n" +
                  kTail);
}

TEST_F(SemLogListingTest, OnlyPidAndTidBothZeroEndTheListing)
{
    putRecord(area->records[0], 1, 0, 5, "a", 0, "s", 0);  /* PID 0 alone */
    putRecord(area->records[1], 2, 7, 0, "b", 0, "s", 0);  /* TID 0 alone */
    putRecord(area->records[2], 3, 0, 0, "c", 9, "s", 9);  /* the end mark */
    putRecord(area->records[3], 4, 8, 8, "d", 0, "s", 0);  /* behind it */
    auto got = lines(showSemLog());
    ASSERT_EQ(got.size(), 4u + 2 + 2); /* empty, 3 header, 2 records, LogEnd, empty */
    EXPECT_EQ(got[4], " 0001  0000000001  0  0x00000005  a  0x00000000  s  0 ");
    EXPECT_EQ(got[5], " 0002  0000000002  7  0x00000000  b  0x00000000  s  0 ");
    EXPECT_EQ(got[6] + "\n\n", kTail);
}

TEST_F(SemLogListingTest, HundredRecordsAreAllListedAndCountIsNotReadAsARecord)
{
    fill(100);
    area->Count = 100;
    std::string out = showSemLog();
    auto got = lines(out);
    ASSERT_EQ(got.size(), 4u + 100 + 2);
    for (int i = 0; i < 100; ++i) {
        char number[8];
        snprintf(number, sizeof number, " %04d ", i + 1);
        EXPECT_EQ(got[4 + static_cast<size_t>(i)].substr(0, 6), number);
    }
    EXPECT_EQ(got[103], " 0100  0000000099  1099  0x00000073  sem  0x00000000  ok  99     ***");
    EXPECT_EQ(out.substr(out.size() - kTail.size()), kTail);
}

TEST_F(SemLogListingTest, CountMarksOnlyARecordItSelects)
{
    fill(5);
    const struct {
        int32_t count;
        std::vector<int> marked;
    } cases[] = {
        {0, {}},       {1, {1}},        {3, {3}},         {5, {5}},
        {6, {}},       /* behind the first empty record */
        {100, {}},     {101, {}},       {-1, {}},         {INT32_MIN, {}},
        {INT32_MAX, {}},
    };
    for (const auto& c : cases) {
        area->Count = c.count;
        EXPECT_EQ(markedLines(), c.marked) << "Count " << c.count;
    }
}

TEST_F(SemLogListingTest, FieldsWithoutNulPrintAtMostTheirWidth)
{
    fill(2);
    SemLogRecord& record = area->records[0];
    memset(record.SemName, 'N', sizeof record.SemName);
    memset(record.Status, 'S', sizeof record.Status);
    record.SemID = 0x41414141; /* would print as "AAAA" if read on as text */
    record.Value = 0x42424242;
    auto got = lines(showSemLog());
    ASSERT_GE(got.size(), 6u);
    EXPECT_EQ(got[4], " 0001  0000000000  1000  0x00000010  " + std::string(52, 'N') +
                          "  0x41414141  " + std::string(8, 'S') + "  1111638594 ");
    EXPECT_EQ(got[5].substr(0, 6), " 0002 ");
}

TEST_F(SemLogListingTest, LastRecordWithUnterminatedFieldsStaysInsideTheArea)
{
    /* The last record's Status ends 4 bytes before Count; with no NUL in
     * either text field nothing past the record may be read. */
    for (SemLogRecord& record : area->records) {
        memset(&record, 'x', sizeof record);
        record.PID = 1;
    }
    area->Count = -1;
    auto got = lines(showSemLog());
    ASSERT_EQ(got.size(), 4u + 100 + 2);
    EXPECT_NE(got[103].find("  " + std::string(8, 'x') + "  "), std::string::npos) << got[103];
}

/* ---- The area owner's writer ------------------------------------------- */

TEST_F(SemLogListingTest, AppendedRecordsAreListedAndMarkedInOrder)
{
    int position = -1;
    std::string error;
    ASSERT_TRUE(appendSemLogRecord(device.names.semLog, {"sem_POW_Shm_SemName", "take", 1, 0x2000}, position, error)) << error;
    EXPECT_EQ(position, 0);
    ASSERT_TRUE(appendSemLogRecord(device.names.semLog, {"sem_NVD_Shm_SemName", "give", -3, 0}, position, error)) << error;
    EXPECT_EQ(position, 1);
    EXPECT_EQ(area->Count, 2);
    EXPECT_EQ(area->records[1].PID, getpid());
    EXPECT_NE(area->records[1].TID, 0u);

    auto got = lines(showSemLog());
    ASSERT_EQ(got.size(), 4u + 2 + 2);
    std::string pid = "  " + std::to_string(getpid()) + "  ";
    EXPECT_NE(got[4].find(pid), std::string::npos) << got[4];
    EXPECT_NE(got[4].find("  sem_POW_Shm_SemName  0x00002000  take  1 "), std::string::npos) << got[4];
    EXPECT_NE(got[5].find("  sem_NVD_Shm_SemName  0x00000000  give  -3     ***"), std::string::npos) << got[5];
}

TEST_F(SemLogListingTest, AppendWrapsToTheFirstPositionAfterTheHundredth)
{
    fill(100);
    area->Count = 100;
    int position = -1;
    std::string error;
    ASSERT_TRUE(appendSemLogRecord(device.names.semLog, {"wrapped", "take", 7, 0}, position, error)) << error;
    EXPECT_EQ(position, 0);
    EXPECT_EQ(area->Count, 1);
    EXPECT_STREQ(area->records[0].SemName, "wrapped");
    EXPECT_EQ(markedLines(), std::vector<int>{1});

    area->Count = -5; /* a broken mark also restarts at the first position */
    ASSERT_TRUE(appendSemLogRecord(device.names.semLog, {"again", "give", 8, 0}, position, error)) << error;
    EXPECT_EQ(position, 0);
}

TEST_F(SemLogListingTest, AppendRefusesTextsThatWouldLoseTheirNul)
{
    int position = -1;
    std::string error;
    EXPECT_FALSE(appendSemLogRecord(device.names.semLog, {std::string(52, 'n'), "take", 1, 0}, position, error));
    EXPECT_FALSE(appendSemLogRecord(device.names.semLog, {"sem", "12345678", 1, 0}, position, error));
    EXPECT_TRUE(appendSemLogRecord(device.names.semLog, {std::string(51, 'n'), "1234567", 1, 0}, position, error)) << error;
    EXPECT_EQ(area->Count, 1);

    ASSERT_TRUE(clearSemLog(device.names.semLog, error)) << error;
    EXPECT_EQ(showSemLog(), kHead + kTail);
    EXPECT_EQ(area->Count, 0);
}
