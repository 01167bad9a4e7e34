#!/usr/bin/env bash
# Cross-compiles Qt 5.15.8 (qtbase: Core, Gui, Widgets, Test, with the windows
# and offscreen platform plugins) for 64-bit Windows with MinGW-w64 (posix
# thread model) from Debian 12's own source package, and installs it into
# PREFIX, for ci/windows.sh (VELMORA_MINGW_QT=PREFIX).
#
#   ci/mingw-qt.sh PREFIX [WORKDIR]      about an hour on 2 cores; needs root
#                                        (apt-get) the first time
#
# Reproducible: one pinned source version, the bundled zlib, pcre2, libpng,
# libjpeg, freetype and harfbuzz of that source, and always the same options.
# It is the recipe that made ../shared/qt5-mingw-w64/qt5.15.8-mingw-w64.tar.xz
# (see the README there); with that tarball at hand, ci/windows.sh unpacks it
# and this script is not needed.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 PREFIX [WORKDIR]" >&2
    exit 64
fi
prefix="$(realpath -m "$1")"
work="$(realpath -m "${2:-${TMPDIR:-/tmp}/velmora-mingw-qt}")"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
version=5.15.8+dfsg-11+deb12u3
start=$(date +%s)

"$root/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix dpkg-dev xz-utils debian-archive-keyring

mkdir -p "$work/lists/partial" "$work/bin"
cd "$work"
# Debian's source package, fetched with apt from a deb-src entry of our own.
cat >src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
apt_src=(-o Dir::Etc::sourcelist="$work/src.sources" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$work/lists")
if [ ! -f qtbase-opensource-src_5.15.8+dfsg.orig.tar.xz ]; then
    apt-get "${apt_src[@]}" update -qq
    apt-get "${apt_src[@]}" source --download-only "qtbase-opensource-src=$version"
fi

# Qt's win32-g++ platform calls x86_64-w64-mingw32-g++; the default one uses the
# win32 thread model, which lacks std::thread and std::mutex.
for t in gcc g++ c++ cpp; do
    ln -sf "/usr/bin/x86_64-w64-mingw32-$t-posix" "bin/x86_64-w64-mingw32-$t"
done
export PATH="$work/bin:$PATH"

[ -d qtbase-everywhere-src-5.15.8 ] || tar xJf qtbase-opensource-src_5.15.8+dfsg.orig.tar.xz
rm -rf build && mkdir build && cd build
../qtbase-everywhere-src-5.15.8/configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
    -prefix "$prefix" -opensource -confirm-license -release -shared -strip \
    -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-openssl \
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql \
    -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
    -no-feature-sql -no-feature-network -no-feature-xml -no-feature-printer \
    -no-feature-tabletevent -no-feature-concurrent
make -j"$(nproc)"
make install

echo "mingw-qt: Qt 5.15.8 for MinGW-w64 in $prefix after $(($(date +%s) - start)) s"
echo "mingw-qt: use it with VELMORA_MINGW_QT=$prefix ci/windows.sh"
