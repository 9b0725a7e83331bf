#!/usr/bin/env python3
"""Planted faults: proves the test suite catches the faults listed in
scripts/planted-faults.txt and in the lists it includes (an "include: FILE"
line reads the faults of FILE, relative to the including list's folder; the
independent rounds, written without reading the tests, come in that way).
--list-file names another list instead, e.g. one independent round alone.

For each fault the tree is copied to a scratch folder (never the work tree
itself), the fault's text is replaced there, the scratch build is brought up
to date (one build folder per stage, reused, so a fault costs one
incremental build) and the tests run: the whole host suite by default, or
only the tests the fault names (--quick; always so for the target stage,
whose tests run under the emulator, and for ThreadSanitizer). A fault of
the kernel stage runs every target test program on the 32-bit PowerPC
kernel, as scripts/kernel/stage.sh does in the test command. Each fault
prints "caught by ..." or SURVIVED; the exit status is 1 when any fault
survived, 2 when a fault no longer applies (its text does not occur exactly
once), does not compile, or the unchanged tree fails its own tests. --list
only checks that every fault applies and lists them.

    scripts/mutants.sh [--list] [--quick] [--stage host|target|kernel|tsan] [--list-file PATH] [FAULT...]
"""
import argparse, fcntl, os, re, shutil, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIST = os.path.join(ROOT, "scripts", "planted-faults.txt")
# The stages a fault may name; each builds as scripts/test.sh builds it,
# which says how (its environment and cmake options) when asked.
STAGE_NAMES = ("host", "target", "kernel", "tsan")


def stage_config(stage, cache={}):
    """(cmake options, environment) of a stage of scripts/test.sh."""
    if stage not in cache:
        text = subprocess.run(["bash", os.path.join(ROOT, "scripts", "test.sh"), "--stage-config", stage],
                              capture_output=True, text=True, check=True).stdout
        rows = [line.partition(" ")[::2] for line in text.splitlines()]
        cache[stage] = ([value for key, value in rows if key == "arg"],
                        dict(value.partition("=")[::2] for key, value in rows if key == "env"))
    return cache[stage]


KEYS = ("fault", "file", "find", "replace", "catch", "stage", "include")


def read_faults(path, seen=None):
    """Blocks of "key: value" lines, one fault each. find and replace may
    repeat: repeated lines join with newlines, and a find after a replace
    starts a further edit of the same file. "include: FILE" (outside a
    block) adds FILE's faults; a name may be given only once in all."""
    faults, cur, seen = [], None, {} if seen is None else seen
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if not line.strip() or line.startswith("#"):
            continue
        key, sep, value = line.partition(":")
        if not sep or key not in KEYS:
            sys.exit(f"{path}:{number}: expected one of {', '.join(KEYS)}")
        value = value[1:] if value.startswith(" ") else value
        if key == "include":
            faults += read_faults(os.path.join(os.path.dirname(path), value.strip()), seen)
            cur = None
        elif key == "fault":
            where = f"{os.path.relpath(path, ROOT)}:{number}"
            if value.strip() in seen:
                sys.exit(f"{where}: fault {value.strip()} is already at {seen[value.strip()]}")
            seen[value.strip()] = where
            cur = {"name": value.strip(), "where": where, "edits": [], "catch": [], "stage": "host"}
            faults.append(cur)
        elif cur is None:
            sys.exit(f"{path}:{number}: a fault starts with 'fault:'")
        elif key == "find":
            if not cur["edits"] or cur["edits"][-1][1] is not None:
                cur["edits"].append([value, None])
            else:
                cur["edits"][-1][0] += "\n" + value
        elif key == "replace":
            if not cur["edits"]:
                sys.exit(f"{path}:{number}: replace before find")
            edit = cur["edits"][-1]
            edit[1] = value if edit[1] is None else edit[1] + "\n" + value
        elif key == "catch":
            cur["catch"] += value.split()
        else:
            cur[key] = value.strip()
    for f in faults:
        if not f.get("file") or not f["edits"] or any(e[1] is None for e in f["edits"]) or f["stage"] not in STAGE_NAMES:
            sys.exit(f"{f['where']}: fault {f['name']} needs file, find, replace and a known stage")
    return faults


def faulty_text(text, fault):
    """The file's text with the fault planted, or the reason it cannot be."""
    for find, replace in fault["edits"]:
        count = text.count(find)
        if count != 1:
            return None, f"text occurs {count} times, not once: {find.splitlines()[0].strip()!r}"
        text = text.replace(find, replace)
    return text, None


