#!/usr/bin/env bash
# The whole power service on this machine, with real processes: the area
# owner making its objects for a group, jobs that reserve and end (status
# names each holder: user, process, since when, command line), a job killed
# and reclaimed, damage the owner kit's audit names and the service mends,
# a wait for a held semaphore, the weekly timer, a jam log, a trace
# listing and the service's history. Runs on its own in under a minute
# and removes what it made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Run in a private /dev/shm when the machine allows it, so the demo never
# meets another user's objects; otherwise use the real one and clean up.
if [ -z "${LIBPOW_DEMO_INNER:-}" ] && unshare --mount true 2>/dev/null; then
  export LIBPOW_DEMO_INNER=1
  exec unshare --mount bash -c 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec bash "$0"' "$0"
fi

build=${LIBPOW_BUILD_ROOT:-$root/build}/demo
if [ -z "${LIBPOW_DEMO_NO_BUILD:-}" ]; then
  bash "$root/scripts/setup.sh"
  echo "building the library and its tools in $build ..."
  cmake -S "$root" -B "$build" -DLIBPOW_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target powsvc powctl >/dev/null
fi
export PATH="$build/tools:$PATH"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
pause() { sleep "${1:-1}"; }

# The service's pid file and history go to a runtime directory of its own
# user (on the device /run/powsvc); the demo's is a fresh one.
rundir=$(mktemp -d)
export POWSVC_RUN_DIR=$rundir/powsvc

service=""
cleanup() {
  if [ -n "$service" ]; then
    kill -CONT "$service" 2>/dev/null || true
    kill "$service" 2>/dev/null && wait "$service" 2>/dev/null
  fi
  powsvc remove --force || true
  rm -rf "$rundir"
}
trap cleanup EXIT

# The areas belong to a group when there is one to give them: "power" where
# the machine has it, else this user's own group.
group=$(getent group power >/dev/null && echo power || id -gn)
step "The service's areas and semaphores, made for the group $group (mode 0660)"
powsvc create --group "$group"
ls -l /dev/shm | grep -E 'shm_|PLAT_sem' | awk '{print "    " $1, $3, $4, $NF}'

step "The power service starts: it checks the areas and keeps delay index 0 for itself"
powsvc run --grace 2 --tick-ms 250 > >(sed -u 's/^/    [powsvc] /') 2>&1 &
service=$!
pause 1
powctl status

step "A job reserves a power-save delay (2 requests) and holds it for 3 s"
powctl delay reserve --count 2 --hold 3 &
job=$!
pause 1
powctl status
echo "  another process asks whether power saving is delayed (LIB_POW_IsPowerSaveDelay):"
powctl delay check
wait "$job"
echo "  the job is done; its reservations are counted off:"
powctl status

step "The service sees no delay for its grace period and would enter power saving"
pause 3

step "A job is killed while it holds a delay; the next sweep of any process reclaims its index"
powctl delay reserve --hold 60 &
job=$!
pause 1
# The service sweeps every second; pause it so that the sweep shown here is
# the one that finds the dead job.
kill -STOP "$service"
kill -9 "$job"; wait "$job" 2>/dev/null || true
echo "  job $job killed (service paused for a moment); its index still counts:"
powctl status
echo "  a sweep, traced at level 16, releases what it held:"
powctl --trace 0x10 sweep
echo "  and the none-reserved note is raised:"
powctl none-reserved peek
echo "  the owner kit's audit of the table (exit 0: no damage):"
powctl audit
kill -CONT "$service"

step "A job killed between two stores of a request leaves the total one above the counts"
# What a kill right after the total is raised leaves behind, written here by
# hand while the service is paused: without repair the device would never
# save power again.
kill -STOP "$service"
python3 - <<'PY'
import mmap, sys
with open("/dev/shm/shm_PWR_SharedArea", "r+b") as f, mmap.mmap(f.fileno(), 2060) as area:
    total = int.from_bytes(area[0:2], sys.byteorder, signed=True)
    area[0:2] = (total + 1).to_bytes(2, sys.byteorder, signed=True)
PY
powctl audit || echo "  (exit $?: damage found)"
echo "  the service mends it on its next tick:"
kill -CONT "$service"
pause 1
powctl audit

step "The first attach of a process, with the full trace mask"
powctl --trace 0x71 hdd-ready get

step "The three semaphores, while another process holds POW"
powctl sem hold 1 3 &
holder=$!
pause 0.5
powctl sem show
echo "  a command that needs POW says who holds it, and --timeout gives up:"
powctl --timeout 1 delay check || true
wait "$holder"

step "The weekly timer: switch a few days on, show the month, read one back from another process"
for day in 2026-12-07 2026-12-14 2026-12-21 2026-12-24; do powctl timer set "$day" on; done
powctl timer show 2026 12
echo "  read back by another process:"
powctl timer get 2026-12-24
echo "  an impossible date is refused with its reason:"
powctl timer set 2026-02-29 on || true

step "A jam log: sends recorded and not cleared, listed by destination"
powctl jamlog --send a_adrm=s_jobs:0x10:7 --send n_pwrs=a_appm:0x20:8 --send s_wsds=f_devm:0x30:9 --clear s_wsds

step "The semaphore trace area, as the service records it"
powsvc semlog add sem_POW_Shm_SemName take 1
powsvc semlog add sem_POW_Shm_SemName give 0
powsvc semlog add sem_NVD_Shm_SemName take 1
powctl semlog

step "The service stops; the areas stay until they are removed"
kill "$service"; wait "$service" 2>/dev/null || true
service=""
powctl status | head -2
echo "  what the service saw, from its history (the last lines):"
powctl history --lines 8
echo
echo "demo done"
