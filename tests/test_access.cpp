/* Access control with real users (children that drop to unprivileged ids): a device made for a group is
 * usable by its members and by nobody else, another user's object in any of the six places is refused, and a
 * sweep by a member who may not signal a live holder releases it, the rule the library keeps. Needs root to
 * become those users. */
#include "support.h"

#include "LIB_POW_owner_internal.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace libpow_test;
using Lines = std::vector<std::string>;

namespace {

constexpr uid_t kMember = 51001, kOtherMember = 51002, kOutsider = 51003;
constexpr gid_t kGroup = 51000;

class Access : public LibPowTest {
protected:
    LIB_POW_Names names = device.names.kit();
    LIB_POW_OwnerError error = {};
    int create(int reset, const char* group = "51000", unsigned mode = 0) {
        LIB_POW_CreateOptions options = {reset, 0, 1000, group, mode, nullptr};
        return LIB_POW_ownerCreate(&names, &options, &error);
    }
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "only root can act as the other users";
        ASSERT_EQ(create(0), 0) << error.text;
    }
};

TEST_F(Access, ProcessesAreJudgedByTheirIdsAndTheModeAndNamedEndedWhenGone) {
    Gate ready, leave;
    pid_t member = startAs(kMember, true, [&] { return ready.open(), leave.wait(), 0; });
    ready.wait(); /* a user: the owner, anyone where the mode lets others, a member only where it lets the group */
    EXPECT_EQ(std::vector<bool>({processMayUse(member, kMember, 0, 0600), processMayUse(member, 0, 0, 0606),
                                 processMayUse(member, 0, 0, 0664), processMayUse(member, 0, kGroup, 0600)}),
              std::vector<bool>({true, true, false, false}));
    leave.open();
    EXPECT_EQ(waitChild(member), 0);
    EXPECT_FALSE(processMayUse(member, 0, 0, 0666)) << "one that is gone";
    EXPECT_EQ(processList({getpid(), member}), "pid " + std::to_string(getpid()) + " (" + processName(getpid()) + "), pid " +
                                                   std::to_string(member) + " (ended)");
}

TEST_F(Access, MembersReserveSwitchADayAndLockTheReadyFlag) {
    EXPECT_EQ(runAs(kMember, true, [] {
                  EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 1);
                  EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2030, 1, 2, true), 0);
                  SemId ready = LIB_POW_Lock_HddReadyFlag();
                  EXPECT_NE(ready, nullptr);
                  LIB_POW_UnLock_HddReadyFlag(ready);
                  return 0;
              }),
              0);
    EXPECT_EQ(device.pwr()->DelayTaskNum, 1);
    EXPECT_EQ(device.nvd()->ul_DateOnBits[30 * 12][0], 0x04);
}

TEST_F(Access, AnOutsiderIsRefusedEveryObjectAndChangesNoByte) {
    auto pwr = bytesOf(device.pwr()), nvd = bytesOf(device.nvd()), semLog = bytesOf(device.semLog());
    EXPECT_EQ(runAs(kOutsider, false, [] {
                  Lines trace = traceAt(1, [] {
                      EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1);
                      EXPECT_FALSE(LIB_POW_IsPowerSaveDelay());
                      EXPECT_FALSE(LIB_POW_isHddReady());
                      EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true));
                      LIB_POW_resetPowerSaveDelay(1);
                      bool on = false;
                      EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2030, 1, 2, &on), -1);
                      LIB_POW_setHddReady(true);
                      LIB_POW_putResetAutoSleepTimer();
                      EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 0);
                      EXPECT_FALSE(LIB_POW_IsHddSleepDelay());
                      EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2030, 1, 2, true), -1);
                      EXPECT_EQ(LIB_POW_Lock_HddReadyFlag(), nullptr);
                      EXPECT_EQ(GetShm(LIBPOW_SHM_PWR, kPwrAreaSize, 0666), nullptr);
                      EXPECT_EQ(LIB_POW_getLogShmPtr(), nullptr);
                  });
                  const std::string denied = " Failed! errno=13[Permission denied]";
                  EXPECT_EQ(trace.front(), "lock PLAT_semBCreate(Name=sem_POW_Shm_SemName)" + denied);
                  EXPECT_NE(std::find(trace.begin(), trace.end(),
                                      "lock PLAT_semBCreate(Name=sem_NVD_Shm_SemName)" + denied),
                            trace.end());
                  EXPECT_EQ(trace.back(), "GetShm shm_open(Key=/shm_PWR_SharedArea)" + denied);
                  return 0;
              }),
              0);
    EXPECT_EQ(differences(pwr, bytesOf(device.pwr())), Lines{});
    EXPECT_EQ(differences(nvd, bytesOf(device.nvd())), Lines{});
    EXPECT_EQ(differences(semLog, bytesOf(device.semLog())), Lines{});
}

