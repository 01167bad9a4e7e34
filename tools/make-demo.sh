#!/bin/sh
# Builds a folder to try Velmora against the simulated flashing tool.
#
#   tools/make-demo.sh DEMO_DIR BUILD_DIR
#
# DEMO_DIR gets: uuu (the simulator from BUILD_DIR/tools), scripts/emmc/*.auto,
# a 1 MiB sample.img and a uuu_scenario.txt with four boards: three that
# succeed after 6, 9 and 12 seconds and one that fails at 60%.  Start Velmora
# with DEMO_DIR as its working directory.

set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 DEMO_DIR BUILD_DIR" >&2
    exit 64
fi
demo=$1
build=$2
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -f "$build/tools/uuu_sim" ]; then
    sim=$build/tools/uuu_sim
    tool=uuu
elif [ -f "$build/tools/uuu_sim.exe" ]; then
    sim=$build/tools/uuu_sim.exe
    tool=uuu.exe
else
    echo "$0: no simulator in $build/tools (build the uuu_sim target first)" >&2
    exit 1
fi

mkdir -p "$demo/scripts/emmc"
cp "$sim" "$demo/$tool"
chmod +x "$demo/$tool"
cp "$root"/scripts/emmc/*.auto "$demo/scripts/emmc/"
head -c 1048576 /dev/urandom > "$demo/sample.img"

cat > "$demo/uuu_scenario.txt" <<'EOF'
# Velmora demo boards: three succeed at different speeds, one fails at 60%.
# Format: see tools/README.md in the Velmora sources.
listing color=1
defaults rate=10
board 1:11 duration_ms=6000
board 1:12 duration_ms=9000 chip=VB200
board 2:3 duration_ms=12000
board 2:4 duration_ms=10000 outcome=fail@60
EOF

echo "demo ready in $demo: run Velmora there and flash sample.img"
