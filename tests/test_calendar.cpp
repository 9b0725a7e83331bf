/*
 * Weekly timer calendar: the date arithmetic and the per-day flags in the
 * calendar area, checked against the standard library's calendar, on the
 * raw bytes of the area, across processes and through the trace.
 */
#include "support.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

using namespace libpow_test;
namespace chr = std::chrono;

namespace {

/* Byte offset of the word of (year, month) in the calendar area. */
size_t wordOffset(unsigned year, unsigned month)
{
    return 4 * ((year - 2000) * 12 + month);
}

uint8_t* areaBytes(PrivateDevice& device)
{
    return reinterpret_cast<uint8_t*>(device.nvd());
}

/* A pattern with set and clear bits in every byte, different per byte, so a
 * stray write, a swapped byte or a lost bit shows up wherever it happens. */
std::vector<uint8_t> fillPattern(PrivateDevice& device)
{
    std::vector<uint8_t> pattern(sizeof(NvdSharedArea));
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i * 37 + 0x5a);
    memcpy(areaBytes(device), pattern.data(), pattern.size());
    return pattern;
}

std::vector<uint8_t> areaSnapshot(PrivateDevice& device)
{
    uint8_t* bytes = areaBytes(device);
    return std::vector<uint8_t>(bytes, bytes + sizeof(NvdSharedArea));
}

/* The positions where two snapshots differ, as "offset:old->new". */
std::vector<std::string> differences(const std::vector<uint8_t>& before,
                                     const std::vector<uint8_t>& after)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < before.size() && i < after.size(); ++i) {
        if (before[i] != after[i]) {
            char text[48];
            snprintf(text, sizeof text, "%zu:%02x->%02x", i, before[i], after[i]);
            out.push_back(text);
        }
    }
    return out;
}

std::string pointerText(const void* p)
{
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

/* Trace lines with the "LIB_PowerService.cpp(LINE):" prefix checked and
 * removed, leaving "function message". Lines without the prefix are kept
 * whole so that a comparison shows them. */
std::vector<std::string> traceLines(const std::string& output)
{
    static const std::regex prefix(R"(^LIB_PowerService\.cpp\(\d+\):(.*)$)");
    std::vector<std::string> out;
    for (const std::string& line : lines(output)) {
        std::smatch match;
        out.push_back(std::regex_match(line, match, prefix) ? match[1].str() : "UNPREFIXED " + line);
    }
    return out;
}

/* Counts the semaphore calls the library makes through its seam and passes
 * them on to whatever the seam held before. */
struct SemCallCounter {
    static inline int creates = 0;
    static inline int takes = 0;
    static inline int gives = 0;
    static inline LibPowSys passOn{};

    SemCallCounter()
    {
        creates = takes = gives = 0;
        passOn = g_libPowSys;
        g_libPowSys.semBCreate = [](int options, sem_b_state state, char* name) {
            ++creates;
            return passOn.semBCreate(options, state, name);
        };
        g_libPowSys.semTake = [](SemId id, int timeout) {
            ++takes;
            return passOn.semTake(id, timeout);
        };
        g_libPowSys.semGive = [](SemId id) {
            ++gives;
            return passOn.semGive(id);
        };
    }
    ~SemCallCounter() { g_libPowSys = passOn; }
};

/* Whether the NVD semaphore is free right now: a take that does not wait. */
bool nvdSemaphoreFree(PrivateDevice& device)
{
    SemId id = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(device.names.semNvd.c_str()));
    if (id == 0 || PLAT_semTake(id, PLAT_NO_WAIT) != 0)
        return false;
    PLAT_semGive(id);
    return true;
}

struct Date {
    unsigned short year;
    unsigned char month;
    unsigned char day;
};

/* Tests of the day bitmap work on a private device of their own. */
class WeeklyTimer : public LibPowTest {};

} // namespace

/* ---- Arithmetic -------------------------------------------------------- */

