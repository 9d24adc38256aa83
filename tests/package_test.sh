#!/bin/bash
# package_test.sh BUILD-DIR VERSION: packages the build with CPack, unpacks the
# package with dpkg-deb -x and runs what it holds from / on the X server in DISPLAY.
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }
(cd "$1" && cpack -B "$tmp/pack" >/dev/null)
deb=$(ls "$tmp"/pack/quorvel_"$2"_"$(dpkg --print-architecture)".deb)
depends=$(dpkg-deb -f "$deb" Depends)
for dep in fonts-freefont-ttf python3-matplotlib python3-zbar python3-jinja2 libglut libxcb-present libqrencode; do
    [[ $depends == *$dep* ]] || fail "Depends lacks $dep"
done
lintian --fail-on error,warning "$deb" >"$tmp/lint" 2>&1 || fail "lintian: $(cat "$tmp/lint")"
dpkg-deb -x "$deb" "$tmp/root"
# The font link is relative: within this root, fonts-freefont-ttf is the system's.
mkdir -p "$tmp/root/usr/share/fonts/truetype/freefont"
ln -s /usr/share/fonts/truetype/freefont/FreeSans.ttf "$tmp/root/usr/share/fonts/truetype/freefont/"
# The program finds its data from its own path; a relative log lands here.
cd "$tmp"
bin=$tmp/root/usr/bin
[ "$("$bin/quorvel" --version)" = "quorvel $2" ] || fail "wrong --version"
"$bin/quorvel" --frames 60 --log log.csv 0 >"$tmp/out" 2>"$tmp/err" || fail "status $?: $(cat "$tmp/err")"
[ ! -s "$tmp/err" ] || fail "messages: $(cat "$tmp/err")"
grep -q '^deltaTick:[0-9]* deltaMin:' "$tmp/out" || fail "no statistics: no frames drawn"
[ "$(wc -l <"$tmp/log.csv")" -eq 61 ] || fail "the log does not hold 60 frames"
[ "$("$bin/quorvel-plot" "$tmp/log.csv")" = "$tmp/log.png" ] || fail "quorvel-plot did not name its picture"
[ "$(head -c 4 "$tmp/log.png" | tail -c 3)" = PNG ] || fail "no picture"
"$bin/quorvel-plot" "$tmp/log.csv" --html "$tmp/log.html" || fail "quorvel-plot --html: status $?"
grep -q '<svg ' "$tmp/log.html" || fail "quorvel-plot --html drew no plot"
[ "$("$bin/quorvel-export" --to mangohud "$tmp/log.csv" | wc -l)" -eq 42 ] || fail "quorvel-export: not 39 frames"
: >"$tmp/empty.csv"
[ "$("$bin/quorvel-plot" "$tmp/empty.csv" 2>&1)" = "quorvel-plot: $tmp/empty.csv: empty file" ] || fail "empty log"
convert -size 64x64 xc:white "$tmp/blank.png"
read=$("$bin/quorvel-read" "$tmp/blank.png" 2>&1) || true
[ "$read" = "quorvel-read: $tmp/blank.png: no code found" ] || fail "quorvel-read said: $read"
[ "$("$bin/quorvel-check" --winsys wayland 2>&1 | tail -n1)" = "quorvel-check: error: no wayland session here (quorvel --winsys list finds none)" ] ||
    fail "quorvel-check did not refuse a missing Wayland session"
said=$("$bin/quorvel-compare" "$tmp/none.json" "$tmp/none.json" 2>&1) && fail "quorvel-compare compared nothing"
[ "$said" = "quorvel-compare: $tmp/none.json: No such file or directory" ] || fail "quorvel-compare said: $said"
for page in quorvel quorvel-plot quorvel-read quorvel-check quorvel-compare; do
    man -l "$tmp/root/usr/share/man/man1/$page.1.gz" 2>&1 | grep -q '^EXIT STATUS' || fail "no man page for $page"
done
