#!/usr/bin/env bash
# Checks that every tracked C++ source (.cpp and .h, as git lists them) is laid
# out as .clang-format says. Prints each file that differs with the first
# differences and exits 1 if there is any; changes nothing.
#
# To fix: clang-format -i FILE...   (the same clang-format; Debian 12 has 14)
#
# Environment: CLANG_FORMAT  the clang-format to use (default clang-format)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

clang_format=${CLANG_FORMAT:-clang-format}
command -v "$clang_format" >/dev/null 2>&1 || scripts/install-deps.sh clang-format
if ! command -v "$clang_format" >/dev/null 2>&1; then
    echo "format: $clang_format not found (apt-get install clang-format)" >&2
    exit 2
fi
echo "format: $("$clang_format" --version)"

mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [ ${#files[@]} -eq 0 ]; then
    echo "format: no tracked .cpp/.h files" >&2
    exit 2
fi

differ=()
for file in "${files[@]}"; do
    [ -f "$file" ] || continue # deleted in the work tree, not yet in the index
    if ! "$clang_format" --dry-run --Werror "$file" >/dev/null 2>&1; then
        differ+=("$file")
        # The first few places where it differs, as clang-format reports them.
        "$clang_format" --dry-run "$file" 2>&1 | grep -m 3 -A 2 'warning:' || true
    fi
done

if [ ${#differ[@]} -gt 0 ]; then
    echo
    echo "format: ${#differ[@]} of ${#files[@]} files differ from .clang-format:"
    printf '  %s\n' "${differ[@]}"
    echo "format: fix with: clang-format -i ${differ[*]}"
    exit 1
fi
echo "format: all ${#files[@]} files match .clang-format"