/* Another user's object at any of the six names, made before the service (a client's first lock makes the
 * semaphores): root adopts a whole one in place, the same object with its owner, group and mode; one that a
 * process outside the group still has is not taken over, and is replaced only by force; a link is refused and
 * replaced by a reset; a service that is not root may take over nothing. */
TEST_F(Access, AnotherUsersObjectIsAdoptedInPlaceOrReplacedOnlyWhileNobodyOutsideHasIt) {
    struct Place {
        std::string name, path;
        bool semaphore;
    };
    const Place places[] = {{device.names.pwr, "/dev/shm" + device.names.pwr, false},
                            {device.names.nvd, "/dev/shm" + device.names.nvd, false},
                            {device.names.semLog, "/dev/shm" + device.names.semLog, false},
                            {device.names.semPow, "/dev/shm/PLAT_sem." + device.names.semPow, true},
                            {device.names.semNvd, "/dev/shm/PLAT_sem." + device.names.semNvd, true},
                            {device.names.semRdy, "/dev/shm/PLAT_sem." + device.names.semRdy, true}};
    enum Squat { kWhole, kLink, kHeld };
    for (Squat squat : {kWhole, kLink, kHeld}) {
    for (const Place& place : places) {
        SCOPED_TRACE(place.name + " squat " + std::to_string(squat));
        ASSERT_EQ(LIB_POW_ownerRemove(&names, &error), 0) << error.text;
        Gate leave;
        pid_t squatter = startAs(kOutsider, false, [&] { /* before the service starts */
            pthread_setname_np(pthread_self(), "squat ter"); /* a name with a space, as messages give it */
            if (squat == kLink)
                return symlink("/tmp/elsewhere", place.path.c_str());
            bool made = place.semaphore ? PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(place.name.c_str())) != nullptr
                                        : ftruncate(shm_open(place.name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644), 8004) == 0;
            if (squat == kHeld) /* the squatter keeps it (a semaphore stays mapped) */
                leave.wait();
            return made ? 0 : 1;
        });
        if (squat != kHeld) {
            ASSERT_EQ(waitChild(squatter), 0);
        }
        struct stat was = {}, now = {};
        for (int n = 0; n < 500 && lstat(place.path.c_str(), &was) != 0; ++n)
            usleep(10000);
        int rc = create(0);
        if (squat == kWhole) {
            ASSERT_EQ(rc, 0) << error.text;
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(error.code, EEXIST);
            EXPECT_NE(std::string(error.text).find(squat == kLink ? " is a symbolic link, not a regular file (owner 51003"
                                                                  : " belongs to 51003 (owner 51003"),
                      std::string::npos) << error.text;
            EXPECT_EQ(create(1), squat == kHeld ? -1 : 0) << error.text;
            if (squat == kHeld) {
                EXPECT_EQ(error.code, EBUSY);
                EXPECT_NE(std::string(error.text).find("in use by pid " + std::to_string(squatter) + " (squat ter)"), std::string::npos)
                    << error.text;
                LIB_POW_SetUpOptions forced = {{1, 0, 1000, "51000", 0, nullptr}, 0, 1, nullptr, nullptr, nullptr};
                ASSERT_EQ(LIB_POW_ownerSetUp(&names, &forced, &error), 0) << error.text;
                leave.open();
                EXPECT_EQ(waitChild(squatter), 0);
            }
        }
        ASSERT_EQ(stat(place.path.c_str(), &now), 0);
        EXPECT_EQ((std::vector<unsigned>{now.st_uid, now.st_gid, now.st_mode & 07777u}),
                  (std::vector<unsigned>{0, kGroup, 0660}));
        EXPECT_EQ(was.st_ino == now.st_ino, squat == kWhole) << "adopted as a new object, or replaced in place";
    }
    }
    /* A holder in the group by its own (primary) group is not shut out. */
    ASSERT_EQ(LIB_POW_ownerRemove(&names, &error), 0) << error.text;
    Gate leave;
    pid_t holder = startChild([&] {
        bool in = setgroups(0, nullptr) == 0 && setresgid(kGroup, kGroup, kGroup) == 0 && setresuid(kMember, kMember, kMember) == 0;
        int made = in ? ftruncate(shm_open(places[0].name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644), 8004) : 90;
        leave.wait();
        return made;
    });
    for (int n = 0; n < 500 && access(places[0].path.c_str(), F_OK) != 0; ++n)
        usleep(10000);
    EXPECT_EQ(create(0), 0) << error.text;
    leave.open();
    EXPECT_EQ(waitChild(holder), 0);
    EXPECT_EQ(create(0, "51000", 0666), -1);
    EXPECT_EQ(std::string(error.text), "mode 0666 lets other users in beside the group: give one like 0660");
    ASSERT_EQ(chmod(places[0].path.c_str(), 0666), 0);
    ASSERT_EQ(create(0), 0) << error.text; /* our own object: the group's mode again, in place */
    struct stat st;
    ASSERT_EQ(stat(places[0].path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777u, 0660u);
    ASSERT_EQ(LIB_POW_ownerRemove(&names, &error), 0) << error.text; /* a service that is not root */
    ASSERT_EQ(runAs(kOutsider, false, [&] { return symlink("/tmp/elsewhere", places[1].path.c_str()); }), 0);
    ASSERT_EQ(runAs(kOutsider, false, [&] { return PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(names.semPow)) ? 0 : 1; }), 0);
    EXPECT_EQ(runAs(kMember, true, [&] {
                  EXPECT_EQ(create(0), -1);
                  EXPECT_NE(std::string(error.text).find("belongs to 51003, not to this service's user 51001"),
                            std::string::npos) << error.text;
                  EXPECT_EQ(create(1), -1);
                  EXPECT_NE(std::string(error.text).find("cannot remove semaphore " + device.names.semPow +
                                                         " (owner 51003, mode 0666): in the sticky /dev/shm only "
                                                         "its owner or root may; remove it as root"),
                            std::string::npos) << error.text;
                  return 0;
              }),
              0);
}

TEST_F(Access, ASweepByAMemberWhoMayNotSignalTheHolderReleasesItsLiveIndex) {
    Gate leave;
    int* index = sharedBlock<int>();
    pid_t holder = startAs(kMember, true, [&] {
        *index = LIB_POW_setPowerSaveDelay(-1);
        leave.wait();
        return 0;
    });
    for (int n = 0; n < 500 && __atomic_load_n(index, __ATOMIC_SEQ_CST) == 0; ++n)
        usleep(10000);
    ASSERT_EQ(*index, 1);
    ASSERT_EQ(kill(holder, 0), 0);
    EXPECT_EQ(runAs(kOtherMember, true, [] { return LIB_POW_IsHddSleepDelay() ? 1 : 0; }), 0);
    EXPECT_EQ(device.pwr()->sl_DelayPid[1], 0) << "kill(pid, 0) failing with EPERM no longer counts as an ended holder";
    EXPECT_EQ(device.pwr()->DelayTaskNum, 0);
    leave.open();
    EXPECT_EQ(waitChild(holder), 0);
}

} // namespace
