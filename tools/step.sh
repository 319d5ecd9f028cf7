#!/usr/bin/env bash
# One long step of `make demo` or `make test`: says what it is doing, runs it, and keeps its time
# for the summary printed at the end.
#   tools/step.sh --begin                 forget the times of an earlier run
#   tools/step.sh "what it does" cmd ...   run one step
#   tools/step.sh --summary               print each step's time and the total
set -uo pipefail
log=${VOLLAN_STEP_LOG:-build/steps.log}
mkdir -p "$(dirname "$log")"

case ${1:-} in
--begin)
    date +%s%N >"$log.start"
    : >"$log"
    exit 0
    ;;
--summary)
    [ -s "$log" ] || exit 0
    echo "== time per step"
    awk -F'\t' '{ printf "   %6.1f s  %s\n", $1, $2 }' "$log"
    if [ -s "$log.start" ]; then
        # Some steps overlap, so the whole is the time since the start, not their sum.
        awk -v a="$(cat "$log.start")" -v b="$(date +%s%N)" \
            'BEGIN { printf "   %6.1f s  in all\n", (b - a) / 1e9 }'
    fi
    exit 0
    ;;
esac

label=$1
shift
echo "== $label"
start=$(date +%s%N)
"$@"
status=$?
seconds=$(awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')
if [ "$status" -ne 0 ]; then
    echo "== $label: failed after $seconds s" >&2
    exit "$status"
fi
printf '%s\t%s\n' "$seconds" "$label" >>"$log"
