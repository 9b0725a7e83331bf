/*
 * Socket-send jam log: the path lookup against a reference of its own, and
 * the per-process record / clear / listing with their exact texts.
 */
#include "support.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace libpow_test;

namespace {

/* The service codes in row order and the channel letters in column order,
 * written out here independently of the library's table. */
const char* const kCodes[26] = {"adrm", "appm", "autm", "chrm", "devm", "ntfm", "prfm",
                                "resm", "srvm", "usrm", "winm", "adps", "auts", "bass",
                                "chrs", "dcms", "devs", "exts", "faxs", "icvs", "jobs",
                                "mnts", "pwrs", "ssts", "strs", "wsds"};
const char kChannels[] = "afns";
const char kDir[] = "/var/spool/sockets/";

std::string referencePath(int row)
{
    return std::string(kDir) + kChannels[row % 4] + "_" + kCodes[row / 4];
}

/* The second letter matters only for a service whose first and last
 * letters some other service shares. */
bool computeSecondLetterDecides(int service)
{
    for (int other = 0; other < 26; ++other)
        if (other != service && kCodes[other][0] == kCodes[service][0] &&
            kCodes[other][3] == kCodes[service][3])
            return true;
    return false;
}

bool secondLetterDecides(int service)
{
    static const std::vector<bool> decides = [] {
        std::vector<bool> all;
        for (int service = 0; service < 26; ++service)
            all.push_back(computeSecondLetterDecides(service));
        return all;
    }();
    return decides[service];
}

/* Straightforward rule: length 25, then the first row that agrees at the
 * channel, first, last and (where it decides) second letter. */
int referenceRow(const std::string& path)
{
    if (path.size() != 25 || path.find('\0') != std::string::npos)
        return -1;
    for (int row = 0; row < 104; ++row) {
        const char* code = kCodes[row / 4];
        if (path[19] == kChannels[row % 4] && path[21] == code[0] && path[24] == code[3] &&
            (!secondLetterDecides(row / 4) || path[22] == code[1]))
            return row;
    }
    return -1;
}

bool examined(int position, int row)
{
    return position == 19 || position == 21 || position == 24 ||
           (position == 22 && secondLetterDecides(row / 4));
}

int search(const std::string& path)
{
    char copy[64];
    EXPECT_LT(path.size(), sizeof copy);
    memcpy(copy, path.c_str(), path.size() + 1);
    return SockSendIndexSearch(copy);
}

/* A heap copy of exactly the string's bytes and its NUL, so that AddressSanitizer
 * catches any read past the terminator. */
std::unique_ptr<char[]> exactCopy(const std::string& text)
{
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

} // namespace

/* ---- Lookup ---------------------------------------------------------- */

TEST(SockSendIndexSearch, TableHoldsEveryPathAtItsRowAndLookupReturnsIt)
{
    /* Anchors that keep the reference itself honest. */
    EXPECT_EQ(referencePath(0), "/var/spool/sockets/a_adrm");
    EXPECT_EQ(referencePath(13), "/var/spool/sockets/f_chrm");
    EXPECT_EQ(referencePath(98), "/var/spool/sockets/n_strs");
    EXPECT_EQ(referencePath(103), "/var/spool/sockets/s_wsds");
    for (int row = 0; row < 104; ++row) {
        EXPECT_EQ(std::string(SocketPathTable[row]), referencePath(row)) << "row " << row;
        EXPECT_EQ(search(referencePath(row)), row) << referencePath(row);
        EXPECT_EQ(referenceRow(referencePath(row)), row);
    }
}

TEST(SockSendIndexSearch, EverySingleByteChangeAgreesWithReference)
{
    int rowsKept = 0;
    for (int row = 0; row < 104; ++row) {
        const std::string path = referencePath(row);
        for (int position = 0; position < 25; ++position) {
            for (int byte = 1; byte < 256; ++byte) {
                if (static_cast<char>(byte) == path[position])
                    continue;
                std::string changed = path;
                changed[position] = static_cast<char>(byte);
                int got = search(changed);
                ASSERT_EQ(got, referenceRow(changed)) << "row " << row << " pos " << position
                                                      << " byte " << byte;
                if (!examined(position, row)) {
                    ASSERT_EQ(got, row) << "an unexamined position changed the row: " << changed;
                    ++rowsKept;
                }
            }
        }
    }
    EXPECT_GT(rowsKept, 104 * 20 * 200); /* the unexamined positions were really tried */
}

TEST(SockSendIndexSearch, ExaminedPositionsRejectLettersOutsideTheTable)
{
    EXPECT_EQ(search("/var/spool/sockets/x_adrm"), -1);  /* channel */
    EXPECT_EQ(search("/var/spool/sockets/A_adrm"), -1);  /* channels are lower case */
    EXPECT_EQ(search("/var/spool/sockets/a_adrx"), -1);  /* last letter */
    EXPECT_EQ(search("/var/spool/sockets/a_bxxm"), -1);  /* b with m */
    EXPECT_EQ(search("/var/spool/sockets/a_xxxs"), -1);  /* x with s */
    EXPECT_EQ(search("/var/spool/sockets/a_axxm"), -1);  /* a, m, second x */
    EXPECT_EQ(search("/var/spool/sockets/a_dxxs"), -1);  /* d, s, second x */
    EXPECT_EQ(search("/var/spool/sockets/a_sxxs"), -1);  /* s, s, second x */
    /* Where first and last letter decide, the second is not looked at. */
    EXPECT_EQ(search("/var/spool/sockets/n_dxxm"), 4 * 4 + 2);
}

TEST(SockSendIndexSearch, WrongLengthOrNullIsRejected)
{
    EXPECT_EQ(SockSendIndexSearch(nullptr), -1);
    EXPECT_EQ(search(""), -1);
    for (int row = 0; row < 104; ++row) {
        const std::string path = referencePath(row);
        for (size_t position = 0; position <= path.size(); ++position) {
            if (position < path.size()) {
                std::string shorter = path;
                shorter.erase(position, 1);
                ASSERT_EQ(search(shorter), -1) << shorter;
            }
            std::string longer = path;
            longer.insert(position, 1, path[position < path.size() ? position : 0]);
            ASSERT_EQ(search(longer), -1) << longer;
        }
    }
    /* What follows the terminator is not part of the path. */
    char buffer[] = "/var/spool/sockets/s_wsds\0trailing";
    EXPECT_EQ(SockSendIndexSearch(buffer), 103);
}

TEST(SockSendIndexSearch, ShortStringsAreNeverReadPastTheirEnd)
{
    const std::string path = referencePath(50);
    for (size_t length = 0; length <= 26; ++length) {
        std::string text = length <= path.size() ? path.substr(0, length) : path + "x";
        auto copy = exactCopy(text);
        EXPECT_EQ(SockSendIndexSearch(copy.get()), length == 25 ? 50 : -1) << text;
    }
}

TEST(SockSendIndexSearch, RandomStringsAgreeWithReference)
{
    std::mt19937 random(20240611u);
    /* A table path with several bytes replaced, mostly by letters that occur
     * at the examined positions so that many strings still hit some row,
     * sometimes by any byte; a tenth get a length other than 25. */
    const std::string letters = "afnsmdpucrwbeijtxz_/A";
    std::uniform_int_distribution<int> pickLetter(0, static_cast<int>(letters.size()) - 1);
    std::uniform_int_distribution<int> pickRow(0, 103);
    std::uniform_int_distribution<int> anyByte(1, 255);
    std::uniform_int_distribution<int> percent(0, 99);
    int hits = 0, misses = 0;
    const int rounds = 200000;
    for (int n = 0; n < rounds; ++n) {
        std::string text = referencePath(pickRow(random));
        for (char& c : text) {
            int p = percent(random);
            if (p < 25)
                c = letters[pickLetter(random)];
            else if (p < 30)
                c = static_cast<char>(anyByte(random));
        }
        if (percent(random) < 10)
            text.resize(static_cast<size_t>(20 + percent(random) % 11), 'm');
        int expected = referenceRow(text);
        ASSERT_EQ(search(text), expected) << text;
        (expected >= 0 ? hits : misses) += 1;
    }
    /* Both outcomes were really exercised. */
    EXPECT_GT(hits, rounds / 10);
    EXPECT_GT(misses, rounds / 10);
}

/* ---- Record, clear, listing ---------------------------------------------- */

namespace {

struct timeval g_fakeNow;
int g_clockReads = 0;

/* A day in 2021, so that the seconds fit a 32-bit time_t too. */
const long kSomeMidnight = 86400L * 19000;

struct timeval timeOfDay(long secondsOfDay, long microseconds)
{
    struct timeval tv = {};
    tv.tv_sec = static_cast<time_t>(kSomeMidnight + secondsOfDay);
    tv.tv_usec = static_cast<suseconds_t>(microseconds);
    return tv;
}

int fakeGettimeofday(struct timeval* tv)
{
    ++g_clockReads;
    *tv = g_fakeNow;
    return 0;
}

class JamLogTest : public LibPowTest {
protected:
    void SetUp() override
    {
        g_fakeNow = timeOfDay(12 * 3600 + 34 * 60 + 56, 789000);
        g_clockReads = 0;
        g_libPowSys.gettimeofday = fakeGettimeofday;
    }

