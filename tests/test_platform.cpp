// Tests of the platform semaphore layer. Most cases need a second process,
// because "device-wide" and "robust" only mean something across processes.
#include "support.h"

#include <PLAT_semLib.h>
#include "PLAT_semLib_internal.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <latch>
#include <signal.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace libpow_test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

SemId make(const std::string& name) { return PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(name.c_str())); }
std::string show(SemId sem, int level) { return captureStdout([&] { PLAT_semShow(sem, level); }); }
bool failedWith(int rc, int err) { return rc == -1 && PLAT_errnoGet() == err; }
std::string heldBy(const std::string& name, pid_t pid, const char* tail = "\n") {
    return "  sem \"" + name + "\": held by pid " + std::to_string(pid) + tail;
}

class PlatSem : public testing::Test {
protected:
    std::string fresh() { return names_.emplace_back(uniqueName("plat_test")); }
    void TearDown() override {
        for (auto& n : names_)
            PLAT_semRemove(n.c_str());
    }
    std::vector<std::string> names_;
};

} // namespace

TEST_F(PlatSem, OneNameIsOneHeldSemaphoreForEveryProcessAndThreadWithTimeoutsAndNoForeignGive) {
    std::string name = fresh();
    Gate held, go;
    pid_t child = startChild([&] {
        SemId s = make(name);
        if (s == nullptr || PLAT_semTake(s, -1) != 0)
            return 1;
        held.open();
        go.wait();
        std::this_thread::sleep_for(milliseconds(30));
        return PLAT_semGive(s) == 0 ? 0 : 2;
    });
    held.wait();
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(failedWith(PLAT_semTake(s, 0), EAGAIN));
    auto t0 = Clock::now();
    EXPECT_TRUE(failedWith(PLAT_semTake(s, 30), ETIMEDOUT)); /* shorter than one wake-up slice */
    EXPECT_GE(Clock::now() - t0, milliseconds(30));
    EXPECT_TRUE(failedWith(PLAT_semTake(s, -2), EINVAL));
    EXPECT_TRUE(failedWith(PLAT_semGive(s), EPERM));
    EXPECT_EQ(heldBy(name, child), show(s, 0));
    go.open(); /* a timed take that outlasts the holder gets it */
    EXPECT_EQ(0, PLAT_semTake(s, 5000));
    EXPECT_EQ(0, waitChild(child));
    // Created again while held: the same handle in this process (32-bit glibc
    // cannot unlock a robust mutex through another mapping), still held.
    EXPECT_EQ(s, make(name));
    EXPECT_EQ(0, runChild([&] { return failedWith(PLAT_semTake(make(name), 0), EAGAIN) ? 0 : 1; }));
    int give = 0, err = 0, take = 0;
    std::thread([&] { give = PLAT_semGive(s), err = PLAT_errnoGet(), take = PLAT_semTake(s, 0); }).join();
    EXPECT_EQ(std::make_tuple(-1, EPERM, -1), std::make_tuple(give, err, take)) << "another thread gave or took it";
    EXPECT_EQ(heldBy(name, getpid()), show(s, 0));
    EXPECT_EQ(0, PLAT_semGive(s));
    EXPECT_TRUE(failedWith(PLAT_semGive(s), EPERM)) << "a give of a free semaphore";

    std::latch start(4);
    SemId got[4] = {};
    std::vector<std::thread> threads;
    std::string other = fresh();
    for (SemId& slot : got)
        threads.emplace_back([&] {
            start.arrive_and_wait();
            slot = make(other);
        });
    for (auto& t : threads)
        t.join();
    ASSERT_NE(nullptr, got[0]);
    EXPECT_EQ(std::vector<SemId>(4, got[0]), std::vector<SemId>(got, got + 4));
    EXPECT_EQ(s, make(name)) << "each name comes back as its own semaphore";
}

TEST_F(PlatSem, ConcurrentCreatorsAllReachOneObject) {
    for (int round = 0; round < 8; ++round) { // a lost race is not met every time
        std::string name = fresh();
        Gate start, created, check; // created opens once every creator is through
        std::vector<pid_t> kids(4);
        for (pid_t& kid : kids)
            kid = startChild([&] {
                start.wait();
                SemId s = make(name);
                created.open();
                check.wait();
                // The parent holds it now; a creator left with its own object would get in.
                return s != nullptr && failedWith(PLAT_semTake(s, 0), EAGAIN) ? 0 : 1;
            });
        start.open();
        created.wait();
        SemId s = make(name);
        ASSERT_EQ(0, PLAT_semTake(s, 0));
        check.open();
        for (pid_t k : kids)
            EXPECT_EQ(0, waitChild(k)) << "round " << round;
        EXPECT_EQ(0, PLAT_semGive(s));
    }
}

