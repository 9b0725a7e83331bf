#!/usr/bin/env bash
# Builds and runs every test: host (g++), sanitizers (clang, ASan+UBSan),
# the device's ABI (powerpc-linux-gnu under qemu-ppc) and bounded fuzzing.
#   scripts/test.sh            everything
#   scripts/test.sh host asan  only the named stages (host asan target fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(host asan target fuzz)
jobs=$(nproc)
out=${LIBPOW_BUILD_ROOT:-$root/build}
summary=()

run_stage() {
  local name=$1 dir=$2; shift 2
  local start=$SECONDS
  echo "=== $name: configure and build"
  cmake -S "$root" -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    grep -E 'error|warning' "$dir.build.log" | head -40 || tail -40 "$dir.build.log"
    return 1
  fi
  echo "=== $name: test"
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600) || return 1
  summary+=("$name: passed in $((SECONDS - start)) s")
}

mkdir -p "$out"
for stage in "${stages[@]}"; do
  case $stage in
    host)   run_stage host "$out/host" -DLIBPOW_BUILD_BENCH=ON ;;
    asan)   CC=clang CXX=clang++ run_stage "asan+ubsan (clang)" "$out/asan" \
              -DLIBPOW_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug ;;
    target) run_stage "target powerpc-linux-gnu (qemu-ppc)" "$out/target" \
              -DCMAKE_TOOLCHAIN_FILE="$root/cmake/powerpc-linux-gnu.cmake" ;;
    fuzz)   CC=clang CXX=clang++ run_stage "fuzz (clang, bounded)" "$out/fuzz" \
              -DLIBPOW_BUILD_FUZZ=ON -DLIBPOW_BUILD_TESTS=OFF -DLIBPOW_SANITIZE=address,undefined ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
  esac || { echo "=== $stage: FAILED"; exit 1; }
done
printf '%s\n' "${summary[@]}"
