/* Socket-send jam log: the path lookup against a reference of its own, and
 * record / clear / listing with their exact texts. */
#include "sock_reference.h"
#include "support.h"

#include <memory>

using namespace libpow_test;
using sock_reference::path;

namespace {

/* A heap copy of exactly the bytes and the NUL: AddressSanitizer catches a read past it. */
std::unique_ptr<char[]> exactCopy(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

int search(const std::string& text) { return SockSendIndexSearch(exactCopy(text).get()); }

struct timeval g_fakeNow;

/* Seconds into a day of 2021, so they fit a 32-bit time_t too. */
struct timeval timeOfDay(long secondsOfDay, long microseconds) {
    return {static_cast<time_t>(86400L * 19000 + secondsOfDay), static_cast<suseconds_t>(microseconds)};
}

class JamLogTest : public LibPowTest {
protected:
    void SetUp() override {
        g_fakeNow = timeOfDay(12 * 3600 + 34 * 60 + 56, 789000); /* 45296789 ms */
        g_libPowSys.gettimeofday = [](struct timeval* tv) { *tv = g_fakeNow; return 0; };
    }
    static void set(const std::string& dst, const std::string& src, unsigned long kind, unsigned long seq) {
        LIB_POW_setSockSendLog(exactCopy(dst).get(), exactCopy(src).get(), kind, seq);
    }
    static void clear(const std::string& dst) { LIB_POW_clearSockSendLog(exactCopy(dst).get()); }
    static std::string listing() { return captureStdout([] { LIB_POW_getSockSendJamLog(); }); }
};

} // namespace

/* The rule reads the length and positions 19, 21, 24 and sometimes 22 only,
 * so a change anywhere else must keep the row. */
TEST(SockSendIndexSearch, EveryTablePathEverySingleByteChangeAndEveryLengthAgreeWithTheRule) {
    EXPECT_EQ(path(13), "/var/spool/sockets/f_chrm"); /* keeps the reference honest */
    EXPECT_EQ(SockSendIndexSearch(nullptr), -1);
    for (int row = 0; row < 104; ++row) {
        const std::string original = path(row);
        ASSERT_EQ(std::string(SocketPathTable[row]), original) << "row " << row;
        for (size_t position = 0; position <= original.size(); ++position) {
            ASSERT_EQ(search(original.substr(0, position)), position == 25 ? row : -1);
            ASSERT_EQ(search(std::string(original).insert(position, 1, original[position % 25])), -1);
            for (int byte = 1; byte < 256 && position < 25; ++byte) {
                std::string changed = original;
                changed[position] = static_cast<char>(byte);
                ASSERT_EQ(search(changed), sock_reference::row(changed.c_str())) << changed << " byte " << byte;
            }
        }
    }
    char buffer[] = "/var/spool/sockets/s_wsds\0trailing"; /* past the NUL is not the path */
    EXPECT_EQ(SockSendIndexSearch(buffer), 103);
}

/* A midnight record is stored as 1 ms: 0 would mark its slot free. */
TEST_F(JamLogTest, ListingIsInRowOrderNamesTheTableRowAndAMidnightRecordStands) {
    g_fakeNow = timeOfDay(0, 400);
    for (int row : {103, 0, 13})
        set(path(row), "/var/spool/sockets/x_srce", static_cast<unsigned long>(row), 1);
    set(path(0), "/var/spool/sockets/x_late", 9, 9);
    g_fakeNow = timeOfDay(86399, 999999);
    set("/tmp/elsewhere/zzzzf-wXYs", "/var/spool/sockets/x_srce", 101, 2); /* row 101 by its examined letters */
    EXPECT_EQ(lines(listing()), (std::vector<std::string>{
                                    "sock_send [x_srce]->[a_adrm]    time:[1 (ms)]    kindid:[0x0]    reqseqid:[0x1]",
                                    "sock_send [x_srce]->[f_chrm]    time:[1 (ms)]    kindid:[0xd]    reqseqid:[0x1]",
                                    "sock_send [x_srce]->[f_wsds]    time:[86399999 (ms)]    kindid:[0x65]    reqseqid:[0x2]",
                                    "sock_send [x_srce]->[s_wsds]    time:[1 (ms)]    kindid:[0x67]    reqseqid:[0x1]"}));
}

TEST_F(JamLogTest, ShortSourcePathRecordsShortOrEmptyNameAndNothingStale) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"/tmp/x", ""}, {"/var/spool/sockets/", ""}, {"/var/spool/sockets/a", "a"},
        {"/var/spool/sockets/a_j", "a_j"}, {"/var/spool/sockets/a_jobs_and_more", "a_jobs"}};
    for (const auto& [src, name] : cases) {
        set(path(7), "/var/spool/sockets/LONGNAME", 0, 0); /* stale bytes would show */
        clear(path(7));
        set(path(7), src, 0, 0);
        std::string expected = "sock_send [" + name + "]->[s_appm]    time:[";
        EXPECT_EQ(listing().substr(0, expected.size()), expected) << "source \"" << src << "\"";
        clear(path(7));
    }
}

TEST_F(JamLogTest, NullArgumentsPrintArgNullWhateverTheMaskAndLeaveTheSlot) {
    LIB_POW_setLogLevel(0);
    char dst[] = "/var/spool/sockets/n_jobs", src[] = "/var/spool/sockets/a_srce";
    const std::string setNull = "########## LIB_POW_setSockSendLog Arg NULL !!!\n";
    EXPECT_EQ(captureStdout([&] { LIB_POW_setSockSendLog(dst, nullptr, 1, 1); }), setNull);
    EXPECT_EQ(captureStdout([&] { LIB_POW_setSockSendLog(nullptr, src, 1, 1); }), setNull);
    EXPECT_EQ(listing(), "########## no jam log.  SockSendJamLog\n");
    LIB_POW_setSockSendLog(dst, src, 5, 6);
    EXPECT_EQ(captureStdout([] { LIB_POW_clearSockSendLog(nullptr); }), "########## LIB_POW_clearSockSendLog Arg NULL !!!\n");
    EXPECT_NE(listing().find("[a_srce]->[n_jobs]"), std::string::npos);
}