std::vector<std::string> shmFiles(const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm"))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            found.push_back(entry.path().filename());
    return found;
}

TEST_F(PlatSem, CreatorKilledMidwayLeavesNoScrapFile) {
    std::string base = fresh() + ".";
    std::vector<std::string> scraps; /* of these children only: other tests make private files too */
    for (int round = 0; round < 5; ++round) {
        pid_t kid = startChild([&] {
            for (int i = 0;; ++i)
                make(base + std::to_string(i)), PLAT_semRemove((base + std::to_string(i)).c_str());
            return 0;
        });
        std::this_thread::sleep_for(milliseconds(20 + 7 * round));
        kill(kid, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, waitChild(kid));
        for (const std::string& scrap : shmFiles("PLAT_tmp." + std::to_string(kid) + "."))
            scraps.push_back(scrap);
    }
    EXPECT_EQ(scraps, std::vector<std::string>{});
    for (const std::string& file : shmFiles("PLAT_sem." + base))
        PLAT_semRemove(file.c_str() + strlen("PLAT_sem."));
}

// The head of the platform's record, to free the lock word behind its back.
struct RecordHead { uint32_t magic, size; pthread_mutex_t mutex; };

/* Writes all of `value`'s bytes (or all of the string's) at `at` in the file. */
template <typename T>
void writeAt(int fd, const T& value, off_t at) { EXPECT_EQ(pwrite(fd, &value, sizeof value, at), ssize_t(sizeof value)); }
void writeAt(int fd, const std::string& bytes, off_t at) { EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), at), ssize_t(bytes.size())); }

// Older kernels lose the wake-up of a sleeper now and then (when the woken
// process dies before it takes the lock). Here the holder frees the lock word
// without the wake-up a give sends: the sleeper must still notice in time.
TEST_F(PlatSem, SleeperWhoseWakeUpIsLostStillGetsTheFreedSemaphore) {
    std::string name = fresh();
    Gate held, asleep;
    pid_t holder = startChild([&] {
        SemId s = make(name);
        if (PLAT_semTake(s, -1) != 0)
            return 1;
        held.open();
        asleep.wait();
        std::this_thread::sleep_for(milliseconds(100)); // into the kernel's wait
        auto& data = reinterpret_cast<RecordHead*>(s)->mutex.__data;
        __atomic_store_n(&data.__owner, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&data.__lock, 0, __ATOMIC_RELEASE);
        return 0;
    });
    held.wait();
    pid_t sleeper = startChild([&] {
        SemId s = make(name);
        asleep.open();
        auto start = Clock::now();
        if (PLAT_semTake(s, -1) != 0)
            return 1;
        PLAT_semGive(s);
        return Clock::now() - start < std::chrono::seconds(2) ? 0 : 2;
    }, 10);
    asleep.open();
    EXPECT_EQ(0, waitChild(sleeper)) << "1: take failed, 2: took too long, 142: never woke";
    EXPECT_EQ(0, waitChild(holder));
}

