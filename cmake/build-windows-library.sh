#!/usr/bin/env bash
# build-windows-library.sh LIBRARY DIR VERSION CC [OPENSSL_DIR]
#
# Builds LIBRARY as a static library for 64-bit Windows from Debian's source package of VERSION
# (as `apt-get source` fetches it, Debian's patches applied) with the mingw-w64 C compiler CC.
# LIBRARY is one of:
#   libxcrypt   credbatch.exe's bcrypt             source package libxcrypt
#   openssl     TLS for the two client libraries   source package openssl
#   sqlite      SQLite                             source package sqlite3
#   libpq       PostgreSQL's client library        source package postgresql-15 (OPENSSL_DIR)
#   mariadb     MariaDB Connector/C                its libmariadb/ in source package mariadb (OPENSSL_DIR)
# OPENSSL_DIR is the DIR of an openssl build, which libpq and Connector/C link for TLS.
#
# The security suite's source packages are not always fetchable while its binary packages are
# installed: when VERSION cannot be fetched, the newest version that can be is built instead, and
# said so. The result goes to DIR/install: lib/ and include/ for the build, and share/LIBRARY/ with
# the library's licence and SOURCE.txt, which names the exact source, its checksums and how it was
# built; DIR/install/version holds the Debian version built. Does nothing when DIR already holds a
# build of LIBRARY at VERSION by the same script and compiler.
#
# Needs dpkg-dev, a `Types: deb-src` entry in APT's sources (then `apt-get update`), and what each
# build needs: autoconf, automake, libtool and pkg-config (libxcrypt), perl (openssl, libpq),
# tclsh and a native cc (sqlite), cmake (mariadb).
set -euo pipefail

