#!/usr/bin/env bash
# windows_imports.sh EXE...: every Windows program given imports DLLs of Windows itself only, from
# the allow-list below, so that it runs from a bare folder on any Windows. A DLL of the C++ or GCC
# runtime (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll) means a link that was not static.
set -euo pipefail

# Lower case: Windows matches DLL names without regard to case. Add to it only a DLL that every
# supported Windows ships. The checked apply's client libraries add sockets (ws2_32), the
# certificate store OpenSSL may read (crypt32), SSPI logins (secur32), paths (shlwapi) and
# OpenSSL's check for an interactive session (user32).
allowed=(kernel32.dll msvcrt.dll bcrypt.dll advapi32.dll shell32.dll ws2_32.dll crypt32.dll secur32.dll shlwapi.dll user32.dll)

(($# > 0)) || { echo "usage: $0 EXE..." >&2; exit 2; }
failed=0
for exe in "$@"; do
    headers=$(x86_64-w64-mingw32-objdump -p "$exe") || { echo "FAIL: objdump cannot read $exe" >&2; exit 1; }
    if ! grep -q 'file format pei-x86-64' <<< "$headers"; then
        echo "FAIL: $exe is not a 64-bit Windows program" >&2
        failed=1
        continue
    fi
    mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<< "$headers")
    if ((${#dlls[@]} == 0)); then
        echo "FAIL: found no imported DLL in $exe (every Windows program imports KERNEL32.dll)" >&2
        failed=1
        continue
    fi
    for dll in "${dlls[@]}"; do
        lower=${dll,,}
        allowed_here=0
        for ok in "${allowed[@]}"; do
            [[ $lower == "$ok" ]] && allowed_here=1
        done
        if ((!allowed_here)); then
            echo "FAIL: $exe imports $dll, which is not on the list of system DLLs (${allowed[*]})" >&2
            failed=1
        fi
    done
    echo "$exe imports: ${dlls[*]}"
done
exit "$failed"
