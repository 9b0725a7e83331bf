/* One object per name, whatever the order: the service and the clients started in random order (clients of
 * the service's user and, as root, members of the access group, whose first locks make the semaphores
 * themselves), and resets of every object while clients run. Afterwards every process maps the same object
 * for each of the six names (the inode in its /proc/PID/maps) and a counter that all of them raised under POW
 * is exact: two POW objects would lose raises. Runs in the kernel stage too, where the rounds are fewer (a
 * time budget) but still many. */
#include "support.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <random>
#include <sched.h>
#include <set>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace libpow_test;

namespace {

constexpr int kClients = 4, kRaises = 25;
constexpr uid_t kMembers[] = {51001, 51002};

struct Counter {
    int value;   /* raised under POW by everyone */
    int raised;  /* the raises every process counted for itself */
    int touched; /* processes that have used all six objects and raised */
    int stop;    /* raise until this is set (with `raises` 0) */
};

/* The six paths in /dev/shm, as the kernel names them in a process's maps. */
std::vector<std::string> objectPaths(const AreaNames& n) {
    return {"/dev/shm" + n.pwr,   "/dev/shm" + n.nvd, "/dev/shm" + n.semLog, "/dev/shm/PLAT_sem." + n.semPow,
            "/dev/shm/PLAT_sem." + n.semNvd, "/dev/shm/PLAT_sem." + n.semRdy};
}

/* The inodes of /dev/shm that process `pid` maps (a semaphore its maker
 * built unnamed shows under a scratch name: the inode is what counts). */
std::set<unsigned long> mappedInodes(pid_t pid) {
    struct stat shm = {};
    stat("/dev/shm", &shm);
    char device[32];
    snprintf(device, sizeof device, "%02x:%02x", major(shm.st_dev), minor(shm.st_dev));
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::set<unsigned long> inodes;
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, perms, offset, dev;
        unsigned long inode = 0;
        if (fields >> range >> perms >> offset >> dev >> inode && dev == device)
            inodes.insert(inode);
    }
    return inodes;
}

std::set<unsigned long> currentInodes(const std::vector<std::string>& paths) {
    std::set<unsigned long> inodes;
    for (const std::string& path : paths) {
        struct stat st = {};
        stat(path.c_str(), &st);
        inodes.insert(st.st_ino);
    }
    return inodes;
}

/* A device process: its first locks come before the areas may exist (each makes its semaphore when missing),
 * then it uses all six objects, retrying until the service has made them, and raises the counter `raises`
 * times (0: until told to stop) under POW with a read, a yield and a write, which two locks would split. */
int client(Counter* counter, int raises) {
    LIB_POW_setLogLevel(0); /* the attaches that fail until the service has made the areas */
    LIB_POW_UnLock_HddReadyFlag(LIB_POW_Lock_HddReadyFlag());
    bool ready = false;
    for (int tries = 0; tries < 2000 && !ready; ++tries) {
        ready = LIB_POW_setWeeklyTimerDateOn(2030, 1, 1, true) == 0 && LIB_POW_setPowerSaveDelay(-1) >= 0 &&
                LIB_POW_getLogShmPtr() != nullptr;
        if (!ready)
            usleep(2000);
    }
    if (!ready)
        return 2;
    int n = 0;
    for (; raises > 0 ? n < raises : !__atomic_load_n(&counter->stop, __ATOMIC_SEQ_CST); ++n) {
        LIB_POW_dbgSemLock(1);
        int value = __atomic_load_n(&counter->value, __ATOMIC_RELAXED);
        sched_yield();
        __atomic_store_n(&counter->value, value + 1, __ATOMIC_RELAXED);
        LIB_POW_dbgSemUnLock(1);
    }
    __atomic_fetch_add(&counter->raised, n, __ATOMIC_SEQ_CST);
    __atomic_fetch_add(&counter->touched, 1, __ATOMIC_SEQ_CST);
    return 0;
}

