#!/usr/bin/env bash
# Compiles and installs the extension into the environment of the given Python, showing the
# compiler's progress (one line per file) while the whole output goes to a log.
#   tools/build_extension.sh PYTHON LOG [pip options ...]
set -uo pipefail
python=$1
log=$2
shift 2
mkdir -p "$(dirname "$log")"
"$python" -m pip install -v --no-build-isolation --no-deps "$@" . 2>&1 |
    tee "$log" |
    awk '/^ *\[[0-9]+\/[0-9]+\] /{ sub(/^ +/, "   "); print; fflush() }
         / (error|warning): /{ print "   " $0; fflush() }'
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
    echo "--- the build failed; the end of its log ($log):" >&2
    tail -n 40 "$log" >&2
fi
exit "$status"