TEST(CalendarArithmetic, WeekdayAndLastDateDisagreeWithStdChronoInNoMonth2000To2089)
{
    PrivateDevice device; // mask 3 and a clean library
    int months = 0;
    for (unsigned y = 2000; y <= 2089; ++y) {
        for (unsigned m = 1; m <= 12; ++m) {
            chr::year_month_day first{chr::year{int(y)}, chr::month{m}, chr::day{1}};
            chr::year_month_day_last last{chr::year{int(y)}, chr::month_day_last{chr::month{m}}};
            unsigned expectedWeek = chr::weekday{chr::sys_days{first}}.c_encoding();
            unsigned expectedLast = unsigned(last.day());

            unsigned char week = 0xEE, date = 0xEE;
            ASSERT_EQ(LIB_POW_getWeeklyTimerFirstWeek(y, m, &week), 0) << y << "-" << m;
            ASSERT_EQ(LIB_POW_getWeeklyTimerLastDate(y, m, &date), 0) << y << "-" << m;
            EXPECT_EQ(week, expectedWeek) << y << "-" << m;
            EXPECT_EQ(date, expectedLast) << y << "-" << m;
            ++months;
        }
    }
    EXPECT_EQ(months, 1080);
}

TEST(CalendarArithmetic, OutOfRangeOrNullIsRejectedWithoutTouchingTheOutputByte)
{
    PrivateDevice device;
    /* Wrap-around at both ends of the unsigned tests, and a valid date with a
     * null pointer, where the arithmetic alone would succeed. */
    const struct {
        unsigned short year;
        unsigned char month;
    } rejected[] = {{1999, 12}, {2090, 1}, {0, 1}, {65535, 1}, {1935, 1},
                    {2000, 0},  {2000, 13}, {2089, 255}};
    for (const auto& c : rejected) {
        unsigned char week = 0xA5, date = 0x5A;
        EXPECT_EQ(LIB_POW_getWeeklyTimerFirstWeek(c.year, c.month, &week), -2) << c.year << "-" << int(c.month);
        EXPECT_EQ(LIB_POW_getWeeklyTimerLastDate(c.year, c.month, &date), -2) << c.year << "-" << int(c.month);
        EXPECT_EQ(week, 0xA5);
        EXPECT_EQ(date, 0x5A);
    }
    EXPECT_EQ(LIB_POW_getWeeklyTimerFirstWeek(2000, 1, nullptr), -2);
    EXPECT_EQ(LIB_POW_getWeeklyTimerLastDate(2024, 2, nullptr), -2);
}

TEST(CalendarArithmetic, TraceIsThreeLinesOnSuccessTwoOnRejectionAndSilentByDefault)
{
    PrivateDevice device;
    unsigned char out = 0;
    EXPECT_EQ(captureStdout([&] {
                  LIB_POW_getWeeklyTimerFirstWeek(2026, 12, &out);
                  LIB_POW_getWeeklyTimerLastDate(2026, 12, &out);
                  LIB_POW_getWeeklyTimerLastDate(2090, 1, &out);
              }),
              "");

    LIB_POW_setLogLevel(64);
    std::string p = pointerText(&out);
    std::vector<std::string> trace = traceLines(captureStdout([&] {
        LIB_POW_getWeeklyTimerFirstWeek(2026, 12, &out);
        LIB_POW_getWeeklyTimerLastDate(2088, 2, &out);
        LIB_POW_getWeeklyTimerFirstWeek(2000, 13, &out);
        LIB_POW_getWeeklyTimerLastDate(1999, 2, nullptr);
    }));
    std::vector<std::string> expected = {
        "LIB_POW_getWeeklyTimerFirstWeek Start(us_Year=2026, uc_Month=12, puc_Week=" + p + ")",
        "LIB_POW_getWeeklyTimerFirstWeek FirstWeek(*puc_Week=2)",
        "LIB_POW_getWeeklyTimerFirstWeek End(sc_Result=0)",
        "LIB_POW_getWeeklyTimerLastDate Start(us_Year=2088, uc_Month=2, puc_Date=" + p + ")",
        "LIB_POW_getWeeklyTimerLastDate LastDate(*puc_Date=29)",
        "LIB_POW_getWeeklyTimerLastDate End(sc_Result=0)",
        "LIB_POW_getWeeklyTimerFirstWeek Start(us_Year=2000, uc_Month=13, puc_Week=" + p + ")",
        "LIB_POW_getWeeklyTimerFirstWeek End(sc_Result=-2)",
        "LIB_POW_getWeeklyTimerLastDate Start(us_Year=1999, uc_Month=2, puc_Date=" +
            pointerText(nullptr) + ")",
        "LIB_POW_getWeeklyTimerLastDate End(sc_Result=-2)",
    };
    EXPECT_EQ(trace, expected);
}

