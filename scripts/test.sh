#!/usr/bin/env bash
# Builds and runs every test: host (g++), sanitizers (clang, ASan+UBSan),
# the device's ABI (powerpc-linux-gnu under qemu-ppc), the same programs on a
# 32-bit PowerPC kernel (qemu-system-ppc), bounded fuzzing, threads under
# ThreadSanitizer and the host tests under valgrind.
#   scripts/test.sh            everything
#   scripts/test.sh host asan  only the named stages
#                              (host asan target kernel fuzz tsan valgrind)
#   scripts/test.sh --stage-config STAGE
#                              how that stage builds, one "env NAME=VALUE" or
#                              "arg CMAKE_OPTION" a line (scripts/mutants.py)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The stages, defined here only: each one's environment and cmake options.
# Warnings fail every build of the test command (a user's own build only
# warns), and the ABI comparison may not skip for want of a tool or of
# debug info. The target stage builds Release (-O3, where g++ finds
# warnings that -O2 does not) with debug info kept for the ABI comparison;
# the kernel stage runs the same build, the valgrind stage the host's.
stage_config() { # STAGE: sets stage_env and stage_args
  stage_env=(LIBPOW_ABI_REQUIRED=1) stage_args=(-DLIBPOW_WERROR=ON)
  local clang=(CC=clang CXX=clang++)
  case $1 in
    host | valgrind) stage_args+=(-DLIBPOW_BUILD_BENCH=ON) ;;
    # The owner kit and the tools catch the SIGBUS of an object cut short
    # under them; AddressSanitizer would take that signal first.
    asan) stage_env+=("${clang[@]}" "ASAN_OPTIONS=handle_sigbus=0 ${ASAN_OPTIONS:-}")
          stage_args+=(-DLIBPOW_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug) ;;
    target | kernel) stage_args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-gnu.cmake"
                                  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g) ;;
    fuzz) stage_env+=("${clang[@]}")
          stage_args+=(-DLIBPOW_BUILD_FUZZ=ON -DLIBPOW_BUILD_TESTS=OFF -DLIBPOW_SANITIZE=address,undefined) ;;
    # ThreadSanitizer cannot follow a mutex handed between processes, nor the
    # timed take (pthread_mutex_clocklock is not intercepted), and reports
    # those as mutex misuse; data races are still reported and fail the run.
    tsan) stage_env+=("${clang[@]}" "TSAN_OPTIONS=report_mutex_bugs=0 halt_on_error=1 ${TSAN_OPTIONS:-}")
          stage_args+=(-DLIBPOW_SANITIZE=thread) ;;
    *) return 1 ;;
  esac
}

if [ "${1:-}" = --stage-config ]; then
  stage_config "${2:-}" || { echo "unknown stage ${2:-}" >&2; exit 2; }
  printf 'env %s\n' "${stage_env[@]}"
  printf 'arg %s\n' "${stage_args[@]}"
  exit 0
fi

bash scripts/setup.sh
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host asan target kernel fuzz tsan valgrind)
jobs=$(nproc)
out=${LIBPOW_BUILD_ROOT:-$root/build}
summary=()

# Configures and builds DIR as STAGE builds; only TARGETS when given.
build_tree() { # STAGE DIR [TARGETS...]
  local dir=$2 targets=()
  stage_config "$1"
  shift 2
  for t in "$@"; do targets+=(--target "$t"); done
  env "${stage_env[@]}" cmake -S "$root" -B "$dir" "${stage_args[@]}" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  if ! env "${stage_env[@]}" cmake --build "$dir" -j"$jobs" "${targets[@]}" >"$dir.build.log" 2>&1; then
    grep -E 'error|warning' "$dir.build.log" | head -40 || tail -40 "$dir.build.log"
    return 1
  fi
}

run_stage() { # STAGE NAME DIR
  local start=$SECONDS
  echo "=== $2: configure and build"
  build_tree "$1" "$3" || return 1
  echo "=== $2: test"
  (cd "$3" && env "${stage_env[@]}" ctest -j"$jobs" --output-on-failure --timeout 600) || return 1
  # What the crash chaos run found and what the owner's repair left, and
  # how many kill points the every-instruction walk tried.
  grep -hE '^(chaos|every instruction|boot order):' "$3/Testing/Temporary/LastTest.log" 2>/dev/null | sed 's/^/    /' || true
  summary+=("$2: passed in $((SECONDS - start)) s")
}

# The target build's test programs (the target stage's build when it is
# there and current) on a 32-bit PowerPC kernel; see scripts/kernel/stage.sh.
run_kernel() {
  local name="kernel (32-bit PowerPC kernel, qemu-system-ppc)" start=$SECONDS
  echo "=== $name: target build"
  build_tree kernel "$out/target" || return 1
  echo "=== $name: kernel, boot and test"
  bash "$root/scripts/kernel/stage.sh" "$out/target" "$out/kernel" || return 1
  summary+=("$name: passed in $((SECONDS - start)) s")
}

# Builds only the given test programs and runs each one directly (no
# CTest), as RUNNER... PROGRAM: the tsan and valgrind stages.
run_programs() { # STAGE NAME DIR "PROGRAMS" RUNNER...
  local stage=$1 name=$2 dir=$3 programs=$4 start=$SECONDS t failed=0
  shift 4
  echo "=== $name: configure and build ($programs)"
  # shellcheck disable=SC2086
  build_tree "$stage" "$dir" $programs || return 1
  echo "=== $name: test"
  for t in $programs; do
    local log="$dir.$t.log" t0=$SECONDS
    if env "${stage_env[@]}" timeout 600 "$@" "$dir/tests/$t" >"$log" 2>&1; then
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
    host)   run_stage host host "$out/host" ;;
    asan)   run_stage asan "asan+ubsan (clang)" "$out/asan" ;;
    target) run_stage target "target powerpc-linux-gnu, Release (qemu-ppc)" "$out/target" ;;
    kernel) run_kernel ;;
    fuzz)   run_stage fuzz "fuzz (clang, bounded)" "$out/fuzz" ;;
    tsan)   run_programs tsan "tsan (clang, threads)" "$out/tsan" "$tsan_programs" ;;
    # Memcheck over the host programs, forked children included. Only real
    # leaks (definite, indirect, possible) and invalid accesses fail; what is
    # kept on purpose for the life of a process (mappings, semaphore
    # handles) is still reachable, not an error; see tests/valgrind.supp.
    valgrind) LIBPOW_CHAOS_SECONDS=10 run_programs valgrind "valgrind (memcheck, host build)" "$out/host" \
              "$valgrind_programs" valgrind -q --error-exitcode=99 --leak-check=full \
              --show-leak-kinds=definite,indirect,possible \
              --errors-for-leak-kinds=definite,indirect,possible \
              --suppressions="$root/tests/valgrind.supp" ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
  esac || { echo "=== $stage: FAILED"; exit 1; }
done
printf '%s\n' "${summary[@]}"
