#!/usr/bin/env python3
"""test_tools.py POWCTL POWSVC [EMULATOR ARGS...]: the operator programs run for real, each check on what an operator sees (stdout, stderr,
exit code) or on the objects. They use the device's fixed names and some tests attack, so the run moves into private mount and PID
namespaces with its own /dev/shm (a signal to a forged pid, even -1, reaches only the test's processes), or is skipped (77); the service's
runtime directory ($POWSVC_RUN_DIR) is fresh. With an emulator (qemu-ppc) every program is started through it."""
import atexit, calendar, concurrent.futures, json, mmap, os, pathlib, pwd, re, shlex, shutil, signal, struct, subprocess, sys, tempfile, threading, time, unittest

SKIP, PRIVATE, SHM, RUN, CANARY = 77, "LIBPOW_TOOLS_PRIVATE_SHM", "/dev/shm", None, None
PWR, NVD, SEMLOG = "shm_PWR_SharedArea", "shm_NVD_SharedArea", "shm_LIB_POW_SemLogArea"
STAMP = r"\d\d:\d\d:\d\d\.\d\d\d"
TRACE_LINE = re.compile(r"^LIB_PowerService\.cpp\(\d+\):(\w+) (.*)$")
HERE = os.path.dirname(os.path.abspath(__file__))
POWCTL = POWSVC = None
EMULATOR = []
ORDER = sys.byteorder  # the programs' byte order: big under the PowerPC emulator
SLOW = 1  # under the emulator each program start costs a good fraction of a second


def enter_private_shm():
    """Re-runs this script as the first process of new mount and PID namespaces with a fresh /dev/shm and /proc."""
    here, outer = os.readlink("/proc/self/ns/mnt"), os.environ.get(PRIVATE)
    if outer:  # setUp empties /dev/shm: it must be the namespace's own
        if outer == here or os.getpid() != 1:
            sys.exit("refusing to run: %s is set but the namespaces are not private" % PRIVATE)
        return
    unshare, tried, private = shutil.which("unshare"), [], ["--mount", "--pid", "--fork", "--kill-child", "--mount-proc"]
    for extra in ([], ["--map-root-user"]) if unshare else ():
        probe = subprocess.run([unshare, *extra, *private, "true"], capture_output=True, text=True)
        if probe.returncode == 0:
            os.environ[PRIVATE] = here
            inner = 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm || exit %d; exec "$@"' % SKIP
            os.execv(unshare, [unshare, *extra, *private, "sh", "-c", inner, "sh", sys.executable, *sys.argv])
        tried.append(" ".join(["unshare", *extra, *private, ": "]) + probe.stderr.strip())
    print("SKIP: the tool tests need private mount and PID namespaces; not permitted here: " +
          ("; ".join(tried) or "unshare not found"))
    sys.exit(SKIP)


def clear(directory):
    for name in os.listdir(directory) if os.path.isdir(directory) else ():
        path = os.path.join(directory, name)
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.unlink(path)


def run(program, *args, user=()):
    return subprocess.run([*user, *EMULATOR, program, *map(str, args)], capture_output=True, text=True, timeout=20 * SLOW)


powctl, powsvc = (lambda *args: run(POWCTL, *args)), (lambda *args: run(POWSVC, *args))


def eventually(predicate, timeout=5):
    end = time.monotonic() + timeout * SLOW
    while not (value := predicate()) and time.monotonic() < end:
        time.sleep(0.05)
    return value


class Running:
    """A program left running, its stdout (and stderr with merge) collected line by line."""

    def __init__(self, program, *args, merge=False, user=(), emulated=True):
        self.proc = subprocess.Popen([*user, *EMULATOR * emulated, program, *map(str, args)], stdout=subprocess.PIPE, text=True,
                                     stderr=subprocess.STDOUT if merge else None)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait_line(self, pattern, since=0):
        """The first line from position `since` on that matches, waiting up to 10 s for it."""
        found = eventually(lambda: [line for line in self.lines[since:] if re.search(pattern, line)], 10)
        if not found:
            raise AssertionError("no line matching %r; got:\n%s" % (pattern, "\n".join(self.lines)))
        return found[0]

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout=10 * SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
        self.reader.join(timeout=5), self.proc.stdout.close()
        return rc


def status():
    out = powctl("status", "--json")
    assert out.returncode in (0, 1), out.stderr  # 1: damage found
    return json.loads(out.stdout)


def poke(offset, value, size=4, name=PWR):
    """Stores a native integer into an area, as a writer outside the library would."""
    with open(os.path.join(SHM, name), "r+b") as f, mmap.mmap(f.fileno(), 0) as area:
        area[offset:offset + size] = value.to_bytes(size, ORDER, signed=True)


held = lambda snapshot: {h["index"]: h for h in snapshot["held"]}


def program_names(name):
    # Under user-mode emulation the kernel sees the emulator, not the program.
    return {name, os.path.basename(EMULATOR[0])[:15]} if EMULATOR else {name}


class ToolTest(unittest.TestCase):
    """Each test starts from an empty private /dev/shm and, unless make_areas is off, with the areas made as the
    service makes them."""

    make_areas = True

    def setUp(self):
        clear(SHM), shutil.rmtree(RUN, ignore_errors=True)
        self.running = []
        if self.make_areas:
            self.assertOk(powsvc("create", "--index0-pid", os.getpid()))

    def tearDown(self):
        for program in self.running:  # SIGTERM: a program killed outright writes no coverage profile
            program.stop()

    def start(self, program, *args, merge=False, user=()):
        self.running.append(Running(program, *args, merge=merge, user=user))
        return self.running[-1]

    def assertOk(self, out):
        self.assertEqual(out.returncode, 0, "stdout:\n%s\nstderr:\n%s" % (out.stdout, out.stderr))
        return out.stdout

    def ctl(self, *args):
        return self.assertOk(powctl(*args)).strip()

    def script(self, text):
        """One powctl run per step "ARGS [=> OUTPUT]" (steps end at ';'): it must exit 0 (N where written "=N>")
        and print OUTPUT (nothing where none is given)."""
        for step in text.split(";"):
            args, code, expected = re.fullmatch(r"([^=]*)(?:=(\d?)>(.*))?", step, re.S).groups()
            out = powctl(*args.split())
            self.assertEqual((out.returncode, out.stdout.strip()), (int(code or 0), (expected or "").strip()), step + out.stderr)

    def assertUsage(self, out, *named):
        """Exit 2 and one line on stderr that names the bad argument."""
        self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
        lines = out.stderr.splitlines()
        self.assertEqual(len(lines), 1, out.stderr)
        for text in named:
            self.assertIn(text, lines[0])
        return lines[0]