    static void set(const std::string& dst, const std::string& src, unsigned long kind,
                    unsigned long seq)
    {
        auto d = exactCopy(dst);
        auto s = exactCopy(src);
        LIB_POW_setSockSendLog(d.get(), s.get(), kind, seq);
    }

    static void clear(const std::string& dst)
    {
        auto d = exactCopy(dst);
        LIB_POW_clearSockSendLog(d.get());
    }

    static std::string listing()
    {
        return captureStdout([] { LIB_POW_getSockSendJamLog(); });
    }
};

const char kNoJamLog[] = "########## no jam log.  SockSendJamLog\n";
const char kTimeText[] = "45296789"; /* 12:34:56.789 in milliseconds of the day */

} // namespace

TEST_F(JamLogTest, EmptyTablePrintsOnlyNoJamLogLine)
{
    LIB_POW_setLogLevel(0); /* not behind the log mask */
    EXPECT_EQ(listing(), kNoJamLog);
}

TEST_F(JamLogTest, RecordPrintsExactLineWithSourceBeforeArrow)
{
    set("/var/spool/sockets/n_strs", "/var/spool/sockets/a_jobs", 0x1234, 0xdeadbeef);
    EXPECT_EQ(listing(), std::string("sock_send [a_jobs]->[n_strs]    time:[") + kTimeText +
                             " (ms)]    kindid:[0x1234]    reqseqid:[0xdeadbeef]\n");
    EXPECT_EQ(g_clockReads, 1);
}

TEST_F(JamLogTest, IdsAreKeptAsThirtyTwoBitWords)
{
    set("/var/spool/sockets/a_adrm", "/var/spool/sockets/f_adrm", 0xffffffffUL, 0);
    EXPECT_EQ(listing(), std::string("sock_send [f_adrm]->[a_adrm]    time:[") + kTimeText +
                             " (ms)]    kindid:[0xffffffff]    reqseqid:[0x0]\n");
}

TEST_F(JamLogTest, FirstRecordStandsUntilClearedThenNextRecordShows)
{
    const std::string dst = "/var/spool/sockets/s_pwrs";
    set(dst, "/var/spool/sockets/a_first", 1, 2);
    g_fakeNow.tv_usec = 123000;
    set(dst, "/var/spool/sockets/a_secon", 3, 4);
    EXPECT_EQ(listing(), std::string("sock_send [a_firs]->[s_pwrs]    time:[") + kTimeText +
                             " (ms)]    kindid:[0x1]    reqseqid:[0x2]\n");
    EXPECT_EQ(captureStdout([&] { clear(dst); }), "");
    EXPECT_EQ(listing(), kNoJamLog);
    set(dst, "/var/spool/sockets/a_secon", 3, 4);
    EXPECT_EQ(listing(), "sock_send [a_seco]->[s_pwrs]    time:[45296123 (ms)]    kindid:[0x3]"
                         "    reqseqid:[0x4]\n");
}

TEST_F(JamLogTest, ListingIsInRowOrderNotRecordingOrder)
{
    for (int row : {103, 0, 13, 98, 1})
        set(referencePath(row), "/var/spool/sockets/x_srce", static_cast<unsigned long>(row), 0);
    auto got = lines(listing());
    ASSERT_EQ(got.size(), 5u);
    const int order[] = {0, 1, 13, 98, 103};
    for (size_t n = 0; n < 5; ++n) {
        std::string name = referencePath(order[n]).substr(19);
        const std::string expected = "sock_send [x_srce]->[" + name + "]";
        EXPECT_EQ(got[n].substr(0, expected.size()), expected) << got[n];
    }
}

TEST_F(JamLogTest, DestinationNameComesFromTableNotFromCaller)
{
    /* Another directory and other letters at unexamined positions. */
    set("/tmp/elsewhere/zzzzs-wXYs", "/var/spool/sockets/a_jobs", 7, 8);
    auto got = listing();
    EXPECT_NE(got.find("->[s_wsds]"), std::string::npos) << got;
}

TEST_F(JamLogTest, ShortSourcePathRecordsShortOrEmptyName)
{
    struct Case {
        std::string src;
        std::string name;
    };
    const Case cases[] = {
        {"", ""},
        {"/tmp/x", ""},
        {"/var/spool/sockets/", ""},         /* 19 characters */
        {"/var/spool/sockets/a", "a"},       /* 20 */
        {"/var/spool/sockets/a_j", "a_j"},   /* 22 */
        {"/var/spool/sockets/a_jobs", "a_jobs"},
        {"/var/spool/sockets/a_jobs_and_more", "a_jobs"},
    };
    int row = 0;
    for (const Case& c : cases) {
        /* A used slot with a long name first, so stale bytes would show. */
        set(referencePath(row), "/var/spool/sockets/LONGNAME", 0, 0);
        clear(referencePath(row));
        set(referencePath(row), c.src, 0, 0);
        std::string expected = "sock_send [" + c.name + "]->[" + referencePath(row).substr(19) + "]";
        auto got = listing();
        EXPECT_EQ(got.substr(0, expected.size()), expected) << "source \"" << c.src << "\"";
        clear(referencePath(row));
        ++row;
    }
}

TEST_F(JamLogTest, MidnightIsStoredAsOneSoTheSlotCountsAsUsed)
{
    g_fakeNow = timeOfDay(0, 400);
    set("/var/spool/sockets/a_adrm", "/var/spool/sockets/a_aaaa", 1, 1);
    set("/var/spool/sockets/a_adrm", "/var/spool/sockets/a_bbbb", 2, 2);
    EXPECT_EQ(listing(), "sock_send [a_aaaa]->[a_adrm]    time:[1 (ms)]    kindid:[0x1]"
                         "    reqseqid:[0x1]\n");
    g_fakeNow = timeOfDay(86399, 999999);
    set("/var/spool/sockets/f_adrm", "/var/spool/sockets/a_cccc", 3, 3);
    EXPECT_NE(listing().find("time:[86399999 (ms)]"), std::string::npos);
}

TEST_F(JamLogTest, TimeIsReadBeforeLookupButNotForNullArguments)
{
    set("/var/spool/sockets/q_adrm", "/var/spool/sockets/a_jobs", 1, 1); /* unknown */
    EXPECT_EQ(g_clockReads, 1);
    set("/var/spool/sockets/a_adrm", "/var/spool/sockets/a_jobs", 1, 1);
    set("/var/spool/sockets/a_adrm", "/var/spool/sockets/a_jobs", 1, 1); /* slot in use */
    EXPECT_EQ(g_clockReads, 3);
    captureStdout([] { LIB_POW_setSockSendLog(nullptr, nullptr, 0, 0); });
    EXPECT_EQ(g_clockReads, 3);
}

TEST_F(JamLogTest, NullArgumentsPrintArgNullAndLeaveTheSlot)
{
    LIB_POW_setLogLevel(0);
    char dst[] = "/var/spool/sockets/n_jobs";
    char src[] = "/var/spool/sockets/a_srce";
    const std::string setNull = "########## LIB_POW_setSockSendLog Arg NULL !!!\n";
    EXPECT_EQ(captureStdout([&] { LIB_POW_setSockSendLog(dst, nullptr, 1, 1); }), setNull);
    EXPECT_EQ(captureStdout([&] { LIB_POW_setSockSendLog(nullptr, src, 1, 1); }), setNull);
    EXPECT_EQ(listing(), kNoJamLog);
    LIB_POW_setSockSendLog(dst, src, 5, 6);
    EXPECT_EQ(captureStdout([] { LIB_POW_clearSockSendLog(nullptr); }),
              "########## LIB_POW_clearSockSendLog Arg NULL !!!\n");
    EXPECT_EQ(captureStdout([&] { LIB_POW_setSockSendLog(dst, nullptr, 9, 9); }), setNull);
    EXPECT_NE(listing().find("[a_srce]->[n_jobs]"), std::string::npos);
}

TEST_F(JamLogTest, ClearOfFreeOrUnknownDestinationChangesNothing)
{
    set("/var/spool/sockets/s_jobs", "/var/spool/sockets/a_srce", 1, 2);
    const std::string before = listing();
    EXPECT_EQ(captureStdout([] {
                  clear("/var/spool/sockets/a_jobs");  /* never recorded */
                  clear("/var/spool/sockets/s_jobX");  /* unknown */
                  clear("/var/spool/sockets/s_jobs/"); /* 26 characters */
              }),
              "");
    EXPECT_EQ(listing(), before);
}