/* ---- Day bitmap: layout -------------------------------------------------- */

TEST_F(WeeklyTimer, DayFlagsLandAtLittleEndianByteAndBitOnEveryByteOrder)
{
    device.createAreas();
    const std::vector<uint8_t> zero(sizeof(NvdSharedArea), 0);
    ASSERT_EQ(areaSnapshot(device), zero);

    /* Each day alone on a zero area: exactly one byte changes, to one bit. */
    const struct {
        Date date;
        size_t byte;
        uint8_t value;
    } placements[] = {
        {{2000, 1, 1}, 4, 0x02},
        {{2089, 12, 31}, 4323, 0x80},
        {{2024, 2, 29}, 1163, 0x20},
        {{2000, 2, 8}, 9, 0x01},
        {{2001, 1, 16}, 54, 0x01},
    };
    for (const auto& p : placements) {
        const Date& d = p.date;
        ASSERT_EQ(LIB_POW_setWeeklyTimerDateOn(d.year, d.month, d.day, true), 0);
        std::vector<uint8_t> expected = zero;
        expected[p.byte] = p.value;
        EXPECT_EQ(differences(zero, areaSnapshot(device)), differences(zero, expected))
            << d.year << "-" << int(d.month) << "-" << int(d.day);

        bool on = false;
        EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(d.year, d.month, d.day, &on), 0);
        EXPECT_TRUE(on);
        ASSERT_EQ(LIB_POW_setWeeklyTimerDateOn(d.year, d.month, d.day, false), 0);
        EXPECT_EQ(areaSnapshot(device), zero);
    }

    /* Reading assembles the same bytes: a bit put into the raw area by hand
     * is found at its day and at no other day of the month. */
    uint8_t* bytes = areaBytes(device);
    for (unsigned day : {1u, 7u, 8u, 15u, 16u, 23u, 24u, 31u}) {
        memset(bytes, 0, sizeof(NvdSharedArea));
        size_t word = wordOffset(2050, 7);
        bytes[word + day / 8] = static_cast<uint8_t>(1u << (day % 8));
        for (unsigned other = 1; other <= 31; ++other) {
            bool on = other != day; // the opposite of what must be read
            ASSERT_EQ(LIB_POW_getWeeklyTimerDateOn(2050, 7, other, &on), 0);
            EXPECT_EQ(on, other == day) << "bit of day " << day << " read at day " << other;
        }
    }
}

TEST_F(WeeklyTimer, SetOrClearChangesOnlyItsOwnBitOfThePatternedArea)
{
    device.createAreas();
    std::vector<uint8_t> expected = fillPattern(device);
    const struct {
        Date date;
        bool on;
    } steps[] = {
        {{2000, 1, 1}, true},   {{2000, 1, 1}, false}, {{2000, 1, 1}, false},
        {{2023, 2, 28}, true},  {{2024, 2, 29}, false}, {{2030, 4, 30}, true},
        {{2089, 12, 31}, false}, {{2089, 12, 31}, true}, {{2045, 8, 17}, true},
        {{2045, 8, 17}, true},  {{2045, 8, 18}, false},
    };
    for (const auto& s : steps) {
        const Date& d = s.date;
        ASSERT_EQ(LIB_POW_setWeeklyTimerDateOn(d.year, d.month, d.day, s.on), 0);
        size_t byte = wordOffset(d.year, d.month) + d.day / 8;
        uint8_t bit = static_cast<uint8_t>(1u << (d.day % 8));
        expected[byte] = s.on ? (expected[byte] | bit) : (expected[byte] & ~bit);
        EXPECT_EQ(differences(expected, areaSnapshot(device)), std::vector<std::string>{})
            << d.year << "-" << int(d.month) << "-" << int(d.day) << " on=" << s.on;

        bool read = !s.on;
        EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(d.year, d.month, d.day, &read), 0);
        EXPECT_EQ(read, s.on);
    }
}

/* ---- Day bitmap: between processes ------------------------------------- */

