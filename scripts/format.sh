#!/bin/sh
# clang-format with the style of .clang-format over the tracked C++ files.
#
#   scripts/format.sh        check: lists what would change and fails if anything would
#   scripts/format.sh -i     reformat the files in place
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = -i ]; then
    # shellcheck disable=SC2086
    clang-format -i $files
    exit 0
fi
# shellcheck disable=SC2086
if ! clang-format --dry-run -Werror $files; then
    echo "clang-format: the files above do not follow .clang-format; scripts/format.sh -i fixes them" >&2
    exit 1
fi
echo "clang-format: $(echo "$files" | wc -l) files follow .clang-format"
