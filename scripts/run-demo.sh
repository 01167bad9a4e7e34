#!/usr/bin/env bash
# Installs what is needed, builds Velmora and starts it in a demo folder with
# the simulated flashing tool listing four boards, the script templates and a
# sample image. Without a display it runs under Xvfb (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
cmake --build build -j"$(nproc)"

demo=${VELMORA_DEMO_DIR:-$top/demo}
tools/make-demo.sh "$demo" "$top/build"
echo "Demo folder: $demo (pick sample.img with the ... button, then press StartAll)"
cd "$demo"
if [ -n "${DISPLAY:-}" ]; then
    exec "$top/build/velmora"
else
    echo "No DISPLAY: running under Xvfb on :99; view it with a VNC server or take screenshots"
    echo "  (e.g. DISPLAY=:99 import -window root shot.png)"
    exec xvfb-run -n 99 -s "-screen 0 1024x768x24" "$top/build/velmora"
fi
