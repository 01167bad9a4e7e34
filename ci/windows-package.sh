#!/usr/bin/env bash
# Makes the Windows packages of a cross build and tries them under Wine the
# way an operator would, on an X server of its own (Xvfb):
#
#   ci/windows-package.sh BUILD_DIR [SCREENSHOT.png]
#
# 1. cpack: velmora-<version>-win64.zip, and the NSIS installer when makensis
#    is there.
# 2. The zip is unpacked into an empty folder, the demo (four simulated
#    boards, uuu.exe) is added, and velmora.exe is started from that folder in
#    a fresh Wine prefix with nothing on its path: it must show its window and
#    list the four boards. The image is typed in, StartAll pressed, and every
#    board must reach its outcome, each with its log under logs\.
#    SCREENSHOT.png, when given, gets a picture of the window at the end.
# 3. StartAll again, and velmora.exe is killed while the tools run: no uuu.exe
#    may be left.
# 4. The installer, when made, is run silently in the same prefix: the files
#    and the Start-menu entry, whose working folder must be the install folder.
# Needs: wine, Xvfb, xdotool, ImageMagick (import), unzip.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath "$1")"
shot="${2:-}"
[ -n "$shot" ] && shot="$(realpath -m "$shot")"

. "$root/tests/win/find-wine.sh"

fail() {
    echo "windows-package: FAILED: $*" >&2
    exit 1
}

