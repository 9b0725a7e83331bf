#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C consumer against
# it twice, through the CMake package and through pkg-config, then runs it;
# the same for a C consumer of the owner kit.
#   check_install.sh BUILD_DIR SCRATCH_DIR C_COMPILER [TOOLCHAIN_FILE [EMULATOR...]]
set -euo pipefail
build=$1 scratch=$2 cc=$3 toolchain=${4:-}
shift $(( $# < 4 ? $# : 4 ))
emulator=("$@")
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch" && mkdir -p "$scratch"
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libLIB_POW.so.1' | head -1)")

# Point at the package directly: a cross toolchain re-roots prefix searches.
args=(-DLIB_POW_DIR="$libdir/cmake/LIB_POW" -DCMAKE_C_COMPILER="$cc")
[ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake -S "$here" -B "$scratch/cmake" "${args[@]}" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$scratch/cmake/consumer"
LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$scratch/cmake/owner_consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
"$cc" -Wall -Wextra -Werror -o "$scratch/consumer_pc" "$here/consumer.c" $(pkg-config --cflags --libs lib_pow) \
  -Wl,-rpath,"$libdir"
LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$scratch/consumer_pc"
"$cc" -Wall -Wextra -Werror -o "$scratch/owner_consumer_pc" "$here/owner_consumer.c" \
  $(pkg-config --cflags --libs lib_pow_owner) -Wl,-rpath,"$libdir"
LD_LIBRARY_PATH=$libdir "${emulator[@]}" "$scratch/owner_consumer_pc"