TEST_F(WeeklyTimer, ConcurrentSwitchingOfOneMonthLosesNoBitAndTouchesNothingElse)
{
    device.createAreas();
    const std::vector<uint8_t> pattern = fillPattern(device);

    /* February 2023 has 28 days: bits 0, 29, 30 and 31 of its word belong to
     * no day and must keep the pattern. Four processes own days 1..28 in
     * turn (day d belongs to process d % 4) and switch them on and off; each
     * checks after every write that its day reads back as written, which a
     * lost update by another process would break. */
    const unsigned short year = 2023;
    const unsigned char month = 2;
    const int kProcesses = 4;
    const int kRounds = 2000;
    auto finalOn = [](unsigned day) { return (day * 7) % 3 != 0; };

    Gate gate;
    std::vector<pid_t> children;
    for (int k = 0; k < kProcesses; ++k) {
        children.push_back(startChild(
            [&, k] {
                resetLibrary(); // attach afresh, like a process of its own
                gate.wait();
                for (int round = 0; round < kRounds; ++round) {
                    for (unsigned day = 1; day <= 28; ++day) {
                        if (int(day % kProcesses) != k)
                            continue;
                        bool on = round == kRounds - 1 ? finalOn(day) : (round + day) % 2 == 0;
                        if (LIB_POW_setWeeklyTimerDateOn(year, month, day, on) != 0)
                            return 2;
                        bool read = !on;
                        if (LIB_POW_getWeeklyTimerDateOn(year, month, day, &read) != 0)
                            return 3;
                        if (read != on)
                            return 4;
                    }
                }
                return 0;
            },
            120));
    }
    gate.open();
    for (pid_t child : children)
        EXPECT_EQ(waitChild(child), 0) << "2: set failed, 3: get failed, 4: own bit lost";

    size_t word = wordOffset(year, month);
    uint32_t expectedWord = 0;
    for (int i = 3; i >= 0; --i)
        expectedWord = expectedWord << 8 | pattern[word + i];
    expectedWord &= 0xE0000001u; // bit 0 and days 29..31 keep the pattern
    for (unsigned day = 1; day <= 28; ++day)
        if (finalOn(day))
            expectedWord |= 1u << day;

    std::vector<uint8_t> expected = pattern;
    for (int i = 0; i < 4; ++i)
        expected[word + i] = static_cast<uint8_t>(expectedWord >> (8 * i));
    EXPECT_EQ(differences(expected, areaSnapshot(device)), std::vector<std::string>{});
}

/* ---- Day bitmap: failures ------------------------------------------------ */

TEST_F(WeeklyTimer, RejectedDateWritesNothingAndTakesNoSemaphore)
{
    device.createAreas();
    const std::vector<uint8_t> pattern = fillPattern(device);
    SemCallCounter counter;

    const Date rejected[] = {
        {1999, 12, 31}, {2090, 1, 1}, {0, 1, 1},     {65535, 1, 1}, {2000, 0, 1},
        {2000, 13, 1},  {2000, 255, 1}, {2023, 2, 29}, {2024, 2, 30}, {2000, 4, 31},
        {2000, 6, 31},  {2000, 9, 31},  {2000, 11, 31}, {2000, 1, 0},  {2000, 1, 32},
        {2000, 1, 255},
    };
    for (const Date& d : rejected) {
        for (bool on : {true, false})
            EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(d.year, d.month, d.day, on), -2)
                << d.year << "-" << int(d.month) << "-" << int(d.day);
        /* A byte that no bool value matches shows any write through pb_On. */
        unsigned char sentinel = 0xA5;
        EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(d.year, d.month, d.day,
                                               reinterpret_cast<bool*>(&sentinel)),
                  -2)
            << d.year << "-" << int(d.month) << "-" << int(d.day);
        EXPECT_EQ(sentinel, 0xA5);
    }
    EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, nullptr), -2);
    EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2090, 1, 1, nullptr), -2);

    EXPECT_EQ(SemCallCounter::creates, 0);
    EXPECT_EQ(SemCallCounter::takes, 0);
    EXPECT_EQ(SemCallCounter::gives, 0);
    EXPECT_EQ(loadWord(g_libPowState.pst_NvdShm), nullptr) << "rejected calls attached the area";
    EXPECT_EQ(differences(pattern, areaSnapshot(device)), std::vector<std::string>{});
}

