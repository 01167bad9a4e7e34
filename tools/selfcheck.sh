#!/bin/sh
# Checks the flashing-tool simulator against the behaviour Velmora relies on:
# listing layout, every outcome, exit codes, script parsing, and that the
# shipped script templates still parse.
#
#   sh tools/selfcheck.sh path/to/uuu_sim
#
# Ends with a line "N passed, N failed"; exits 1 if anything failed.

set -u
sim=${1:?usage: selfcheck.sh path/to/uuu_sim}
case $sim in /*) ;; *) sim=$(pwd)/$sim ;; esac
here=$(cd "$(dirname "$0")" && pwd)
templates=$here/../scripts/emmc

work=$(mktemp -d "${TMPDIR:-/tmp}/uuu_sim_check.XXXXXX")
bg_pid=
cleanup() {
    [ -n "$bg_pid" ] && kill -9 "$bg_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
cd "$work" || exit 1
cp "$sim" ./uuu || exit 1

passed=0
failed=0
check() {  # check NAME COMMAND...
    name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $name" >&2
    fi
}

esc=$(printf '\033')
tab=$(printf '\t')

# Device lines as Velmora reads them: strip ESC [ ... letter, trim, start
# after the "Path" line, skip "=" lines, keep TAB lines with >= 6 fields.
# Prints the fields of each device joined by '|'.
devices() {
    tr -d '\r\000' | sed "s/$esc\[[0-9;?]*[A-Za-z]//g" | awk -F'\t' '
        { sub(/^[ \t]+/, ""); sub(/[ \t]+$/, "") }
        /^Path/ { on = 1; next }
        !on || /^=/ || index($0, "\t") == 0 { next }
        { out = ""; n = 0
          for (i = 1; i <= NF; i++) if ($i != "") { out = out (n ? "|" : "") $i; n++ }
          if (n >= 6) print out }'
}

img="$work/my imäge.img"
head -c 5000 /dev/zero > "$img"
script() {  # script FILE TEMPLATE-LINE-FOR-WRITE
    printf '# test\ntarget emmc\n%s\nverify\ndone\n' "$2" > "$1"
}
script s.auto "write all \"$img\""

# --- listing ---------------------------------------------------------------
rm -f uuu_scenario.txt
./uuu -lsusb > out; rc=$?
check "listing without scenario exits 0" [ "$rc" = 0 ]
check "listing without scenario has no boards" [ -z "$(devices < out)" ]

cat > uuu_scenario.txt <<EOF
listing color=1 crlf=1 double_tab=1 lines=25 random_bytes=300
board 1:11
board 2:3 chip=VB200 vid=0xFFE0 serial=""
board 3:1 listed=0
board "1:4/2" serial="AB 12"
EOF
./uuu -lsusb > out
devices < out > got
printf '%s\n' "1:11|VB100|LOAD:|0xFFF0|0xFFF1|0x0001|VLM0DE2C2B8" \
    "2:3|VB200|LOAD:|0xFFE0|0xFFF1|0x0001" "1:4/2|VB100|LOAD:|0xFFF0|0xFFF1|0x0001|AB 12" > want
check "listing devices parse with colour, CRLF, junk, random bytes" cmp -s got want
check "listing carries colour sequences" grep -q "$esc\[" out
check "listing carries NUL bytes" [ "$(tr -cd '\000' < out | wc -c)" -gt 0 ]

printf 'listing exit_code=3\nboard 1:1\n' > uuu_scenario.txt
./uuu -lsusb > out; rc=$?
check "listing exit_code" [ "$rc" = 3 ]

printf 'listing crash=1\nboard 1:1\n' > uuu_scenario.txt
./uuu -lsusb > out 2> err; rc=$?
check "listing crash=1 dies by SIGSEGV" [ "$rc" = 139 ]
check "listing crash=1 prints the boards first" [ "$(devices < out)" != "" ]

printf 'listing header=0\nboard 1:1\n' > uuu_scenario.txt
./uuu -lsusb > out; rc=$?
check "listing header=0 exits 0" [ "$rc" = 0 ]
check "listing header=0 has no Path line" sh -c '! grep -q "Path" out'
check "listing header=0 still prints the board line" grep -q "1:1" out

printf 'listing hang=1\nboard 1:1\n' > uuu_scenario.txt
./uuu -lsusb > out &
bg_pid=$!
sleep 0.5
kill -0 "$bg_pid" 2>/dev/null
alive=$?
kill -9 "$bg_pid" 2>/dev/null
wait "$bg_pid" 2>/dev/null
bg_pid=
check "listing hang=1 keeps running" [ "$alive" = 0 ]
check "listing hang=1 prints the boards first" [ "$(devices < out)" != "" ]

printf 'listing spew=1\nboard 1:1\n' > uuu_scenario.txt
./uuu -lsusb | head -c 200000 > out
check "listing spew=1 prints the boards first" [ "$(devices < out)" != "" ]
check "listing spew=1 repeats its error line" [ "$(grep -c "^ERROR: USB bus 1 does not answer, retrying$" out)" -gt 1000 ]

# --- flashing ---------------------------------------------------------------
flash() {  # flash PORT [SCRIPT]: output in out, exit code in rc
    ./uuu -d -m "$1" "${2:-s.auto}" > out 2> err
    rc=$?
}
last_pct() { tr '\r' '\n' < out | grep -o '[0-9]*%' | tail -n 1; }

rm -f uuu_scenario.txt
flash 9:9
check "unknown port succeeds by default" [ "$rc" = 0 ]
check "default run ends with 100% then the marker" \
    sh -c 'tail -n 2 out | head -n 1 | grep -q "100%" && tail -n 1 out | grep -qx "9:9->Okay"'
check "image path with blank and non-ASCII arrives intact" grep -qF "\"$img\"" out

cat > uuu_scenario.txt <<EOF
defaults duration_ms=100 rate=50 stamp=$work/stamps
board f outcome=fail@50
board e outcome=error@30
board c outcome=crash@40
board x outcome=exit@70:7
board mf outcome=marker_first
board mf2 outcome=marker_first marker_again=1
board la outcome=lookalike
board ec exit_code=9 crlf=1 color=1
board n nul=1 garbage=1
board big bigline=100000
board ni check_image=0
board slow duration_ms=500 rate=10
board h outcome=hang@50
board co outcome=closeout@50
board oh outcome=okhang
EOF

flash f
check "fail@P exits 1" [ "$rc" = 1 ]
check "fail@P prints Fail at P%" sh -c '[ "$(grep -o "[0-9]*%" out | tail -n 1)" = 50% ] && tail -n 1 out | grep -q Fail'
check "fail@P prints no marker" sh -c '! grep -q -- "->Okay" out'
flash e
check "error@P exits 1 with ERROR" sh -c "[ $rc = 1 ] && grep -q ERROR out && ! grep -q -- '->Okay' out"
flash c
check "crash@P dies by a signal" [ "$rc" -gt 128 ]
check "crash@P prints no marker" sh -c '! grep -q -- "->Okay" out'
flash x
check "exit@P:C exits with C, silently" sh -c "[ $rc = 7 ] && [ \"\$(grep -o '[0-9]*%' out | tail -n 1)\" = 70% ] && ! grep -q -e Fail -e ERROR -e '->Okay' out"
flash mf
check "marker_first prints the marker once, before 100%" \
    sh -c '[ "$(grep -c -- "->Okay" out)" = 1 ] && tail -n 1 out | grep -q "100%"'
flash mf2
check "marker_again repeats the marker after 100%" \
    sh -c '[ "$(grep -c -- "->Okay" out)" = 2 ] && tail -n 1 out | grep -qx "mf2->Okay"'
flash la
check "lookalike has near-miss words but never ERROR or Fail" \
    sh -c "[ $rc = 0 ] && grep -q error out && grep -q FAIL out && ! grep -q -e ERROR -e Fail out"
flash ec
check "exit_code after success" [ "$rc" = 9 ]
check "crlf=1 ends lines with CRLF" sh -c "[ \"\$(grep -c \"\$(printf '\r')\$\" out)\" = \"\$(wc -l < out)\" ]"
flash n
check "nul=1 puts NULs in progress lines" [ "$(tr -cd '\000' < out | wc -c)" -gt 0 ]
check "garbage run still succeeds" sh -c "[ $rc = 0 ] && tr -d '\000' < out | tail -n 1 | grep -qx 'n->Okay'"
flash big
check "bigline glues the marker to a long line" \
    sh -c "[ \$(tail -n 1 out | wc -c) -gt 100000 ] && tail -n 1 out | grep -q 'big->Okay\$'"
check "stamps are written for marker and failure lines" \
    sh -c "grep -Eq '^[0-9]{19} f fail\$' stamps && grep -Eq '^[0-9]{19} ec okay\$' stamps"

t0=$(date +%s%N)
flash slow
t1=$(date +%s%N)
ms=$(((t1 - t0) / 1000000))
check "duration_ms is kept (500 ms took $ms ms)" sh -c "[ $ms -ge 450 ] && [ $ms -lt 3000 ]"

# Ones that never exit by themselves: look after half a second, then kill.
still_running() {  # still_running PORT: output in out, true if alive after 0.5 s
    ./uuu -d -m "$1" s.auto > out 2> err &
    bg_pid=$!
    sleep 0.5
    kill -0 "$bg_pid" 2>/dev/null
    alive=$?
    kill -9 "$bg_pid" 2>/dev/null
    wait "$bg_pid" 2>/dev/null
    bg_pid=
    return $alive
}
check "hang@P keeps running" still_running h
check "hang@P stops printing at P%" sh -c '[ "$(grep -o "[0-9]*%" out | tail -n 1)" = 50% ]'
check "closeout@P keeps running" still_running co
check "closeout@P stops output at P%" sh -c '[ "$(grep -o "[0-9]*%" out | tail -n 1)" = 50% ]'
check "okhang keeps running after the marker" still_running oh
check "okhang printed the marker" grep -qx "oh->Okay" out

# --- script handling --------------------------------------------------------
flash 1:1 missing.auto
check "missing script: exit 2 and message" sh -c "[ $rc = 2 ] && grep -qx 'ERROR: cannot open script missing.auto' out"
script gone.auto "write all \"$work/gone.img\""
flash 1:1 gone.auto
check "missing image: exit 3 and message" sh -c "[ $rc = 3 ] && grep -qx 'ERROR: image not found: $work/gone.img' out"
flash ni gone.auto
check "check_image=0 flashes without the image" [ "$rc" = 0 ]
script bad.auto 'erase all "x"'
flash 1:1 bad.auto
check "unknown script command: exit 4 with ERROR" sh -c "[ $rc = 4 ] && grep -q \"ERROR: .*unknown command 'erase'\" out"
script raw.auto 'write all _file'
flash 1:1 raw.auto
check "unreplaced placeholder is rejected" sh -c "[ $rc = 4 ] && grep -q ERROR out"
printf '\357\273\277# crlf\r\n\r\ntarget emmc\r\nwrite kernel "%s"  # note\r\ndone\r\n' "$img" > crlf.auto
flash 1:1 crlf.auto
check "script with BOM, CRLF and comments" [ "$rc" = 0 ]

for t in all_uuu image_uuu root_uuu; do
    sed "s|_file|\"$img\"|g" "$templates/$t.auto" > "$t.auto"
    flash 1:1 "$t.auto"
    check "template $t.auto flashes" sh -c "[ $rc = 0 ] && grep -qF '$img' out && tail -n 1 out | grep -qx '1:1->Okay'"
done

# A typo in a scenario must not pass silently, whichever directive it is on.
while IFS= read -r bad; do
    printf '%s\n' "$bad" > uuu_scenario.txt
    flash 1:1
    check "bad scenario '$bad': exit 5 with ERROR" sh -c "[ $rc = 5 ] && grep -q ERROR out"
done <<EOF
board 1:1 outcome=sometimes
board 1:1 cr=1
defaults stderr_noise=1
listing line_delay_ms=5
board 1:1 rate=0
listing lines=many
board 1:1 chip="a${tab}b"
board 1:1 marker=late
defaults duration_ms
EOF

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
