// Tests of the platform semaphore layer. Most cases need a second process,
// because "device-wide" and "robust" only mean something across processes.
// Every child is forked, guarded by alarm(), ends with _exit and is reaped
// with a bounded wait; every name carries our pid and a counter.

#include <PLAT_semLib.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWaitMs = 20000;  // generous: qemu runs children slowly

std::string uniqueName() {
    static std::atomic<int> counter{0};
    return "plat_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

SemId make(const std::string& name) {
    return PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(name.c_str()));
}

std::string show(SemId sem, int level) {
    testing::internal::CaptureStdout();
    PLAT_semShow(sem, level);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Parses the recovery count out of the level 1 line; -1 when absent.
long recoveries(SemId sem) {
    unsigned n = 0;
    std::string line = show(sem, 1);
    return sscanf(line.c_str(), "  recovered from dead holder: %u times", &n) == 1 ? long(n) : -1;
}

bool tookFailedWith(int rc, int err) { return rc == -1 && PLAT_errnoGet() == err; }

// A pipe for one-byte signals between parent and children.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(0, pipe(fd)); }
    ~Pipe() { closeRead(), closeWrite(); }
    void closeRead() { if (fd[0] >= 0) close(fd[0]), fd[0] = -1; }
    void closeWrite() { if (fd[1] >= 0) close(fd[1]), fd[1] = -1; }
    bool send(char c = 'x') { return write(fd[1], &c, 1) == 1; }
    // Waits up to ms for a byte (true) or EOF/timeout (false).
    bool recv(int ms = kWaitMs) {
        pollfd p{fd[0], POLLIN, 0};
        char c;
        return poll(&p, 1, ms) == 1 && read(fd[0], &c, 1) == 1;
    }
    // Waits for every writer to close: the start gun for a race.
    bool awaitClose(int ms = kWaitMs) {
        pollfd p{fd[0], POLLIN, 0};
        char c;
        return poll(&p, 1, ms) == 1 && read(fd[0], &c, 1) == 0;
    }
};

pid_t spawn(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(kWaitMs / 1000 + 10);  // a wedged child must not outlive the test
        _exit(body());
    }
    return pid;
}

