#!/usr/bin/env python3
"""The operator programs, run for real: powsvc makes the device's shared
objects, powctl reads and drives them, and every check looks at what an
operator would see (stdout, stderr, exit code) or at the objects themselves.

    test_tools.py POWCTL POWSVC [EMULATOR ARGS...]

The programs use the device's fixed object names, so the whole run moves
into a private mount namespace with its own tmpfs on /dev/shm first; when
the machine does not allow that, the run is skipped (exit 77). With an
emulator (the PowerPC build under qemu-ppc) every program is started
through it.
"""
import calendar
import json
import mmap
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

SKIP = 77
PRIVATE = "LIBPOW_TOOLS_PRIVATE_SHM"
SHM = "/dev/shm"
PWR = "shm_PWR_SharedArea"
NVD = "shm_NVD_SharedArea"
SEMLOG = "shm_LIB_POW_SemLogArea"
OFFSET_HDD_SLEEP_DELAY = 2058

STAMP = r"\d\d:\d\d:\d\d\.\d\d\d"
TRACE_LINE = re.compile(r"^LIB_PowerService\.cpp\(\d+\):(\w+) (.*)$")

POWCTL = POWSVC = None
EMULATOR = []
# Under the emulator each program start costs a good fraction of a second.
SLOW = 1


def enter_private_shm():
    """Re-runs this script in a mount namespace with a fresh /dev/shm."""
    here = os.readlink("/proc/self/ns/mnt")
    outer = os.environ.get(PRIVATE)
    if outer:
        # setUp empties /dev/shm: make sure it is the namespace's own.
        if outer == here:
            sys.exit("refusing to run: %s is set but /dev/shm is not private" % PRIVATE)
        return
    unshare = shutil.which("unshare")
    tried = []
    for extra in ([], ["--map-root-user"]):
        if unshare is None:
            break
        probe = subprocess.run([unshare, *extra, "--mount", "true"], capture_output=True)
        if probe.returncode == 0:
            os.environ[PRIVATE] = here
            inner = 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm || exit %d; exec "$@"' % SKIP
            os.execv(unshare, [unshare, *extra, "--mount", "sh", "-c", inner, "sh",
                               sys.executable, *sys.argv])
        tried.append(" ".join(["unshare", *extra, "--mount"]) + ": " +
                     probe.stderr.decode(errors="replace").strip())
    print("SKIP: the tool tests need a private /dev/shm (a mount namespace); "
          "not permitted here: " + ("; ".join(tried) or "unshare not found"))
    sys.exit(SKIP)


def command(program, args):
    return [*EMULATOR, program, *[str(a) for a in args]]


def run(program, *args, timeout=20):
    return subprocess.run(command(program, args), capture_output=True, text=True,
                          timeout=timeout * SLOW)


def powctl(*args, **kw):
    return run(POWCTL, *args, **kw)


def powsvc(*args, **kw):
    return run(POWSVC, *args, **kw)


