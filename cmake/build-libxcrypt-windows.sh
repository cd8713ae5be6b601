#!/usr/bin/env bash
# build-libxcrypt-windows.sh DIR VERSION CC
#
# Builds a static libxcrypt for 64-bit Windows from Debian's source package libxcrypt of exactly
# VERSION (as `apt-get source` fetches it, Debian's patches applied) with the mingw-w64 C compiler
# CC. The result goes to DIR/install: lib/libcrypt.a, include/crypt.h, and share/libxcrypt/ with
# libxcrypt's licence files and SOURCE.txt, which names the exact source, its checksums and how it
# was built. Does nothing when DIR already holds a build of the same version by the same script
# and compiler.
#
# Needs autoconf, automake, libtool, pkg-config, dpkg-dev and a `Types: deb-src` entry in APT's
# sources (then `apt-get update`).
set -euo pipefail

if (($# != 3)); then
    echo "usage: $0 DIR VERSION CC" >&2
    exit 2
fi
dir=$1 version=$2 cc=$3
case $dir in
/*) ;;
*) dir=$PWD/$dir ;;
esac
host=x86_64-w64-mingw32
# bcrypt_a gives the $2a$ hashes credbatch writes; bcrypt gives $2b$. No other hash is built.
# --disable-werror: on Windows one -Wconversion warning fires in libxcrypt's /dev/urandom fallback,
# which credbatch never reaches because it always passes its own salt bytes.
configure_options=(--host=$host --enable-hashes=bcrypt,bcrypt_a --disable-shared --enable-static
    --disable-obsolete-api --disable-werror)
# The same source gives the same libcrypt.a in any folder: the folder's path is mapped to "." in
# debug information and __FILE__ (autoconf's default -g -O2 kept), and libtool makes the archive in
# ar's deterministic mode (no member times, owners or modes). The map is not written into
# SOURCE.txt, which names no path of this machine.
cflags="-g -O2 -ffile-prefix-map=$dir=."

install_dir=$dir/install
stamp=$dir/stamp
# A different version, compiler or recipe (this script) is a different build.
key="$version|$cc|$(sha256sum < "$0" | cut -d' ' -f1)"
if [[ -f $install_dir/lib/libcrypt.a && -f $stamp && $(< "$stamp") == "$key" ]]; then
    echo "libxcrypt $version for Windows: up to date in $install_dir"
    exit 0
fi

command -v "$cc" > /dev/null || { echo "$0: no C compiler '$cc' (package gcc-mingw-w64-x86-64-posix)" >&2; exit 1; }
for tool in autoreconf automake libtoolize dpkg-source; do
    command -v "$tool" > /dev/null || { echo "$0: '$tool' is missing (packages autoconf automake libtool pkg-config dpkg-dev)" >&2; exit 1; }
done

start=$SECONDS
rm -rf "$dir"
mkdir -p "$dir/src"
log=$dir/build.log
: > "$log"
step=
trap 'status=$?; if ((status != 0)); then
        echo "$0: $step failed (status $status); the end of $log:" >&2
        tail -n 30 "$log" >&2
      fi' EXIT

step="apt-get source libxcrypt=$version"
if ! (cd "$dir/src" && apt-get source --only-source -q "libxcrypt=$version") >> "$log" 2>&1; then
    echo "$0: cannot fetch Debian's source package libxcrypt $version: is there a 'Types: deb-src'" >&2
    echo "$0: entry in APT's sources (then apt-get update), and is that version still in the archive?" >&2
    false
fi

step="checking the fetched version"
dscs=("$dir"/src/libxcrypt_*.dsc)
if ((${#dscs[@]} != 1)) || [[ ! -f ${dscs[0]} ]]; then
    echo "$0: expected one libxcrypt_*.dsc in $dir/src, found: ${dscs[*]}" >&2
    false
fi
dsc=${dscs[0]}
fetched=$(sed -n 's/^Version: //p' "$dsc")
if [[ $fetched != "$version" ]]; then
    echo "$0: asked for libxcrypt $version, apt-get source fetched $fetched" >&2
    false
fi
upstream=${version#*:}
upstream=${upstream%-*}
src=$dir/src/libxcrypt-$upstream
[[ -f $src/autogen.sh ]] || { echo "$0: $src/autogen.sh missing after unpacking" >&2; false; }

# Debian's source ships no configure script.
step="autogen.sh"
(cd "$src" && ./autogen.sh) >> "$log" 2>&1
step="configure"
mkdir -p "$dir/build"
(cd "$dir/build" && "$src/configure" "${configure_options[@]}" --prefix="$install_dir" CC="$cc" CFLAGS="$cflags" \
    AR_FLAGS=crD RANLIB="$host-ranlib -D") >> "$log" 2>&1
step="make"
make -C "$dir/build" -j "$(nproc)" >> "$log" 2>&1
step="make install"
make -C "$dir/build" install >> "$log" 2>&1

step="recording the source"
share=$install_dir/share/libxcrypt
mkdir -p "$share"
cp "$src/COPYING.LIB" "$src/LICENSING" "$share/"
{
    echo "credbatch.exe contains libxcrypt $upstream, linked statically. It was built from Debian's"
    echo "source package libxcrypt, version $version (Debian 12), as apt-get source unpacks it"
    echo "with Debian's patches applied; nothing else was changed."
    echo
    echo "Source files (SHA-256):"
    (cd "$dir/src" && sha256sum "$(basename "$dsc")" && sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$(basename "$dsc")" |
        awk '{print $1 "  " $3}')
    echo
    echo "To fetch the same source on Debian, with a deb-src entry in APT's sources:"
    echo "    apt-get source libxcrypt=$version"
    echo
    echo "Built with:"
    echo "    ./autogen.sh"
    echo "    ./configure ${configure_options[*]} \\"
    echo "        CFLAGS='-g -O2 -ffile-prefix-map=<the build folder>=.' AR_FLAGS=crD RANLIB='$host-ranlib -D'"
    echo "    make"
    echo "by $("$cc" --version | head -n 1)."
    echo
    echo "libxcrypt as a whole is under the GNU Lesser General Public License, version 2.1 or later"
    echo "(COPYING.LIB in this folder); LICENSING in this folder says which licence covers which file."
} > "$share/SOURCE.txt"

echo "$key" > "$stamp"
echo "libxcrypt $version for Windows: built from Debian's source package in $((SECONDS - start)) s into $install_dir"