// Raw wait status, or -1 if the child had to be killed for running too long.
int reap(pid_t pid) {
    int status = 0;
    auto deadline = Clock::now() + milliseconds(kWaitMs + 15000);
    while (Clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        usleep(1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

int exitCode(pid_t pid) {
    int status = reap(pid);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Shared memory that forked children can write and the parent can read.
template <typename T>
T* sharedBlock() {
    void* p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : new (p) T();
}

class PlatSem : public testing::Test {
protected:
    std::string fresh() {
        names_.push_back(uniqueName());
        return names_.back();
    }
    void TearDown() override {
        for (auto& n : names_) PLAT_semRemove(n.c_str());
    }
    std::vector<std::string> names_;
};

// ---- naming: one name, one semaphore, whoever asks ----

TEST_F(PlatSem, SameNameInAnotherProcessIsTheSameSemaphore) {
    std::string name = fresh();
    Pipe held, go;
    pid_t child = spawn([&] {
        SemId s = make(name);
        if (s == nullptr || PLAT_semTake(s, -1) != 0) return 1;
        held.send();
        go.recv();
        return PLAT_semGive(s) == 0 ? 0 : 2;
    });
    ASSERT_TRUE(held.recv());
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(tookFailedWith(PLAT_semTake(s, 0), EAGAIN));
    EXPECT_EQ("  sem \"" + name + "\": held by pid " + std::to_string(child) + "\n", show(s, 0));
    go.send();
    EXPECT_EQ(0, exitCode(child));
    EXPECT_EQ(0, PLAT_semTake(s, 5000));
    EXPECT_EQ(0, PLAT_semGive(s));
}

TEST_F(PlatSem, CreatingAnExistingSemaphoreKeepsItHeld) {
    std::string name = fresh();
    SemId first = make(name);
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(0, PLAT_semTake(first, -1));
    pid_t child = spawn([&] {
        SemId s = make(name);
        return s != nullptr && tookFailedWith(PLAT_semTake(s, 0), EAGAIN) ? 0 : 1;
    });
    EXPECT_EQ(0, exitCode(child));
    // One mapping per object and process: 32-bit glibc cannot unlock a robust
    // mutex through another mapping than the one it was locked through.
    SemId second = make(name);
    EXPECT_EQ(first, second);
    int otherThread = 0;
    std::thread([&] { otherThread = PLAT_semTake(second, 0); }).join();
    EXPECT_EQ(-1, otherThread);
    EXPECT_EQ(0, PLAT_semGive(second));
    EXPECT_EQ(0, PLAT_semTake(first, 0));
    EXPECT_EQ(0, PLAT_semGive(first));
}

TEST_F(PlatSem, ThreadsCreatingOneNameGetOneHandle) {
    std::string name = fresh();
    std::atomic<bool> go{false};
    SemId got[4] = {};
    std::vector<std::thread> threads;
    for (SemId& slot : got)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            slot = make(name);
        });
    go = true;
    for (auto& t : threads) t.join();
    ASSERT_NE(nullptr, got[0]);
    for (SemId s : got) EXPECT_EQ(got[0], s);
}

TEST_F(PlatSem, ConcurrentCreatorsAllReachOneObject) {
    constexpr int kProcs = 4;
    std::string name = fresh();
    Pipe start, created, check;
    std::vector<pid_t> kids;
    for (int i = 0; i < kProcs; ++i) {
        kids.push_back(spawn([&] {
            start.closeWrite(), check.closeWrite();
            if (!start.awaitClose()) return 1;
            SemId s = make(name);
            if (s == nullptr) return 2;
            created.send();
            if (!check.awaitClose()) return 3;
            // The parent holds it now; a creator left with its own object would get in.
            return tookFailedWith(PLAT_semTake(s, 0), EAGAIN) ? 0 : 4;
        }));
    }
    start.closeWrite();
    int ready = 0;
    while (ready < kProcs && created.recv()) ++ready;
    EXPECT_EQ(kProcs, ready);
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    ASSERT_EQ(0, PLAT_semTake(s, 0));
    check.closeWrite();
    for (pid_t k : kids) EXPECT_EQ(0, exitCode(k));
    EXPECT_EQ(0, PLAT_semGive(s));
}

TEST_F(PlatSem, RemoveDetachesTheNameFromOldHandles) {
    std::string name = fresh();
    SemId old = make(name);
    ASSERT_NE(nullptr, old);
    ASSERT_EQ(0, PLAT_semTake(old, 0));
    ASSERT_EQ(0, PLAT_semRemove(name.c_str()));
    SemId renewed = make(name);
    ASSERT_NE(nullptr, renewed);
    EXPECT_NE(old, renewed);
    EXPECT_EQ(0, PLAT_semTake(renewed, 0));
    EXPECT_EQ(0, PLAT_semGive(renewed));
    EXPECT_EQ(0, PLAT_semGive(old));
    ASSERT_EQ(0, PLAT_semRemove(name.c_str()));
    EXPECT_TRUE(tookFailedWith(PLAT_semRemove(name.c_str()), ENOENT));
}

TEST_F(PlatSem, ForeignObjectUnderOurNameIsRejected) {
    // A child makes a real one, so this process has never mapped it and must
    // judge the damaged object on its own merits.
    std::string name = fresh();
    ASSERT_EQ(0, exitCode(spawn([&] { return make(name) != nullptr ? 0 : 1; })));
    std::string path = "/dev/shm/PLAT_sem." + name;
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const unsigned zero = 0;
    ASSERT_EQ(ssize_t(sizeof zero), pwrite(fd, &zero, sizeof zero, 0));  // wipe the magic
    EXPECT_EQ(nullptr, make(name));
    EXPECT_EQ(EINVAL, PLAT_errnoGet());
    ASSERT_EQ(0, ftruncate(fd, 4096));
    close(fd);
    EXPECT_EQ(nullptr, make(name));
    EXPECT_EQ(EINVAL, PLAT_errnoGet());
}

// ---- binary: never two holders ----

TEST_F(PlatSem, ProcessesNeverHoldItTogether) {
    constexpr int kProcs = 3, kRounds = 3000;
    struct Shared {
        volatile long counter;
        volatile int inside;
        volatile int overlaps;
        long rounds[kProcs];
    };
    Shared* sh = sharedBlock<Shared>();
    ASSERT_NE(nullptr, sh);
    std::string name = fresh();
    ASSERT_NE(nullptr, make(name));
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        kids.push_back(spawn([&, p] {
            SemId s = make(name);
            auto until = Clock::now() + std::chrono::seconds(3);
            for (int i = 0; i < kRounds && Clock::now() < until; ++i) {
                if (s == nullptr || PLAT_semTake(s, 5000) != 0) return 1;
                if (sh->inside != 0) sh->overlaps = sh->overlaps + 1;
                sh->inside = sh->inside + 1;
                long c = sh->counter;
                if (i % 16 == 0) sched_yield();  // widen the window a second holder would use
                sh->counter = c + 1;
                sh->inside = sh->inside - 1;
                sh->rounds[p] = i + 1;
                if (PLAT_semGive(s) != 0) return 2;
            }
            return 0;
        }));
    }
    long total = 0;
    for (int p = 0; p < kProcs; ++p) {
        EXPECT_EQ(0, exitCode(kids[p]));
        total += sh->rounds[p];
    }
    EXPECT_GT(total, 0);
    EXPECT_EQ(total, sh->counter);
    EXPECT_EQ(0, sh->overlaps);
    munmap(sh, sizeof(Shared));
}

// ---- timeouts ----

TEST_F(PlatSem, TakeTimeoutsWhileAnotherThreadHolds) {
    SemId s = make(fresh());
    ASSERT_NE(nullptr, s);
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        if (PLAT_semTake(s, -1) != 0) return;
        held = true;
        auto until = Clock::now() + milliseconds(kWaitMs);
        while (!release && Clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(milliseconds(30));
        PLAT_semGive(s);
    });
    auto until = Clock::now() + milliseconds(kWaitMs);
    while (!held && Clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
    ASSERT_TRUE(held);

    EXPECT_TRUE(tookFailedWith(PLAT_semTake(s, 0), EAGAIN));
    auto t0 = Clock::now();
    EXPECT_TRUE(tookFailedWith(PLAT_semTake(s, 50), ETIMEDOUT));
    EXPECT_GE(Clock::now() - t0, milliseconds(50));
    EXPECT_TRUE(tookFailedWith(PLAT_semTake(s, -2), EINVAL));

    // A timed take that outlasts the holder gets the semaphore.
    release = true;
    EXPECT_EQ(0, PLAT_semTake(s, kWaitMs));
    holder.join();
    EXPECT_EQ(0, PLAT_semGive(s));
}

// ---- give: only the holder ----

TEST_F(PlatSem, GiveByNonHolderIsRefusedAndChangesNothing) {
    std::string name = fresh();
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    EXPECT_TRUE(tookFailedWith(PLAT_semGive(s), EPERM));  // free: nobody may give
    ASSERT_EQ(0, PLAT_semTake(s, 0));

    int give = 0, err = 0, take = 0;
    std::thread([&] {
        give = PLAT_semGive(s);
        err = PLAT_errnoGet();
        take = PLAT_semTake(s, 0);
    }).join();
    EXPECT_EQ(-1, give);
    EXPECT_EQ(EPERM, err);
    EXPECT_EQ(-1, take);
    pid_t child = spawn([&] {
        SemId c = make(name);
        return c != nullptr && tookFailedWith(PLAT_semGive(c), EPERM) ? 0 : 1;
    });
    EXPECT_EQ(0, exitCode(child));
    EXPECT_EQ("  sem \"" + name + "\": held by pid " + std::to_string(getpid()) + "\n", show(s, 0));

    EXPECT_EQ(0, PLAT_semGive(s));
    EXPECT_TRUE(tookFailedWith(PLAT_semGive(s), EPERM));  // a second give is no give
}

// ---- arguments and error numbers ----

TEST_F(PlatSem, BadArgumentsFailWithTheirReason) {
    auto createFails = [](int options, sem_b_state st, const char* n, int err) {
        return PLAT_semBCreate(options, st, const_cast<char*>(n)) == nullptr && PLAT_errnoGet() == err;
    };
    std::string longest = fresh(), tooLong(201, 'n');
    longest.resize(200, 'n');
    names_.push_back(longest);
    EXPECT_TRUE(createFails(0, SEM_FULL, nullptr, EINVAL));
    EXPECT_TRUE(createFails(0, SEM_FULL, "", EINVAL));
    EXPECT_TRUE(createFails(0, SEM_FULL, "a/b", EINVAL));
    EXPECT_TRUE(createFails(0, SEM_FULL, tooLong.c_str(), ENAMETOOLONG));
    EXPECT_TRUE(createFails(1, SEM_FULL, "ok", EINVAL));
    EXPECT_TRUE(createFails(0, SEM_EMPTY, "ok", EINVAL));
    EXPECT_NE(nullptr, make(longest));
    EXPECT_TRUE(tookFailedWith(PLAT_semTake(nullptr, 0), EINVAL));
    EXPECT_TRUE(tookFailedWith(PLAT_semGive(nullptr), EINVAL));
    EXPECT_TRUE(tookFailedWith(PLAT_semRemove("a/b"), EINVAL));
}

TEST_F(PlatSem, ErrorNumberBelongsToTheFailingThread) {
    SemId s = make(fresh());
    ASSERT_NE(nullptr, s);
    ASSERT_EQ(-1, PLAT_semGive(nullptr));
    int seenByThread = 0;
    std::thread([&] {
        PLAT_semTake(nullptr, -3);
        PLAT_semRemove(std::string(300, 'x').c_str());
        seenByThread = PLAT_errnoGet();
    }).join();
    EXPECT_EQ(ENAMETOOLONG, seenByThread);
    EXPECT_EQ(EINVAL, PLAT_errnoGet());
    // Success does not wipe the last failure's reason.
    ASSERT_EQ(0, PLAT_semTake(s, 0));
    ASSERT_EQ(0, PLAT_semGive(s));
    EXPECT_EQ(EINVAL, PLAT_errnoGet());
}

// ---- show ----

TEST_F(PlatSem, ShowReportsStateHolderAndDetails) {
    std::string name = fresh();
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    std::string prefix = "  sem \"" + name + "\": ";
    EXPECT_EQ(prefix + "free\n", show(s, 0));
    ASSERT_EQ(0, PLAT_semTake(s, 0));
    EXPECT_EQ(prefix + "held by pid " + std::to_string(getpid()) + "\n", show(s, 0));
    ASSERT_EQ(0, PLAT_semGive(s));

    std::string robust = PLAT_semRobustSupported() ? "yes\n" : "no (dead holders are not recovered in this process)\n";
    EXPECT_EQ("  recovered from dead holder: 0 times; robust futexes: " + robust, show(s, 1));
    EXPECT_EQ("  sem: none (handle 0)\n", show(nullptr, 0));
    EXPECT_EQ("", show(nullptr, 1));
    EXPECT_EQ(0, PLAT_semShow(nullptr, 1));
    EXPECT_TRUE(tookFailedWith(PLAT_semShow(s, 2), EINVAL));
    EXPECT_TRUE(tookFailedWith(PLAT_semShow(nullptr, -1), EINVAL));
}

TEST_F(PlatSem, ShowMarksAHolderThatIsGone) {
    std::string name = fresh();
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    pid_t child = spawn([&] { return PLAT_semTake(make(name), 0) == 0 ? 0 : 1; });
    ASSERT_EQ(0, exitCode(child));
    EXPECT_EQ("  sem \"" + name + "\": held by pid " + std::to_string(child) + " (dead)\n", show(s, 0));
}

// ---- robustness: a dead holder does not wedge the semaphore ----

class PlatSemDeadHolder : public PlatSem, public testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        if (!PLAT_semRobustSupported())
            GTEST_SKIP() << "no robust futex list in this process (user-mode emulator?): "
                            "dead holders cannot be recovered here";
    }
};