def tracked_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                         capture_output=True, text=True, check=True).stdout
    return [f for f in out.split("\0") if f and os.path.isfile(os.path.join(ROOT, f))]


def sync_copy(files, dest):
    """Brings the scratch copy level with the work tree; only files whose
    content differs are written, so make sees only real changes."""
    for dirpath, _, names in os.walk(dest):
        for name in names:
            if os.path.relpath(os.path.join(dirpath, name), dest) not in files:
                os.remove(os.path.join(dirpath, name))
    for rel in files:
        src, dst = os.path.join(ROOT, rel), os.path.join(dest, rel)
        data = open(src, "rb").read()
        if os.path.exists(dst) and open(dst, "rb").read() == data:
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as out:
            out.write(data)
        shutil.copymode(src, dst)


def run(cmd, cwd, timeout, env=None):
    """(exit status, output); 124 when the time ran out. The command runs in
    a process group of its own, which is killed whole on a timeout."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, 9)
        out, _ = proc.communicate()
        return 124, out


def ctest_pattern(names):
    return "^(" + "|".join(re.escape(n).replace(r"\*", ".*") + "$" for n in names) + ")"


def run_kernel_stage(build, log):
    """The guest's failed tests (GoogleTest names, or the program when it
    gave none), [] when the stage passed."""
    stage = os.path.join(os.path.dirname(build), "src", "scripts", "kernel", "stage.sh")
    rc, out = run(["bash", stage, build, build + "-guest"], build, 1800)
    log.write(out)
    if rc == 0:
        return []
    guest_log = os.path.join(build + "-guest", "guest.log")
    console = open(guest_log, errors="replace").read() if os.path.exists(guest_log) else ""
    failed = sorted(set(re.findall(r"\[  FAILED  \] ([A-Za-z][\w/.]*)", console)))
    failed += [p for p in re.findall(r"^\s+(test_\w+): (?!exit 0 )", out, re.M)]
    return failed or ["(kernel stage failed: " + out.strip().splitlines()[-1] + ")"]


def run_tests(build, names, args, log):
    """Names of the failed tests ([] when all passed), or None when nothing ran."""
    if os.path.basename(build) == "kernel":
        return run_kernel_stage(build, log)
    env = dict(os.environ, **stage_config(os.path.basename(build))[1], LIBPOW_CHAOS_SECONDS=str(args.chaos_seconds))
    env.setdefault("TOOLS_TEST_ARGS", "--failfast")  # the tool test is one ctest test: its first failure is enough
    cmd = ["ctest", f"-j{args.jobs}", "--output-on-failure", "--timeout", str(args.timeout)]
    if names:
        cmd += ["-R", ctest_pattern(names)]
    rc, out = run(cmd, build, args.timeout * 3 + 300, env)
    log.write(out)
    if rc == 124:
        return ["(the whole run timed out)"]
    failed = re.findall(r"^\s*\d+ - (\S+)", out.partition("The following tests FAILED:")[2], re.M)
    if rc != 0 and not failed:
        return None if "No tests were found" in out else ["(ctest failed: " + out.strip().splitlines()[-1] + ")"]
    if "No tests were found" in out:
        return None
    return failed


def build(stage, scratch, args, log):
    src, out = os.path.join(scratch, "src"), os.path.join(scratch, stage)
    if not os.path.exists(os.path.join(out, "CMakeCache.txt")):
        options, env = stage_config(stage)
        rc, text = run(["cmake", "-S", src, "-B", out] + options, scratch, 600, dict(os.environ, **env))
        if rc != 0:
            log.write(text)
            return False
    rc, text = run(["cmake", "--build", out, f"-j{args.jobs}"], scratch, 1800)
    log.write(text)
    return rc == 0


def main():
    parser = argparse.ArgumentParser(description="Plants each listed fault in a scratch copy and runs the tests.")
    parser.add_argument("faults", nargs="*", help="only these faults (by name)")
    parser.add_argument("--list", action="store_true", help="only check that every fault applies, and list them")
    parser.add_argument("--quick", action="store_true", help="run only the tests each fault names")
    parser.add_argument("--stage", choices=sorted(STAGE_NAMES), help="only the faults of this stage")
    parser.add_argument("--list-file", default=LIST, help="the faults to plant (default scripts/planted-faults.txt)")
    parser.add_argument("--timeout", type=int, default=120,
                        help="seconds for a test without a limit of its own (default 120); a whole test run stops at 3x that + 300")
    parser.add_argument("--chaos-seconds", type=int, default=5, help="LIBPOW_CHAOS_SECONDS (default 5)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--scratch", default=os.path.join(os.environ.get("LIBPOW_BUILD_ROOT", os.path.join(ROOT, "build")), "mutants"))
    args = parser.parse_args()

    faults = read_faults(args.list_file)
    unknown = set(args.faults) - {f["name"] for f in faults}
    if unknown:
        sys.exit("unknown faults: " + " ".join(sorted(unknown)))
    faults = [f for f in faults if (not args.faults or f["name"] in args.faults) and (not args.stage or f["stage"] == args.stage)]
    stale = []
    for f in faults:
        _, reason = faulty_text(open(os.path.join(ROOT, f["file"]), encoding="utf-8").read(), f)
        if reason:
            stale.append(f"  {f['name']} ({f['where']}, {f['file']}): {reason}")
    if stale:
        print("These faults no longer apply; update their lists:\n" + "\n".join(stale))
        return 2
    if args.list:
        for f in faults:
            print(f"{f['name']:<44} {f['stage']:<7} {f['file']}: {' '.join(f['catch'])}")
        print(f"{len(faults)} faults, every one applies")
        return 0

    os.makedirs(args.scratch, exist_ok=True)
    lock = open(os.path.join(args.scratch, ".lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit(f"another planted-fault run uses {args.scratch}")
    src = os.path.join(args.scratch, "src")
    files = set(tracked_files())
    sync_copy(files, src)
    log = open(os.path.join(args.scratch, "last-run.log"), "w")
    table = open(os.path.join(args.scratch, "last-run.tsv"), "w", buffering=1)  # fault, then every test that failed
    start = time.time()
    print(f"{len(faults)} faults, scratch {args.scratch}, log {log.name}", flush=True)

    # The unchanged tree must build and pass the tests the faults will use.
    for stage in sorted({f["stage"] for f in faults}):
        names = None if stage in ("host", "kernel") and not args.quick else sorted({n for f in faults if f["stage"] == stage for n in f["catch"]})
        if not build(stage, args.scratch, args, log):
            print(f"the unchanged tree does not build for {stage}; see {log.name}")
            return 2
        failed = run_tests(os.path.join(args.scratch, stage), names, args, log)
        if failed is None or failed:
            print(f"the unchanged tree fails its {stage} tests: {failed or 'no test ran'}; see {log.name}")
            return 2

    survived, broken, caught = [], [], 0
    for n, f in enumerate(faults, 1):
        t0 = time.time()
        path = os.path.join(src, f["file"])
        original = open(path, encoding="utf-8").read()
        planted, _ = faulty_text(original, f)
        names = f["catch"] if args.quick or f["stage"] != "host" else None
        log.write(f"\n==== {f['name']}\n")
        try:
            with open(path, "w", encoding="utf-8") as out:
                out.write(planted)
            if not build(f["stage"], args.scratch, args, log):
                verdict = "DOES NOT BUILD: a planted fault must compile"
                broken.append(f["name"])
            else:
                failed = run_tests(os.path.join(args.scratch, f["stage"]), names, args, log)
                if failed:
                    caught += 1
                    expected = [x for x in failed if re.match(ctest_pattern(f["catch"]), x)] if f["catch"] else failed
                    failed = expected + [x for x in failed if x not in expected]
                    shown = ", ".join(failed[:3]) + (f" and {len(failed) - 3} more" if len(failed) > 3 else "")
                    verdict = f"caught by {shown}" + ("" if expected else "  (not by the tests it names)")
                else:
                    verdict = "SURVIVED" if failed is not None else "SURVIVED (no test ran)"
                    survived.append(f["name"])
                log.write(f"---- {verdict}\n")
                table.write(f"{f['name']}\t{' '.join(failed or []) or 'SURVIVED'}\n")
        finally:
            with open(path, "w", encoding="utf-8") as out:
                out.write(original)
        print(f"[{n:{len(str(len(faults)))}}/{len(faults)}] {f['name']:<44} {time.time() - t0:5.0f} s  {verdict}", flush=True)

    minutes = (time.time() - start) / 60
    print(f"\n{caught} of {len(faults)} faults caught, {len(survived)} survived, {minutes:.1f} min")
    if survived:
        print("survived: " + " ".join(survived))
    if broken:
        print("do not build: " + " ".join(broken))
    return 2 if broken else 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