TEST_F(PlatSem, BadNamesArgumentsAndForeignObjectsFailWithTheirReason) {
    std::string longest = fresh(), tooLong(201, 'n');
    longest.resize(200, 'n');
    names_.push_back(longest);
    const struct { int options; sem_b_state state; const char* name; int err; } cases[] = {
        {0, SEM_FULL, nullptr, EINVAL}, {0, SEM_FULL, "", EINVAL}, {0, SEM_FULL, "a/b", EINVAL},
        {0, SEM_FULL, tooLong.c_str(), ENAMETOOLONG}, {1, SEM_FULL, "ok", EINVAL}, {0, SEM_EMPTY, "ok", EINVAL}};
    for (const auto& c : cases)
        EXPECT_TRUE(PLAT_semBCreate(c.options, c.state, const_cast<char*>(c.name)) == nullptr && PLAT_errnoGet() == c.err)
            << (c.name ? c.name : "null") << " " << c.options << c.state;
    mode_t umaskBefore = umask(077); /* the object is for every user whatever the creator's umask */
    EXPECT_NE(nullptr, make(longest));
    umask(umaskBefore);
    EXPECT_EQ(std::filesystem::status("/dev/shm/PLAT_sem." + longest).permissions(), std::filesystem::perms(0666));
    std::string foreign = fresh(); /* the name's object, its size, but not our record */
    ASSERT_EQ(0, runChild([&] { return make(foreign) != nullptr ? 0 : 1; }));
    std::fstream("/dev/shm/PLAT_sem." + foreign, std::ios::in | std::ios::out | std::ios::binary).put('X');
    EXPECT_TRUE(make(foreign) == nullptr && PLAT_errnoGet() == EINVAL);
    std::string mine = fresh(); /* cut short, even one this process has mapped */
    ASSERT_TRUE(make(mine) != nullptr && truncate(("/dev/shm/PLAT_sem." + mine).c_str(), 10) == 0);
    EXPECT_TRUE(make(mine) == nullptr && PLAT_errnoGet() == EINVAL);
    std::string fifo = fresh();
    ASSERT_EQ(mkfifo(("/dev/shm/PLAT_sem." + fifo).c_str(), 0600), 0);
    EXPECT_TRUE(make(fifo) == nullptr && PLAT_errnoGet() == EINVAL) << "a FIFO at the name";
    struct stat st = {};
    for (const char* bad : {"", "a/b"}) /* every call judges the name itself */
        EXPECT_TRUE(PLAT_semOpen(bad) == nullptr && failedWith(PLAT_semStat(bad, &st), EINVAL) &&
                    failedWith(PLAT_semCheck(bad, nullptr, 0), EINVAL) && failedWith(PLAT_semRemake(bad), EINVAL));
    EXPECT_TRUE(failedWith(PLAT_semHolder(nullptr), EINVAL) && failedWith(PLAT_semTake(nullptr, 0), EINVAL) &&
                failedWith(PLAT_semGive(nullptr), EINVAL) && failedWith(PLAT_semRemove("a/b"), EINVAL));
    std::string link = fresh(); /* a link at a name is described, never followed */
    ASSERT_EQ(symlink(("/dev/shm/PLAT_sem." + foreign).c_str(), ("/dev/shm/PLAT_sem." + link).c_str()), 0);
    EXPECT_TRUE(PLAT_semStat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
}

TEST_F(PlatSem, ShowReportsStateHolderDeadHolderAndDetails) {
    std::string name = fresh();
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ("  sem \"" + name + "\": free\n", show(s, 0));
    std::string counted = "  recovered from dead holder: 0 times; robust futexes: ";
    g_platSys.getRobustList = [](int, void**, size_t*) { return errno = ENOSYS, -1L; }; /* a kernel without it */
    EXPECT_EQ(counted + "no (dead holders are not recovered in this process)\n", show(s, 1));
    g_platSys.getRobustList = [](int, void**, size_t*) { return errno = EPERM, -1L; }; /* refused, but there */
    EXPECT_EQ(counted + "yes\n", show(s, 1));
    g_platSys = kPlatRealSys;
    EXPECT_EQ("  sem: none (handle 0)\n", show(nullptr, 0));
    EXPECT_EQ("", show(nullptr, 1));
    EXPECT_EQ(0, PLAT_semShow(nullptr, 1));
    EXPECT_TRUE(failedWith(PLAT_semShow(s, 2), EINVAL));
    EXPECT_TRUE(failedWith(PLAT_semShow(nullptr, -1), EINVAL));
    pid_t child = startChild([&] { return PLAT_semTake(make(name), 0) == 0 ? 0 : 1; });
    ASSERT_EQ(0, waitChild(child));
    EXPECT_EQ(heldBy(name, child, " (dead)\n"), show(s, 0));
}

TEST_F(PlatSem, KilledProcessOrEndedThreadIsRecoveredOnEveryTakePath) {
    if (!PLAT_semRobustSupported())
        GTEST_SKIP() << "no robust futex list in this process (user-mode emulator?)";
    std::string name = fresh();
    SemId s = make(name);
    long before = semRecoveries(s);
    ASSERT_GE(before, 0);
    Gate held;
    pid_t child = startChild([&] {
        if (PLAT_semTake(make(name), -1) != 0)
            return 1;
        held.open();
        pause(); // killed here
        return 2;
    });
    held.wait();
    kill(child, SIGKILL);
    ASSERT_EQ(128 + SIGKILL, waitChild(child));
    EXPECT_EQ(0, PLAT_semTake(s, 0));
    EXPECT_EQ(heldBy(name, getpid()), show(s, 0));
    EXPECT_EQ(0, PLAT_semGive(s));
    ASSERT_EQ(0, PLAT_semTake(s, 0)); // recovered for good: an ordinary round (if not, the rest would wait)
    EXPECT_EQ(0, PLAT_semGive(s));
    for (int timeout : {200, -1}) { /* a thread that ended holding it */
        int took = -1;
        std::thread([&] { took = PLAT_semTake(s, -1); }).join();
        ASSERT_EQ(0, took);
        EXPECT_EQ(0, PLAT_semTake(s, timeout)) << timeout;
        EXPECT_EQ(0, PLAT_semGive(s));
    }
    EXPECT_EQ(before + 3, semRecoveries(s));
}

/* A semaphore's file damaged in each way a device meets: the check names it without mapping the file, and the
 * remake mends it in the same file, so a process that had it mapped before and one that opens it now take the
 * one same semaphore. A whole semaphore is never rewritten. */
TEST_F(PlatSem, DamagedRecordIsNamedAndRemadeInItsOwnFile) {
    pid_t gone = startChild([] { return 0; });
    waitChild(gone);
    const off_t kLockWord = 8, kOwnerField = 16; /* glibc's mutex: lock, count, owner, after magic and size */
    const struct { const char* damage; std::function<void(int fd, const std::string& other)> apply; const char* why; } cases[] = {
        {"cut", [](int fd, const std::string&) { EXPECT_EQ(0, ftruncate(fd, 0)); }, "is 0 bytes"},
        {"grown", [](int fd, const std::string&) { EXPECT_EQ(0, ftruncate(fd, 4096)); }, "is 4096 bytes"},
        {"garbage", [](int fd, const std::string&) { writeAt(fd, std::string(sizeof(int) * 8, '\x5a'), 0); }, "is not a semaphore record"},
        {"another build's size word", [](int fd, const std::string&) { writeAt(fd, uint32_t{1}, offsetof(RecordHead, size)); }, "is not a semaphore record"},
        {"another's record", [](int fd, const std::string& other) { /* a name this one begins */
             std::ifstream in("/dev/shm/PLAT_sem." + other, std::ios::binary);
             writeAt(fd, std::string(std::istreambuf_iterator<char>(in), {}), 0);
         }, "holds the record of"},
        {"another kind of lock", [](int fd, const std::string&) { /* a plain mutex: neither shared nor robust */
             writeAt(fd, int{PTHREAD_MUTEX_NORMAL}, offsetof(RecordHead, mutex) + offsetof(pthread_mutex_t, __data.__kind));
         }, "is not a shared robust mutex"},
        {"given up", [&](int fd, const std::string&) { writeAt(fd, int{0x7fffffff}, kOwnerField); }, "not recoverable"},
        {"held by a gone thread", [&](int fd, const std::string&) {
             writeAt(fd, int{gone}, kLockWord);
             writeAt(fd, int{gone}, kOwnerField);
         }, "which is gone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        std::string name = fresh(), path = "/dev/shm/PLAT_sem." + name, other = names_.emplace_back(name + "HddReady");
        ASSERT_NE(nullptr, make(other));
        SemId before = make(name);
        ASSERT_NE(nullptr, before);
        struct stat was = {}, now = {};
        int fd = open(path.c_str(), O_RDWR);
        ASSERT_EQ(0, fstat(fd, &was));
        c.apply(fd, other);
        close(fd);
        char why[200] = "";
        EXPECT_EQ(1, PLAT_semCheck(name.c_str(), why, sizeof why));
        EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
        EXPECT_EQ(0, PLAT_semRemake(name.c_str()));
        EXPECT_EQ(0, PLAT_semCheck(name.c_str(), why, sizeof why)) << why;
        EXPECT_EQ(0, stat(path.c_str(), &now));
        EXPECT_EQ(was.st_ino, now.st_ino) << "a new object split the semaphore";
        ASSERT_EQ(0, PLAT_semTake(before, 0)) << "the mapping made before does not see the mended record";
        EXPECT_EQ(0, runChild([&] { return failedWith(PLAT_semTake(make(name), 0), EAGAIN) ? 0 : 1; }))
            << "a new opener meets another semaphore";
        EXPECT_TRUE(failedWith(PLAT_semRemake(name.c_str()), EBUSY)) << "a whole, held semaphore was rewritten";
        EXPECT_EQ(0, PLAT_semGive(before));
    }
    g_platSys.pread = [](int, void*, size_t, off_t) -> ssize_t { return errno = 0, 4; }; /* cut just before the read */
    EXPECT_TRUE(failedWith(PLAT_semCheck(names_.back().c_str(), nullptr, 0), EIO));
    g_platSys = kPlatRealSys;
    EXPECT_TRUE(failedWith(PLAT_semCheck(fresh().c_str(), nullptr, 0), ENOENT));
    std::string fifo = fresh(); /* a FIFO at the name is named, and never written into */
    ASSERT_EQ(0, mkfifo(("/dev/shm/PLAT_sem." + fifo).c_str(), 0600));
    char why[200] = "";
    EXPECT_EQ(1, PLAT_semCheck(fifo.c_str(), why, sizeof why));
    EXPECT_STREQ("is not a regular file", why);
    EXPECT_TRUE(failedWith(PLAT_semRemake(fifo.c_str()), EINVAL));
}
