# Sourced before the Windows build's tests: a private Wine prefix, created on first use without a
# display or questions, and one warm wine server that CTest's test programs share. The server is
# stopped when the sourcing shell exits.
#
# QM_WINE_PREFIX chooses the prefix (default: build/wine-prefix in the work tree); two runs at the
# same time should use different prefixes, since each stops its server at exit.

qm_root=$(git rev-parse --show-toplevel 2>/dev/null || pwd)
export WINEPREFIX="${QM_WINE_PREFIX:-$qm_root/build/wine-prefix}"
export WINEARCH=win64
# No debug channels, and no prompt to install Mono or Gecko when the prefix is created.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The locale decides the ANSI code page (a Japanese one gives 932); the tests expect 1252.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
fi

# A drive letter on another Linux file system: Wine decides "same volume" by the Linux file
# system, so moves between C: and Q: really cross volumes. Only offered when /dev/shm is one.
qm_other_volume=/dev/shm/quillmoor-other-volume
if mkdir -p "$qm_other_volume" 2>/dev/null &&
    [ "$(stat -c %d "$qm_other_volume")" != "$(stat -c %d "$WINEPREFIX/drive_c")" ]; then
    ln -sfn "$qm_other_volume" "$WINEPREFIX/dosdevices/q:"
    export QM_OTHER_VOLUME='Q:\'
else
    rm -f "$WINEPREFIX/dosdevices/q:"
    unset QM_OTHER_VOLUME
fi

# One persistent server, warmed up with no pipe attached: otherwise the first piped wine process
# starts Wine's services holding the pipe and the reader (CTest) hangs, and with a cold server every
# test waits out the server's linger time.
wineserver -p 2>/dev/null || true # answers 2 when this prefix has a server already
wine wineboot >/dev/null 2>&1 </dev/null
trap 'wineserver -k 2>/dev/null || true' EXIT
