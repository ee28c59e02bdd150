#!/bin/sh
# A real update of a sample installation, start to end: builds what it needs, installs version 1
# of a small sample application, stages version 2, and starts version 1, which starts
# quillmoor-updater with its own process id and exits, as the real application does. Then it shows
# what happened.
#
#   scripts/demo.sh        an update that succeeds
#   scripts/demo.sh fail   an update that fails and is rolled back
set -eu
cd "$(dirname "$0")/.."

mode=${1:-success}
case $mode in
success | fail) ;;
*)
    echo "usage: scripts/demo.sh [fail]" >&2
    exit 2
    ;;
esac

# Only what the demonstration needs: its build has no tests, so neither GoogleTest nor the Windows
# toolchain and Wine of the full test run are installed.
./scripts/install-deps.sh demo
echo "building the helper and the sample application (CMake preset demo) ..."
build_log=$(mktemp)
if ! { cmake --preset demo && cmake --build --preset demo --target quillmoor-updater sample_app_v1 sample_app_v2; } \
    >"$build_log" 2>&1; then
    cat "$build_log"
    exit 1
fi
rm -f "$build_log"

build=$PWD/build/demo-build
helper=$build/quillmoor-updater
v1=$build/examples/sample_app_v1
v2=$build/examples/sample_app_v2

demo=$PWD/build/demo
install="$demo/Sample App"
staging="$demo/download/.update-staging"
app="$install/sample-app"
rm -rf "$demo"
mkdir -p "$install/plugins" "$install/data" "$install/user" "$staging/plugins" "$staging/data" "$staging/user"

# Version 1, installed. The user's folder is never installed over, retired or backed up.
cp "$v1" "$app"
printf 'sample-app\nreadme.txt\nplugins/old-filter.so\ndata/colors.txt\n' >"$install/install-manifest.txt"
echo "Sample App 1.0" >"$install/readme.txt"
echo "old filter, retired by version 2" >"$install/plugins/old-filter.so"
echo "red green blue" >"$install/data/colors.txt"
echo "theme=dark (the user's own)" >"$install/user/settings.ini"

# Version 2, staged: the program and two files replaced, a plugin new, the old plugin retired.
cp "$v2" "$staging/sample-app"
printf 'sample-app\nreadme.txt\nplugins/new-filter.so\ndata/colors.txt\n' >"$staging/install-manifest.txt"
echo "Sample App 2.0" >"$staging/readme.txt"
echo "new filter" >"$staging/plugins/new-filter.so"
echo "red green blue cyan" >"$staging/data/colors.txt"
echo "theme=light (a default that must not replace the user's)" >"$staging/user/settings.ini"

if [ "$mode" = fail ]; then
    # "docs" is an installed file that version 2 keeps, yet version 2 also brings "docs/guide.txt":
    # its folder cannot be made, the move fails and everything moved so far goes back.
    echo "docs" >>"$install/install-manifest.txt"
    echo "a file named docs" >"$install/docs"
    printf 'docs\ndocs/guide.txt\n' >>"$staging/install-manifest.txt"
    mkdir -p "$staging/docs"
    echo "the guide" >"$staging/docs/guide.txt"
fi

# One line per file: its path, and what it holds (a sample program is named by its version).
show_tree() {
    if [ ! -e "$1" ]; then
        echo "    (not there)"
        return
    fi
    (cd "$1" && find . -mindepth 1 | LC_ALL=C sort) | while IFS= read -r entry; do
        file="$1/${entry#./}"
        if [ -d "$file" ]; then
            printf '    %s/\n' "${entry#./}"
        elif cmp -s "$file" "$v1"; then
            printf '    %-28s  the sample program, version 1\n' "${entry#./}"
        elif cmp -s "$file" "$v2"; then
            printf '    %-28s  the sample program, version 2\n' "${entry#./}"
        elif [ ! -s "$file" ]; then
            printf '    %-28s  (empty)\n' "${entry#./}"
        else
            printf '    %-28s  "%s"\n' "${entry#./}" "$(tr '\n' '|' <"$file" | sed 's/|$//; s/|/ | /g')"
        fi
    done
}

indent() { sed 's/^/    /'; }

echo
if [ "$mode" = fail ]; then
    echo "=== quillmoor-updater demonstration: an update that fails and is rolled back"
else
    echo "=== quillmoor-updater demonstration: an update"
fi
echo
echo "--- before: the installation (version 1), $install"
show_tree "$install"
echo
echo "--- before: the staged update (version 2), $staging"
show_tree "$staging"

# The sample application does not wait for the helper, so strace -f, which follows it and every
# process it starts, reports the helper's exit code and returns once all of them have ended.
report="$demo/sample-app.report"
: >"$report"
echo
echo "--- starting version 1, which starts the helper and exits:"
echo "    \$ \"$app\" --update \"$helper\" \"$staging\""
SAMPLE_APP_REPORT=$report strace -f -q -e trace=none -e signal=none -o "$demo/processes.txt" \
    "$app" --update "$helper" "$staging" >/dev/null 2>"$demo/messages.txt"
helper_pid=$(sed -n 's/.*started the update helper as process \([0-9]*\).*/\1/p' "$report")
exit_code=$(sed -n "s/^$helper_pid  *+++ exited with \([0-9]*\) +++\$/\1/p" "$demo/processes.txt")
sed -n '1,/exiting now/p' "$report" | indent

echo
echo "=== what happened"
echo
echo "--- the helper's exit code: ${exit_code:-unknown}"
echo
echo "--- the update log, $install/.update-helper.log"
indent <"$install/.update-helper.log"
echo
echo "--- messages shown to the user"
if [ -s "$demo/messages.txt" ]; then indent <"$demo/messages.txt"; else echo "    (none)"; fi
echo
echo "--- after: the installation"
show_tree "$install"
echo
echo "--- after: what went into .update-backup (the files version 2 replaced or retired)"
show_tree "$install/.update-backup"
echo
echo "--- after: the staged update"
show_tree "$staging"
echo
echo "--- the application started again reports:"
sed '1,/exiting now/d' "$report" | indent
