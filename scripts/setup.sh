#!/usr/bin/env bash
# Installs what the build, the tests and the target emulation need, when it
# is missing. Debian packages only; safe to run again.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev nlohmann-json3-dev pkg-config
  g++-powerpc-linux-gnu qemu-user
  valgrind python3 help2man
  # scripts/coverage.sh: clang's source-based coverage, merged and reported
  llvm
  # the ABI of the client libraries, compared with its committed description
  abigail-tools
  # the kernel stage: a 32-bit PowerPC kernel built from Debian's source,
  # booted under full-system emulation with the cross sysroot's libraries
  qemu-system-ppc linux-source-6.1 flex bison bc libelf-dev libssl-dev cpio
  libc6-dev-powerpc-cross libstdc++-12-dev-powerpc-cross
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
