#!/usr/bin/env bash
# Builds and runs every test: host (g++), sanitizers (clang, ASan+UBSan),
# the device's ABI (powerpc-linux-gnu under qemu-ppc), the same programs on a
# 32-bit PowerPC kernel (qemu-system-ppc), bounded fuzzing, threads under
# ThreadSanitizer and the host tests under valgrind.
#   scripts/test.sh            everything
#   scripts/test.sh host asan  only the named stages
#                              (host asan target kernel fuzz tsan valgrind)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host asan target kernel fuzz tsan valgrind)
jobs=$(nproc)
out=${LIBPOW_BUILD_ROOT:-$root/build}
summary=()

# Warnings fail every build of the test command (a user's own build only
# warns), and the ABI comparison may not skip for want of a tool or of
# debug info.
export LIBPOW_ABI_REQUIRED=1
common=(-DLIBPOW_WERROR=ON)
# The target stage builds Release (-O3, where g++ finds warnings that -O2
# does not), with debug info kept for the ABI comparison; the kernel stage
# runs the same build.
target_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-gnu.cmake" -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g)

build_tree() { # DIR CMAKE_ARGS...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" "${common[@]}" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    grep -E 'error|warning' "$dir.build.log" | head -40 || tail -40 "$dir.build.log"
    return 1
  fi
}

run_stage() {
  local name=$1 dir=$2; shift 2
  local start=$SECONDS
  echo "=== $name: configure and build"
  build_tree "$dir" "$@" || return 1
  echo "=== $name: test"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600) || return 1
  # What the crash chaos run found and what the owner's repair left, and
  # how many kill points the every-instruction walk tried.
  grep -hE '^(chaos|every instruction):' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null | sed 's/^/    /' || true
  summary+=("$name: passed in $((SECONDS - start)) s")
}

# The target build's test programs (the target stage's build when it is
# there and current) on a 32-bit PowerPC kernel; see scripts/kernel/stage.sh.
run_kernel() {
  local name="kernel (32-bit PowerPC kernel, qemu-system-ppc)" dir=$out/target start=$SECONDS
  echo "=== $name: target build"
  build_tree "$dir" "${target_args[@]}" || return 1
  echo "=== $name: kernel, boot and test"
  bash "$root/scripts/kernel/stage.sh" "$dir" "$out/kernel" || return 1
  summary+=("$name: passed in $((SECONDS - start)) s")
}

# Builds only the named targets of a stage and runs each program directly
# (no CTest), as the tsan and valgrind stages do: run_programs NAME DIR
# "TARGETS" RUNNER... -- CMAKE_ARGS...; each program runs as RUNNER PROGRAM.
run_programs() {
  local name=$1 dir=$2 targets=$3; shift 3
  local runner=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do runner+=("$1"); shift; done
  shift
  local start=$SECONDS
  echo "=== $name: configure and build ($targets)"
  cmake -S "$root" -B "$dir" "${common[@]}" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  # shellcheck disable=SC2086
  if ! cmake --build "$dir" -j"$jobs" --target $targets >"$dir.build.log" 2>&1; then
    grep -E 'error|warning' "$dir.build.log" | head -40 || tail -40 "$dir.build.log"
    return 1
  fi
  echo "=== $name: test"
  local t failed=0
  for t in $targets; do
    local log="$dir.$t.log" t0=$SECONDS
    if timeout 600 "${runner[@]}" "$dir/tests/$t" >"$log" 2>&1; then
      echo "    $t: passed ($((SECONDS - t0)) s)"
    else
      echo "    $t: FAILED ($((SECONDS - t0)) s); last lines of $log:"
      tail -40 "$log"
      failed=1
    fi
  done
  [ $failed -eq 0 ] || return 1
  summary+=("$name: passed in $((SECONDS - start)) s")
}

# The crash chaos test runs 60 s on the host build, 20 s under ASan (its own
# default there) and 10 s under valgrind.
tsan_programs="test_threads test_platform test_frame"
valgrind_programs="test_platform test_frame test_power test_calendar test_jamlog test_semlog test_threads test_chaos test_owner"

mkdir -p "$out"
for stage in "${stages[@]}"; do
  case $stage in
    host)   run_stage host "$out/host" -DLIBPOW_BUILD_BENCH=ON ;;
    asan)   CC=clang CXX=clang++ run_stage "asan+ubsan (clang)" "$out/asan" \
              -DLIBPOW_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug ;;
    target) run_stage "target powerpc-linux-gnu, Release (qemu-ppc)" "$out/target" "${target_args[@]}" ;;
    kernel) run_kernel ;;
    fuzz)   CC=clang CXX=clang++ run_stage "fuzz (clang, bounded)" "$out/fuzz" \
              -DLIBPOW_BUILD_FUZZ=ON -DLIBPOW_BUILD_TESTS=OFF -DLIBPOW_SANITIZE=address,undefined ;;
    # ThreadSanitizer cannot follow a mutex handed between processes, nor the
    # timed take (pthread_mutex_clocklock is not intercepted), and reports
    # those as mutex misuse; data races are still reported and fail the run.
    tsan)   CC=clang CXX=clang++ TSAN_OPTIONS="report_mutex_bugs=0 halt_on_error=1 ${TSAN_OPTIONS:-}" \
              run_programs "tsan (clang, threads)" "$out/tsan" "$tsan_programs" -- \
              -DLIBPOW_SANITIZE=thread -DLIBPOW_BUILD_TOOLS=ON ;;
    # Memcheck over the host programs, forked children included. Only real
    # leaks (definite, indirect, possible) and invalid accesses fail; what is
    # kept on purpose for the life of a process (mappings, semaphore
    # handles) is still reachable, not an error; see tests/valgrind.supp.
    valgrind) LIBPOW_CHAOS_SECONDS=10 run_programs "valgrind (memcheck, host build)" "$out/host" \
              "$valgrind_programs" valgrind -q --error-exitcode=99 --leak-check=full \
              --show-leak-kinds=definite,indirect,possible \
              --errors-for-leak-kinds=definite,indirect,possible \
              --suppressions="$root/tests/valgrind.supp" -- -DLIBPOW_BUILD_BENCH=ON ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
  esac || { echo "=== $stage: FAILED"; exit 1; }
done
printf '%s\n' "${summary[@]}"
