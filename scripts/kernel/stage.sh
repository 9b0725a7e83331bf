#!/usr/bin/env bash
# The kernel stage: every GoogleTest program of the powerpc target build, run
# by a real 32-bit big-endian PowerPC Linux kernel under full-system
# emulation. There the robust futex list exists, so the tests of recovery
# from a killed holder run instead of skipping as they do under qemu-ppc.
#   scripts/kernel/stage.sh TARGET_BUILD_DIR WORK_DIR
#
# The kernel (allnoconfig plus kernel.config) is built once, a few minutes,
# and kept outside the build tree in ${XDG_CACHE_HOME:-~/.cache}/lib_pow/
# kernel/KEY, KEY covering everything that shapes it; later runs only boot.
# LIBPOW_CHAOS_SECONDS bounds the chaos test in the guest (default 20); a
# program may run 120 s longer than that, the whole guest
# LIBPOW_GUEST_SECONDS (default 900).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
target=$(cd "$1" && pwd)
work=$2
cross=powerpc-linux-gnu
sysroot=/usr/$cross
fragment=$here/kernel.config
chaos_seconds=${LIBPOW_CHAOS_SECONDS:-20}
program_seconds=$((chaos_seconds + 120))
guest_seconds=${LIBPOW_GUEST_SECONDS:-900}
rm -rf "$work" && mkdir -p "$work"
work=$(cd "$work" && pwd)

# ---- The kernel --------------------------------------------------------
make_args=(ARCH=powerpc "CROSS_COMPILE=$cross-")
key=$({
  grep '^CONFIG_' "$fragment" # the settings only: a comment changes no kernel
  echo "${make_args[*]} allnoconfig vmlinux"
  dpkg-query -W -f='${Package} ${Version}\n' linux-source-6.1
  $cross-gcc --version | head -1
  $cross-ld --version | head -1
  gcc --version | head -1 # builds gen_init_cpio
} | sha256sum | cut -c1-16)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/lib_pow/kernel
kernel=$cache/$key