def expected_grid(year, month, marked):
    """A month as `cal` prints it (Sunday first), '*' after a marked day."""
    title = "%s %d" % (calendar.month_name[month], year)
    rows = [" " * ((20 - len(title)) // 2) + title, "Su Mo Tu We Th Fr Sa"]
    for week in calendar.Calendar(firstweekday=6).monthdayscalendar(year, month):
        rows.append("".join("   " if d == 0 else "%2d%s" % (d, "*" if d in marked else " ") for d in week).rstrip())
    return rows + [""]


class DeviceTest(ToolTest):
    def test_delay_commands_count_on_an_index_and_a_reset_that_would_cut_into_others_is_refused(self):
        out = self.ctl("delay", "reserve", "--count", "2", "--hold", "0.2")
        pid = int(re.search(r"^pid (\d+) reserved delay index 1, count 2$", out, re.M).group(1))
        self.assertIn("pid %d reset index 1 2 time(s)" % pid, out)
        snap = status()  # reset to 0, the index stays with its holder and the last reset raises the note
        self.assertEqual((snap["total"], held(snap)[1]["pid"], held(snap)[1]["count"]), (0, pid, 0))
        self.script("none-reserved peek => 1; none-reserved take => 1; delay set 09 => 9; delay set 9 => 9; "
                    "delay reset 9; delay check => delayed")
        text = self.ctl("status")  # a count nobody holds is shown where it is, and the audit's sum agrees
        self.assertRegex(text, r"(?m)^consistency: no damage; total 1, sum of the counts 1, lost indices: none; "
                               r"note: index 9 counts 1 but nobody holds it$")
        self.assertEqual([f["kind"] for f in status()["consistency"]["findings"]], ["count-not-held"])
        self.assertRegex(text, r"(?m)^\s+9\s+0 -\s+-\s+nobody\s+1 -\s+-$")
        self.assertRegex(text, r"(?m)^index 0 is the power service's own .*the sweep never releases it")
        self.script("delay reset 9; delay check =1> not delayed; none-reserved take => 1; delay set 5 => 5")
        out = powctl("delay", "reset", "9")  # counting nothing, it would cut into index 5's count: only when forced
        self.assertEqual((out.returncode, out.stderr), (2, "powctl: index 9 counts no request: a reset would lower the device's total (1) all the same, cutting "
                                                           "into the counts of index 5 (count 1, held by nobody): the device could sleep under them; --force resets anyway\n"))
        self.script("delay reset 9 --force; delay check =1> not delayed; delay reset 5; none-reserved take => 1")

    def test_status_names_live_and_ended_holders_and_the_sweep_releases_only_the_ended(self):
        live = self.start(POWCTL, "delay", "reserve", "--count", "3", "--hold", "60")
        index = int(re.search(r"index (\d+)", live.wait_line("reserved delay index")).group(1))
        out = self.ctl("delay", "reserve", "--count", "2", "--no-release")
        gone, ended = map(int, re.search(r"^pid (\d+) exits without resetting index (\d+)", out, re.M).groups())
        text = self.ctl("status")
        for line in ("delay total: 5 (power saving is delayed)", "free-index stack depth: 253",
                     "flags: hdd-ready=0 reset-timer=0x0 none-reserved=0 hdd-sleep-delay=0"):
            self.assertIn(line, text)
        # index pid user process state count since command
        rows = {int(m[0]): m[1:] for m in re.findall(r"^\s+(\d+)\s+(\d+) (\S+)\s+(\S+)\s+(\w+)\s+(-?\d+) (\S+)\s+(.*)$", text, re.M)}
        me = pwd.getpwuid(os.getuid()).pw_name
        self.assertEqual(rows[0][:2] + rows[0][3:5], (str(os.getpid()), me, "running", "0"))
        pid, user, name, state, count, since, command = rows[index]
        self.assertEqual((pid, user, state, count), (str(live.proc.pid), me, "running", "3"))
        self.assertIn(name, program_names("powctl"))
        self.assertRegex(since, r"^\d\d:\d\d:\d\d$|^\d{4}-\d\d-\d\d$")
        self.assertIn("delay reserve --count 3 --hold 60", command)
        self.assertEqual(rows[ended][:5], (str(gone), "-", "-", "ended", "2"))
        poke(2059, -1, 1)  # hdd-ready as a stray writer left it: the library reads it as set, status shows the byte too
        self.script("hdd-ready get => 1")
        self.assertIn("flags: hdd-ready=1 (byte 255) ", self.ctl("status"))
        poke(2059, 0, 1)
        snap, h = json.loads(self.ctl("--json", "status")), held(status())
        self.assertEqual((snap["total"], snap["free_depth"], sorted(h), snap["consistency"]["under_pow"]), (5, 253, sorted([0, index, ended]), True))
        self.assertEqual([(h[i]["pid"], h[i]["running"], h[i]["count"]) for i in (index, ended)], [(live.proc.pid, True, 3), (gone, False, 2)])
        self.assertIn(h[index]["process"], program_names("powctl"))
        self.assertEqual(h[index]["user"], me)
        self.assertIn("delay reserve --count 3 --hold 60", h[index]["cmdline"])
        self.assertLess(abs(h[index]["started_unix"] - time.time()), 60 * SLOW)
        swept = self.ctl("--trace", "0x10", "sweep")
        self.assertIn("resetPowerSaveDelayPid release index [pid=%d, index=%d]" % (gone, ended), swept)
        self.assertTrue(swept.endswith("\nreleased index %d (pid %d, count 2)\nhdd-sleep-delay=0" % (ended, gone)), swept)
        snap = status()
        self.assertEqual((sorted(held(snap)), snap["total"], snap["free_depth"]), ([0, index], 3, 254))
        self.script("none-reserved peek => 0")  # a live count remains
        self.assertEqual(live.stop(signal.SIGINT), 130)  # Ctrl-C: it resets, and its exit says it did not finish
        self.assertIn("reset index %d 3 time(s)" % index, live.lines[-2])
        self.script("delay check =1> not delayed")

    def test_status_escapes_odd_process_names_and_command_lines_in_text_and_keeps_json_valid(self):
        # A name with control characters, a quote and a byte that is not UTF-8, a command line with ESC
        # and UTF-8 good (2 to 4 bytes, each lowest and highest lead) and bad (overlong, surrogate, past
        # U+10FFFF, a bad or missing continuation): escaped in text (the row stays one line), valid JSON.
        utf8 = b"\xc3\xa9\xe0\xa0\x80\xed\x9f\xbf\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf|\xc0\xaf\xe0\x80\x80\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82A\r\t\x7f\xe2\x82"
        odd = subprocess.Popen([sys.executable, "-c", "open('/proc/self/comm', 'wb').write(b'a\\nb\\xff\"c\\x01'); import time; time.sleep(60)", b"x\x1by" + utf8])
        self.addCleanup(odd.wait), self.addCleanup(odd.kill)
        self.assertTrue(eventually(lambda: contents("/proc/%d/comm" % odd.pid) == b'a\nb\xff"c\x01\n'))
        poke(4 + 4 * 7, odd.pid)
        self.assertEqual(held(status())[7]["process"], 'a\nb\ufffd"c\x01')
        self.assertRegex(powctl("status").stdout, r'(?m)^ +7 +%d \S+ +a\\nb\\xff"c\\x01 +running .* x\\x1by%s$' % (odd.pid, re.escape(
            "\u00e9\u0800\ud7ff\U0001d11e\U0010ffff|\\xc0\\xaf\\xe0\\x80\\x80\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xe2\\x82A\\r\\t\\x7f\\xe2\\x82")))
        poke(4 + 4 * 7, 0)

    def test_watch_prints_each_change_as_a_timestamped_line_until_its_time_is_up(self):
        seconds = 4 * SLOW
        watch = self.start(POWCTL, "watch", "--interval", "50", "--seconds", seconds)
        watch.wait_line(r"^%s watching /shm_PWR_SharedArea \(total 0, 1 held\)" % STAMP)
        watch.wait_line(r"^%s index 0 held by pid %d \(\S+, user %s, since [\d:-]+\): " % (STAMP, os.getpid(), pwd.getpwuid(os.getuid()).pw_name))
        for args, change in (("delay reserve --no-release --hold %g" % (0.5 * SLOW), "has ended"),
                             ("hdd-ready set 1", "flag hdd-ready 0 -> 1"), ("sweep", "total 1 -> 0: nothing reserved"),
                             ("delay set 7", "total 0 -> 1"), ("delay set 7", "total 1 -> 2$"), ("delay set 7", "total 2 -> 3$")):
            since = len(watch.lines)
            self.ctl(*args.split())
            watch.wait_line(change, since)
        self.assertEqual(watch.proc.wait(timeout=seconds + 10 * SLOW), 0)
        watch.stop()
        for line in watch.lines[1:]:
            self.assertRegex(line, r"^%s \S" % STAMP)
        text = "\n".join(watch.lines[1:])
        self.assertRegex(text, r"index 1 taken by pid \d+")
        self.assertEqual(text.count("index 1: holder pid"), 1, text)  # its end is said once, not at every look
        self.assertIn("flag none-reserved 0 -> 1", text)
        order = [text.index(s) for s in ("taken by pid", "total 0 -> 1", "flag hdd-ready 0 -> 1", "index 1 released (was pid")]
        self.assertEqual(order, sorted(order))
        watch = self.start(POWCTL, "watch", "--interval", "50", merge=True)  # the area gone mid-way: a failure
        watch.wait_line("watching")
        os.truncate(os.path.join(SHM, PWR), 0)
        self.assertEqual(watch.proc.wait(timeout=10 * SLOW), 2, "\n".join(watch.lines))
        self.assertOk(powsvc("create", "--reset")), self.start(POWCTL, "watch").wait_line("watching")  # Ctrl-C ends a watch well
        self.assertEqual(self.running[-1].stop(signal.SIGINT), 0)
        self.start(POWCTL, "watch", "--seconds", 60).wait_line("watching")  # stopped before its time is over: 128+N
        self.assertEqual(self.running[-1].stop(signal.SIGINT), 128 + signal.SIGINT)

    def test_flag_commands_read_set_peek_and_take_their_own_flag(self):
        self.script("hdd-ready get => 0; hdd-ready set 1; hdd-ready get => 1; reset-timer peek => 0x0; "
                    "reset-timer request; reset-timer take => 0x2; reset-timer take => 0x0; reset-timer request; "
                    "reset-timer request; reset-timer peek => 0x2; reset-timer peek => 0x2; none-reserved peek => 0; "
                    "delay set 5 => 5; delay reset 5; none-reserved take => 1; none-reserved peek => 0; "
                    "delay set 5 => 5; delay reset 5")
        # The service raises hdd-sleep-delay outside the library: do what it would.
        with open(os.path.join(SHM, PWR), "r+b") as f, mmap.mmap(f.fileno(), 2060) as area:
            area[2058] = 1
        self.script("hdd-sleep-delay get => 1; sweep => hdd-sleep-delay=1")
        self.assertIn("flags: hdd-ready=1 reset-timer=0x2 none-reserved=1 hdd-sleep-delay=1", self.ctl("status"))
        self.assertEqual(status()["flags"], {"hdd_ready": True, "reset_timer": 2, "none_reserved": True, "hdd_sleep_delay": True})
        self.script("hdd-sleep-delay clear; hdd-sleep-delay get => 0; hdd-ready set 0; hdd-ready get => 0")

    def test_timer_sets_gets_and_shows_days_like_cal_and_refuses_impossible_dates(self):
        for day in ("2026-12-07", "2026-12-24", "2026-12-31", "2024-02-29", "2024-09-01", "2031-07-04"):
            self.assertEqual(self.ctl("timer", "set", day, "on"), "")
        self.script("timer set 2026-12-31 off; timer get 2031-07-04 => 2031-07-04 on; "
                    "timer get 2031-07-05 => 2031-07-05 off; timer get 2026-12-31 => 2026-12-31 off")
        self.assertEqual(self.assertOk(powctl("timer", "show", "2026", "12")).split("\n"), expected_grid(2026, 12, {7, 24}) + [""])
        expected = sum((expected_grid(2024, m, {2: {29}, 9: {1}}.get(m, set())) for m in range(1, 13)), [])
        self.assertEqual(self.assertOk(powctl("timer", "show", "2024")).split("\n"), expected + [""])
        self.assertEqual(json.loads(self.ctl("timer", "show", "2024", "--json")),
                         {"year": 2024, "months": [{"month": m, "on": {2: [29], 9: [1]}.get(m, [])} for m in range(1, 13)]})
        days = ["2024-02-29", "2024-09-01", "2026-12-07", "2026-12-24", "2031-07-04"]
        for to in ((), ("-",)):  # "-" is standard output too
            self.assertEqual([line for line in self.ctl("timer", "export", *to).splitlines() if line[0] != "#"], days)
        with tempfile.TemporaryDirectory() as scratch:
            saved = os.path.join(scratch, "days")
            self.script("timer export %s; timer set 2031-07-04 off; timer set 2030-01-01 on; timer import %s "
                        "=> 5 days on, every other day off, from %s; timer get 2031-07-04 => 2031-07-04 on; "
                        "timer get 2030-01-01 => 2030-01-01 off" % (saved, saved, saved))
            for args, said in ((("export", scratch + "/none/days"), "cannot write " + scratch + "/none/days: No such file"),
                               (("export", "/dev/full"), "cannot write /dev/full: No space left on device"),
                               (("import", scratch + "/none"), "cannot read " + scratch + "/none: No such file")):
                out = powctl("timer", *args)
                self.assertEqual((out.returncode, out.stdout), (2, ""), out.stderr)
                self.assertIn(said, out.stderr)
        for args, named in ((("set", "2026-02-29", "on"), ("2026-02-29", "28 days")), (("set", "2100-02-29", "on"), ("2100-02-29", "2000 to 2089")),
                            (("get", "2025-04-31"), ("2025-04-31", "30 days")), (("get", "1999-12-31"), ("1999-12-31", "2000 to 2089")),
                            (("set", "2026-13-01", "off"), ("2026-13-01", "month 13")), (("get", "2026-00-10"), ("2026-00-10", "month 0")),
                            (("get", "2026-05-00"), ("2026-05-00", "day 0")), (("get", "next-monday"), ("next-monday", "YYYY-MM-DD")),
                            (("set", "2026-05-01", "maybe"), ("STATE", "maybe"))):
            with self.subTest(args=args):
                out = powctl("timer", *args)
                self.assertUsage(out, *named)
                self.assertEqual(out.stdout, "")

    def test_sem_show_names_a_live_holder_and_a_killed_one_which_is_recovered_where_the_kernel_can(self):
        holder = self.start(POWCTL, "sem", "hold", "1", "60")
        holder.wait_line(r"^pid \d+ holds the POW semaphore")
        shown = self.assertOk(powctl("sem", "show"))
        self.assertTrue(shown.startswith("----PowerLibSemShow Start"), shown)
        self.assertIn('sem "sem_POW_Shm_SemName": held by pid %d\n' % holder.proc.pid, shown)
        self.assertIn('sem "sem_NVD_Shm_SemName": free', shown)
        self.assertIn('sem "sem_POW_Shm_SemNameHddReady": free', shown)
        self.assertEqual(holder.stop(signal.SIGTERM), 128 + signal.SIGTERM)
        self.assertIn("gave the POW semaphore back", "\n".join(holder.lines))
        self.assertIn('sem "sem_POW_Shm_SemName": free', self.ctl("sem", "show"))

        holder = self.start(POWCTL, "sem", "hold", "2", "60")
        holder.wait_line("holds the NVD semaphore")
        holder.stop(signal.SIGKILL)  # reaped, so the pid is really gone
        shown = self.ctl("sem", "show")
        self.assertIn('sem "sem_NVD_Shm_SemName": held by pid %d (dead)' % holder.proc.pid, shown)
        nvd = [s for s in json.loads(self.ctl("sem", "show", "--json"))["semaphores"] if s["semaphore"] == "NVD"][0]
        self.assertEqual((nvd["holder"], nvd["holder_running"]), (holder.proc.pid, False))
        if "robust futexes: yes" not in shown:
            self.skipTest("no robust futexes in this process (emulator): a dead holder is never recovered")
        self.script("timer get 2030-01-01 => 2030-01-01 off")
        self.assertIn("recovered from dead holder: 1 times", self.ctl("sem", "show"))

    def test_semlog_lists_the_records_the_service_wrote_and_marks_the_newest(self):
        writers = []
        for name, state, value in (("sem_POW_Shm_SemName", "take", 1), ("sem_POW_Shm_SemName", "give", 0),
                                   ("sem_NVD_Shm_SemName", "take", 1)):
            with subprocess.Popen([*EMULATOR, POWSVC, "semlog", "add", name, state, str(value)]) as p:
                self.assertEqual(p.wait(timeout=20 * SLOW), 0)
            writers.append(("%04d" % (len(writers) + 1), str(p.pid), name, state, str(value)))
        self.assertEqual(self.assertOk(powctl("semlog", "--library")).split("\n")[1].split()[0], "LIB_POW_showSemLog")
        out = self.ctl("semlog").split("\n")
        self.assertEqual([tuple(line.split()[i] for i in (0, 2, 4, 6, 7)) for line in out[1:-1]],
                         [(str(int(n)), *rest) for n, *rest in writers])
        self.assertEqual([line.endswith("*** newest") for line in out[1:-1]], [False, False, True])
        # A wrapped ring (all 100 used, the newest at position 3) lists oldest first, in columns under its header,
        # whatever the writer left: 10-digit pids, a newline in a name, a status without its NUL.
        with open(os.path.join(SHM, SEMLOG), "r+b") as f, mmap.mmap(f.fileno(), 8004) as area:
            for n in range(100):
                area[80 * n:80 * n + 80] = struct.pack((">" if ORDER == "big" else "<") + "iiI52sI8si", 10 * n, 1000 + 21 * 10 ** 6 * n, 7,
                                                       b"sem\n%d" % (10 ** (n % 4)), n, b"released" if n % 3 else b"take", -n)
            area[8000:8004] = (3).to_bytes(4, ORDER)
        out = self.ctl("semlog").split("\n")
        self.assertEqual([int(line.split()[0]) for line in out[1:-1]], list(range(4, 101)) + [1, 2, 3])
        self.assertTrue(out[-2].endswith("*** newest"), out[-2])
        poke(8000, 101, name=SEMLOG)  # a mark past the records: listed as they lie, none the newest
        listed = self.ctl("semlog").split("\n")[1:-1]
        self.assertEqual(([int(line.split()[0]) for line in listed], [line for line in listed if "newest" in line]), (list(range(1, 101)), []))
        starts = [m.start() for m in re.finditer(r"\S+", out[0])]
        for line in out[1:-1]:
            fields = list(re.finditer(r"\S+", line))
            self.assertEqual([m.start() for m in fields[:7]], starts[:7], line)
            self.assertEqual(fields[7].end(), len(out[0]), line)
        poke(8000, 99, name=SEMLOG)  # the writer fills position 100, then wraps to 1, marking each as the newest
        for position in (100, 1):
            self.assertOk(powsvc("semlog", "add", "w%d" % position, "take", "1"))
            newest = [line.split() for line in self.ctl("semlog").split("\n") if line.endswith("*** newest")]
            self.assertEqual([(int(f[0]), f[4]) for f in newest], [(position, "w%d" % position)])
        self.assertOk(powsvc("semlog", "clear"))
        self.assertEqual(self.ctl("semlog").split("\n")[1:], ["0 records, oldest first"])
        self.assertOk(powsvc("semlog", "add", "s", "take", "1")), self.assertIn("\n1 record, oldest first", self.ctl("semlog"))
        self.assertUsage(powsvc("semlog", "add", "x" * 52, "take", "1"), "NAME")
        self.assertUsage(powsvc("semlog", "add", "sem", "released", "1"), "STATUS", "released")

    def test_audit_names_damage_and_exits_1_repair_and_a_running_service_names_and_mends_it(self):
        def damage():  # index 1 (the top) off the stack, a total of 2 that nothing counts
            with open(os.path.join(SHM, PWR), "r+b") as f, mmap.mmap(f.fileno(), 2060) as area:
                order = "big" if area[1540:1542] == b"\x00\xff" else "little"  # the free count, 255
                area[1540:1542], area[0:2] = (254).to_bytes(2, order), (2).to_bytes(2, order)
        clean = powctl("audit")
        self.assertEqual((clean.returncode, clean.stdout), (0, "0 damage, 0 notes (total 0, sum of the counts 0, free 255, held 1)\n"))
        self.assertEqual(json.loads(self.ctl("audit", "--json")), {"damage": 0, "notes": 0, "total": 0, "count_sum": 0, "free_count": 255,
                                                                   "held": 1, "under_pow": True, "findings": []})
        damage()
        out = powctl("status")
        self.assertEqual(out.returncode, 1, out.stderr)
        self.assertIn("consistency: 2 damage (powctl audit names it, powctl repair mends it); total 2, sum of the counts 0, "
                      "lost indices: 1", out.stdout)
        out = powctl("audit")
        self.assertEqual(out.returncode, 1, out.stderr)
        self.assertEqual(out.stdout.splitlines()[:2], ["damage: total 2 is above the sum of the counts 0: power saving stays delayed for ever",
                                                       "damage: index 1 is lost: nobody holds it and it is not on the free stack"])
        report = json.loads(powctl("audit", "--json").stdout)
        self.assertEqual([(f["kind"], f["index"]) for f in report["findings"]], [("total-above-counts", -1), ("lost-index", 1)])
        self.assertEqual(self.ctl("repair"), "total 2 -> 0 (the sum of the counts), none-reserved note raised; 1 lost index pushed back: 1")
        self.script("audit => 0 damage, 0 notes (total 0, sum of the counts 0, free 255, held 1); repair => nothing to mend")
        damage()
        svc = self.start(POWSVC, "run", "--tick-ms", "50")
        svc.wait_line(r"^%s repaired the reservation table: found index0-not-owners \(index 0 holds pid %d counting 0, not the "
                      r"service's pid %d counting 0\), total-above-counts \(total 2 is above the sum of the counts 0: .*\), lost-index "
                      r"\(index 1 is lost: .*\); changed index 0 set to pid %d, count 0; total 2 -> 0 .*; 1 lost index pushed back: 1$"
                      % (STAMP, os.getpid(), svc.proc.pid, svc.proc.pid))
        self.assertEqual(len([line for line in svc.lines if "repaired" in line]), 1)
        damage()  # while it runs: found on the next tick
        svc.wait_line(r"^%s repaired the reservation table: found total-above-counts .*; changed total 2 -> 0 " % STAMP)
        self.assertEqual(powctl("audit").returncode, 0)
        svc.stop()
        poke(1540, 253, 2)  # the two top entries off the stack: both lost, both listed
        self.assertEqual(status()["consistency"]["lost"], [1, 2])
        self.assertRegex(powctl("status").stdout, r"(?m)^consistency: .*, lost indices: 1 2(;|$)")

    def test_trace_mask_selects_the_library_levels_and_failures_show_unless_it_is_0(self):
        def trace(out):
            return [m.groups() for m in map(TRACE_LINE.match, out.splitlines()) if m]
        full = trace(self.ctl("--trace", "0x71", "hdd-ready", "get"))
        self.assertEqual(full[0], ("LIB_POW_isHddReady", "Start"))
        self.assertIn(("lock", "Start(Name=sem_POW_Shm_SemName)"), full)
        self.assertIn(("GetShm", "Start(Key=/shm_PWR_SharedArea, size=2060, mode=0x1b6)"), full)
        self.assertEqual(self.assertOk(powctl("--trace", "0", "hdd-ready", "get")), "0\n")
        self.assertIn(("setPowerSaveDelayPid", "End(DelayTaskNum=1 [index=4, count=1])"),
                      trace(self.ctl("delay", "set", "4", "--trace", "16")))  # after the command too
        # The lines the troubleshooting page quotes are the library's own.
        line, seen = r"LIB_PowerService\.cpp\((\d+)\):(\w+) (\w+)", set()
        for args in (["--trace", "0x71", "delay", "reserve", "--hold", "0"], ["delay", "reserve", "--no-release"], ["--trace", "0x10", "sweep"]):
            seen |= set(re.findall(line, self.ctl(*args)))
        with open(os.path.join(HERE, "..", "..", "docs", "troubleshooting.md")) as page:
            quoted = set(re.findall(line, page.read()))
        self.assertEqual((bool(quoted), quoted - seen), (True, set()))
        poke(1540, 0, 2)  # an empty free-index stack: the library refuses a new index at level 1
        out, quiet = powctl("delay", "reserve"), powctl("--trace", "0", "delay", "reserve")
        self.assertEqual([f for f, m in trace(out.stdout) if re.fullmatch(r"ss_Index=-1 Failed! pid=\d+", m)], ["setPowerSaveDelayPid"])
        self.assertEqual((out.returncode, quiet.returncode, trace(quiet.stdout)), (2, 2, []))
        traced = self.ctl("--trace", "080", "hdd-ready", "get")  # 80 = 0x50 (64 and 16): decimal
        self.assertEqual(("lock Start(Name=sem_POW_Shm_SemName)" in traced, "GetShm" in traced), (True, False))
        self.start(POWSVC, "run", "--trace", "0x71", "--tick-ms", "50").wait_line(r"^LIB_PowerService\.cpp\(\d+\):lock Start")  # the service too

OUTSIDER, MEMBER = (["setpriv", "--reuid", "51003", "--regid", "51003", "--clear-groups"],
                    ["setpriv", "--reuid", "51001", "--regid", "51001", "--groups", "51000"])
# A root process (not the service) that holds the pid file's lock and writes TEXT into it.
LOCKER = ("import fcntl, os, sys, time\nfd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o600)\n"
          "fcntl.lockf(fd, fcntl.LOCK_EX)\nstart = open('/proc/self/stat').read().rsplit(')', 1)[1].split()[19]\n"
          "os.write(fd, sys.argv[2].format(pid=os.getpid(), start=start).encode())\nprint('locked', flush=True)\ntime.sleep(60)")


contents = lambda path: pathlib.Path(path).read_bytes()


def start_ticks(pid):
    return contents("/proc/%d/stat" % pid).rsplit(b")", 1)[1].split()[19].decode()


class AttackTest(ToolTest):
    make_areas = False

    def test_attacks_of_an_outsider_a_member_and_root_on_forged_files_are_refused_and_change_nothing(self):
        if os.getuid() != 0 or subprocess.run([*OUTSIDER, "true"]).returncode != 0:
            self.skipTest("needs root that may act as other users")
        shm, run_ = "%s/PLAT_sem.sem_" % SHM, "mkdir -p %s; " % RUN
        # who runs the step; what stands before it (as root, "outsider:" as the outsider, "lock:" a lock holder
        # writing TEXT, "hold" an outsider holding its own POW, "count7" a count on index 7 nobody holds); the step;
        # its exit and text; the world: "bare" (nothing), "job" (areas for group 51000, a root job counting 2 on
        # index 1, a day on), "svc" (and the service). Processes, the canary and (but in "bare") every object in
        # /dev/shm, byte for byte, must be as they were before the plant.
        rows = (("outsider", "", "echo -1 >%s/powsvc.pid || ln -s %s %s/powsvc.history" % (RUN, CANARY, RUN), 1, "Permission denied", "svc"),
                ("outsider", "", "powctl history", 2, "powsvc.history: Permission denied", "svc"),
                ("root", "lock:-1 0", "powsvc remove --force", 2, "nothing signalled: the pid file names pid -1, which cannot", "job"),
                ("root", "lock:{pid} {start}", "powsvc remove --force", 2, r"nothing signalled: pid \d+ runs \S*python\S*, not this program", "job"),
                ("root", "echo {svc} 1 >%s/powsvc.pid" % RUN, "powsvc remove --force", 2, "started at tick {svcstart} after boot, not at tick 1 as", "svc"),
                ("root", "echo {svc} 0 >%s/powsvc.pid" % RUN, "powsvc remove --force", 2, "not at tick 0 as the pid file says", "svc"),
                ("root", "lock:4194000 0", "powsvc remove --force", 2, "nothing signalled: pid 4194000 cannot be had: No such process", "job"),
                ("root", "echo {job} {jobstart} >%s/powsvc.pid" % RUN, "powsvc remove --force", 2, r"its lock is held by pid {svc} \(", "svc"),
                ("root", run_ + "echo 1 5 >%s/powsvc.pid" % RUN, "timeout -s INT --preserve-status %d powsvc run" % (2 * SLOW), 0, "running as pid", "bare"),
                ("root", run_ + "ln -s %s %s/powsvc.history" % (CANARY, RUN), "powsvc run", 2, "powsvc.history is a symbolic link", "job"),
                ("root", run_ + "chmod 777 " + RUN, "powsvc run", 2, r"may be written by other users \(mode 0777\)", "job"),
                ("root", run_ + "touch {0}/powsvc.history; chmod 620 {0}/powsvc.history".format(RUN), "powsvc run", 2,
                 r"powsvc.history may be written by other users \(mode 0620\)", "job"),
                ("root", run_ + "echo forged >{0}/powsvc.history; chown 51003 {0}/powsvc.history".format(RUN), "powctl history", 2,
                 "history belongs to 51003, not to the service's user root", "job"),
                ("member", "", "powctl hdd-sleep-delay get", 0, "^0$", "job"),
                ("member", "", "powctl delay reset 17", 2, r"index 17 counts no request: .*index 1 \(count 2, pid {job} \(", "job"),
                ("root", "count7", "powctl delay release 7", 0, "cleared the count of index 7, which nobody holds", "job"),
                ("root", "outsider:mkfifo %s/shm_PWR_SharedArea" % SHM, "powctl status", 2, "shm_PWR_SharedArea is a FIFO, not a regular file", "bare"),
                ("root", "outsider:mkdir {0}POW_Shm_SemName; mkfifo {0}NVD_Shm_SemName; echo x >{0}POW_Shm_SemNameHddReady; mkfifo {1}/shm_PWR_SharedArea; "
                         "ln -s {2} {1}/shm_NVD_SharedArea".format(shm, SHM, CANARY), "powsvc create --reset --group 51000 && stat -c '%F %U %a' /dev/shm/* | uniq -c",
                 0, "^ +6 regular file root 660$", "bare"),
                ("root", "outsider:mkdir %s/shm_NVD_SharedArea; touch %s/shm_NVD_SharedArea/x" % (SHM, SHM), "powsvc create --reset", 2,
                 "a directory with entries in it", "bare"),
                ("root", "hold", "powsvc create --reset --group 51000", 2, r"semaphore sem_POW_Shm_SemName belongs to 51003 .*shuts out "
                 r"has it; in use by pid \d+ \(\S+\): left in place", "bare"),
                ("root", "", "powsvc create --mode 0000", 2, "'0000' locks every process out", "job"),
                ("root", "", "powsvc create --reset --group 51000 --mode 0640", 2, "mode 0640 locks clients out", "job"))
        # Refusals of what changes the device: a member (of group 51000, not root) and an outsider; every row in "job".
        own = "--run-dir $(mktemp -d)"  # past the runtime directory's check to the objects'
        denied = r"/shm_(PWR|NVD|LIB_POW_SemLog)\w+: permission denied \(owner root, group 51000, mode 0660\): run this as"
        rows += tuple(("outsider", "", step, 2, denied, "job") for step in (
            "powctl delay set 3", "powctl delay reset 1", "powctl delay release 1 --force", "powctl delay release --pid 1 --force",
            "powctl delay reserve", "powctl hdd-ready set 1", "powctl hdd-sleep-delay clear", "powctl none-reserved take",
            "powctl reset-timer request", "powctl reset-timer take", "powctl timer set 2030-01-02 off", "echo 2030-01-03 | powctl timer import -",
            "powctl repair", "powctl sweep --force", "powsvc semlog clear", "powsvc semlog add s take 1"))
        shut = r"sem_POW_Shm_SemName: Permission denied \(owner root, group 51000, mode 0660\)"
        roots, gone = r"sem_POW_Shm_SemName belongs to root, not to this service's user 51001 .* only root may take", r"cannot remove %s \(owner root, mode 0660\): .* remove it as root$"
        rows += tuple((who, "", step.replace("%s", own), 2, said, "job") for who, step, said in (
            ("outsider", "powsvc create %s", shut), ("outsider", "powsvc run %s", shut), ("outsider", "powsvc remove %s", gone % r"\S+"),
            ("member", "powsvc create %s", roots), ("member", "powsvc run %s", roots),
            ("member", "powsvc create --reset %s", gone % "semaphore sem_POW_Shm_SemName"),
            ("member", "powsvc remove %s", gone % "/shm_PWR_SharedArea"), ("member", "powsvc reset power %s", gone % "/shm_PWR_SharedArea"),
            ("member", "powctl sweep", r"may not signal pid {job} \("),
            ("member", "powctl delay release 1", r"index 1 is held by pid {job} \(\S+\), which still runs")))
        for who, plant, step, code, said, world in rows:
            with self.subTest(who=who, plant=plant, step=step):
                self.setUp()
                try:
                    self.attack(who, plant, step, code, said, world)
                finally:
                    self.tearDown()

    def attack(self, who, plant, step, code, said, world):
        alive, names = self.world(world)
        with open(CANARY, "w") as f:
            f.write("canary\n")
        before = self.objects()
        if plant.startswith("lock:"):
            os.makedirs(RUN, exist_ok=True)
            alive.append(self.start_helper([sys.executable, "-c", LOCKER, RUN + "/powsvc.pid", plant[5:]], "locked"))
        elif plant == "hold":
            alive.append(self.start_helper([*OUTSIDER, "powctl", "sem", "hold", "1", "60"], "holds the POW"))
        elif plant == "count7":
            poke(4 + 4 * 256 + 2 * 7, 1, 2), poke(0, 3, 2)  # index 7 counts 1, the total 2 + 1
        else:
            user, text = (OUTSIDER, plant[9:]) if plant.startswith("outsider:") else ([], plant)
            self.assertEqual(subprocess.run([*user, "sh", "-c", text.format(**names)]).returncode, 0, plant)
        out = subprocess.run([*{"outsider": OUTSIDER, "member": MEMBER}.get(who, []), "sh", "-c", step], capture_output=True,
                             text=True, timeout=10 * SLOW)
        self.assertEqual(out.returncode, code, out.stdout + out.stderr)
        self.assertRegex(out.stdout + out.stderr, re.compile(said.format(**names), re.M))
        if code == 2 and who != "root":  # a refusal is one line
            self.assertEqual(len(out.stderr.splitlines()), 1, out.stderr)
        self.assertEqual([p.poll() for p in alive], [None] * len(alive), "a process was signalled")
        self.assertEqual(contents(CANARY), b"canary\n", "a link was followed")
        if world != "bare":
            self.assertEqual(self.objects(), before)

    def world(self, kind):
        """Starts the world of a row; its processes and their pids and start ticks."""
        alive, names = [], {}
        if kind != "bare":
            self.assertOk(powsvc("create", "--group", "51000"))
            self.ctl("timer", "set", "2030-01-02", "on")
            job = self.start(POWCTL, "delay", "reserve", "--count", "2", "--hold", "60")
            job.wait_line("reserved delay index 1")
            alive.append(job.proc)
            names.update(job=job.proc.pid, jobstart=start_ticks(job.proc.pid))
        if kind == "svc":
            svc = self.start(POWSVC, "run", "--tick-ms", "50")
            svc.wait_line("running as pid")
            alive.append(svc.proc)
            names.update(svc=svc.proc.pid, svcstart=start_ticks(svc.proc.pid))
        return alive, names

    def start_helper(self, argv, ready):
        helper = Running(argv[0], *argv[1:], emulated=False)
        self.running.append(helper)
        helper.wait_line(ready)
        return helper.proc

    def objects(self):
        """Every name in /dev/shm: its kind, owner, group, mode and bytes."""
        seen = {}
        for name in sorted(os.listdir(SHM)):
            st = os.lstat(os.path.join(SHM, name))
            seen[name] = (st.st_mode, st.st_uid, st.st_gid, contents(os.path.join(SHM, name)) if os.path.isfile(os.path.join(SHM, name)) else b"")
        return seen


class BareDeviceTest(ToolTest):
    make_areas = False

    def test_help_on_every_command_and_sem_show_on_a_bare_device_make_nothing(self):
        for tool, program in (("powctl", POWCTL), ("powsvc", POWSVC)):
            paths = [[]]  # every command the help lists, and its own help in turn
            every = self.assertOk(run(program, "--help-all"))  # the manual page's text: every command, at every depth
            while paths:
                path = paths.pop()
                with self.subTest(command=" ".join([tool, *path])):
                    self.assertRegex(every, r"(?m)^%s( [A-Z\[].*)?:$" % re.escape(" ".join([tool, *path])) if path else "^%s:" % tool)
                    out = self.assertOk(run(program, *path, "--help"))
                    self.assertIn("Usage:", out)
                    self.assertIn(" ".join(path), out)
                    if tool == "powctl":
                        self.assertIn("--trace", out)
                        self.assertIn("--timeout", out)
                    section = out.split("Subcommands:")[1].split("\n\n")[0] if "Subcommands:" in out else ""
                    paths += [path + [line.split()[0]] for line in section.splitlines() if line.strip()]
            self.assertEqual(self.assertOk(run(program, "--version")), "%s (LIB_POW) 1.0.0\n" % tool)
        shown = self.ctl("sem", "show")
        self.assertEqual(shown.count("sem: none (handle 0)"), 3, shown)
        self.assertIn("sem_NVD_Shm_SemName: not made yet", shown)
        self.assertEqual(os.listdir(SHM), [])

    def test_bad_usage_and_a_missing_area_exit_2_each_with_one_line_naming_it(self):
        usage = {POWCTL: [("bogus", "bogus"), ("", "command is required"), ("delay bogus", "delay bogus"), ("status --jsn", "--jsn"),
                          ("sem hold 4 1", "N 4"), ("sem hold 2 nan", "SECONDS nan"), ("hdd-ready put", "put"), ("hdd-ready get 1", "1"),
                          ("hdd-ready set", "VALUE"), ("hdd-ready set 2", "VALUE 2"), ("hdd-sleep-delay set", "set"), ("reset-timer drop", "drop"),
                          ("none-reserved set", "set"), ("watch --seconds nan", "--seconds nan"), ("--trace 0x10zz status", "--trace 0x10zz"),
                          ("delay reserve --hold nan", "--hold nan"), ("delay reserve --hold abc", "--hold 0 to 86400"),
                          ("delay reset x", "INDEX x"), ("delay release", "INDEX or --pid"), ("delay check --json", "--json"),
                          ("--json sweep", "--json"), ("timer set 2026-01-01", "STATE"), ("--trace", "--trace"),
                          ("--trace 16abc status", "--trace 16abc 0x"), ("--trace lots status", "--trace lots"),
                          ("jamlog --send z_nope=a_adrm", "z_nope"), ("jamlog --send a_adrm", "a_adrm"), ("jamlog --send a_adrm=s_jobs:ten", "ten"),
                          ("jamlog --send a_adrm=s_jobs:1:2:3", "DST=SRC[:KIND[:SEQ]]"), ("jamlog --send a_adrm=s_jobs:1:x", "'a_adrm=s_jobs:1:x' SEQ"),
                          ("jamlog --send ''", "--send ''"), ("delay set ''", "INDEX 0 to 255"), ("--trace '' status", "--trace ''")],
                 POWSVC: [("bogus", "bogus"), ("run --trace 0x", "--trace"), ("create --group root --mode 0666", "mode 0666 other users 0660"),
                          ("reset bogus", "'bogus' six objects"), ("create --mode ''", "--mode ''"), ("semlog add s take ''", "VALUE ''")]}
        for program, cases in usage.items():
            for args, named in cases:
                with self.subTest(program=program, args=args):
                    line = self.assertUsage(run(program, *shlex.split(args)), *named.split())
                    self.assertTrue(line.startswith(os.path.basename(program)) and len(line) < 200, line)
        self.assertUsage(powctl("timer", "get", " 2026-04-01"), "powctl timer get: DATE: ' 2026-04-01'", "YYYY-MM-DD", "--help")
        for args, named in ((["status"], PWR), (["watch", "--seconds", "1"], PWR), (["delay", "reserve"], PWR),
                            (["sweep"], PWR), (["hdd-ready", "get"], PWR), (["timer", "get", "2030-01-01"], NVD),
                            (["semlog"], SEMLOG), (["audit"], PWR), (["history"], "no history"),
                            (["hdd-sleep-delay", "get"], PWR), (["timer", "export", "-"], NVD), (["repair"], PWR), (["delay", "release", "1"], PWR)):
            with self.subTest(args=args):
                out = powctl(*args)
                self.assertEqual((out.returncode, len(out.stderr.splitlines())), (2, 1), out.stdout + out.stderr)
                self.assertIn(named, out.stderr)
        out = run(POWSVC, "create", "--group", "51000", user=["unshare", "--user", "--map-root-user"])  # a group it cannot map
        if "unshare:" not in out.stderr:  # a refused call says only that, and nothing is made
            self.assertEqual(self.assertUsage(out), "powsvc: PLAT_semBCreateAccess(sem_POW_Shm_SemName) failed: Invalid argument")
        self.assertEqual(os.listdir(SHM), [])  # nothing was made on the way

    def test_jamlog_records_the_sends_given_and_lists_those_not_cleared(self):
        out = self.ctl("jamlog", "--send", "s_wsds=f_devm:0x30:9", "--send", "/var/spool/sockets/a_adrm=s_jobs:0x10:7", "--clear", "s_wsds")
        self.assertRegex(out, r"^sock_send \[s_jobs\]->\[a_adrm\]    time:\[-?\d+ \(ms\)\]    kindid:\[0x10\]    reqseqid:\[0x7\]$")
        self.assertEqual(self.assertOk(powctl("jamlog")), "########## no jam log.  SockSendJamLog\n")

    def test_powsvc_create_keeps_existing_objects_reset_rewrites_them_remove_unlinks(self):
        out = powsvc("create", "--index0-pid", "4242")  # a fresh device: made, with nothing to say on stderr
        self.assertEqual((out.returncode, out.stderr), (0, ""), out.stdout)
        self.assertEqual({n: os.stat(os.path.join(SHM, n)).st_size for n in (PWR, NVD, SEMLOG)},
                         {PWR: 2060, NVD: 4756, SEMLOG: 8004})
        snap = status()
        self.assertEqual((held(snap)[0]["pid"], snap["free_depth"], snap["total"]), (4242, 255, 0))
        self.ctl("delay", "reserve", "--count", "2", "--no-release")
        self.ctl("timer", "set", "2030-03-03", "on")
        out = powsvc("create", "--index0-pid", "1")  # already there: left alone, and said so
        self.assertEqual((out.returncode, out.stderr), (0, "powsvc: the areas existed already: --index0-pid 1 ignored, "
                                                           "index 0 stays with pid 4242 (powsvc create --only power --index0-pid 1 rewrites the power area)\n"))
        self.assertEqual(powsvc("create", "--index0-pid", "4242").stderr, "")  # the pid it has: nothing to say
        out = self.assertOk(powsvc("create", "--reset"))  # every object whole: each kept, the calendar too
        self.assertEqual(len(re.findall(r"(?m) kept: whole \(owner ", out)), 6, out)
        snap = status()
        self.assertEqual((held(snap)[0]["pid"], snap["total"]), (4242, 2))
        self.assertEqual(self.assertOk(powsvc("create", "--only", "power", "--index0-pid", "77")),
                         "/%s rewritten to its first content in place, as asked\n" % PWR)
        snap = status()
        self.assertEqual((sorted(held(snap)), held(snap)[0]["pid"], snap["total"], snap["free_depth"]), ([0], 77, 0, 255))
        self.script("timer get 2030-03-03 => 2030-03-03 on")
        kept = re.search(r"in (\S+) \(powctl timer import \1 puts them back\)", self.assertOk(powsvc("reset", NVD, "/" + NVD))).group(1)
        self.script("timer get 2030-03-03 => 2030-03-03 off; timer import %s => 1 day on, every other day off, from %s; "
                    "timer get 2030-03-03 => 2030-03-03 on" % (kept, kept))
        open(os.path.join(RUN, "powsvc.pid"), "w").close()  # empty, as a crash right after making it leaves it: nothing runs
        self.assertOk(powsvc("remove"))
        self.assertEqual(os.listdir(SHM), [])
        self.assertEqual([s["made"] for s in json.loads(self.ctl("--json", "sem", "show"))["semaphores"]], [False] * 3)
        self.assertOk(powsvc("remove"))  # nothing left to remove is fine

    def test_powsvc_run_owns_index0_decides_power_saving_and_ends_cleanly_on_sigterm(self):
        svc = self.start(POWSVC, "run", "--grace", "0.5", "--tick-ms", "50")
        pid = svc.proc.pid
        began = svc.wait_line(r"^%s running as pid %d: areas ready, delay index 0 is ours$" % (STAMP, pid))
        self.assertEqual(held(status())[0]["pid"], pid)
        self.assertIn(held(status())[0]["process"], program_names("powsvc"))
        saving = svc.wait_line(r"^%s entering power saving: no delay for 0\.5 s$" % STAMP)
        seconds = lambda line: sum(float(part) * unit for part, unit in zip(line.split()[0].split(":"), (3600, 60, 1)))
        self.assertGreaterEqual((seconds(saving) - seconds(began)) % 86400, 0.499, "the grace is waited out from the start")
        job = self.start(POWCTL, "delay", "reserve", "--hold", "60")
        job.wait_line("reserved delay index 1")
        svc.wait_line(r"^%s leaving power saving: a delay is reserved$" % STAMP)
        self.assertEqual(job.stop(signal.SIGTERM), 128 + signal.SIGTERM)
        dropped = svc.lines.index(svc.wait_line(r"^%s reservations dropped to none$" % STAMP))
        # the service's own sweep gives the ended job's index back
        self.assertTrue(eventually(lambda: 1 not in held(status())), status())
        svc.wait_line(r"^%s entering power saving" % STAMP, since=dropped + 1)
        self.ctl("reset-timer", "request")
        svc.wait_line(r"^%s auto-sleep timer reset requested; leaving power saving$" % STAMP)
        self.script("reset-timer peek => 0x0")
        self.assertEqual(svc.stop(signal.SIGTERM), 0)
        self.assertRegex(svc.lines[-1], r"^%s stopping; the areas stay in place$" % STAMP)
        self.assertEqual([os.path.exists(os.path.join(SHM, n)) for n in (PWR, NVD, SEMLOG)], [True] * 3)
        self.assertEqual(held(status())[0]["pid"], pid)

class FieldTest(ToolTest):
    """A device on a bad day: broken objects, numbers as people type them, held semaphores, another user, a second
    service."""

    def nobody(self):  # runs a program as the unprivileged uid 65534, or skips
        nobody = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]
        if os.getuid() != 0 or subprocess.run([*nobody, "true"], capture_output=True).returncode != 0:
            self.skipTest("needs root that may switch to the unprivileged uid 65534")
        return nobody

    def test_short_objects_are_refused_with_their_fix_instead_of_a_bus_error(self):
        commands = {PWR: ["status", "delay check", "watch --seconds 1", "sweep", "audit", "repair", "delay release 1", "delay reserve",
                          "hdd-ready get"],
                    NVD: ["timer get 2030-01-01", "timer show 2030 1"],
                    SEMLOG: ["semlog", "semlog --library", "powsvc semlog add s take 1", "powsvc semlog clear"]}
        for name, runs in commands.items():
            full = {PWR: 2060, NVD: 4756, SEMLOG: 8004}[name]
            for size in (0, full - 1):
                os.truncate(os.path.join(SHM, name), size)
                self.assertEqual(powctl("audit").returncode, 2 if name == PWR else 1)  # a short calendar or trace area is damage
                if name != PWR:  # that the status shows, and exits 1
                    shown = powctl("status")
                    self.assertEqual((shown.returncode, "objects: 1 damage: /%s is %d bytes" % (name, size) in shown.stdout), (1, True), shown.stdout)
                    objects = status()["objects"]
                    self.assertEqual((objects["damage"], [(f["kind"], f["damage"], "/%s is %d bytes" % (name, size) in f["text"])
                                                          for f in objects["findings"]]), (1, [("area-unusable", True, True)]))
                for args in ["powctl " * (not a.startswith("powsvc")) + a for a in runs] + ["powsvc run", "powsvc create"]:
                    with self.subTest(object=name, size=size, args=args):
                        out = run({"powctl": POWCTL, "powsvc": POWSVC}[args.split()[0]], *args.split()[1:])
                        self.assertEqual((out.returncode, len(out.stderr.splitlines())), (2, 1), out.stdout + out.stderr)
                        self.assertIn("/%s is %d bytes, needs %d" % (name, size, full), out.stderr)
                        self.assertIn("powsvc create --reset re-makes it in place", out.stderr)
            self.assertOk(powsvc("create", "--reset"))
        self.assertEqual((status()["total"], status()["objects"]), (0, {"damage": 0, "findings": []}))
        self.assertIn(" refused pid ", self.ctl("history"))  # the history works on a broken device too
        for args, cut, said in (("delay reserve --hold 60", PWR, "/%s is 0 bytes" % PWR),
                                ("sem hold 1 60", "PLAT_sem.sem_POW_Shm_SemName", "semaphore POW (sem_POW_Shm_SemName) is 0 bytes")):
            job = self.start(POWCTL, *args.split(), merge=True)  # an object cut short under a hold: exit 2, saying so
            job.wait_line("reserved delay index|holds the POW")
            os.truncate(os.path.join(SHM, cut), 0)
            self.assertEqual((job.stop(), said in job.lines[-1]), (2, True), "\n".join(job.lines))

    def test_a_running_service_outlives_each_broken_object_and_keeps_what_is_whole(self):
        sem = lambda name: "PLAT_sem.sem_%s_Shm_SemName" % name
        # The damage (object, kind: cut to N bytes, grown to N, flapping between 0 and whole, random bytes, the total
        # raised by 8); what the service says of it; what must stay ("days" the calendar's day, "job" the live job's
        # index and count, "same" every damaged object's inode); what the operator runs after (none: the service mends).
        rows = (([(PWR, "cut", 0)], r"/%s is 0 bytes, needs 2060: the service goes on with the other objects" % PWR, "days",
                 "powsvc create --reset --force"),
                ([(PWR, "flap", 2060)], "", "days same", ""),
                ([(PWR, "grow", 4096)], "", "days job same", ""),
                ([(PWR, "swap", 0)], r"an object was cut short while in use", "days", ""),  # the library's old mapping cut
                ([(PWR, "garbage", 2060)], r"repaired the reservation table: found index0-not-owners", "days same", ""),
                ([(NVD, "cut", 10), (SEMLOG, "cut", 0), (PWR, "total+8", 0)],
                 r"repaired the reservation table: found total-above-counts .*; changed total 10 -> 2 ", "job", "powsvc create --reset --force"),
                ([(sem("POW"), "garbage", 0)], r"semaphore POW \(sem_POW_Shm_SemName\) is not a semaphore record: .*; re-made in its own file, free",
                 "days job same", ""),
                ([(sem("NVD"), "cut", 0)], r"semaphore NVD \(sem_NVD_Shm_SemName\) is 0 bytes, a semaphore record \d+: .*; re-made in its own file",
                 "days job same", ""))
        for damages, said, keep, mend in rows:
            with self.subTest(damage=damages):
                self.setUp()
                try:
                    self.broken(damages, said, keep, mend)
                finally:
                    self.tearDown()

    def broken(self, damages, said, keep, mend):
        self.ctl("timer", "set", "2030-01-02", "on")
        svc = self.start(POWSVC, "run", "--tick-ms", "20")
        svc.wait_line("running as pid")
        job = self.start(POWCTL, "delay", "reserve", "--count", "2", "--hold", "60")
        index = int(re.search(r"index (\d+)", job.wait_line("reserved delay index")).group(1))
        inodes = {name: os.stat(os.path.join(SHM, name)).st_ino for name, _, _ in damages}
        seen = len(svc.lines)
        for name, kind, size in damages:
            path = os.path.join(SHM, name)
            if kind == "flap":  # and tools read it meanwhile: none may die of SIGBUS
                end = time.time() + 1.5
                while time.time() < end:
                    for n in (0, size, 0, size):
                        os.truncate(path, n)
                    self.assertGreaterEqual(powctl("status").returncode, 0, "powctl status died of a signal")
            elif kind == "swap":  # a whole copy at the name; the one the service's library mapped is cut
                with open(path, "r+b") as old:
                    shutil.copy(path, path + ".new"), os.rename(path + ".new", path), old.truncate(0)
            elif kind == "total+8":
                poke(0, 10, 2)
            elif kind == "garbage":  # size 0: as long as it is
                with open(path, "r+b") as f:
                    f.write(os.urandom(size or os.fstat(f.fileno()).st_size))
            else:
                os.truncate(path, size)
        if said:
            svc.wait_line(said, since=seen)
        time.sleep(0.2)  # a few ticks over the damage
        if "flap" not in str(damages):  # a short object is said once, by the look, and never touched after it (only a
            lines = svc.lines[seen:]     # tick the cut fell into, before the look, may have met it)
            lines = lines[next((n for n, line in enumerate(lines) if "goes on with the other" in line), 0):]
            self.assertEqual([line for line in lines if "bytes, needs" in line and "goes on with the other" not in line], [])
        self.assertIsNone(svc.proc.poll(), "the service died:\n" + "\n".join(svc.lines))
        if mend:
            self.assertNotEqual(powctl("audit").returncode, 0, "the audit passes a broken object")
            self.assertOk(run(POWSVC, *mend.split()[1:]))
        self.assertTrue(eventually(lambda: powctl("audit").returncode == 0), powctl("audit").stdout)
        self.assertIsNone(svc.proc.poll(), "the service died:\n" + "\n".join(svc.lines))
        self.assertEqual(held(status())[0]["pid"], svc.proc.pid)
        if "days" in keep:
            self.script("timer get 2030-01-02 => 2030-01-02 on")
        if "job" in keep:
            self.assertEqual((held(status())[index]["pid"], held(status())[index]["count"], status()["total"]), (job.proc.pid, 2, 2))
        if "same" in keep:
            self.assertEqual({name: os.stat(os.path.join(SHM, name)).st_ino for name in inodes}, inodes)

    def test_a_runtime_directory_or_history_another_user_could_have_planted_is_refused_by_each_program(self):
        base = tempfile.mkdtemp(dir=os.path.dirname(RUN))
        link, plain, open_, fifo, linked = (os.path.join(base, n) for n in ("link", "plain", "open", "fifo", "linked"))
        os.symlink(base, link), open(plain, "w").close(), os.mkdir(open_), os.chmod(open_, 0o777), os.mkdir(fifo), os.mkdir(linked)
        os.mkfifo(os.path.join(fifo, "powsvc.history"), 0o600), os.link(plain, os.path.join(linked, "powsvc.history"))
        why = " (the service keeps its pid file and history only where no other user may write; fix it, or give another with --run-dir or $POWSVC_RUN_DIR)"
        for where, said in ((link, "is a symbolic link (not followed)"), (plain, "is not a directory"), (open_, "may be written by other users (mode 0777)")):
            for program, command in ((POWCTL, "history"), (POWSVC, "remove"), (POWSVC, "run"), (POWSVC, "create --reset")):
                with self.subTest(where=where, command=command):
                    out = run(program, *command.split(), "--run-dir", where)
                    name = os.path.basename(program)
                    self.assertEqual((out.returncode, out.stderr), (2, "%s: the runtime directory %s %s%s\n" % (name, where, said, why)))
        pidlink, piddir = os.path.join(base, "pidlink"), os.path.join(base, "piddir")
        os.mkdir(pidlink), os.symlink(plain, os.path.join(pidlink, "powsvc.pid")), os.makedirs(os.path.join(piddir, "powsvc.pid"))
        with open(os.path.join(pidlink, "powsvc.history"), "w") as full:  # at its limit: moved aside by the refusal's line
            full.write("x" * 65536)
        for where, said in ((fifo, fifo + "/powsvc.history is not a regular file (mode 0600)"), (linked, linked + "/powsvc.history has 2 names (hard links)"),
                            (pidlink, pidlink + "/powsvc.pid is a symbolic link (not followed)"), (piddir, piddir + "/powsvc.pid: Is a directory"),
                            (base + "/none/a", "cannot make the runtime directory %s/none/a: No such file or directory%s" % (base, why))):
            out = run(POWSVC, "run", "--run-dir", where)
            self.assertEqual((out.returncode, out.stderr), (2, "powsvc: %s\n" % said))
        self.assertEqual((os.path.getsize(pidlink + "/powsvc.history.1"), contents(pidlink + "/powsvc.history").count(b"\n")), (65536, 1))

    def test_a_damaged_semaphore_is_shown_named_by_the_audit_and_re_made_by_a_repair(self):
        for name, size in (("POW", 300), ("NVD", 0)):
            with self.subTest(semaphore=name):
                with open("%s/PLAT_sem.sem_%s_Shm_SemName" % (SHM, name), "r+b") as f:
                    f.truncate(0), f.write(os.urandom(size))
                said = r"semaphore %s \(sem_%s_Shm_SemName\) is %d bytes, a semaphore record \d+: every take of it fails or waits" % (name, name, size)
                out = powctl("status")
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertRegex(out.stdout, "(?m)^objects: 1 damage: " + said + r" \(powctl audit names it; ")
                out = powctl("audit")
                without = "; the table was read without POW, which is damaged" if name == "POW" else ""
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertRegex(out.stdout, "^damage: " + said + r"\n1 damage, 0 notes \(.*\)" + without + "\n$")
                audit = json.loads(powctl("--json", "audit").stdout)
                self.assertEqual(([f["kind"] for f in audit["findings"]], audit["under_pow"]), (["semaphore-damaged"], name != "POW"))
                out = powctl(*("delay reserve" if name == "POW" else "timer set 2030-01-01 on").split())  # a command that takes it
                self.assertEqual(out.returncode, 2, out.stderr)
                self.assertRegex(out.stderr, r"^powctl: semaphore sem_%s_Shm_SemName is %d bytes, a semaphore record \d+: every take of it fails or waits \(powctl repair" % (name, size))
                self.assertRegex(self.ctl("repair"), "^re-made " + said + ": in its own file, free$")
                self.assertEqual(powctl("audit").returncode, 0)

    def test_numbers_are_decimal_as_people_type_them(self):
        self.script('timer show 2026 08 --json => {"year":2026,"months":[{"month":8,"on":[]}]}; delay set 010 => 10; '
                    "timer set 2026-08-09 on; timer set 2026-08-31 on; --json timer get 2026-08-09 => {\"date\":\"2026-08-09\",\"on\":true}; "
                    'timer show 2026 8 --json => {"year":2026,"months":[{"month":8,"on":[9,31]}]}')
        self.assertRegex(self.ctl("delay", "reserve", "--count", "010"), r"reserved delay index \d+, count 10\n")
        form, month, day = "not a date of the form YYYY-MM-DD", "month 13 does not exist", "day %d does not exist, that month has %d days"
        with tempfile.NamedTemporaryFile("w", suffix=".days") as days:  # a bad line imports nothing, the good before it included
            for line, said in (("2090-01-01", "the weekly timer covers the years 2000 to 2089"), ("2030-01-02 maybe", "after the date only on or off"),
                               ("2030-01-02 on extra", "one date a line"), ("2030/01-02", form), ("2030-01/02", form), ("2030-0a-02", form),
                               ("+030-01-02", form), ("2030-1-02", form), ("2030-13-01", month), ("2030-02-30", day % (30, 28)), ("2030-01-00", day % (0, 31)),
                               ("2030-13-01 on extra", month)):
                days.seek(0), days.truncate(), days.write("2089-12-31 on # the last day\n2089-12-30 off\n\n%s\n" % line), days.flush()
                out = powctl("timer", "import", days.name)
                self.assertEqual((out.returncode, out.stdout), (2, ""), out.stderr)
                self.assertEqual(out.stderr, "powctl: %s:4: '%s': %s (nothing imported)\n" % (days.name, line, said))
        self.script("timer get 2089-12-31 => 2089-12-31 off")

    def test_every_number_is_taken_at_its_documented_bounds_and_refused_just_past_them(self):
        # (program, arguments with {} for the number, taken, refused): a number taken is no usage line (a run still going
        # after a second took it); a refused one is a usage line naming the range.
        rows = ((POWCTL, "--timeout {} hdd-ready get", "0 3600", "-1 3601"), (POWCTL, "watch --interval {} --seconds 0.1", "10 60000", "9 60001"),
                (POWCTL, "watch --seconds {}", "0.001 86400", "0 -1 86400.001 .5 5. 123456789 1.5x"), (POWCTL, "delay reserve --count {}", "1 32767", "0 32768"),
                (POWCTL, "delay reserve --hold {}", "0 86400", "-1 86400.001"), (POWCTL, "delay set {}", "0 255", "-1 256 1234567890123"),
                (POWCTL, "delay reset {}", "0 255", "-1 256"), (POWCTL, "delay release {}", "0 255", "-1 256"),
                (POWCTL, "delay release --pid {}", "1 4194304", "0 4194305"), (POWCTL, "hdd-ready set {}", "0 1", "-1 2"),
                (POWCTL, "timer show {}", "2000 2089", "1999 2090"), (POWCTL, "timer show 2030 {}", "1 12", "0 13"),
                (POWCTL, "timer set {} on", "2000-01-01 2089-12-31", "1999-12-31 2090-01-01 2030-02-29 2030-00-10 2030-13-01"),
                (POWCTL, "sem hold {} 0", "1 3", "0 4"), (POWCTL, "sem hold 3 {}", "0 3600", "-1 3600.001"),
                (POWCTL, "history --lines {}", "1 100000", "0 100001"), (POWCTL, "--trace {} hdd-ready get", "0 0xffffffff 0X1F", "-1 0x100000000 4294967296"),
                (POWSVC, "create --index0-pid {}", "0 4194304", "-1 4194305"), (POWSVC, "create --mode {}", "0660 00660 660", "0 01000 0668"), (POWSVC, "create --timeout {}", "0 3600", "-1 3600.001"),
                (POWSVC, "run --grace {}", "0 3600", "-1 3601"), (POWSVC, "run --tick-ms {}", "10 10000", "9 10001"),
                (POWSVC, "semlog add s take {}", "-2147483647 2147483647", "-2147483648 2147483648"),
                (POWSVC, "semlog add s take 1 --sem-id {}", "0 0xffffffff", "-1 0x100000000"))
        def attempt(program, args, value):
            try:
                return subprocess.run([*EMULATOR, program, *args.format(value).split()], capture_output=True, text=True, timeout=SLOW)
            except subprocess.TimeoutExpired:
                return subprocess.CompletedProcess(args, 0, "", "")
        # powctl's cases run side by side (most of the time is the runs that are still going); powsvc's one by one
        cases = [(program, args, value, refused) for program, args, taken, refused in rows for value in taken.split() + refused.split()]
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            side = {case: pool.submit(attempt, *case[:3]) for case in cases if case[0] == POWCTL}
            outs = [side[case].result() if case in side else attempt(*case[:3]) for case in cases]
        for (program, args, value, refused), out in zip(cases, outs):
            with self.subTest(args=args, value=value):
                if value in refused.split():
                    self.assertRegex(self.assertUsage(out, "--help"), r"'%s'|: %s: " % (re.escape(value), re.escape(value)))
                else:
                    self.assertNotIn("--help", out.stderr)

    def test_a_held_semaphore_is_waited_for_visibly_and_timeout_gives_up_naming_the_holder(self):
        for n, label, commands in ((1, "POW", ("delay check", "hdd-ready get", "sweep", "audit", "repair", "powsvc create --reset", "delay release 0 --force",
                                               "delay reset 0 --force", "sem hold 1 0")), (2, "NVD", ("timer get 2030-01-01", "timer export -"))):
            holder = self.start(POWCTL, "sem", "hold", n, "60")
            holder.wait_line("holds the %s semaphore" % label)
            who = r"%s,? (is still )?held by pid %d \((%s)\)" % (label, holder.proc.pid, "|".join(program_names("powctl")))
            started, tool = time.monotonic(), lambda args: "powsvc" if args.startswith("powsvc") else "powctl"
            with concurrent.futures.ThreadPoolExecutor(len(commands)) as pool:  # side by side: each waits its 1 s
                outs = pool.map(lambda a: powsvc(*a.split()[1:], "--timeout", "1") if tool(a) == "powsvc" else powctl("--timeout", "1", *a.split()), commands)
            self.assertLess(time.monotonic() - started, 10 * SLOW)
            for args, out in zip(commands, outs):
                with self.subTest(args=args):
                    self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
                    self.assertRegex(out.stderr, r"^%s: waiting for %s\n%s: gave up after 1 s: %s\n$" % (tool(args), who, tool(args), who))
            out = powctl("--timeout", "0", *commands[0].split())  # 0: no wait at all, not no limit
            self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
            sems = {s["semaphore"]: s for s in json.loads(self.ctl("sem", "show", "--json"))["semaphores"]}
            self.assertEqual((sems[label]["holder"], sems[label]["holder_running"]), (holder.proc.pid, True))
            if n == 1:  # a look takes POW only when it is free, and says who held it; without a limit a take waits
                self.assertEqual((status()["consistency"]["under_pow"], "read while pid %d" % holder.proc.pid in powctl("status").stdout), (False, True))
                waiter = self.start(POWCTL, "delay", "check", merge=True)
                waiter.wait_line(r"^powctl: waiting for %s$" % who)
            self.assertEqual(holder.stop(signal.SIGINT), 130)
        self.assertEqual(waiter.proc.wait(timeout=10 * SLOW), 1)
        waiter.stop()
        self.assertEqual(waiter.lines[1:], ["not delayed"])

    def test_delay_release_frees_an_index_with_its_counts_and_live_holders_and_index_0_only_when_forced(self):
        live = self.start(POWCTL, "delay", "reserve", "--count", "3", "--hold", "60")
        index = int(re.search(r"index (\d+)", live.wait_line("reserved delay index")).group(1))
        gone = int(re.search(r"^pid (\d+)", self.ctl("delay", "reserve", "--count", "2", "--no-release")).group(1))
        for args, named in ((["delay", "release", "0"], "index 0 is the power service's own"), (["delay", "release", "--pid", os.getpid()], "index 0 is the power service's own (held by pid %d" % os.getpid()),
                            (["delay", "release", "9"], "index 9 is not held and counts nothing"), (["delay", "release", index], "index %d is held by pid %d (" % (index, live.proc.pid)),
                            (["delay", "release", "--pid", live.proc.pid], "which still runs: its later resets would lower the total")):
            out = powctl(*args)
            self.assertEqual((out.returncode, out.stdout), (2, ""))
            self.assertIn(named, out.stderr)
        self.script("delay release %d --force => released index %d (pid %d, count 3); delay release --pid %d => released index 2 (pid %d, count 2); "
                    "delay check =1> not delayed" % (index, index, live.proc.pid, gone, gone))
        self.script("delay release 0 --force => released index 0 (pid %d, count 0)" % os.getpid())
        snap = status()
        self.assertEqual((sorted(held(snap)), snap["free_depth"]), ([], 255))  # index 0 is kept off the stack

    def test_another_user_hears_permission_denied_and_a_sweep_it_cannot_signal_is_refused(self):
        nobody = self.nobody()
        pow_, nvd = "semaphore sem_POW_Shm_SemName", "semaphore sem_NVD_Shm_SemName"
        for closed, cases in (((PWR, NVD, SEMLOG), (("status", "/" + PWR), ("delay check", "/" + PWR), ("watch --seconds 1", "/" + PWR),
                                                    ("semlog", "/" + SEMLOG), ("timer get 2030-01-01", "/" + NVD))),
                              # a semaphore is no "not made yet": the library would answer 0 without the area
                              (("PLAT_sem.sem_POW_Shm_SemName", "PLAT_sem.sem_NVD_Shm_SemName"),
                               (("hdd-ready get", pow_), ("reset-timer peek", pow_), ("sweep", pow_), ("delay check", pow_),
                                ("delay reserve", pow_), ("sem show", pow_), ("--json sem show", pow_), ("timer get 2030-01-01", nvd)))):
            for name in os.listdir(SHM):
                os.chmod(os.path.join(SHM, name), 0o600 if name in closed else 0o666)
                os.chown(os.path.join(SHM, name), 0, 51000 if name in closed else 0)  # the group named, not the owner's
            for args, name in cases:
                with self.subTest(args=args):
                    out = run(POWCTL, *args.split(), user=nobody)
                    self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
                    self.assertIn("%s: permission denied (owner root, group 51000, mode 0600)" % name, out.stderr)
        for name in os.listdir(SHM):
            os.chmod(os.path.join(SHM, name), 0o666)
        live = self.start(POWCTL, "delay", "reserve", "--hold", "60")
        index = int(re.search(r"index (\d+)", live.wait_line("reserved delay index")).group(1))
        out = run(POWCTL, "sweep", user=nobody)
        self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
        self.assertIn("may not signal pid %d (" % live.proc.pid, out.stderr)
        self.assertIn(index, held(status()))
        out = run(POWCTL, "sweep", "--force", user=nobody)  # forced: one it may not signal counts as ended
        self.assertIn("released index %d (pid %d, count 1)" % (index, live.proc.pid), out.stdout)
        os.mkdir(RUN)
        out = run(POWSVC, "run", user=nobody)  # another user's service is refused root's runtime directory
        self.assertIn("%s belongs to root, not to this service's user nobody" % RUN, out.stderr)
        os.makedirs(RUN + ".own"), os.chown(RUN + ".own", 65534, 65534)  # a reset it may not make: refused before POW
        self.start(POWCTL, "sem", "hold", "1", "10").wait_line("holds the POW semaphore")
        out = run(POWSVC, "reset", "power", "--timeout", "1", "--run-dir", RUN + ".own", user=nobody)
        self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
        self.assertIn("cannot remove /%s (owner root, mode 0666): in the sticky /dev/shm only its owner or root may" % PWR, out.stderr)

    def test_objects_made_for_a_group_a_squatters_refused_and_a_service_blind_to_a_holder_skips_its_sweep(self):
        nobody = self.nobody()
        for name in os.listdir(SHM):
            os.unlink(os.path.join(SHM, name))
        self.assertOk(powsvc("create", "--group", "65534"))
        self.assertEqual({(os.stat(os.path.join(SHM, n)).st_gid, os.stat(os.path.join(SHM, n)).st_mode & 0o7777)
                          for n in os.listdir(SHM)}, {(65534, 0o660)})
        os.chown(os.path.join(SHM, NVD), 65534, -1)  # as if another user had made it first
        # root takes over an object nobody has open, in place: the same inode
        inode = os.stat(os.path.join(SHM, NVD)).st_ino
        self.assertEqual(self.assertOk(powsvc("create", "--group", "65534")), "/%s adopted in place: owner nobody -> root\n" % NVD)
        self.assertEqual((os.stat(os.path.join(SHM, NVD)).st_uid, os.stat(os.path.join(SHM, NVD)).st_ino), (0, inode))
        os.unlink(os.path.join(SHM, "PLAT_sem.sem_POW_Shm_SemName"))  # a squatter's POW, held: waited for 2 s, no longer
        squatter = self.start(POWCTL, "sem", "hold", "1", "10", user=nobody)
        squatter.wait_line("holds the POW semaphore")
        out = powsvc("reset", "power")
        self.assertEqual(out.returncode, 2, out.stdout + out.stderr)
        self.assertIn("still held by pid %d after 2000 ms" % squatter.proc.pid, out.stderr)
        for name in os.listdir(SHM):  # a service of its own user, and a holder it may not signal
            os.unlink(os.path.join(SHM, name))
        os.makedirs(RUN + ".nobody"), os.chown(RUN + ".nobody", 65534, 65534)
        svc = self.start(POWSVC, "run", "--tick-ms", "50", "--run-dir", RUN + ".nobody", user=nobody)
        svc.wait_line("running as pid")
        live = self.start(POWCTL, "delay", "reserve", "--hold", "60")
        index = int(re.search(r"index (\d+)", live.wait_line("reserved delay index")).group(1))
        svc.wait_line(r"sweep skipped: index %d: holder pid %d runs, but this process may not signal it" % (index, live.proc.pid))
        ended = self.start(POWCTL, "delay", "reserve", "--hold", "60")  # an ended holder is still released
        gone = int(re.search(r"index (\d+)", ended.wait_line("reserved delay index")).group(1))
        ended.proc.kill(), ended.proc.wait()
        svc.wait_line(r"released index %d of ended pid %d$" % (gone, ended.proc.pid))
        self.assertEqual((index in held(status()), gone in held(status())), (True, False))
        svc.stop(), os.chmod(RUN + ".nobody", 0o555)  # a remove that cannot keep the calendar's days first removes nothing
        out = run(POWSVC, "remove", "--run-dir", RUN + ".nobody", user=nobody)
        self.assertEqual((out.returncode, os.path.exists(os.path.join(SHM, NVD))), (2, True), out.stderr)
        self.assertRegex(out.stderr, r"^powsvc: cannot make %s/calendar\.[\d.-]+: Permission denied: the calendar is left as it is\n$"
                         % re.escape(RUN + ".nobody"))

    def test_one_service_per_device_remove_and_reset_refused_while_it_runs_a_cut_area_waited_out_and_its_history(self):
        svc = self.start(POWSVC, "run", "--grace", "0.2", "--tick-ms", "50")
        svc.wait_line("running as pid %d" % svc.proc.pid)
        self.assertRegex(self.assertUsage(powsvc("run")), r"a power service runs already as pid %d \(.*; one per device" % svc.proc.pid)
        self.assertIn("index 0 is the running power service's own (pid %d" % svc.proc.pid, self.assertUsage(powctl("delay", "release", "0", "--force")))
        os.truncate(os.path.join(SHM, PWR), 0)  # the service's own mapping would fault: it waits, saying why
        svc.wait_line(r"^%s /%s is 0 bytes, needs 2060: the service goes on with the other objects \(powsvc create --reset --force" % (STAMP, PWR))
        for args in (["remove"], ["create", "--reset"]):
            self.assertIn("runs as pid %d" % svc.proc.pid, self.assertUsage(powsvc(*args)))
        self.assertOk(powsvc("create", "--reset", "--force"))
        svc.wait_line("/%s is whole again; the service takes care of it again" % PWR)
        self.assertEqual((held(status())[0]["pid"], os.path.exists(os.path.join(SHM, PWR))), (svc.proc.pid, True))
        svc.wait_line("entering power saving")
        self.ctl("delay", "reserve", "--no-release", "--hold", 0.5 * SLOW)  # held over a few ticks: the history samples each tick
        self.assertTrue(eventually(lambda: "index 1 released (was pid" in self.ctl("history")))
        self.assertEqual(self.ctl("repair"), "nothing to mend")
        self.assertRegex(self.assertOk(powsvc("remove", "--force")), r"^stopped the power service, pid %d\n"
                         r"kept the days of /%s in (\S+/calendar\.[\d.-]+) \(powctl timer import \1 puts them back\)\n$" % (svc.proc.pid, NVD))
        self.assertEqual(svc.proc.wait(timeout=10 * SLOW), 0)
        self.assertEqual(os.listdir(SHM), [])
        self.assertEqual([n.split(".")[0] for n in sorted(os.listdir(RUN))], ["calendar", "powsvc"])
        lines = self.ctl("history").split("\n")
        for line in lines:
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \w+ \S")
        events = [line.split()[2] for line in lines]
        self.assertEqual((events[0], events[-1]), ("start", "stop"))
        for event in ("refused", "saving", "index", "total", "error", "areas"):
            self.assertIn(event, events)
        self.assertEqual([e["event"] for e in json.loads(self.ctl("history", "--json"))], events)
        self.assertEqual([e["event"] for e in json.loads(self.ctl("history", "--json", "--lines", "2"))], events[-2:])
        self.assertEqual(self.ctl("history", "--lines", "1"), lines[-1])
        self.assertEqual(self.ctl("history", "--lines", str(len(lines) + 5)).split("\n"), lines)  # all there is, when N passes it
        crashed = self.start(POWSVC, "run")  # stopped, it outwaits remove --force; killed, its pid file stays but no lock
        crashed.wait_line("running as pid"), crashed.proc.send_signal(signal.SIGSTOP)
        out = powsvc("remove", "--force")
        self.assertEqual((out.returncode, out.stderr, os.path.exists(os.path.join(SHM, PWR))),
                         (2, "powsvc: the power service, pid %d, did not stop within 10 s\n" % crashed.proc.pid, True))
        crashed.stop(signal.SIGKILL)
        self.assertOk(powsvc("remove"))


def main():
    global POWCTL, POWSVC, EMULATOR, SLOW, ORDER, RUN, CANARY
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    enter_private_shm()
    POWCTL, POWSVC, EMULATOR = sys.argv[1], sys.argv[2], sys.argv[3:]
    base = tempfile.mkdtemp(prefix="libpow-tools.")  # the service's runtime directory, the attack steps' programs
    atexit.register(shutil.rmtree, base, True)
    os.chmod(base, 0o755), os.mkdir(os.path.join(base, "bin"), 0o755)
    for name, program in (("powctl", POWCTL), ("powsvc", POWSVC)):
        with open(os.path.join(base, "bin", name), "w") as f:
            f.write('#!/bin/sh\nexec %s "$@"\n' % " ".join([*EMULATOR, program]))
        os.chmod(f.name, 0o755)
    RUN, CANARY = os.path.join(base, "powsvc"), os.path.join(base, "canary")
    os.environ.update(POWSVC_RUN_DIR=RUN, PATH=os.path.join(base, "bin") + ":" + os.environ["PATH"])
    SLOW = 4 if EMULATOR else 1
    ORDER = "big" if EMULATOR else sys.byteorder
    os.environ.setdefault("LC_ALL", "C")
    # $TOOLS_TEST_ARGS picks tests by hand, e.g. "-k short_objects"
    unittest.main(argv=[sys.argv[0], "-v", *os.environ.get("TOOLS_TEST_ARGS", "").split()])


if __name__ == "__main__":
    main()
