#!/usr/bin/env bash
# Line and branch coverage of the library, the platform layer, the owner kit
# and the tools over the host suite, with clang's source-based coverage:
# every process the tests start writes its own profile (the forked victims,
# powsvc and powctl under the tool test), so a branch only a child takes
# counts too. Prints llvm-cov's table per file; the files and the branches
# no test reaches are in the HTML report it names.
#   scripts/coverage.sh               the whole host suite (chaos run 5 s)
#   scripts/coverage.sh -R Owner      only the tests ctest -R selects
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
out=${LIBPOW_BUILD_ROOT:-$root/build}/coverage
flags="-fprofile-instr-generate -fcoverage-mapping"
mkdir -p "$out"
CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Debug -DLIBPOW_WERROR=OFF \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >"$out.configure.log" 2>&1 || { cat "$out.configure.log"; exit 1; }
cmake --build "$out" -j"$(nproc)" >"$out.build.log" 2>&1 || { tail -40 "$out.build.log"; exit 1; }

rm -rf "$out/profiles"
mkdir -p "$out/profiles"
chmod 1777 "$out/profiles" # the tool test runs programs as other users too
status=0
LLVM_PROFILE_FILE="$out/profiles/%p-%m.profraw" LIBPOW_CHAOS_SECONDS=${LIBPOW_CHAOS_SECONDS:-5} \
  ctest --test-dir "$out" -j"$(nproc)" --timeout 600 -E '^needed_libraries$' "$@" >"$out.ctest.log" 2>&1 ||
  status=$? # (the profile runtime is a dependency the client library must not have)
tail -3 "$out.ctest.log"
# A process killed by a signal writes no profile, or (a test's child killed
# while it writes one) a broken one, which is left out with a warning.
llvm-profdata merge -sparse --failure-mode=all "$out"/profiles/*.profraw -o "$out/all.profdata"

objects=()
while IFS= read -r file; do
  objects+=(-object "$file")
done < <(find "$out" -path "$out/CMakeFiles" -prune -o -type f \( -perm -u+x -o -name '*.so*' \) -print |
  xargs file | sed -n 's/^\([^:]*\): *ELF.*/\1/p' | sort)
ignore='(^|/)(tests|bench|fuzz|build|usr)/'
llvm-cov report -instr-profile="$out/all.profdata" "${objects[@]}" -ignore-filename-regex="$ignore" \
  -show-region-summary=false -show-instantiation-summary=false | sed "s|$root/||"
llvm-cov show -format=html -output-dir="$out/html" -show-branches=count -instr-profile="$out/all.profdata" \
  "${objects[@]}" -ignore-filename-regex="$ignore" >/dev/null
# Every branch direction no test took, as "file:line:column: true|false
# never: source", and against docs/coverage-unreached.md, which gives each
# one's reason as "- file @column side: source" (the column counted from
# the first non-blank character, so moved or re-indented lines still match).
llvm-cov export -format=text -instr-profile="$out/all.profdata" "${objects[@]}" -ignore-filename-regex="$ignore" |
  python3 -c '
import json, os, sys
root, out = sys.argv[1], sys.argv[2]
seen, sources = set(), {}
for data in json.load(sys.stdin)["data"]:
    for f in data["files"]:
        for line, column, _, _, true, false, *_ in f.get("branches", []):
            for taken, side in ((true, "true"), (false, "false")):
                if taken == 0:
                    seen.add((f["filename"].replace(root + "/", ""), line, column, side))
found = {}
with open(os.path.join(out, "unreached.txt"), "w") as listing:
    for name, line, column, side in sorted(seen):
        if name not in sources:
            sources[name] = open(os.path.join(root, name)).read().split("\n")
        text = sources[name][line - 1]
        indent = len(text) - len(text.lstrip())
        print(f"{name}:{line}:{column}: {side} never: {text.strip()}", file=listing)
        found[f"- {name} @{column - indent} {side}: {text.strip()}"] = f"{name}:{line}"
given = set(l.rstrip() for l in open(os.path.join(root, "docs/coverage-unreached.md")) if l.startswith("- "))
missing = [k for k in found if k not in given]
with open(os.path.join(out, "no-reason.txt"), "w") as f:
    f.writelines(k + "\n" for k in missing)
print(f"coverage: {len(found)} branch directions never taken, {len(missing)} without a reason in docs/coverage-unreached.md"
      f" ({out}/no-reason.txt), {len(given - set(found))} reasons given for branches now taken")
' "$root" "$out"
echo "coverage: unreached lines and branches, file by file: $out/html/index.html"
echo "coverage: every branch direction never taken: $out/unreached.txt"
[ "$status" -eq 0 ] || echo "coverage: some tests failed (ctest status $status): $out.ctest.log"
exit "$status"
