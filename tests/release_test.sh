#!/usr/bin/env bash
# What a release carries: the version and the date set in CMakeLists.txt reach the usage
# text, the banner, --version and the man page; given CPack, the Debian package made from
# the build carries them too and holds the tool (built hardened), its man page, a copyright
# file that gives the licence of LICENSE, and a changelog. With ZIP, the Windows zip of a
# cross build is checked instead: the .exe beside README.txt, the manual as text and the
# licence, all three with CRLF line ends.
#
#   tests/release_test.sh BUILD_DIR VERSION DATE [CPACK [DEB|ZIP]]
#
# mandoc and lintian check the man page and the package where they are installed.
set -euo pipefail

BUILD=$1 VERSION=$2 DATE=$3 CPACK=${4:-} GENERATOR=${5:-DEB}
SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$(mktemp -d "$BUILD/release_test.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
FAILED=0

expect() { # WHAT ACTUAL EXPECTED
    if [[ $2 != "$3" ]]; then
        printf 'FAIL: %s\n--- got:\n%s\n--- expected:\n%s\n' "$1" "$2" "$3" >&2
        FAILED=1
    fi
}

# The first line of the usage text and of a run's banner, and --version.
check_tool() {
    expect "usage of $1" "$("$1" -h | head -n 1)" \
        "cairnfix v$VERSION  -  FidoNet JAM Message Base Analyzer & Repair"
    expect "banner of $1" "$("$1" "$WORK/none" 2>/dev/null | head -n 1)" \
        "cairnfix v$VERSION  -  FidoNet JAM Message Base Tool"
    expect "--version of $1" "$("$1" --version)" "cairnfix $VERSION"
}

# The licence's text from its first paragraph on, as a copyright file holds it.
license_body() { sed -n '/^Permission/,$p' "$SOURCE/LICENSE"; }

check_man_page() {
    expect ".TH of $1" "$(grep '^\.TH ' "$1")" \
        ".TH CAIRNFIX 1 $DATE \"cairnfix $VERSION\" \"User Commands\""
    if command -v mandoc >/dev/null; then
        expect "mandoc -Tlint $1" "$(mandoc -Tlint "$1" 2>&1 || true)" ""
    fi
}

[[ $GENERATOR == ZIP ]] || check_tool "$BUILD/cairnfix"
check_man_page "$BUILD/cairnfix.1"
if command -v mandoc >/dev/null; then
    expect "mandoc -Tlint docs/cairnfix.1" "$(mandoc -Tlint "$SOURCE/docs/cairnfix.1" 2>&1 || true)" ""
fi

if [[ $GENERATOR == ZIP ]]; then
    "$CPACK" -G ZIP --config "$BUILD/CPackConfig.cmake" -B "$WORK" >"$WORK/cpack.log" 2>&1 ||
        { cat "$WORK/cpack.log" >&2; exit 1; }
    name=cairnfix-$VERSION-windows-x86_64
    [[ -f $WORK/$name.zip ]] || { echo "FAIL: no $name.zip" >&2; ls "$WORK" >&2; exit 1; }
    mkdir "$WORK/zip"
    (cd "$WORK/zip" && "$(dirname "$CPACK")/cmake" -E tar xf "../$name.zip")
    dir=$WORK/zip/$name
    expect "zip contents" "$(cd "$WORK/zip" && find . -type f | sort)" "\
./$name/LICENSE.txt
./$name/README.txt
./$name/cairnfix.exe
./$name/cairnfix.txt"
    # Every line of the texts ends in CRLF, and nothing but the line ends changed.
    for text in LICENSE.txt README.txt cairnfix.txt; do
        expect "lines of $text without CR" "$(grep -c $'[^\r]$\|^$' "$dir/$text")" 0
        expect "CR in $text other than at line ends" "$(tr -d '\n' <"$dir/$text" | tr -cd '\r' | wc -c)" \
            "$(wc -l <"$dir/$text")"
    done
    cmp "$SOURCE/LICENSE" <(tr -d '\r' <"$dir/LICENSE.txt") || FAILED=1
    expect "README.txt title" "$(head -n 1 "$dir/README.txt")" $'cairnfix '"$VERSION"$' for Windows\r'
    # The manual as text: the page's sections, its version line, and no overstrikes left.
    manual=$(tr -d '\r' <"$dir/cairnfix.txt")
    expect "sections of cairnfix.txt" "$(grep -E '^[A-Z][A-Z ]+$' <<<"$manual" | head -n 4)" "\
NAME
SYNOPSIS
DESCRIPTION
OPTIONS"
    grep -q "cairnfix $VERSION" <<<"$manual" || expect "version in cairnfix.txt" "none" "cairnfix $VERSION"
    expect "control characters in cairnfix.txt" "$(tr -cd '\000-\011\013-\037' <<<"$manual" | wc -c)" 0
    exit $FAILED
fi

if [[ -n $CPACK ]]; then
    "$CPACK" -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK" >"$WORK/cpack.log" 2>&1 ||
        { cat "$WORK/cpack.log" >&2; exit 1; }
    arch=$(dpkg --print-architecture)
    deb=$WORK/cairnfix_${VERSION}_$arch.deb
    [[ -f $deb ]] || { echo "FAIL: no $deb" >&2; ls "$WORK" >&2; exit 1; }

    fields() { for f in "$@"; do echo "$f: $(dpkg-deb -f "$deb" "$f")"; done; }
    expect "control fields" "$(fields Package Version Architecture Section Priority)" \
        "$(printf 'Package: cairnfix\nVersion: %s\nArchitecture: %s\nSection: utils\nPriority: optional' \
            "$VERSION" "$arch")"
    [[ $(dpkg-deb -f "$deb" Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
        expect "Maintainer as 'name <address>'" "$(dpkg-deb -f "$deb" Maintainer)" "name <address>"
    # dpkg-shlibdeps names at least the C and C++ libraries.
    [[ $(dpkg-deb -f "$deb" Depends) =~ libc6.*libstdc\+\+6|libstdc\+\+6.*libc6 ]] ||
        expect "Depends" "$(dpkg-deb -f "$deb" Depends)" "libc6 and libstdc++6"
    description=$(dpkg-deb -f "$deb" Description)
    expect "short description" "$(head -n 1 <<<"$description")" \
        "analyse and repair FidoNet JAM message bases"
    (($(wc -l <<<"$description") > 3)) || expect "long description" "$description" "several lines"

    # Owner, mode and path of every entry.
    expect "file list" "$(dpkg-deb -c "$deb" | awk '{ print $2, $1, $6 }')" "\
root/root drwxr-xr-x ./usr/
root/root drwxr-xr-x ./usr/bin/
root/root -rwxr-xr-x ./usr/bin/cairnfix
root/root drwxr-xr-x ./usr/share/
root/root drwxr-xr-x ./usr/share/doc/
root/root drwxr-xr-x ./usr/share/doc/cairnfix/
root/root -rw-r--r-- ./usr/share/doc/cairnfix/changelog.gz
root/root -rw-r--r-- ./usr/share/doc/cairnfix/copyright
root/root drwxr-xr-x ./usr/share/man/
root/root drwxr-xr-x ./usr/share/man/man1/
root/root -rw-r--r-- ./usr/share/man/man1/cairnfix.1.gz"

    # The packaged tool and man page are the built ones.
    dpkg-deb -x "$deb" "$WORK/root"
    check_tool "$WORK/root/usr/bin/cairnfix"
    gzip -dc "$WORK/root/usr/share/man/man1/cairnfix.1.gz" >"$WORK/cairnfix.1"
    check_man_page "$WORK/cairnfix.1"
    cmp "$WORK/cairnfix.1" "$BUILD/cairnfix.1" || FAILED=1

    # The copyright file in Debian's machine-readable form, holding the text of LICENSE.
    copyright=$WORK/root/usr/share/doc/cairnfix/copyright
    expect "copyright format" "$(head -n 1 "$copyright")" \
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    expect "copyright of every file" "$(grep -A 2 '^Files:' "$copyright")" "\
Files: *
Copyright: $(sed -n 's/^Copyright (c) //p' "$SOURCE/LICENSE")
License: Expat"
    expect "licence text" "$(sed -n '/^License: Expat/,$p' "$copyright" | sed -n '/^ /{s/^ //;s/^\.$//;p}')" \
        "$(license_body)"

    # Hardened as the distribution builds: fortified calls, stack protection, relro and
    # bind-now.
    if command -v readelf >/dev/null; then
        tool=$WORK/root/usr/bin/cairnfix
        segments=$(readelf -lW "$tool") dynamic=$(readelf -dW "$tool")
        symbols=$(readelf --dyn-syms -W "$tool")
        grep -q GNU_RELRO <<<"$segments" || expect "relro" "none" "GNU_RELRO"
        grep -Eq 'BIND_NOW|FLAGS_1.* NOW' <<<"$dynamic" || expect "bind-now" "none" "BIND_NOW"
        grep -q __stack_chk_fail <<<"$symbols" || expect "stack protector" "none" "__stack_chk_fail"
        grep -Eq '__[a-z]+_chk' <<<"$symbols" || expect "fortify" "none" "a __*_chk function"
    fi
    if command -v lintian >/dev/null; then
        lintian --fail-on error,warning "$deb" >&2 || FAILED=1
    fi
    expect "changelog entry" "$(gzip -dc "$WORK/root/usr/share/doc/cairnfix/changelog.gz" | head -n 1)" \
        "cairnfix ($VERSION) unstable; urgency=medium"
fi

exit $FAILED
