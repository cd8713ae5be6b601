#!/bin/sh
# memcheck.sh VALGRIND TOOL INPUT STATUS: runs the tool under memcheck and passes when valgrind
# found no error and no definite leak (it would exit 99) and the tool ended with STATUS.
valgrind=$1 tool=$2 input=$3 expected=$4
"$valgrind" -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite "$tool" "$input" >/dev/null
status=$?
[ "$status" -eq "$expected" ] || { echo "memcheck: exit status $status, expected $expected" >&2; exit 1; }
