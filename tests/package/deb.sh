#!/bin/sh
# deb.sh BUILD_DIR EXAMPLE: builds the Debian package from the build, checks its name, its
# runtime dependencies and that lintian has nothing at all to say of it, unpacks it and runs the
# unpacked tool on the example file.
set -eu
build=$1 example=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
arch=$(dpkg --print-architecture)
set -- "$work"/credbatch_*_"$arch".deb
[ -f "$1" ] || { echo "no credbatch_<version>_$arch.deb in $(ls "$work")" >&2; exit 1; }
deb=$1

depends=$(dpkg-deb -f "$deb" Depends)
for library in libcrypt1 libpq5 libmariadb3 libsqlite3-0; do
    echo "$depends" | grep -q "$library" || { echo "Depends lacks $library: $depends" >&2; exit 1; }
done

# Every tag counts, down to the pedantic ones; lintian's notice about running as root does not.
tags=$(lintian -I -E --pedantic --fail-on error,warning,info,pedantic "$deb" 2>/dev/null) || { echo "lintian: $tags" >&2; exit 1; }
[ -z "$tags" ] || { echo "lintian: $tags" >&2; exit 1; }

dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/credbatch" "$example" > "$work/update.sql"
statements=$(grep -c -F "UPDATE DT511 SET DI059177 = '\$2a\$10\$" "$work/update.sql")
lines=$(grep -c . "$example")
[ "$statements" -eq "$lines" ] || { echo "$statements statements for $lines lines" >&2; exit 1; }
for file in usr/share/man/man1/credbatch.1.gz usr/share/man/man1/credbatch-apply.1.gz usr/share/doc/credbatch/copyright \
            usr/share/doc/credbatch/changelog.gz usr/bin/credbatch-apply; do
    [ -f "$work/root/$file" ] || { echo "the package lacks $file" >&2; exit 1; }
done
