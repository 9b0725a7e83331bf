#!/usr/bin/env bash
# The planted-fault run (scripts/mutants.py; the faults are listed in
# scripts/planted-faults.txt). Not part of scripts/test.sh: it takes longer.
set -euo pipefail
bash "$(dirname "$0")/setup.sh"
exec python3 "$(dirname "$0")/mutants.py" "$@"
