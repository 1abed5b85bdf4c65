#!/bin/sh
# Runs a program of the Windows build under Wine, in the prefix named by WINEPREFIX.
#
# Wine's server and its helper processes (services.exe, explorer.exe and the like) outlive
# the program that starts them and hold every descriptor it inherited: a pipe that ctest or
# CMake reads would stay open until they end. So they are started here first, once for a
# whole run of tests, with their output going to a file; the server stays up until a
# minute after the last program has ended. A lock keeps parallel tests from starting two.
set -e
: "${WINEPREFIX:?WINEPREFIX must name the prefix of this build}"
mkdir -p "$WINEPREFIX"
log="$WINEPREFIX/../wine.log"
# The server and the helpers must not inherit the lock, or they would hold it.
(
    flock 9
    if wineserver -p60 </dev/null >>"$log" 2>&1 9>&-; then
        wineboot </dev/null >>"$log" 2>&1 9>&-
    fi
) 9>"$WINEPREFIX/../wine.lock"
exec wine "$@"