TEST_F(WeeklyTimer, MissingAreaGivesMinusOneReleasesTheSemaphoreAndIsRetried)
{
    /* No areas yet: the semaphore is taken, the attach fails, the semaphore
     * must be free again afterwards. */
    SemCallCounter counter;
    unsigned char sentinel = 0xA5;
    EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2024, 2, 29, true), -1);
    EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, reinterpret_cast<bool*>(&sentinel)), -1);
    EXPECT_EQ(sentinel, 0xA5);
    EXPECT_EQ(SemCallCounter::takes, 2);
    EXPECT_EQ(SemCallCounter::gives, 2);
    EXPECT_TRUE(nvdSemaphoreFree(device));
    /* Another process finds it free too, without waiting. */
    EXPECT_EQ(runChild([&] { return nvdSemaphoreFree(device) ? 0 : 1; }, 30), 0);

    /* Once the area exists the next call attaches it and succeeds. */
    device.createAreas();
    EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2024, 2, 29, true), 0);
    EXPECT_EQ(areaBytes(device)[1163], 0x20);
    bool on = false;
    EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, &on), 0);
    EXPECT_TRUE(on);
    EXPECT_TRUE(nvdSemaphoreFree(device));
}

TEST_F(WeeklyTimer, NoSemaphoreHandleGivesMinusOneWithoutTouchingAreaOrGiving)
{
    device.createAreas();
    const std::vector<uint8_t> pattern = fillPattern(device);
    SemCallCounter counter;
    g_libPowSys.semBCreate = [](int, sem_b_state, char*) -> SemId {
        ++SemCallCounter::creates;
        errno = EINVAL;
        return nullptr;
    };
    unsigned char sentinel = 0xA5;
    EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2000, 1, 1, true), -1);
    EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2000, 1, 1, reinterpret_cast<bool*>(&sentinel)), -1);
    EXPECT_EQ(sentinel, 0xA5);
    EXPECT_EQ(SemCallCounter::creates, 2) << "a failed handle must be asked for again";
    EXPECT_EQ(SemCallCounter::takes, 0);
    EXPECT_EQ(SemCallCounter::gives, 0);
    EXPECT_EQ(loadWord(g_libPowState.pst_NvdShm), nullptr) << "attached without the semaphore";
    EXPECT_EQ(differences(pattern, areaSnapshot(device)), std::vector<std::string>{});
}

/* ---- Day bitmap: trace --------------------------------------------------- */

