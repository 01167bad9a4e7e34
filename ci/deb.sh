#!/usr/bin/env bash
# Builds the Debian package of Velmora (cpack -G DEB) in build-deb/.
#
#   ci/deb.sh                  build the package and show its control data and files
#   ci/deb.sh --check-chroot   also install it into a fresh minimal Debian 12
#                              (debootstrap) and check that it starts there and
#                              lists the boards of the simulated flashing tool
#
# Environment:
#   VELMORA_QT_MAJOR   5 (default) or 6
#   DEB_BUILD_DIR      build folder (default build-deb/)
#   DEB_CHROOT         chroot folder for --check-chroot (default /tmp/velmora-bookworm);
#                      it is made anew on each run
#   DEB_MIRROR         Debian mirror for debootstrap (default: the first Debian
#                      URI in this machine's apt sources, else deb.debian.org)
#   DEB_SCREENSHOT     where --check-chroot saves a screenshot of the window
#                      under Xvfb (default DEB_BUILD_DIR/chroot-screenshot.png)
# Runs as root (debootstrap and chroot need it; install-deps.sh uses sudo otherwise).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

check_chroot=0
case "${1:-}" in
--check-chroot) check_chroot=1 ;;
"") ;;
*)
    echo "usage: $0 [--check-chroot]" >&2
    exit 64
    ;;
esac

qt=${VELMORA_QT_MAJOR:-5}
build=${DEB_BUILD_DIR:-$root/build-deb}
extra=(dpkg-dev file)
[ "$qt" = 6 ] && extra+=(qt6-base-dev)
[ "$check_chroot" = 1 ] && extra+=(debootstrap imagemagick)
scripts/install-deps.sh "${extra[@]}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVELMORA_QT_MAJOR="$qt"
cmake --build "$build" -j"$(nproc)" --target velmora uuu_sim
rm -f "$build"/velmora_*.deb
(cd "$build" && cpack -G DEB)

deb=$(ls "$build"/velmora_*.deb)
echo "== $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

[ "$check_chroot" = 1 ] || exit 0

# --- install and start on a clean Debian 12 ------------------------------------

chroot_dir=${DEB_CHROOT:-/tmp/velmora-bookworm}
screenshot=${DEB_SCREENSHOT:-$build/chroot-screenshot.png}
mirror=${DEB_MIRROR:-}
if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null |
        grep -v '^[[:space:]]*#' | grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n1 | tr -d ' ' || true)
    mirror=${mirror:-http://deb.debian.org/debian}
fi

cleanup() {
    umount "$chroot_dir/dev/pts" 2>/dev/null || true
    umount "$chroot_dir/proc" 2>/dev/null || true
}
trap cleanup EXIT

in_chroot() {
    chroot "$chroot_dir" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

if [ -d "$chroot_dir" ]; then
    cleanup
    rm -rf --one-file-system "$chroot_dir"
fi
echo "== debootstrap --variant=minbase bookworm $chroot_dir $mirror"
debootstrap --variant=minbase bookworm "$chroot_dir" "$mirror" >"$build/debootstrap.log" 2>&1 ||
    { tail -n 20 "$build/debootstrap.log"; exit 1; }
mount -t proc proc "$chroot_dir/proc"
mount -t devpts devpts "$chroot_dir/dev/pts"

cp "$deb" "$chroot_dir/root/"
echo "== apt-get install --no-install-recommends ./$(basename "$deb")  (in the chroot)"
in_chroot apt-get update -qq
in_chroot sh -c "cd /root && apt-get install -y --no-install-recommends ./$(basename "$deb")"

# A station with the simulator as its flashing tool and three boards.
station=/root/station
mkdir -p "$chroot_dir$station"
cp "$build/tools/uuu_sim" "$chroot_dir$station/uuu"
cat >"$chroot_dir$station/uuu_scenario.txt" <<'EOF'
log tool.log
board 1:11
board 1:12 chip=VB200
board 2:3
EOF

echo "== velmora-station $station, offscreen, for 5 s  (in the chroot)"
status=0
in_chroot sh -c "QT_QPA_PLATFORM=offscreen timeout 5 velmora-station $station" || status=$?
if [ "$status" -ne 124 ]; then
    echo "deb: velmora ended by itself (exit $status) instead of running until the time-out" >&2
    exit 1
fi
ls "$chroot_dir$station/scripts/emmc"
grep -q -- '-lsusb' "$chroot_dir$station/tool.log" || { echo "deb: velmora did not list the boards" >&2; exit 1; }
echo "velmora ran and listed the boards: $(grep -c -- '-lsusb' "$chroot_dir$station/tool.log") listing(s)"

# The X server and xwd for the screenshot, and the font the package recommends
# (it has the window's CJK characters).
echo "== the same under xvfb-run, with a screenshot  (in the chroot)"
in_chroot apt-get install -y -qq --no-install-recommends xvfb xauth x11-apps fonts-wqy-microhei >/dev/null
in_chroot xvfb-run -s "-screen 0 1024x600x24" sh -c \
    "velmora-station $station & pid=\$!; sleep 4; xwd -root -silent > /root/shot.xwd; kill \$pid; wait \$pid; true"
convert "xwd:$chroot_dir/root/shot.xwd" "$screenshot"
echo "screenshot: $screenshot"
echo "deb: installed and started on a clean Debian 12"