TEST_P(PlatSemDeadHolder, KilledProcessIsRecoveredOnEveryTakePath) {
    std::string name = fresh();
    SemId s = make(name);
    ASSERT_NE(nullptr, s);
    long before = recoveries(s);
    ASSERT_GE(before, 0);
    Pipe held;
    pid_t child = spawn([&] {
        if (PLAT_semTake(make(name), -1) != 0) return 1;
        held.send();
        pause();  // killed here
        return 2;
    });
    ASSERT_TRUE(held.recv());
    kill(child, SIGKILL);
    int status = reap(child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    EXPECT_EQ(0, PLAT_semTake(s, GetParam()));
    EXPECT_EQ(before + 1, recoveries(s));
    EXPECT_EQ("  sem \"" + name + "\": held by pid " + std::to_string(getpid()) + "\n", show(s, 0));
    EXPECT_EQ(0, PLAT_semGive(s));
    // Recovered for good: the next round is an ordinary one.
    EXPECT_EQ(0, PLAT_semTake(s, 0));
    EXPECT_EQ(0, PLAT_semGive(s));
    EXPECT_EQ(before + 1, recoveries(s));
}

INSTANTIATE_TEST_SUITE_P(TakePaths, PlatSemDeadHolder, testing::Values(-1, 0, 200),
                         [](const testing::TestParamInfo<int>& i) {
                             return i.param < 0 ? std::string("Forever")
                                    : i.param == 0 ? std::string("NoWait") : std::string("Timed");
                         });

TEST_P(PlatSemDeadHolder, ExitedThreadIsRecovered) {
    SemId s = make(fresh());
    ASSERT_NE(nullptr, s);
    int took = -1;
    std::thread([&] { took = PLAT_semTake(s, -1); }).join();
    ASSERT_EQ(0, took);
    EXPECT_EQ(0, PLAT_semTake(s, GetParam()));
    EXPECT_EQ(1, recoveries(s));
    EXPECT_EQ(0, PLAT_semGive(s));
}

}  // namespace
