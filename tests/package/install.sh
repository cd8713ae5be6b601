#!/bin/sh
# install.sh BUILD_DIR VERSION: installs into a fresh prefix. Exactly the tool, the checked apply's
# files, its manual page and its copyright and changelog files must land there, the page must lint clean and name the
# version, and the tool must run.
set -eu
build=$1 version=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')
expected="./bin/credbatch ./share/credbatch/checked-apply.awk ./share/credbatch/postgresql-begin.sql ./share/credbatch/postgresql-check.sql ./share/credbatch/postgresql-commit.sql ./share/credbatch/postgresql-report.sql ./share/doc/credbatch/changelog.gz ./share/doc/credbatch/copyright ./share/man/man1/credbatch.1.gz "
if [ "$installed" != "$expected" ]; then
    echo "installed: $installed" >&2
    exit 1
fi

page="$prefix/credbatch.1"
gzip -dc "$prefix/share/man/man1/credbatch.1.gz" > "$page"
lint=$(mandoc -T lint -W warning "$page" 2>&1) || { echo "$lint" >&2; exit 1; }
[ -z "$lint" ] || { echo "$lint" >&2; exit 1; }
grep -q "version $version" "$page" || { echo "the manual page does not name version $version" >&2; exit 1; }

status=0
"$prefix/bin/credbatch" 2>/dev/null || status=$?
[ "$status" -eq 1 ] || { echo "installed tool without argument: status $status" >&2; exit 1; }