class Running:
    """A program left running, its stdout collected line by line."""

    def __init__(self, program, *args):
        self.proc = subprocess.Popen(command(program, args), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.lines = []
        self._new = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self._new.put(line.rstrip("\n"))
        self._new.put(None)

    def wait_line(self, pattern, timeout=10, since=0):
        """The first line from position `since` on (seen already or arriving
        now) that matches pattern; fails after timeout."""
        rx = re.compile(pattern)
        for line in self.lines[since:]:
            if rx.search(line):
                return line
        end = time.monotonic() + timeout * SLOW
        while time.monotonic() < end:
            try:
                line = self._new.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            self.lines.append(line)
            if rx.search(line):
                return line
        raise AssertionError("no line matching %r within %ss; got:\n%s" %
                             (pattern, timeout * SLOW, "\n".join(self.lines)))

    def stop(self, sig=signal.SIGTERM, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=timeout * SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self._reader.join(timeout=5)
        while True:
            try:
                line = self._new.get_nowait()
            except queue.Empty:
                break
            if line is not None:
                self.lines.append(line)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return rc


def status():
    out = powctl("status", "--json")
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def held(snapshot):
    return {h["index"]: h for h in snapshot["held"]}


def eventually(predicate, timeout=5):
    end = time.monotonic() + timeout * SLOW
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    return predicate()


def program_names(name):
    # Under user-mode emulation the kernel sees the emulator, not the program.
    return {name, os.path.basename(EMULATOR[0])[:15]} if EMULATOR else {name}


class ToolTest(unittest.TestCase):
    """Each test starts from an empty private /dev/shm (and, unless it says
    otherwise, with the areas made as the service makes them)."""

    make_areas = True

    def setUp(self):
        for name in os.listdir(SHM):
            os.unlink(os.path.join(SHM, name))
        self.running = []
        if self.make_areas:
            out = powsvc("create", "--index0-pid", os.getpid())
            self.assertEqual(out.returncode, 0, out.stderr)

    def tearDown(self):
        for program in self.running:
            program.stop(signal.SIGKILL)

    def start(self, program, *args):
        r = Running(program, *args)
        self.running.append(r)
        return r

    def assertOk(self, out):
        self.assertEqual(out.returncode, 0, "stdout:\n%s\nstderr:\n%s" % (out.stdout, out.stderr))
        return out.stdout

    def assertUsage(self, out, *named):
        """Exit 2 and one line on stderr that names the bad argument."""
        self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
        lines = out.stderr.splitlines()
        self.assertEqual(len(lines), 1, out.stderr)
        for text in named:
            self.assertIn(text, lines[0])
        return lines[0]


class StatusTest(ToolTest):
    def test_status_lists_each_holder_with_pid_name_liveness_and_count(self):
        job = self.start(POWCTL, "delay", "reserve", "--count", "3", "--hold", "60")
        index = int(re.search(r"reserved delay index (\d+)", job.wait_line("reserved delay index")).group(1))
        ended = powctl("delay", "reserve", "--count", "2", "--no-release")
        self.assertOk(ended)
        ended_index = int(re.search(r"index (\d+)", ended.stdout).group(1))

        text = self.assertOk(powctl("status"))
        self.assertIn("delay total: 5 (power saving is delayed)", text)
        self.assertIn("free-index stack depth: 253", text)
        self.assertIn("flags: hdd-ready=0 reset-timer=0x0 none-reserved=0 hdd-sleep-delay=0", text)
        rows = {int(m.group(1)): m.groups() for m in
                re.finditer(r"^\s+(\d+)\s+(\d+)\s+(\S+)\s+(running|ended)\s+(-?\d+)$", text, re.M)}
        self.assertEqual(rows[0][1:2] + rows[0][3:], (str(os.getpid()), "running", "0"))
        self.assertEqual(rows[index][1], str(job.proc.pid))
        self.assertIn(rows[index][2], program_names("powctl"))
        self.assertEqual(rows[index][3:], ("running", "3"))
        self.assertEqual(rows[ended_index][3:], ("ended", "2"))

        snap = status()
        self.assertEqual((snap["total"], snap["free_depth"]), (5, 253))
        self.assertEqual(snap["flags"], {"hdd_ready": False, "reset_timer": 0, "none_reserved": False,
                                         "hdd_sleep_delay": False})
        h = held(snap)
        self.assertEqual(sorted(h), sorted([0, index, ended_index]))
        self.assertEqual((h[index]["pid"], h[index]["running"], h[index]["count"]), (job.proc.pid, True, 3))
        self.assertIn(h[index]["process"], program_names("powctl"))
        self.assertEqual((h[ended_index]["running"], h[ended_index]["count"]), (False, 2))

        self.assertEqual(job.stop(signal.SIGTERM), 0)
        self.assertEqual(status()["total"], 2)


class WatchTest(ToolTest):
    def test_watch_prints_each_change_as_a_timestamped_line_and_stops_when_told(self):
        seconds = 4 * SLOW
        watch = self.start(POWCTL, "watch", "--interval", "50", "--seconds", seconds)
        watch.wait_line(r"^%s watching /shm_PWR_SharedArea \(total 0, 1 held\)" % STAMP)
        self.assertOk(powctl("delay", "reserve", "--no-release"))
        watch.wait_line(r"total 0 -> 1: power saving delayed")
        self.assertOk(powctl("hdd-ready", "set", "1"))
        watch.wait_line(r"flag hdd-ready 0 -> 1")
        self.assertOk(powctl("sweep"))
        watch.wait_line(r"total 1 -> 0: nothing reserved")
        self.assertEqual(watch.proc.wait(timeout=seconds + 10 * SLOW), 0)
        watch.stop()
        events = watch.lines[1:]
        for line in events:
            self.assertRegex(line, r"^%s \S" % STAMP)
        text = "\n".join(events)
        self.assertRegex(text, r"index 1 taken by pid \d+")
        self.assertIn("index 1 released (was pid", text)
        self.assertIn("flag none-reserved 0 -> 1", text)
        order = [text.index(s) for s in ("taken by pid", "total 0 -> 1", "flag hdd-ready 0 -> 1",
                                         "index 1 released")]
        self.assertEqual(order, sorted(order))


class DelayTest(ToolTest):
    def test_reserve_counts_holds_then_resets_but_keeps_the_index(self):
        out = self.assertOk(powctl("delay", "reserve", "--count", "2", "--hold", "0.2"))
        m = re.search(r"^pid (\d+) reserved delay index 1, count 2$", out, re.M)
        self.assertIsNotNone(m, out)
        self.assertIn("pid %s reset index 1 2 time(s)" % m.group(1), out)
        snap = status()
        self.assertEqual(snap["total"], 0)
        self.assertEqual((held(snap)[1]["pid"], held(snap)[1]["count"]), (int(m.group(1)), 0))
        self.assertEqual(self.assertOk(powctl("none-reserved", "peek")).strip(), "1")

    def test_no_release_leaves_the_count_until_a_sweep_reclaims_it(self):
        out = self.assertOk(powctl("delay", "reserve", "--count", "3", "--no-release"))
        self.assertIn("exits without resetting index 1", out)
        pid = int(re.search(r"pid (\d+)", out).group(1))
        self.assertEqual(self.assertOk(powctl("delay", "check")).strip(), "delayed")
        snap = status()
        self.assertEqual((snap["total"], held(snap)[1]["count"], held(snap)[1]["running"]), (3, 3, False))

        swept = self.assertOk(powctl("--trace", "0x10", "sweep"))
        self.assertIn("resetPowerSaveDelayPid release index [pid=%d, index=1]" % pid, swept)
        snap = status()
        self.assertEqual((snap["total"], snap["free_depth"]), (0, 255))
        self.assertNotIn(1, held(snap))
        self.assertEqual(self.assertOk(powctl("delay", "check")).strip(), "not delayed")

    def test_set_reset_and_check_count_on_a_given_index(self):
        self.assertEqual(self.assertOk(powctl("delay", "set", "9")).strip(), "9")
        self.assertEqual(self.assertOk(powctl("delay", "set", "9")).strip(), "9")
        self.assertEqual(self.assertOk(powctl("delay", "check")).strip(), "delayed")
        self.assertOk(powctl("delay", "reset", "9"))
        self.assertEqual(status()["total"], 1)
        self.assertOk(powctl("delay", "reset", "9"))
        self.assertEqual(self.assertOk(powctl("delay", "check")).strip(), "not delayed")
        self.assertUsage(powctl("delay", "set", "256"), "INDEX", "256")
        self.assertUsage(powctl("delay", "reset", "x"), "INDEX", "x")


class SweepTest(ToolTest):
    def test_sweep_releases_ended_holders_only(self):
        live = self.start(POWCTL, "delay", "reserve", "--hold", "60")
        live.wait_line("reserved delay index 1")
        for _ in range(2):
            self.assertOk(powctl("delay", "reserve", "--count", "2", "--no-release"))
        self.assertEqual(status()["total"], 5)
        self.assertEqual(self.assertOk(powctl("sweep")).strip(), "hdd-sleep-delay=0")
        snap = status()
        self.assertEqual(sorted(held(snap)), [0, 1])
        self.assertEqual((snap["total"], snap["free_depth"]), (1, 254))
        self.assertEqual(self.assertOk(powctl("none-reserved", "peek")).strip(), "0")
        self.assertEqual(live.stop(), 0)


class FlagTest(ToolTest):
    def test_hdd_ready_get_and_set(self):
        self.assertEqual(self.assertOk(powctl("hdd-ready", "get")).strip(), "0")
        self.assertOk(powctl("hdd-ready", "set", "1"))
        self.assertEqual(self.assertOk(powctl("hdd-ready", "get")).strip(), "1")
        self.assertTrue(status()["flags"]["hdd_ready"])
        self.assertOk(powctl("hdd-ready", "set", "0"))
        self.assertEqual(self.assertOk(powctl("hdd-ready", "get")).strip(), "0")
        self.assertUsage(powctl("hdd-ready", "set"), "VALUE")
        self.assertUsage(powctl("hdd-ready", "set", "2"), "VALUE", "2")

    def test_reset_timer_request_stays_for_peek_and_goes_with_take(self):
        self.assertEqual(self.assertOk(powctl("reset-timer", "peek")).strip(), "0x0")
        self.assertOk(powctl("reset-timer", "request"))
        self.assertOk(powctl("reset-timer", "request"))
        self.assertEqual(self.assertOk(powctl("reset-timer", "peek")).strip(), "0x2")
        self.assertEqual(self.assertOk(powctl("reset-timer", "peek")).strip(), "0x2")
        self.assertEqual(self.assertOk(powctl("reset-timer", "take")).strip(), "0x2")
        self.assertEqual(self.assertOk(powctl("reset-timer", "take")).strip(), "0x0")

    def test_none_reserved_note_is_raised_by_the_last_reset_and_taken_once(self):
        self.assertEqual(self.assertOk(powctl("none-reserved", "peek")).strip(), "0")
        self.assertOk(powctl("delay", "set", "5"))
        self.assertOk(powctl("delay", "reset", "5"))
        self.assertEqual(self.assertOk(powctl("none-reserved", "peek")).strip(), "1")
        self.assertEqual(self.assertOk(powctl("none-reserved", "take")).strip(), "1")
        self.assertEqual(self.assertOk(powctl("none-reserved", "peek")).strip(), "0")

    def test_hdd_sleep_delay_raised_by_the_service_is_read_and_cleared(self):
        # The flag is raised outside the library; do what the service would.
        with open(os.path.join(SHM, PWR), "r+b") as f, mmap.mmap(f.fileno(), 2060) as area:
            area[OFFSET_HDD_SLEEP_DELAY] = 1
        self.assertEqual(self.assertOk(powctl("hdd-sleep-delay", "get")).strip(), "1")
        self.assertIn("hdd-sleep-delay=1", self.assertOk(powctl("status")))
        self.assertEqual(self.assertOk(powctl("sweep")).strip(), "hdd-sleep-delay=1")
        self.assertOk(powctl("hdd-sleep-delay", "clear"))
        self.assertEqual(self.assertOk(powctl("hdd-sleep-delay", "get")).strip(), "0")
        self.assertUsage(powctl("hdd-sleep-delay", "set"), "set")


def expected_grid(year, month, marked):
    """A month as `cal` prints it (Sunday first), '*' after a marked day."""
    title = "%s %d" % (calendar.month_name[month], year)
    rows = [" " * ((20 - len(title)) // 2) + title, "Su Mo Tu We Th Fr Sa"]
    for week in calendar.Calendar(firstweekday=6).monthdayscalendar(year, month):
        cells = ["   " if d == 0 else "%2d%s" % (d, "*" if d in marked else " ") for d in week]
        rows.append("".join(cells).rstrip())
    return rows + [""]


class TimerTest(ToolTest):
    def test_show_lays_out_months_like_cal_with_switched_on_days_marked(self):
        days = ["2026-12-07", "2026-12-24", "2026-12-31", "2024-02-29", "2024-09-01"]
        for day in days:
            self.assertEqual(self.assertOk(powctl("timer", "set", day, "on")), "")
        self.assertOk(powctl("timer", "set", "2026-12-31", "off"))
        december = self.assertOk(powctl("timer", "show", "2026", "12")).split("\n")
        self.assertEqual(december, expected_grid(2026, 12, {7, 24}) + [""])
        year = self.assertOk(powctl("timer", "show", "2024"))
        expected = []
        for month in range(1, 13):
            expected += expected_grid(2024, month, {29} if month == 2 else {1} if month == 9 else set())
        self.assertEqual(year.split("\n"), expected + [""])
        self.assertUsage(powctl("timer", "show", "2090"), "YEAR", "2090")
        self.assertUsage(powctl("timer", "show", "2026", "13"), "MONTH", "13")

    def test_set_and_get_a_day_and_refuse_impossible_dates_with_the_reason(self):
        self.assertEqual(self.assertOk(powctl("timer", "get", "2031-07-04")).strip(), "2031-07-04 off")
        self.assertOk(powctl("timer", "set", "2031-07-04", "on"))
        self.assertEqual(self.assertOk(powctl("timer", "get", "2031-07-04")).strip(), "2031-07-04 on")
        self.assertEqual(self.assertOk(powctl("timer", "get", "2031-07-05")).strip(), "2031-07-05 off")
        self.assertOk(powctl("timer", "set", "2031-07-04", "off"))
        self.assertEqual(self.assertOk(powctl("timer", "get", "2031-07-04")).strip(), "2031-07-04 off")
        refused = [
            (("set", "2026-02-29", "on"), ("2026-02-29", "28 days")),
            (("set", "2100-02-29", "on"), ("2100-02-29", "2000 to 2089")),
            (("get", "2025-04-31"), ("2025-04-31", "30 days")),
            (("get", "1999-12-31"), ("1999-12-31", "2000 to 2089")),
            (("set", "2026-13-01", "off"), ("2026-13-01", "month 13")),
            (("get", "2026-00-10"), ("2026-00-10", "month 0")),
            (("get", "2026-05-00"), ("2026-05-00", "day 0")),
            (("get", "next-monday"), ("next-monday", "YYYY-MM-DD")),
            (("set", "2026-05-01", "maybe"), ("STATE", "maybe")),
        ]
        for args, named in refused:
            with self.subTest(args=args):
                out = powctl("timer", *args)
                self.assertUsage(out, *named)
                self.assertEqual(out.stdout, "")
        self.assertEqual(self.assertOk(powctl("timer", "get", "2024-02-29")).strip(), "2024-02-29 off")


class SemTest(ToolTest):
    def test_show_names_the_holder_while_sem_hold_runs_and_free_after(self):
        for n in ("2", "3"):  # used once, so that all three exist
            self.assertOk(powctl("sem", "hold", n, "0"))
        holder = self.start(POWCTL, "sem", "hold", "1", "60")
        holder.wait_line(r"^pid \d+ holds the POW semaphore")
        shown = self.assertOk(powctl("sem", "show"))
        self.assertIn('sem "sem_POW_Shm_SemName": held by pid %d\n' % holder.proc.pid, shown)
        self.assertIn('sem "sem_NVD_Shm_SemName": free', shown)
        self.assertIn('sem "sem_POW_Shm_SemNameHddReady": free', shown)
        self.assertTrue(shown.startswith("----PowerLibSemShow Start"), shown)
        self.assertEqual(holder.stop(signal.SIGTERM), 0)
        self.assertIn("gave the POW semaphore back", "\n".join(holder.lines))
        self.assertIn('sem "sem_POW_Shm_SemName": free', self.assertOk(powctl("sem", "show")))

    def test_a_killed_holder_is_shown_dead_and_recovered_where_the_kernel_can(self):
        holder = self.start(POWCTL, "sem", "hold", "2", "60")
        holder.wait_line("holds the NVD semaphore")
        holder.stop(signal.SIGKILL)  # reaped, so the pid is really gone
        shown = self.assertOk(powctl("sem", "show"))
        self.assertIn('sem "sem_NVD_Shm_SemName": held by pid %d (dead)' % holder.proc.pid, shown)
        if "robust futexes: yes" not in shown:
            self.skipTest("no robust futexes in this process (emulator): a dead holder is never recovered")
        self.assertEqual(self.assertOk(powctl("timer", "get", "2030-01-01")).strip(), "2030-01-01 off")
        self.assertIn("recovered from dead holder: 1 times", self.assertOk(powctl("sem", "show")))


class SemLogTest(ToolTest):
    def test_semlog_lists_the_records_the_service_wrote_and_marks_the_newest(self):
        writers = []
        for name, state, value in (("sem_POW_Shm_SemName", "take", 1), ("sem_POW_Shm_SemName", "give", 0),
                                   ("sem_NVD_Shm_SemName", "take", 1)):
            with subprocess.Popen(command(POWSVC, ["semlog", "add", name, state, value])) as p:
                self.assertEqual(p.wait(timeout=20 * SLOW), 0)
            writers.append((p.pid, name, state, value))
        out = self.assertOk(powctl("semlog")).split("\n")
        self.assertEqual(out[1].strip().split()[0], "LIB_POW_showSemLog")
        records = [line for line in out if re.match(r"^ \d{4} ", line)]
        self.assertEqual(len(records), 3, out)
        for n, (line, (pid, name, state, value)) in enumerate(zip(records, writers), 1):
            fields = line.split()
            self.assertEqual((fields[0], fields[2], fields[4], fields[6], fields[7]),
                             ("%04d" % n, str(pid), name, state, str(value)))
        self.assertEqual([line.endswith("***") for line in records], [False, False, True])
        self.assertTrue(out[-3].startswith(" LogEnd"), out)
        self.assertOk(powsvc("semlog", "clear"))
        self.assertEqual([line for line in self.assertOk(powctl("semlog")).split("\n")
                          if re.match(r"^ \d{4} ", line)], [])
        self.assertUsage(powsvc("semlog", "add", "x" * 52, "take", "1"), "NAME")
        self.assertUsage(powsvc("semlog", "add", "sem", "released", "1"), "STATUS", "released")


class JamLogTest(ToolTest):
    make_areas = False  # the jam log lives in the process: no area needed

    def test_jamlog_lists_uncleared_sends_in_row_order(self):
        out = self.assertOk(powctl("jamlog", "--send", "s_wsds=f_devm:0x30:9", "--send", "n_pwrs=a_appm:0x20:8",
                                   "--send", "a_adrm=s_jobs:0x10:7", "--send", "a_adrm=x_late:1:1",
                                   "--clear", "s_wsds"))
        lines = out.splitlines()
        self.assertEqual(len(lines), 2, out)
        self.assertRegex(lines[0], r"^sock_send \[s_jobs\]->\[a_adrm\]    time:\[-?\d+ \(ms\)\]    "
                                   r"kindid:\[0x10\]    reqseqid:\[0x7\]$")
        self.assertRegex(lines[1], r"^sock_send \[a_appm\]->\[n_pwrs\] .* kindid:\[0x20\]    reqseqid:\[0x8\]$")
        self.assertEqual(self.assertOk(powctl("jamlog")), "########## no jam log.  SockSendJamLog\n")
        self.assertUsage(powctl("jamlog", "--send", "z_nope=a_adrm"), "z_nope")
        self.assertUsage(powctl("jamlog", "--send", "a_adrm"), "a_adrm")
        self.assertUsage(powctl("jamlog", "--send", "a_adrm=s_jobs:ten"), "ten")


class TraceTest(ToolTest):
    def trace(self, out):
        return [TRACE_LINE.match(line).groups() for line in out.splitlines() if TRACE_LINE.match(line)]

    def test_trace_mask_selects_the_library_levels_shown_for_the_run(self):
        full = self.trace(self.assertOk(powctl("--trace", "0x71", "hdd-ready", "get")))
        self.assertIn(("lock", "Start(Name=sem_POW_Shm_SemName)"), full)
        self.assertIn(("GetShm", "Start(Key=/shm_PWR_SharedArea, size=2060, mode=0x1b6)"), full)
        funcs = [f for f, _ in full]
        self.assertLess(funcs.index("lock"), funcs.index("GetShm"))
        self.assertLess(funcs.index("GetShm"), funcs.index("unlock"))
        self.assertEqual(full[0], ("LIB_POW_isHddReady", "Start"))

        attach_only = self.trace(self.assertOk(powctl("--trace", "0x20", "hdd-ready", "get")))
        self.assertEqual({f for f, _ in attach_only}, {"GetShm"})
        self.assertEqual(self.assertOk(powctl("--trace", "0", "hdd-ready", "get")), "0\n")
        # --trace after the command works the same
        counted = self.trace(self.assertOk(powctl("delay", "set", "4", "--trace", "16")))
        self.assertIn(("setPowerSaveDelayPid", "End(DelayTaskNum=1 [index=4, count=1])"), counted)
        self.assertUsage(powctl("--trace", "lots", "status"), "--trace", "lots")

    def test_failures_show_at_the_default_mask_and_not_with_mask_0(self):
        os.unlink(os.path.join(SHM, NVD))
        out = powctl("timer", "get", "2030-01-01")
        self.assertEqual(out.returncode, 1)
        self.assertIn(("GetShm", "shm_open(Key=/shm_NVD_SharedArea) Failed! errno=2[No such file or directory]"),
                      self.trace(out.stdout))
        quiet = powctl("--trace", "0", "timer", "get", "2030-01-01")
        self.assertEqual((quiet.returncode, self.trace(quiet.stdout)), (1, []))


COMMANDS = {"powctl": [[], ["status"], ["watch"], ["delay"], ["delay", "reserve"], ["delay", "check"],
                       ["delay", "set"], ["delay", "reset"], ["sweep"], ["hdd-ready"], ["reset-timer"],
                       ["none-reserved"], ["hdd-sleep-delay"], ["timer"], ["timer", "show"], ["timer", "set"],
                       ["timer", "get"], ["sem"], ["sem", "show"], ["sem", "hold"], ["semlog"], ["jamlog"]]}
COMMANDS["powsvc"] = [[], ["create"], ["remove"], ["run"], ["semlog"], ["semlog", "add"], ["semlog", "clear"]]


def listed_commands(help_text):
    section = help_text.split("Subcommands:")[1] if "Subcommands:" in help_text else ""
    return {line.split()[0] for line in section.splitlines() if line.strip()}


class HelpAndUsageTest(ToolTest):
    make_areas = False

    def test_help_on_every_command_exits_0_and_covers_every_listed_command(self):
        for tool, program in (("powctl", POWCTL), ("powsvc", POWSVC)):
            paths = COMMANDS[tool]
            for path in paths:
                with self.subTest(command=" ".join([tool, *path])):
                    out = self.assertOk(run(program, *path, "--help"))
                    self.assertIn("Usage:", out)
                    self.assertIn(" ".join(path), out)
                    for sub in listed_commands(out):
                        self.assertIn(path + [sub], paths, "command without a help test")
        self.assertEqual(os.listdir(SHM), [])  # help touched nothing

    def test_sem_show_on_a_bare_device_reports_unmade_semaphores_and_makes_none(self):
        shown = self.assertOk(powctl("sem", "show"))
        self.assertEqual(shown.count("sem: none (handle 0)"), 3, shown)
        self.assertIn("sem_NVD_Shm_SemName: not made yet", shown)
        self.assertEqual(os.listdir(SHM), [])

    def test_bad_usage_exits_2_with_one_line_naming_the_argument(self):
        cases = [
            (["bogus"], ["bogus"]), ([], ["command is required"]), (["delay", "bogus"], ["delay", "bogus"]),
            (["status", "--jsn"], ["--jsn"]), (["sem", "hold", "4", "1"], ["N", "4"]),
            (["sem", "hold", "1", "-3"], ["SECONDS", "-3"]), (["hdd-ready", "put"], ["put"]),
            (["reset-timer", "drop"], ["drop"]), (["none-reserved", "set"], ["set"]),
            (["watch", "--interval", "5"], ["--interval", "5"]),
            (["delay", "reserve", "--count", "0"], ["--count", "0"]),
            (["delay", "reserve", "--hold", "soon"], ["--hold", "soon"]),
            (["timer", "set", "2026-01-01"], ["STATE"]), (["--trace"], ["--trace"]),
        ]
        for args, named in cases:
            with self.subTest(args=args):
                line = self.assertUsage(powctl(*args), *named)
                self.assertTrue(line.startswith("powctl"), line)
        self.assertUsage(powsvc("bogus"), "bogus")
        self.assertUsage(powsvc("run", "--grace", "-1"), "--grace", "-1")
        self.assertUsage(powsvc("create", "--index0-pid", "me"), "--index0-pid", "me")


class LibraryFailureTest(ToolTest):
    make_areas = False

    def test_commands_exit_1_with_a_reason_when_the_areas_are_missing(self):
        for args, named in ((["status"], "/shm_PWR_SharedArea"), (["watch", "--seconds", "1"], "/shm_PWR_SharedArea"),
                            (["delay", "reserve"], "/shm_PWR_SharedArea"), (["sweep"], "/shm_PWR_SharedArea"),
                            (["hdd-ready", "get"], "/shm_PWR_SharedArea"),
                            (["timer", "get", "2030-01-01"], "calendar area"),
                            (["semlog"], "/shm_LIB_POW_SemLogArea")):
            with self.subTest(args=args):
                out = powctl(*args)
                self.assertEqual(out.returncode, 1, out.stdout + out.stderr)
                self.assertEqual(len(out.stderr.splitlines()), 1, out.stderr)
                self.assertIn(named, out.stderr)
        self.assertFalse(os.path.exists(os.path.join(SHM, PWR)))  # nothing was made on the way


class PowsvcTest(ToolTest):
    make_areas = False

    def test_create_keeps_existing_objects_reset_rewrites_them_remove_unlinks(self):
        self.assertOk(powsvc("create", "--index0-pid", "4242"))
        self.assertEqual({n: os.stat(os.path.join(SHM, n)).st_size for n in (PWR, NVD, SEMLOG)},
                         {PWR: 2060, NVD: 4756, SEMLOG: 8004})
        snap = status()
        self.assertEqual((held(snap)[0]["pid"], snap["free_depth"], snap["total"]), (4242, 255, 0))
        self.assertOk(powctl("delay", "reserve", "--count", "2", "--no-release"))
        self.assertOk(powctl("timer", "set", "2030-03-03", "on"))

        self.assertOk(powsvc("create", "--index0-pid", "1"))  # already there: left alone
        snap = status()
        self.assertEqual((held(snap)[0]["pid"], snap["total"]), (4242, 2))

        self.assertOk(powsvc("create", "--reset", "--index0-pid", "77"))
        snap = status()
        self.assertEqual((sorted(held(snap)), held(snap)[0]["pid"], snap["total"], snap["free_depth"]),
                         ([0], 77, 0, 255))
        self.assertEqual(self.assertOk(powctl("timer", "get", "2030-03-03")).strip(), "2030-03-03 off")

        self.assertOk(powctl("sem", "hold", "3", "0"))  # the timer made NVD, POW was made at create
        self.assertEqual(sorted(n for n in os.listdir(SHM) if n.startswith("PLAT_sem.")),
                         ["PLAT_sem.sem_NVD_Shm_SemName", "PLAT_sem.sem_POW_Shm_SemName",
                          "PLAT_sem.sem_POW_Shm_SemNameHddReady"])
        self.assertOk(powsvc("remove"))
        self.assertEqual(os.listdir(SHM), [])
        self.assertOk(powsvc("remove"))  # nothing left to remove is fine

    def test_run_owns_index0_decides_power_saving_and_ends_cleanly_on_sigterm(self):
        svc = self.start(POWSVC, "run", "--grace", "0.5", "--tick-ms", "50")
        pid = svc.proc.pid
        svc.wait_line(r"^%s running as pid %d: areas ready, delay index 0 is ours$" % (STAMP, pid))
        snap = status()
        self.assertEqual(held(snap)[0]["pid"], pid)
        self.assertIn(held(snap)[0]["process"], program_names("powsvc"))
        svc.wait_line(r"^%s entering power saving: no delay for 0\.5 s$" % STAMP)

        job = self.start(POWCTL, "delay", "reserve", "--hold", "60")
        job.wait_line("reserved delay index 1")
        svc.wait_line(r"^%s leaving power saving: a delay is reserved$" % STAMP)
        self.assertEqual(job.stop(signal.SIGTERM), 0)
        svc.wait_line(r"^%s reservations dropped to none$" % STAMP)
        # the service's own sweep gives the ended job's index back
        self.assertTrue(eventually(lambda: 1 not in held(status())), status())
        svc.wait_line(r"^%s entering power saving" % STAMP, since=len(svc.lines))

        self.assertOk(powctl("reset-timer", "request"))
        svc.wait_line(r"^%s auto-sleep timer reset requested; leaving power saving$" % STAMP)
        self.assertEqual(self.assertOk(powctl("reset-timer", "peek")).strip(), "0x0")

        self.assertEqual(svc.stop(signal.SIGTERM), 0)
        self.assertRegex(svc.lines[-1], r"^%s stopping; the areas stay in place$" % STAMP)
        for name in (PWR, NVD, SEMLOG):
            self.assertTrue(os.path.exists(os.path.join(SHM, name)), name)
        self.assertEqual(held(status())[0]["pid"], pid)


def main():
    global POWCTL, POWSVC, EMULATOR, SLOW
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    enter_private_shm()
    POWCTL, POWSVC, EMULATOR = sys.argv[1], sys.argv[2], sys.argv[3:]
    SLOW = 4 if EMULATOR else 1
    os.environ.setdefault("LC_ALL", "C")
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
