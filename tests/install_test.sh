#!/bin/bash
# install_test.sh BUILD-DIR: installs into a temporary prefix and runs the
# installed command from another directory on the X server in DISPLAY.
set -eu
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix/usr" >/dev/null
cd /
status=0
timeout -s TERM 4 "$prefix/usr/bin/quorvel" 0 >"$prefix/out" 2>"$prefix/err" || status=$?
fail() { echo "install_test: $*" >&2; cat "$prefix/out" "$prefix/err" >&2; exit 1; }
[ "$status" -eq 124 ] || fail "the installed program ended early with status $status"
[ ! -s "$prefix/err" ] || fail "messages on standard error"
[ "$(head -n 3 "$prefix/out")" = "$(printf '\nquorvel is running...\ninterval:0')" ] || fail "wrong start"
grep -q '^deltaTick:[0-9]* deltaMin:' "$prefix/out" || fail "no statistics: no frames drawn"
[ -f "$prefix/usr/share/man/man1/quorvel.1" ] || fail "no man page"
