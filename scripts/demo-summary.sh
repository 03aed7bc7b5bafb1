#!/usr/bin/env bash
# The summary at the end of scripts/run.sh: transactions by action, reconnections and errors of
# one run, read from the files the run left in its folder.
#
#   scripts/demo-summary.sh <demo dir> [problem...]
#
# Each further argument is a problem the run itself saw (a process that did not stop, ...) and
# counts as an error. Exit status: 0 when transactions arrived and no error showed, 1 otherwise.
set -euo pipefail

if [ $# -lt 1 ]; then
    sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"
    exit 2
fi
demo=$1
shift
receiver_log=$demo/receiver.log
service_log=$demo/service.log
service_out=$demo/service.out

# Trace lines that report a failure: SSL errors, the texts that go with event-log records
# (configuration, component, SSL context, reconnection), failed sink calls, and what the
# sanitizers print when the programs are built with them.
trace_failures='SSL error : |Unable to |Incorrect content or config file path|invalid ProgId'
trace_failures+='|Failure in |Error in exporting|called without|without a matching AddRef'
trace_failures+='|ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|ThreadSanitizer'

# "AddStudio=1 AddSession=2 ..." from the receiver's summary line, or counted from its
# transaction lines when it wrote none.
by_action=$(sed -n 's/^summary transactions=[0-9]* \(.*\) clients=.*$/\1/p' "$receiver_log")
# Transactions the service wrote again after a connection that ended badly: expected, not errors.
duplicates=$(grep -c ' transaction session=.* duplicate$' "$receiver_log" || true)
if [ -z "$by_action" ]; then
    for action in AddStudio AddSession RemoveSession AddEntry UpdateEntry RemoveEntry UpdateTime \
        ChangeSegment; do
        count=$(grep -c " transaction session=[^ ]* action=$action " "$receiver_log" || true)
        by_action+="${by_action:+ }$action=$count"
    done
fi
total=0
listed=
for pair in $by_action; do
    total=$((total + ${pair#*=}))
    listed+="${listed:+, }${pair%=*} ${pair#*=}"
done

connects=$(grep -c 'SSL connect successful' "$service_log" || true)
reconnections=$((connects > 1 ? connects - 1 : 0))

errors=()
for problem in "$@"; do
    errors+=("run: $problem")
done
while IFS= read -r line; do
    errors+=("receiver: $line")
done < <(grep ' error: ' "$receiver_log" || true)
while IFS= read -r line; do
    errors+=("service trace: $line")
done < <(grep -E "$trace_failures" "$service_log" || true)
while IFS= read -r line; do
    errors+=("service output: $line")
done < <(grep -Ev '^(Debugging|Stopping) .*\.$' "$service_out" || true)
if [ "$total" -eq 0 ]; then
    errors+=("run: no transaction arrived at the receiver")
fi

echo
echo "Summary"
echo "  transactions   $total${listed:+: $listed}"
echo "  reconnections  $reconnections"
echo "  duplicates     $duplicates"
if [ ${#errors[@]} -eq 0 ]; then
    echo "  errors         none"
else
    echo "  errors         ${#errors[@]}"
    shown=10
    for line in "${errors[@]:0:$shown}"; do
        echo "    $line"
    done
    [ ${#errors[@]} -le $shown ] || echo "    ... and $((${#errors[@]} - shown)) more"
fi
echo "  files          $demo/ (receiver.log, service.log, service.out, transactions.txt)"
[ ${#errors[@]} -eq 0 ]