build_kernel() {
  local src=$work/linux log=$work/kernel.build.log start=$SECONDS option missing=()
  echo "    kernel $key is not in $cache: building it (nice, -j2; a few minutes)"
  mkdir -p "$src"
  tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=1
  KCONFIG_ALLCONFIG=$fragment make -C "$src" "${make_args[@]}" allnoconfig >"$log" 2>&1 || { tail -30 "$log"; return 1; }
  while read -r option; do
    grep -qxF "$option" "$src/.config" || missing+=("$option")
  done < <(grep '^CONFIG_' "$fragment")
  if ((${#missing[@]})); then
    echo "    kernel: the configuration dropped ${missing[*]}"
    return 1
  fi
  if ! nice make -C "$src" "${make_args[@]}" -j2 vmlinux >>"$log" 2>&1; then
    tail -30 "$log"
    return 1
  fi
  # Published whole, by renaming a finished folder, so a run stopped
  # halfway never leaves a half-written kernel behind.
  local new
  new=$(mktemp -d "$cache/.new.XXXXXX")
  cp "$src/vmlinux" "$src/usr/gen_init_cpio" "$src/.config" "$new/"
  mv -T "$new" "$kernel"
  rm -rf "$src"
  echo "    kernel built in $((SECONDS - start)) s"
}

# One build at a time on this machine: a second run waits for the first
# one's kernel instead of building its own.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock -w 1200 9 || { echo "    kernel: waited 20 minutes for another run's build"; exit 1; }
if [ ! -f "$kernel/vmlinux" ]; then
  build_kernel # not in a condition: a failing step inside must stop the stage
fi
flock -u 9
echo "    kernel: $kernel/vmlinux"

# ---- The initramfs -----------------------------------------------------
# Every GoogleTest program of the target build, found by GoogleTest's own
# flag text in the file, so a new test program is run without a change here.
programs=()
while IFS= read -r file; do
  grep -qa gtest_list_tests "$file" && programs+=("$file")
done < <(find "$target" -path "$target/CMakeFiles" -prune -o -type f -perm -u+x ! -name '*.so*' -print | sort)
((${#programs[@]})) || { echo "    kernel: no test programs in $target"; exit 1; }

$cross-gcc -O2 -Wall -Wextra -Werror -I"$root/platform" -o "$work/init" "$here/init.c" \
  -L"$target/platform" -lPLAT

# The list gen_init_cpio reads: one entry a line, every folder before what
# it holds; the shared libraries come from the program's run path (the
# build's own libraries) or the cross sysroot, as on the host.
list=$work/initramfs.list
declare -A listed=()
add_dir() {
  [ "$1" = / ] || [ -n "${listed[$1]:-}" ] && return 0
  add_dir "$(dirname "$1")"
  listed[$1]=1
  echo "dir $1 0755 0 0" >>"$list"
}
add_file() { # GUEST_PATH HOST_FILE
  add_dir "$(dirname "$1")"
  echo "file $1 $(readlink -f "$2") 0755 0 0" >>"$list"
}
add_libraries() { # ELF_FILE
  local lib dir found runpath
  runpath=$($cross-readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  for lib in $($cross-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -z "${listed[/lib/$lib]:-}" ] || continue
    found=""
    for dir in ${runpath//:/ } "$target/platform" "$sysroot/lib"; do
      [ -e "$dir/$lib" ] && { found=$dir/$lib; break; }
    done
    [ -n "$found" ] || { echo "    kernel: $lib, needed by $1, not found"; return 1; }
    listed[/lib/$lib]=1
    add_file "/lib/$lib" "$found"
    add_libraries "$found"
  done
}

echo "dir /tmp 1777 0 0" >"$list"
listed[/tmp]=1
for dir in /dev /proc /sys /tests; do add_dir $dir; done
echo "nod /dev/console 0600 0 0 c 5 1" >>"$list"
add_file /init "$work/init"
add_file /lib/ld.so.1 "$sysroot/lib/ld.so.1"
listed[/lib/ld.so.1]=1
add_libraries "$work/init"
names=()
for program in "${programs[@]}"; do
  names+=("$(basename "$program")")
  [ -z "${listed[/tests/${names[-1]}]:-}" ] || { echo "    kernel: two test programs named ${names[-1]}"; exit 1; }
  listed[/tests/${names[-1]}]=1
  $cross-strip -o "$work/${names[-1]}" "$program" # the guest needs no debug information
  add_file "/tests/${names[-1]}" "$work/${names[-1]}"
  add_libraries "$program"
done
"$kernel/gen_init_cpio" "$list" >"$work/initramfs.cpio"
echo "    initramfs: ${#programs[@]} test programs, $(($(stat -c %s "$work/initramfs.cpio") / 1024)) KiB"
echo "    not run in the guest: the Python tool tests and the shell checks (exported symbols," \
  "install, package); the host and target stages run them"

# ---- Boot and run ------------------------------------------------------
# The guest's console comes through qemu's stdout. qemu exits 0 whether the
# guest powered off or panicked (panic=-1 and -no-reboot), so only /init's
# last line tells that every program ran.
raw=$work/guest.raw.log log=$work/guest.log start=$SECONDS status=0
timeout -k 10 "$guest_seconds" qemu-system-ppc -M ppce500 -cpu e500mc -m 256 -smp 1 \
  -nographic -monitor none -net none -no-reboot \
  -kernel "$kernel/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0,115200 panic=-1 quiet GTEST_COLOR=no LIBPOW_CHAOS_SECONDS=$chaos_seconds LIBPOW_PROGRAM_SECONDS=$program_seconds" \
  </dev/null >"$raw" 2>&1 || status=$?
tr -d '\r' <"$raw" >"$log"
echo "    guest ran for $((SECONDS - start)) s (chaos test bounded to $chaos_seconds s); console in $log"
grep -aE '^(every instruction|boot order):' "$log" | sed 's/^/    /' || true

# ---- Judge -------------------------------------------------------------
# Per program: how it ended and GoogleTest's closing summary; the totals
# come from those summaries. A program without a summary counts as one
# failed test. Any skip fails: on the device's kernel nothing may skip.
problems=()
[ $status -eq 0 ] || problems+=("qemu ended with status $status (124: the guest ran out of its $guest_seconds s)")
grep -qx 'init: all done' "$log" || problems+=("the guest stopped before /init was done (hang or panic): see $log")
grep -qx 'init: robust futexes: yes' "$log" || problems+=("/init did not report robust futexes from the platform's probe")
count() { sed -n "s/^\[  $1 *\] \([0-9]*\) tests\{0,1\}[.,].*/\1/p" <<<"$summary" | head -1; }
passed=0 failed=0 skipped=0
for name in "${names[@]}"; do
  output=$(awk -v name="$name" '$0 == "init: run " name { inside = 1; next } inside { print } inside && /^init: end / { exit }' "$log")
  summary=$(awk '
    /^init: end / { print "end " $4 " " $5 " " $6 " " $7 }
    /^\[==========\] .* ran\./ { summing = 1 }
    summing && /^\[(==========|  PASSED  |  SKIPPED |  FAILED  )\]/ { print }
  ' <<<"$output")
  end=$(sed -n 's/^end //p' <<<"$summary")
  [ -n "$output" ] || end="never started"
  echo "    $name: ${end:-never ended}"
  lines=$(grep -v '^end ' <<<"$summary" || true)
  [ -z "$lines" ] || awk '{ print "        " $0 }' <<<"$lines"
  p=$(count PASSED) f=$(count FAILED) s=$(count SKIPPED)
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0})) skipped=$((skipped + ${s:-0}))
  if [ -z "$p" ]; then
    failed=$((failed + 1))
    problems+=("$name gave no GoogleTest summary")
    if [ -n "$output" ]; then
      echo "        no summary; its last lines:"
      grep -v '^init: ' <<<"$output" | tail -15 | sed 's/^/      | /' || true
    fi
  elif [[ $end != "exit 0 "* ]]; then
    [ -n "$f" ] || failed=$((failed + 1))
    problems+=("$name ended with ${end:-no end}")
  fi
done
[ $failed -eq 0 ] || problems+=("$failed failed")
[ $skipped -eq 0 ] || problems+=("$skipped skipped (they need something the guest lacks)")
if ! grep -qx 'init: all done' "$log"; then
  echo "    last lines of the guest's console:"
  tail -25 "$log" | sed 's/^/      | /'
fi
((${#problems[@]} == 0)) || printf '    FAILED: %s\n' "${problems[@]}"
echo "kernel: $passed passed, $failed failed, $skipped skipped"
((${#problems[@]} == 0))
