#!/bin/sh
# install.sh BUILD_DIR VERSION: installs into a fresh prefix. Exactly the tool, the checked apply's
# program, their manual pages and the copyright and changelog files must land there; the
# pages must lint clean, the tool's must name the version, and both commands must run.
set -eu
build=$1 version=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')
expected="./bin/credbatch ./bin/credbatch-apply ./share/doc/credbatch/changelog.gz ./share/doc/credbatch/copyright ./share/lintian/overrides/credbatch ./share/man/man1/credbatch-apply.1.gz ./share/man/man1/credbatch.1.gz "
if [ "$installed" != "$expected" ]; then
    echo "installed: $installed" >&2
    exit 1
fi

page="$prefix/credbatch.1"
gzip -dc "$prefix/share/man/man1/credbatch.1.gz" > "$page"
lint=$(mandoc -T lint -W warning "$page" 2>&1) || { echo "$lint" >&2; exit 1; }
[ -z "$lint" ] || { echo "$lint" >&2; exit 1; }
grep -q "version $version" "$page" || { echo "the manual page does not name version $version" >&2; exit 1; }

page="$prefix/credbatch-apply.1"
gzip -dc "$prefix/share/man/man1/credbatch-apply.1.gz" > "$page"
lint=$(mandoc -T lint -W warning "$page" 2>&1) || { echo "$lint" >&2; exit 1; }
[ -z "$lint" ] || { echo "$lint" >&2; exit 1; }

# The installed checked apply runs: an empty script is refused before any database is opened.
: > "$prefix/empty.sql"
status=0
out=$("$prefix/bin/credbatch-apply" sqlite "$prefix/empty.sql" "$prefix/none.db" 2>&1) || status=$?
[ "$status" -eq 1 ] && [ "$out" = "checked apply: the script holds no statement; nothing was committed" ] ||
    { echo "installed credbatch-apply on an empty script: status $status, output: $out" >&2; exit 1; }

status=0
"$prefix/bin/credbatch" 2>/dev/null || status=$?
[ "$status" -eq 1 ] || { echo "installed tool without argument: status $status" >&2; exit 1; }
