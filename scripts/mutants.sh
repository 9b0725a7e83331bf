#!/usr/bin/env bash
# The planted-fault run (scripts/mutants.py; the faults are listed in
# scripts/planted-faults.txt, which includes the independent rounds'
# lists; --list-file LIST runs one list alone). Not part of scripts/test.sh:
# it takes longer.
set -euo pipefail
bash "$(dirname "$0")/setup.sh"
exec python3 "$(dirname "$0")/mutants.py" "$@"
