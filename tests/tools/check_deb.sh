#!/usr/bin/env bash
# check_deb.sh BUILD_DIR SCRATCH_DIR: builds the Debian package of a build tree and checks that it carries what a
# device image needs, for the machine the build was made for (read from the built library, not the packaging rules).
set -euo pipefail
build=$1 scratch=$2
rm -rf "$scratch" && mkdir -p "$scratch"

fail() { echo "check_deb: $*" >&2; exit 1; }

# ELF class, byte order and machine of a file -> Debian architecture name (the
# two machines this project builds for).
debian_arch() {
  local h
  h=$(od -An -tx1 -N20 "$1" | tr -d ' \n')
  case "${h:8:4}:${h:36:4}" in
    0201:3e00) echo amd64 ;;
    0102:0014) echo powerpc ;;
    *) echo "unknown-${h:8:4}-${h:36:4}" ;;
  esac
}

lib=$(find "$build" -name 'libLIB_POW.so.1.*' -type f | head -1)
[ -n "$lib" ] || fail "no libLIB_POW.so.1.* in $build"
want_arch=$(debian_arch "$lib")

cpack -G DEB -B "$scratch" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack failed"; }
debs=("$scratch"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $scratch, found: ${debs[*]}"
deb=${debs[0]}

info=$(dpkg-deb -I "$deb")
field() { sed -n "s/^ $1: //p" <<<"$info"; }
[ "$(field Package)" = lib-pow ] || fail "package name is '$(field Package)', not lib-pow"
[ "$(field Architecture)" = "$want_arch" ] ||
  fail "architecture is '$(field Architecture)' but the library is built for $want_arch"
[ -n "$(field Version)" ] || fail "no version"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
libdir='usr/lib/(.*/)?'
need=(usr/include/{LIB_PowerService,PLAT_semLib,LIB_POW_owner,LIB_POW_areas}'\.h' usr/bin/powctl usr/bin/powsvc
  "${libdir}"{libLIB_POW_owner,libLIB_POW,libPLAT}'\.so\.1' "${libdir}"{libLIB_POW,libPLAT}'\.so\.1\.[0-9.]+' "${libdir}libLIB_POW\.so"
  "${libdir}pkgconfig/"{lib_pow,lib_pow_owner}'\.pc' "${libdir}cmake/LIB_POW/LIB_POW"{Config,ConfigVersion,Targets}'\.cmake'
  usr/share/man/man1/{powctl,powsvc}'\.1\.gz' usr/share/bash-completion/completions/{powctl,powsvc})
for path in "${need[@]}"; do
  grep -Eq "^\./$path\$" <<<"$contents" || fail "the package lacks $path; it holds:
$contents"
done

# The programs inside are built for the same machine as the package says;
# the manual pages are real pages about the program, not an error text, and
# name the options of commands two levels down.
dpkg-deb -x "$deb" "$scratch/root"
declare -A nested=([powctl]='\-\-no\-release' [powsvc]='\-\-sem\-id')
for prog in powctl powsvc; do
  got=$(debian_arch "$scratch/root/usr/bin/$prog")
  [ "$got" = "$want_arch" ] || fail "usr/bin/$prog is built for $got, the package is $want_arch"
  page=$(zcat "$scratch/root/usr/share/man/man1/$prog.1.gz")
  grep -q "^\.TH ${prog^^} \"1\"" <<<"$page" || fail "usr/share/man/man1/$prog.1.gz is not a manual page of $prog"
  grep -Fq -- "${nested[$prog]}" <<<"$page" || fail "usr/share/man/man1/$prog.1.gz lacks ${nested[$prog]}: not every command"
done
echo "check_deb: $(basename "$deb"): $want_arch, $(wc -l <<<"$contents") entries, all expected files present"