class BootOrder : public LibPowTest {
protected:
    LIB_POW_Names names = device.names.kit();
    bool root = geteuid() == 0;
    /* As the service makes them: for the access group when it runs as root. */
    LIB_POW_SetUpOptions service(int reset, unsigned remake) {
        return {{reset, getpid(), 5000, root ? "51000" : nullptr, 0, nullptr}, remake, 0, nullptr, nullptr, nullptr};
    }
    /* Starts one process of the round: the service (which then is a client too) or a client, as a member of
     * the group for every other client when root. */
    pid_t start(int which, Counter* counter, Gate& leave, unsigned delayUs, int raises = kRaises) {
        auto body = [=, this, &leave] {
            usleep(delayUs);
            LIB_POW_OwnerError error = {};
            LIB_POW_SetUpOptions o = service(0, 0);
            if (which == 0 && (LIB_POW_ownerSetUp(&names, &o, &error) != 0 ||
                               LIB_POW_ownerClaimIndex0(&names, getpid(), 5000, &error) != 0)) {
                ADD_FAILURE() << "the service could not set up: " << error.text;
                return 3;
            }
            int rc = client(counter, raises);
            leave.wait();
            return rc;
        };
        if (root && which % 2 == 1)
            return startAs(kMembers[which / 2 % 2], true, body);
        return startChild(body);
    }
    /* Every process maps the objects now at the six names, and the counter
     * holds every raise. */
    void expectOneObjectPerName(const std::vector<pid_t>& pids, Counter* counter, int processes) {
        for (int n = 0; n < 3000 && __atomic_load_n(&counter->touched, __ATOMIC_SEQ_CST) < processes; ++n)
            usleep(2000);
        ASSERT_EQ(counter->touched, processes) << "a process did not get the objects";
        std::set<unsigned long> now = currentInodes(objectPaths(device.names));
        for (pid_t pid : pids)
            EXPECT_EQ(mappedInodes(pid), now) << "pid " << pid << " maps other objects than the six named";
        EXPECT_EQ(counter->value, counter->raised) << "raises were lost: not every process took the same POW";
    }
};

TEST_F(BootOrder, ServiceAndClientsInAnyOrderEndOnOneObjectPerName) {
    std::mt19937 rng(std::random_device{}());
    auto started = std::chrono::steady_clock::now();
    double budget = 60; /* seconds: 50 rounds take about 3 s on the host */
    int rounds = 0;
    for (; rounds < 50 && std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() < budget;
         ++rounds) {
        SCOPED_TRACE("round " + std::to_string(rounds));
        ASSERT_EQ(LIB_POW_ownerRemove(&names, nullptr), 0);
        Counter* counter = sharedBlock<Counter>();
        Gate leave;
        std::vector<int> order = {0, 1, 2, 3, 4};
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<pid_t> pids;
        for (int which : order)
            pids.push_back(start(which, counter, leave, static_cast<unsigned>(rng() % 3000)));
        expectOneObjectPerName(pids, counter, kClients + 1);
        leave.open();
        for (pid_t pid : pids)
            EXPECT_EQ(waitChild(pid), 0);
        for (const std::string& path : objectPaths(device.names)) {
            struct stat st = {};
            EXPECT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777u, root ? 0660u : 0666u) << path << ": not the service's access";
        }
        ASSERT_FALSE(HasFailure());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("boot order: %d rounds of %d processes in %.1f s\n", rounds, kClients + 1, seconds);
    EXPECT_GE(rounds, 10) << "too few rounds within the time budget";
}

/* Resets of every object while clients raise the counter: areas rewritten in place, a semaphore a client made
 * first (another mode) adopted in place, a damaged one re-made in its own file, whole ones kept. */
TEST_F(BootOrder, ResetsUnderRunningClientsKeepThemOnOneLock) {
    Counter* counter = sharedBlock<Counter>();
    Gate leave;
    std::vector<pid_t> pids;
    for (int which = 1; which <= kClients; ++which)
        pids.push_back(start(which, counter, leave, 0, 0));
    usleep(20000); /* the clients' first locks make the semaphores */
    LIB_POW_OwnerError error = {};
    LIB_POW_SetUpOptions o = service(1, 0);
    ASSERT_EQ(LIB_POW_ownerSetUp(&names, &o, &error), 0) << error.text;
    std::string rdy = "/dev/shm/PLAT_sem." + device.names.semRdy;
    for (int reset = 0; reset < 5; ++reset) {
        ASSERT_EQ(chmod(("/dev/shm/PLAT_sem." + device.names.semPow).c_str(), 0666), 0);
        ASSERT_EQ(truncate(rdy.c_str(), 0), 0); /* nobody holds it now: the clients took it once */
        o = service(1, reset % 2 == 0 ? 0u : LIB_POW_OBJ_ALL);
        ASSERT_EQ(LIB_POW_ownerSetUp(&names, &o, &error), 0) << error.text;
        usleep(2000);
    }
    __atomic_store_n(&counter->stop, 1, __ATOMIC_SEQ_CST);
    expectOneObjectPerName(pids, counter, kClients);
    EXPECT_GT(counter->value, kClients) << "the clients hardly ran during the resets";
    leave.open();
    for (pid_t pid : pids)
        EXPECT_EQ(waitChild(pid), 0);
}

} // namespace