# --- 1. packages --------------------------------------------------------------
(cd "$build" && cpack -C Release >/dev/null) || fail "cpack"
zip="$(ls "$build"/velmora-*-win64.zip)"
installer="$(ls "$build"/velmora-*-win64.exe 2>/dev/null || true)"
echo "windows-package: made $(basename "$zip")${installer:+ and $(basename "$installer")}"

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-package.XXXXXX")"
xvfb_pid=""
velmora_pid=""
export WINEPREFIX="$work/prefix"
cleanup() {
    [ -n "$velmora_pid" ] && kill "$velmora_pid" 2>/dev/null || true
    "$wineserver" -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

unzip -q "$zip" -d "$work"
station="$(ls -d "$work"/velmora-*-win64)"
echo "windows-package: zip holds:"
(cd "$station" && find . -type f | sort | sed 's/^/  /')
"$root/tools/make-demo.sh" "$station" "$build" >/dev/null
cat >"$station/uuu_scenario.txt" <<'EOF'
# Four boards: three succeed at different speeds, one fails at 60%.
listing color=1
defaults rate=10 chip=VB100 pro=LOAD: vid=0xFFF0 pid=0xFFF1 bcd=0x0001
board 1:11 duration_ms=6000
board 1:12 duration_ms=9000 chip=VB200
board 2:3 duration_ms=12000
board 2:4 duration_ms=10000 outcome=fail@60
EOF

# --- a fresh prefix and an X server -------------------------------------------------
unset WINEPATH QT_PLUGIN_PATH QT_QPA_PLATFORM
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
display=""
for n in $(seq 140 199); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
        display=":$n"
        break
    fi
done
[ -n "$display" ] || fail "no free X display number"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
"$wine" wineboot -i >/dev/null 2>&1 || true
"$wineserver" -w

start_velmora() {
    (cd "$station" && exec "$wine" velmora.exe >"$work/velmora.out" 2>&1) &
    velmora_pid=$!
    window=""
    for _ in $(seq 300); do
        window="$(xdotool search --name '^Velmora V1.0$' 2>/dev/null | head -1 || true)"
        [ -n "$window" ] && break
        kill -0 "$velmora_pid" 2>/dev/null || fail "velmora.exe ended at once: $(cat "$work/velmora.out")"
        sleep 0.1
    done
    [ -n "$window" ] || fail "no Velmora window"
    sleep 2
    eval "$(xdotool getwindowgeometry --shell "$window")"
    echo "windows-package: velmora.exe shows its window ($WIDTH x $HEIGHT) in $station"
}

# Clicks at a point given in window coordinates.
click() {
    xdotool mousemove $((X + $1)) $((Y + $2)) click 1
    sleep 0.3
}

logs_done() {
    for port in 1_11 1_12 2_3 2_4; do
        [ -f "$station/logs/${port}_log.txt" ] || return 1
    done
    grep -q '1:11->Okay' "$station/logs/1_11_log.txt" &&
        grep -q '1:12->Okay' "$station/logs/1_12_log.txt" &&
        grep -q '2:3->Okay' "$station/logs/2_3_log.txt" &&
        grep -q 'Process Failed Detected' "$station/logs/2_4_log.txt"
}

# Tools running in this prefix (Wine's tasklist lists nothing): read from
# /proc, where a Windows process shows its command line.
uuu_count() {
    local n=0 p
    for p in /proc/[0-9]*; do
        { tr '\0' ' ' <"$p/cmdline" | grep -qi 'uuu\.exe'; } 2>/dev/null || continue
        { tr '\0' '\n' <"$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; } 2>/dev/null && n=$((n + 1))
    done
    echo "$n"
}

# --- 2. the demo -----------------------------------------------------------------------
start_velmora
# The tool row is at the top: the image path field lies right of the middle,
# StartAll fills the left half of the bottom row.
click $((WIDTH * 66 / 100)) 37
xdotool type --delay 20 'sample.img'
click $((WIDTH / 4)) $((HEIGHT - 39))
for _ in $(seq 400); do
    logs_done && break
    sleep 0.1
done
logs_done || fail "not every board reached its outcome: $(ls "$station/logs" 2>&1)"
sleep 1
echo "windows-package: all four boards done; logs: $(cd "$station/logs" && echo *)"
if [ -n "$shot" ]; then
    import -window "$window" "$shot"
    echo "windows-package: screenshot $shot"
fi

# --- 3. killed while flashing --------------------------------------------------------------
rm -rf "$station/logs"
click $((WIDTH / 4)) $((HEIGHT - 39))
for _ in $(seq 100); do
    [ "$(uuu_count)" -ge 4 ] && break
    sleep 0.2
done
running="$(uuu_count)"
[ "$running" -ge 4 ] || fail "StartAll started $running tools"
kill -KILL "$velmora_pid"
wait "$velmora_pid" 2>/dev/null || true
velmora_pid=""
for _ in $(seq 50); do
    [ "$(uuu_count)" = 0 ] && break
    sleep 0.2
done
left="$(uuu_count)"
[ "$left" = 0 ] || fail "$left uuu.exe still running after velmora.exe was killed"
echo "windows-package: velmora.exe killed with $running tools running: none left"

# --- 4. the installer ---------------------------------------------------------------------
if [ -n "$installer" ]; then
    "$wine" "$installer" /S >/dev/null 2>&1 || fail "the installer failed"
    "$wineserver" -w
    target="$WINEPREFIX/drive_c/Velmora"
    for file in velmora.exe Qt5Core.dll platforms/qwindows.dll scripts/emmc/all_uuu.auto README.txt; do
        [ -f "$target/$file" ] || fail "the installer put no $file in place"
    done
    link="$(find "$WINEPREFIX/drive_c" -name Velmora.lnk | head -1)"
    [ -n "$link" ] || fail "no Start-menu entry"
    # The working folder is stored in the shortcut as UTF-16 text.
    strings -el "$link" | grep -qxF 'C:\Velmora' ||
        fail "the Start-menu entry does not start in the install folder"
    # Started there as the entry starts it, with the demo's tool beside it.
    cp "$station/uuu.exe" "$station/uuu_scenario.txt" "$target/"
    station="$target"
    start_velmora
    kill "$velmora_pid"
    wait "$velmora_pid" 2>/dev/null || true
    velmora_pid=""
    echo "windows-package: installer: files in place, Start-menu entry starts in C:\\Velmora"
fi
echo "windows-package: passed"
