/* Weekly timer calendar: date arithmetic against std::chrono, day flags on
 * the area's raw bytes, the semaphore around them and the trace. */
#include "support.h"

#include <chrono>

using namespace libpow_test;
using Lines = std::vector<std::string>;
namespace chr = std::chrono;

namespace {

struct Date { unsigned short year; unsigned char month, day; };

class WeeklyTimer : public LibPowTest {
protected:
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(device.nvd()); }
    std::vector<uint8_t> image() { return bytesOf(device.nvd()); }
    /* Bits set and clear in every byte, different per byte, so a stray
     * write, a swapped byte or a lost bit shows wherever it happens. */
    std::vector<uint8_t> fillPattern() {
        for (size_t i = 0; i < sizeof(NvdSharedArea); ++i)
            bytes()[i] = static_cast<uint8_t>(i * 37 + 0x5a);
        return image();
    }
    bool nvdSemaphoreFree() {
        SemId id = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(device.names.semNvd.c_str()));
        return id != 0 && PLAT_semTake(id, PLAT_NO_WAIT) == 0 && PLAT_semGive(id) == 0;
    }
};

/* The last-date call's pointer is a local of the library: only its shape is known. */
Lines withoutLocalPointer(Lines trace) {
    for (std::string& line : trace)
        if (line.rfind("LIB_POW_getWeeklyTimerLastDate Start(", 0) == 0 && line.find("puc_Date=0x") != std::string::npos)
            line = line.substr(0, line.find("puc_Date=0x") + 9) + "*)";
    return trace;
}

} // namespace

TEST(CalendarArithmetic, WeekdayAndLastDateDisagreeWithStdChronoInNoMonth2000To2089) {
    PrivateDevice device; /* mask 3 and a clean library */
    for (unsigned y = 2000; y <= 2089; ++y)
        for (unsigned m = 1; m <= 12; ++m) {
            chr::year_month_day first{chr::year{int(y)}, chr::month{m}, chr::day{1}};
            chr::year_month_day_last last{chr::year{int(y)}, chr::month_day_last{chr::month{m}}};
            unsigned char week = 0xEE, date = 0xEE;
            ASSERT_EQ(LIB_POW_getWeeklyTimerFirstWeek(y, m, &week) + LIB_POW_getWeeklyTimerLastDate(y, m, &date), 0) << y << "-" << m;
            EXPECT_EQ(week, chr::weekday{chr::sys_days{first}}.c_encoding()) << y << "-" << m;
            EXPECT_EQ(date, unsigned(last.day())) << y << "-" << m;
        }
}

TEST_F(WeeklyTimer, DaySwitchChangesOnlyItsLittleEndianBitAndReadsBack) {
    device.createAreas();
    std::vector<uint8_t> expected = fillPattern();
    const struct { Date date; size_t byte; uint8_t bit; } placements[] = {
        {{2000, 1, 1}, 4, 0x02}, {{2089, 12, 31}, 4323, 0x80}, {{2024, 2, 29}, 1163, 0x20}, {{2000, 2, 8}, 9, 0x01}, {{2001, 1, 16}, 54, 0x01}};
    for (const auto& [d, byte, bit] : placements)
        for (bool on : {true, false, false}) { /* an off day switched off stays off */
            ASSERT_EQ(LIB_POW_setWeeklyTimerDateOn(d.year, d.month, d.day, on), 0);
            expected[byte] = static_cast<uint8_t>(on ? expected[byte] | bit : expected[byte] & ~bit);
            EXPECT_EQ(differences(expected, image()), Lines{}) << d.year << "-" << int(d.month) << "-" << int(d.day) << " " << on;
            bool read = !on;
            EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(d.year, d.month, d.day, &read), 0);
            EXPECT_EQ(read, on);
        }
}

/* The first eight are refused by the month arithmetic too; wrap-around at
 * both ends of the unsigned tests. */
