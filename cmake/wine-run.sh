#!/bin/sh
# Runs a program of the Windows build under Wine, in the prefix named by WINEPREFIX, and
# passes on its output and exit status.
#
# Wine's server and its helper processes (services.exe, explorer.exe and the like) outlive
# the program that starts them and hold every descriptor it had: a pipe that ctest or CMake
# reads from would stay open until they end, a minute or more after the program. So the
# server and the helpers are started here first, once for a whole run of tests, with their
# output going to a log file; the server then stays up until a minute after the last
# program has ended. A helper that Wine starts later, on demand, still inherits the
# program's descriptors, so the program itself writes to files, which are copied to this
# script's output when it ends.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix of this build}"
mkdir -p "$WINEPREFIX"
state=$(dirname "$WINEPREFIX")
# A lock keeps parallel tests from starting two servers; neither the server nor the
# helpers may inherit it, or they would hold it.
(
    flock 9
    if wineserver -p60 </dev/null >>"$state/wine.log" 2>&1 9>&-; then
        wineboot </dev/null >>"$state/wine.log" 2>&1 9>&-
    fi
) 9>"$state/wine.lock"

out=$(mktemp "$state/wine-out.XXXXXX")
err=$(mktemp "$state/wine-err.XXXXXX")
status=0
wine "$@" </dev/null >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit "$status"