if (($# < 4 || $# > 5)); then
    echo "usage: $0 LIBRARY DIR VERSION CC [OPENSSL_DIR]" >&2
    exit 2
fi
library=$1 dir=$2 version=$3 cc=$4 openssl_dir=${5:-}
case $dir in
/*) ;;
*) dir=$PWD/$dir ;;
esac
case $library in
libxcrypt) package=libxcrypt program=credbatch.exe title=libxcrypt ;;
openssl) package=openssl program=credbatch-apply.exe title=OpenSSL ;;
sqlite) package=sqlite3 program=credbatch-apply.exe title=SQLite ;;
libpq) package=postgresql-15 program=credbatch-apply.exe title="libpq, the client library of PostgreSQL" ;;
mariadb) package=mariadb program=credbatch-apply.exe title="MariaDB Connector/C, the libmariadb folder of MariaDB" ;;
*) echo "$0: unknown library '$library'" >&2; exit 2 ;;
esac
if [[ $library == libpq || $library == mariadb ]] && [[ ! -f $openssl_dir/install/lib/libssl.a ]]; then
    echo "$0: $library needs the DIR of an openssl build, and '$openssl_dir' holds none" >&2
    exit 2
fi
host=x86_64-w64-mingw32
jobs=$(nproc)

install_dir=$dir/install
stamp=$dir/stamp
# A different version, compiler, recipe (this script) or OpenSSL is a different build.
key="$library|$version|$cc|$(sha256sum < "$0" | cut -d' ' -f1)|$([[ -z $openssl_dir ]] || cat "$openssl_dir/stamp")"
if [[ -f $install_dir/version && -f $stamp && $(< "$stamp") == "$key" ]]; then
    echo "$library for Windows: up to date in $install_dir"
    exit 0
fi

command -v "$cc" > /dev/null || { echo "$0: no C compiler '$cc' (package gcc-mingw-w64-x86-64-posix)" >&2; exit 1; }
needed=(dpkg-source)
case $library in
libxcrypt) needed+=(autoreconf automake libtoolize) ;;
openssl | libpq) needed+=(perl) ;;
sqlite) needed+=(tclsh cc) ;;
mariadb) needed+=(cmake) ;;
esac
for tool in "${needed[@]}"; do
    command -v "$tool" > /dev/null || { echo "$0: '$tool' is missing, which building $library needs" >&2; exit 1; }
done

start=$SECONDS
rm -rf "$dir"
mkdir -p "$dir/src" "$install_dir/lib" "$install_dir/include"
log=$dir/build.log
: > "$log"
step=
trap 'status=$?; if ((status != 0)); then
        echo "$0: $library: $step failed (status $status); the end of $log:" >&2
        tail -n 30 "$log" >&2
      fi' EXIT

# fetch VERSION: the source package at VERSION, unpacked into $dir/src; fails when it cannot be.
fetch() {
    rm -rf "$dir/src"
    mkdir -p "$dir/src"
    (cd "$dir/src" && apt-get source --only-source -q "$package=$1") >> "$log" 2>&1
}

step="apt-get source $package=$version"
built=$version
if ! fetch "$version"; then
    # Newest first; the one asked for is known not to work.
    mapfile -t others < <(apt-cache showsrc --only-source "$package" 2>/dev/null | sed -n 's/^Version: //p' |
        grep -vxF -- "$version" | sort -u | sort -rV)
    built=
    for other in "${others[@]}"; do
        if fetch "$other"; then
            built=$other
            break
        fi
    done
    if [[ -z $built ]]; then
        echo "$0: cannot fetch Debian's source package $package, neither $version nor another version: is" >&2
        echo "$0: there a 'Types: deb-src' entry in APT's sources (then apt-get update)?" >&2
        false
    fi
    echo "$library for Windows: the source of $package $version cannot be fetched; building $built, the newest that can"
fi

step="checking the fetched version"
dscs=("$dir"/src/"$package"_*.dsc)
if ((${#dscs[@]} != 1)) || [[ ! -f ${dscs[0]} ]]; then
    echo "$0: expected one ${package}_*.dsc in $dir/src, found: ${dscs[*]}" >&2
    false
fi
dsc=${dscs[0]}
fetched=$(sed -n 's/^Version: //p' "$dsc")
if [[ $fetched != "$built" ]]; then
    echo "$0: asked for $package $built, apt-get source fetched $fetched" >&2
    false
fi
upstream=${built#*:}
upstream=${upstream%-*}
src=$dir/src/$package-$upstream
[[ -d $src ]] || { echo "$0: $src missing after unpacking" >&2; false; }
# The source's own date, for the one library that writes a date into itself.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(cd "$src" && dpkg-parsechangelog -STimestamp)

# The same source gives the same archive in any folder: the folder's path (and OpenSSL's, whose
# headers the client libraries include) is mapped to a fixed one in debug information and
# __FILE__, and archives are made in ar's deterministic mode (no member times, owners or modes).
# The maps are not written into SOURCE.txt, which names no path of this machine. Only libxcrypt,
# which is this project's own concern, keeps its debug information; the others are built as
# OpenSSL builds itself, without. They are built at -O1: a client that waits on the network gains
# nothing measurable from -O2, and every build tree compiles all of them, the test that rebuilds
# the zip in a second tree too, within the time the tests may take.
path_maps="-ffile-prefix-map=$dir=."
[[ -z $openssl_dir ]] || path_maps+=" -ffile-prefix-map=$openssl_dir=openssl"
path_maps_shown="-ffile-prefix-map=<the build folder>=."
cflags="-O1 $path_maps"
cflags_shown="-O1 $path_maps_shown"
ar_flags=crD
ranlib="$host-ranlib -D"

# shown WORD...: the words as a shell would take them back, quoted where they hold a space.
shown() {
    local word out=()
    for word in "$@"; do
        [[ $word == *" "* ]] && word="'$word'"
        out+=("$word")
    done
    echo "${out[*]}"
}

build_libxcrypt() {
    # bcrypt_a gives the $2a$ hashes credbatch writes; bcrypt gives $2b$. No other hash is built.
    # --disable-werror: on Windows one -Wconversion warning fires in libxcrypt's /dev/urandom
    # fallback, which credbatch never reaches because it always passes its own salt bytes.
    configure_options=(--host=$host --enable-hashes=bcrypt,bcrypt_a --disable-shared --enable-static
        --disable-obsolete-api --disable-werror)
    # Debian's source ships no configure script.
    step="autogen.sh"
    (cd "$src" && ./autogen.sh) >> "$log" 2>&1
    step="configure"
    mkdir -p "$dir/build"
    (cd "$dir/build" && "$src/configure" "${configure_options[@]}" --prefix="$install_dir" CC="$cc" CFLAGS="-g -O2 $path_maps" \
        AR_FLAGS=$ar_flags RANLIB="$ranlib") >> "$log" 2>&1
    step="make"
    make -C "$dir/build" -j "$jobs" >> "$log" 2>&1
    step="make install"
    make -C "$dir/build" install >> "$log" 2>&1
    licences=(COPYING.LIB LICENSING)
    licence_text="libxcrypt as a whole is under the GNU Lesser General Public License, version 2.1 or later
(COPYING.LIB in this folder); LICENSING in this folder says which licence covers which file."
    recipe="./autogen.sh
    ./configure $(shown "${configure_options[@]}") \\
        CFLAGS='-g -O2 $path_maps_shown' AR_FLAGS=$ar_flags RANLIB='$ranlib'
    make"
}

build_openssl() {
    # Built in its source tree, where it compiles every file by a relative name: OpenSSL writes
    # its compiler flags into the library, so they cannot carry the folder's path, and its error
    # tables keep __FILE__. Without -g, no debug information holds the folder either.
    # Its configuration file is looked for in C:\Program Files\OpenSSL\ssl (a relative
    # --openssldir goes under the prefix), which only an administrator may write: OpenSSL's
    # default, /usr/local/ssl, would be \usr\local\ssl on the current drive of a Windows machine,
    # where any user may put a configuration that loads code.
    # Only what TLS to a database server needs is built: no engines, modules, legacy ciphers or
    # protocols, no DTLS or SSLv3, no OCSP, CMS or CMP, and no file names in its errors.
    configure_options=(mingw64 no-shared no-tests no-module no-engine no-dso no-legacy no-comp no-ui-console no-srp
        no-idea no-camellia no-seed no-aria no-bf no-cast no-md4 no-mdc2 no-rc2 no-rc4 no-rc5 no-whirlpool
        no-sm2 no-sm3 no-sm4 no-gost no-ct no-cms no-ts no-rfc3779 no-ocb no-siphash no-ec2m no-dtls no-ssl3
        no-weak-ssl-ciphers no-ocsp no-srtp no-nextprotoneg no-dsa no-blake2 no-scrypt no-siv no-ssl-trace no-cmp
        no-filenames "--prefix=C:/Program Files/OpenSSL" --openssldir=ssl)
    step="Configure"
    # With a cross prefix, Configure takes a Windows path as the prefix.
    # -O2 rather than its own -O3: its hot paths are assembly, and the C compiles faster.
    (cd "$src" && ./Configure "${configure_options[@]}" --cross-compile-prefix=$host- CC="${cc#$host-}" CFLAGS="-Wall -O2") >> "$log" 2>&1
    step="make"
    make -C "$src" -j "$jobs" build_libs ARFLAGS=qcD RANLIB="$ranlib" >> "$log" 2>&1
    cp "$src/libssl.a" "$src/libcrypto.a" "$install_dir/lib/"
    mkdir -p "$install_dir/include/openssl"
    cp "$src"/include/openssl/*.h "$install_dir/include/openssl/"
    licences=(LICENSE.txt)
    licence_text="OpenSSL is under the Apache License, version 2.0 (LICENSE.txt in this folder)."
    recipe="./Configure $(shown "${configure_options[@]}") \\
        --cross-compile-prefix=$host- CC=${cc#$host-} CFLAGS='-Wall -O2'
    make build_libs ARFLAGS=qcD RANLIB='$ranlib'
with SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH (the date of the source package's changelog entry)"
}

build_sqlite() {
    # Debian's source has no amalgamation: it is made natively first, then compiled with the
    # cross compiler alone, as one file.
    step="making the amalgamation"
    mkdir -p "$dir/native"
    (cd "$dir/native" && "$src/configure" --disable-tcl && make sqlite3.c) >> "$log" 2>&1
    step="compiling sqlite3.c"
    compile="$cc $cflags_shown -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_FOREIGN_KEYS=0 -c sqlite3.c"
    (cd "$dir/native" && $cc $cflags -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_FOREIGN_KEYS=0 -c sqlite3.c) >> "$log" 2>&1
    $host-ar $ar_flags "$install_dir/lib/libsqlite3.a" "$dir/native/sqlite3.o"
    cp "$dir/native/sqlite3.h" "$install_dir/include/"
    licences=(LICENSE.md)
    licence_text="SQLite is in the public domain (LICENSE.md in this folder)."
    recipe="./configure --disable-tcl && make sqlite3.c    (natively)
    $compile
    $host-ar $ar_flags libsqlite3.a sqlite3.o"
}

build_libpq() {
    # pg_service.conf is looked for in an administrator's folder (see openssl above).
    configure_options=(--host=$host --without-readline --without-zlib --without-icu --with-ssl=openssl
        "--sysconfdir=C:/Program Files/PostgreSQL/etc")
    step="configure"
    (cd "$src" && ./configure "${configure_options[@]}" CC="$cc" CFLAGS="$cflags" \
        CPPFLAGS="-I$openssl_dir/install/include" LDFLAGS="-L$openssl_dir/install/lib" \
        LIBS="-lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32") >> "$log" 2>&1
    # On Windows libpq builds as a DLL only: the static library is put together from its objects
    # and the port and common code made for a library, and nothing else is compiled.
    step="make"
    local lib=$src/src/interfaces/libpq objects=() names
    make -C "$src/src/backend" generated-headers >> "$log" 2>&1
    make -C "$src/src/port" -j "$jobs" libpgport_shlib.a >> "$log" 2>&1
    make -C "$src/src/common" -j "$jobs" libpgcommon_shlib.a >> "$log" 2>&1
    read -ra names <<< "$(make -s -C "$lib" -f Makefile -f - print_objects <<< 'print_objects: ; @echo $(OBJS)')"
    make -C "$lib" -j "$jobs" "${names[@]}" >> "$log" 2>&1
    # Its own small pthread emulation takes names that winpthreads, which the C++ runtime links,
    # defines too: both its definitions and its calls get names of their own.
    step="making libpq.a"
    objects=("${names[@]/#/$lib/}")
    mkdir -p "$dir/objects"
    (cd "$dir/objects" && $host-ar x "$src/src/common/libpgcommon_shlib.a" && $host-ar x "$src/src/port/libpgport_shlib.a")
    $host-nm --defined-only -g "$lib/pthread-win32.o" | awk '$3 ~ /^pthread_/ { print $3 " credbatch_pq_" $3 }' > "$dir/renamed-symbols"
    [[ -s $dir/renamed-symbols ]] || { echo "$0: pthread-win32.o defines no pthread_ name to rename" >&2; false; }
    $host-ar $ar_flags "$install_dir/lib/libpq.a" "${objects[@]}" $(cd "$dir/objects" && ls | LC_ALL=C sort | sed "s|^|$dir/objects/|")
    $host-objcopy --redefine-syms="$dir/renamed-symbols" "$install_dir/lib/libpq.a"
    $ranlib "$install_dir/lib/libpq.a"
    cp "$lib/libpq-fe.h" "$src/src/include/postgres_ext.h" "$src/src/include/pg_config_ext.h" "$install_dir/include/"
    licences=(COPYRIGHT)
    licence_text="PostgreSQL, libpq with it, is under the PostgreSQL Licence (COPYRIGHT in this folder)."
    recipe="./configure $(shown "${configure_options[@]}") \\
        CC=$cc CFLAGS='$cflags_shown' LIBS='-lssl -lcrypto -lws2_32 -lgdi32 -lcrypt32' (and OpenSSL's folders)
    make generated-headers in src/backend, libpgport_shlib.a in src/port, libpgcommon_shlib.a in src/common, libpq's objects in src/interfaces/libpq
then libpq.a from libpq's objects, libpgcommon_shlib.a and libpgport_shlib.a, with the
pthread_ names that pthread-win32.o defines renamed to credbatch_pq_... by objcopy --redefine-syms"
}

build_mariadb() {
    # The client library alone, with the authentication plugins a server may ask for built in, so
    # that it never loads a plugin from disk; TLS by OpenSSL, since Schannel depends on the
    # machine's certificate store. Plugins it would look for on disk are looked for in Program
    # Files (see openssl above).
    local cc_src=$src/libmariadb
    configure_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF -DWITH_SSL=OPENSSL
        -DWITH_EXTERNAL_ZLIB=OFF -DWITH_DYNCOL=OFF
        "-DCMAKE_INSTALL_PREFIX=C:/Program Files/MariaDB/MariaDB Connector C 64-bit"
        -DCLIENT_PLUGIN_DIALOG=OFF -DCLIENT_PLUGIN_CLIENT_ED25519=STATIC -DCLIENT_PLUGIN_CACHING_SHA2_PASSWORD=STATIC
        -DCLIENT_PLUGIN_SHA256_PASSWORD=STATIC -DCLIENT_PLUGIN_MYSQL_CLEAR_PASSWORD=STATIC
        -DCLIENT_PLUGIN_AUTH_GSSAPI_CLIENT=OFF -DCLIENT_PLUGIN_ZSTD=OFF -DCLIENT_PLUGIN_REMOTE_IO=OFF
        -DCLIENT_PLUGIN_PVIO_SHMEM=STATIC -DCLIENT_PLUGIN_PVIO_NPIPE=STATIC)
    cat > "$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_RC_COMPILER $host-windres)
set(CMAKE_AR $host-ar)
set(CMAKE_RANLIB $host-ranlib)
set(CMAKE_FIND_ROOT_PATH /usr/$host $openssl_dir/install)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
    step="cmake"
    cmake -S "$cc_src" -B "$dir/build" --toolchain "$dir/toolchain.cmake" "${configure_options[@]}" \
        -DOPENSSL_ROOT_DIR="$openssl_dir/install" -DOPENSSL_USE_STATIC_LIBS=ON \
        "-DCMAKE_C_FLAGS=$cflags" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-DNDEBUG" \
        "-DCMAKE_C_ARCHIVE_CREATE=<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>" \
        "-DCMAKE_C_ARCHIVE_FINISH=<CMAKE_RANLIB> -D <TARGET>" >> "$log" 2>&1
    step="make"
    cmake --build "$dir/build" --target mariadbclient -j "$jobs" >> "$log" 2>&1
    cp "$dir/build/libmariadb/libmariadbclient.a" "$install_dir/lib/libmariadb.a"
    mkdir -p "$install_dir/include/mariadb/mysql"
    cp "$cc_src"/include/*.h "$dir"/build/include/*.h "$install_dir/include/mariadb/"
    cp "$cc_src"/include/mysql/*.h "$install_dir/include/mariadb/mysql/"
    licences=(libmariadb/COPYING.LIB)
    licence_text="MariaDB Connector/C is under the GNU Lesser General Public License, version 2.1 or later
(COPYING.LIB in this folder)."
    recipe="cmake -S libmariadb --toolchain <mingw-w64, ${cc}> $(shown "${configure_options[@]}") \\
        -DOPENSSL_ROOT_DIR=<that OpenSSL> -DOPENSSL_USE_STATIC_LIBS=ON -DCMAKE_C_FLAGS='$cflags_shown' \\
        and ar's deterministic mode for archives
    cmake --build . --target mariadbclient"
}

build_"$library"

step="recording the source"
share=$install_dir/share/$library
mkdir -p "$share"
for licence in "${licences[@]}"; do
    cp "$src/$licence" "$share/"
done
{
    echo "$program contains $title $upstream, linked statically."
    echo "It was built from Debian's source package $package, version $built (Debian 12),"
    echo "as apt-get source unpacks it with Debian's patches applied; nothing else was changed."
    echo
    echo "Source files (SHA-256):"
    (cd "$dir/src" && sha256sum "$(basename "$dsc")" && sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$(basename "$dsc")" |
        awk '{print $1 "  " $3}')
    echo
    echo "To fetch the same source on Debian, with a deb-src entry in APT's sources:"
    echo "    apt-get source $package=$built"
    echo
    echo "Built with:"
    echo "    $recipe"
    echo "by $("$cc" --version | head -n 1)."
    echo
    echo "$licence_text"
} > "$share/SOURCE.txt"

echo "$built" > "$install_dir/version"
echo "$key" > "$stamp"
echo "$library $built for Windows: built from Debian's source package in $((SECONDS - start)) s into $install_dir"