TEST_F(WeeklyTimer, RejectedDatesWriteNothingTakeNoSemaphoreAndTraceOnlyTheirCheck) {
    device.createAreas();
    const std::vector<uint8_t> pattern = fillPattern();
    CountingSeam seam;
    const Date rejected[] = {{1999, 12, 31}, {2090, 1, 1},  {0, 1, 1},     {65535, 1, 1}, {1935, 1, 1},  {2000, 0, 1},
                             {2000, 13, 1},  {2089, 255, 1}, {2023, 2, 29}, {2024, 2, 30}, {2000, 4, 31}, {2000, 6, 31},
                             {2000, 9, 31},  {2000, 11, 31}, {2000, 1, 0},  {2000, 1, 32},  {2000, 1, 255}};
    for (size_t i = 0; i < std::size(rejected); ++i) {
        const Date& d = rejected[i];
        unsigned char sentinel = 0xA5, week = 0xA5, date = 0xA5; /* no bool value matches: shows any write */
        EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(d.year, d.month, d.day, true) + LIB_POW_setWeeklyTimerDateOn(d.year, d.month, d.day, false) +
                      LIB_POW_getWeeklyTimerDateOn(d.year, d.month, d.day, reinterpret_cast<bool*>(&sentinel)),
                  -6)
            << d.year << "-" << int(d.month) << "-" << int(d.day);
        EXPECT_EQ(sentinel, 0xA5) << "written on rejection";
        if (i < 8) {
            EXPECT_EQ(LIB_POW_getWeeklyTimerFirstWeek(d.year, d.month, &week) + LIB_POW_getWeeklyTimerLastDate(d.year, d.month, &date), -4);
            EXPECT_EQ(week + date, 2 * 0xA5) << "written on rejection";
        }
    }
    EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, nullptr) + LIB_POW_getWeeklyTimerFirstWeek(2000, 1, nullptr), -4);
    EXPECT_EQ(CountingSeam::calls.creates + CountingSeam::calls.takes + CountingSeam::calls.gives, 0);
    EXPECT_EQ(loadWord(g_libPowState.pst_NvdShm), nullptr) << "rejected calls attached the area";
    EXPECT_EQ(differences(pattern, image()), Lines{});
    unsigned char out = 0;
    auto calls = [&] {
        LIB_POW_getWeeklyTimerFirstWeek(2026, 12, &out), LIB_POW_getWeeklyTimerLastDate(2088, 2, &out);
        LIB_POW_getWeeklyTimerFirstWeek(2000, 13, &out), LIB_POW_getWeeklyTimerLastDate(2024, 2, nullptr);
    };
    EXPECT_EQ(captureStdout(calls), "") << "silent at the default mask";
    const std::string p = pointerText(&out), W = "LIB_POW_getWeeklyTimerFirstWeek ", L = "LIB_POW_getWeeklyTimerLastDate ";
    EXPECT_EQ(traceAt(64, calls),
              (Lines{W + "Start(us_Year=2026, uc_Month=12, puc_Week=" + p + ")", W + "FirstWeek(*puc_Week=2)", W + "End(sc_Result=0)",
                     L + "Start(us_Year=2088, uc_Month=2, puc_Date=" + p + ")", L + "LastDate(*puc_Date=29)", L + "End(sc_Result=0)",
                     W + "Start(us_Year=2000, uc_Month=13, puc_Week=" + p + ")", W + "End(sc_Result=-2)",
                     L + "Start(us_Year=2024, uc_Month=2, puc_Date=" + pointerText(nullptr) + ")", L + "End(sc_Result=-2)"}));
    EXPECT_EQ(withoutLocalPointer(traceAt(64, [] { LIB_POW_setWeeklyTimerDateOn(2024, 2, 30, true); })),
              (Lines{"LIB_POW_setWeeklyTimerDateOn Start(us_Year=2024, uc_Month=2, uc_Date=30, b_On=1)",
                     L + "Start(us_Year=2024, uc_Month=2, puc_Date=*)", L + "LastDate(*puc_Date=29)", L + "End(sc_Result=0)",
                     "LIB_POW_setWeeklyTimerDateOn End(sc_Result=-2)"}));
}

TEST_F(WeeklyTimer, MissingAreaGivesMinusOneFreesTheSemaphoreAndTheNextCallAttachesInTraceOrder) {
    CountingSeam seam;
    unsigned char sentinel = 0xA5;
    bool* const notWritten = reinterpret_cast<bool*>(&sentinel);
    EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2024, 2, 29, true), -1);
    Lines trace = traceAt(64, [&] { EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, notWritten), -1); });
    EXPECT_EQ(trace.size(), 9u) << "Start, three last-date lines, lock and unlock, End: no GetDateOn line";
    EXPECT_EQ(trace.back(), "LIB_POW_getWeeklyTimerDateOn End(sc_Result=-1)");
    EXPECT_EQ(std::make_pair(CountingSeam::calls.takes, CountingSeam::calls.gives), std::make_pair(2, 2));
    ASSERT_TRUE(nvdSemaphoreFree());
    EXPECT_EQ(runChild([&] { return nvdSemaphoreFree() ? 0 : 1; }, 30), 0) << "another process waits";

    device.createAreas();
    bytes()[1163] = 0x20; /* 2024-02-29 */
    bool on = false;
    trace = withoutLocalPointer(traceAt(64 | 32, [&] { EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, &on), 0); }));
    const std::string sem = pointerText(loadWord(g_semNvdID)), G = "LIB_POW_getWeeklyTimerDateOn ", L = "LIB_POW_getWeeklyTimerLastDate ";
    EXPECT_EQ(trace, (Lines{G + "Start(us_Year=2024, uc_Month=2, uc_Date=29, pb_On=" + pointerText(&on) + ")",
                            L + "Start(us_Year=2024, uc_Month=2, puc_Date=*)", L + "LastDate(*puc_Date=29)", L + "End(sc_Result=0)",
                            "lock Start(Name=sem_NVD_Shm_SemName)", "lock End(pst_SemID=" + sem + ")",
                            "GetShm Start(Key=/shm_NVD_SharedArea, size=4756, mode=0x1b6)",
                            "GetShm End(pv_ShmAddr=" + pointerText(loadWord(g_libPowState.pst_NvdShm)) + ")",
                            G + "GetDateOn(*pb_On=1)", "unlock Start(pst_SemID=" + sem + ")", "unlock End", G + "End(sc_Result=0)"}));
    EXPECT_EQ(traceAt(64, [] { EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2024, 2, 29, false), 0); }).size(), 9u) << "attached: no attach lines";
    EXPECT_EQ(bytes()[1163], 0);
    EXPECT_TRUE(nvdSemaphoreFree());

    /* No semaphore handle: -1 with no take, no give, no attach. */
    resetLibrary();
    CountingSeam again;
    g_libPowSys.semBCreate = [](int, sem_b_state, char*) -> SemId { return ++CountingSeam::calls.creates, errno = EINVAL, nullptr; };
    const std::vector<uint8_t> before = image();
    EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2000, 1, 1, true) + LIB_POW_getWeeklyTimerDateOn(2000, 1, 1, notWritten), -2);
    EXPECT_EQ(sentinel, 0xA5);
    EXPECT_EQ(CountingSeam::calls.creates, 2) << "a failed handle must be asked for again";
    EXPECT_EQ(CountingSeam::calls.takes + CountingSeam::calls.gives, 0);
    EXPECT_EQ(loadWord(g_libPowState.pst_NvdShm), nullptr) << "attached without the semaphore";
    EXPECT_EQ(image(), before);
}