TEST_F(WeeklyTimer, TraceOfFirstReadThenSetAndRejectionsComesInCallOrder)
{
    device.createAreas();
    bool on = false;
    EXPECT_EQ(captureStdout([&] {
                  LIB_POW_setWeeklyTimerDateOn(2024, 2, 29, true);
                  LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, &on);
                  LIB_POW_setWeeklyTimerDateOn(2024, 2, 30, true);
              }),
              "")
        << "the default mask shows only failures";
    ASSERT_TRUE(on);

    /* Start afresh so that the read below is the process's first. */
    resetLibrary();
    LIB_POW_setLogLevel(64 | 32); // the attach lines are level 32
    std::string output = captureStdout([&] { LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, &on); });
    std::string pb = pointerText(&on);
    std::string sem = pointerText(loadWord(g_semNvdID));
    std::string addr = pointerText(loadWord(g_libPowState.pst_NvdShm));
    std::vector<std::string> expected = {
        "LIB_POW_getWeeklyTimerDateOn Start(us_Year=2024, uc_Month=2, uc_Date=29, pb_On=" + pb + ")",
        "LIB_POW_getWeeklyTimerLastDate Start(us_Year=2024, uc_Month=2, puc_Date=.*)",
        "LIB_POW_getWeeklyTimerLastDate LastDate(*puc_Date=29)",
        "LIB_POW_getWeeklyTimerLastDate End(sc_Result=0)",
        "lock Start(Name=sem_NVD_Shm_SemName)",
        "lock End(pst_SemID=" + sem + ")",
        "GetShm Start(Key=/shm_NVD_SharedArea, size=4756, mode=0x1b6)",
        "GetShm End(pv_ShmAddr=" + addr + ")",
        "LIB_POW_getWeeklyTimerDateOn GetDateOn(*pb_On=1)",
        "unlock Start(pst_SemID=" + sem + ")",
        "unlock End",
        "LIB_POW_getWeeklyTimerDateOn End(sc_Result=0)",
    };
    std::vector<std::string> trace = traceLines(output);
    /* The last-date call's pointer is a local of the library: only its shape
     * is known. */
    ASSERT_EQ(trace.size(), expected.size()) << output;
    std::regex localPointer(R"(^(LIB_POW_getWeeklyTimerLastDate Start\(.*puc_Date=)0x[0-9a-f]+\)$)");
    trace[1] = std::regex_replace(trace[1], localPointer, "$1.*)");
    EXPECT_EQ(trace, expected) << output;

    /* Attached now: a set prints its own, the last-date and the semaphore
     * lines only; rejections stop before the semaphore. */
    LIB_POW_setLogLevel(64);
    output = captureStdout([&] {
        LIB_POW_setWeeklyTimerDateOn(2024, 2, 29, false);
        LIB_POW_setWeeklyTimerDateOn(2090, 2, 1, true);
        LIB_POW_setWeeklyTimerDateOn(2024, 2, 30, true);
        LIB_POW_getWeeklyTimerDateOn(2024, 2, 29, nullptr);
    });
    trace = traceLines(output);
    for (std::string& line : trace)
        line = std::regex_replace(line, localPointer, "$1.*)");
    expected = {
        "LIB_POW_setWeeklyTimerDateOn Start(us_Year=2024, uc_Month=2, uc_Date=29, b_On=0)",
        "LIB_POW_getWeeklyTimerLastDate Start(us_Year=2024, uc_Month=2, puc_Date=.*)",
        "LIB_POW_getWeeklyTimerLastDate LastDate(*puc_Date=29)",
        "LIB_POW_getWeeklyTimerLastDate End(sc_Result=0)",
        "lock Start(Name=sem_NVD_Shm_SemName)",
        "lock End(pst_SemID=" + sem + ")",
        "unlock Start(pst_SemID=" + sem + ")",
        "unlock End",
        "LIB_POW_setWeeklyTimerDateOn End(sc_Result=0)",

        "LIB_POW_setWeeklyTimerDateOn Start(us_Year=2090, uc_Month=2, uc_Date=1, b_On=1)",
        "LIB_POW_getWeeklyTimerLastDate Start(us_Year=2090, uc_Month=2, puc_Date=.*)",
        "LIB_POW_getWeeklyTimerLastDate End(sc_Result=-2)",
        "LIB_POW_setWeeklyTimerDateOn End(sc_Result=-2)",

        "LIB_POW_setWeeklyTimerDateOn Start(us_Year=2024, uc_Month=2, uc_Date=30, b_On=1)",
        "LIB_POW_getWeeklyTimerLastDate Start(us_Year=2024, uc_Month=2, puc_Date=.*)",
        "LIB_POW_getWeeklyTimerLastDate LastDate(*puc_Date=29)",
        "LIB_POW_getWeeklyTimerLastDate End(sc_Result=0)",
        "LIB_POW_setWeeklyTimerDateOn End(sc_Result=-2)",

        "LIB_POW_getWeeklyTimerDateOn Start(us_Year=2024, uc_Month=2, uc_Date=29, pb_On=" +
            pointerText(nullptr) + ")",
        "LIB_POW_getWeeklyTimerLastDate Start(us_Year=2024, uc_Month=2, puc_Date=.*)",
        "LIB_POW_getWeeklyTimerLastDate LastDate(*puc_Date=29)",
        "LIB_POW_getWeeklyTimerLastDate End(sc_Result=0)",
        "LIB_POW_getWeeklyTimerDateOn End(sc_Result=-2)",
    };
    EXPECT_EQ(trace, expected) << output;
}

TEST_F(WeeklyTimer, TraceOfReadWithoutAreaHasNoGetDateOnLine)
{
    LIB_POW_setLogLevel(64);
    bool on = false;
    std::string output = captureStdout([&] { LIB_POW_getWeeklyTimerDateOn(2000, 1, 1, &on); });
    std::vector<std::string> trace = traceLines(output);
    std::vector<std::string> functions;
    for (const std::string& line : trace)
        functions.push_back(line.substr(0, line.find(' ')));
    std::vector<std::string> expected = {
        "LIB_POW_getWeeklyTimerDateOn", "LIB_POW_getWeeklyTimerLastDate",
        "LIB_POW_getWeeklyTimerLastDate", "LIB_POW_getWeeklyTimerLastDate",
        "lock", "lock", "unlock", "unlock", "LIB_POW_getWeeklyTimerDateOn",
    };
    EXPECT_EQ(functions, expected) << output;
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "LIB_POW_getWeeklyTimerDateOn End(sc_Result=-1)");
}
