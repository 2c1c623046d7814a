#!/usr/bin/env bash
# report_console_test.sh GATEWAY [EMULATOR...] - the executable's "report"
# command run from the console as a person or a scheduled task runs it (under
# Wine for the Windows build): its exit codes 3, 0 and 1, with the line that
# each is about. ReportTest holds the report's every line.
set -euo pipefail
gateway=$(readlink -f "$1")
shift
dir=$(mktemp -d /tmp/qhg-report.XXXXXX)
trap 'rm -rf "$dir"' EXIT
name=$(basename "$gateway")
cp "$gateway" "$dir/$name"
stem=$dir/${name%.exe}
failures=0

header='time,client,client_number,kind,sequence,amount,card,reference,outcome,http_status,server_ms,reply'
printf '%s\r\n' "$header" \
    '2026-12-08T09:16:40.004+01:00,192.168.1.21,8,void,42,1250,************5556,R-881,in-doubt,504,30000.250,' >"$stem-2026-12-08.csv"
printf '%s\r\n' "$header" >"$stem-2026-12-07.csv"

# expect CODE LINE ARGUMENTS...: the exit code, and LINE among the output's lines.
expect() {
    local code=0 want_code=$1 wanted=$2
    shift 2
    (cd "$dir" && "${emulator[@]}" "./$name" "$@" >"$dir/out" 2>"$dir/err") || code=$?
    if [ "$code" = "$want_code" ] && tr -d '\r' <"$dir/out" | grep -qxF -- "$wanted"; then
        echo "PASS: $* ($code): $wanted"
    else
        echo "FAIL: $*: exit $code (expected $want_code), no line '$wanted' in:"
        cat "$dir/out" "$dir/err"
        failures=$((failures + 1))
    fi
}
emulator=("$@")
expect 3 '  09:16:40  192.168.1.21 #8            42  void  ************5556         1250  R-881' report 2026-12-08
expect 0 'In doubt: none' REPORT 2026-12-07
expect 1 'The report takes one day at most: report [YYYY-MM-DD]' report 2026-12-08 2026-12-09
# The file is named as the system spells its path.
code=0
(cd "$dir" && "${emulator[@]}" "./$name" report 2026-12-09 >"$dir/out" 2>&1) || code=$?
case $code:$(tr -d '\r' <"$dir/out") in
"1:No journal for 2026-12-09: "*"${name%.exe}-2026-12-09.csv does not exist.") echo "PASS: a missing day" ;;
*) echo "FAIL: a missing day: exit $code"; cat "$dir/out"; failures=$((failures + 1)) ;;
esac
exit $((failures > 0))
