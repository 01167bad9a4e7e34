# Sourced by the scripts that run Windows programs under Wine. Sets wine to
# the 64-bit Wine loader (VELMORA_WINE when set) and wineserver to its
# server, or leaves wine empty when Wine is not installed.
wine="${VELMORA_WINE:-}"
if [ -z "$wine" ]; then
    for candidate in wine64 /usr/lib/wine/wine64 wine; do
        if command -v "$candidate" >/dev/null 2>&1; then
            wine="$(command -v "$candidate")"
            break
        fi
    done
fi
wineserver=""
if [ -n "$wine" ]; then
    wineserver="$(dirname "$wine")/wineserver"
    [ -x "$wineserver" ] || wineserver="$(command -v wineserver || true)"
fi
