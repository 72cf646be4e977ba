#!/usr/bin/env bash
# Checks the Debian package: its control fields and maintainer scripts, its
# file list, the programs and their libraries, the systemd units, the
# manual pages and the default settings file. The package is unpacked into
# a throw-away directory (dpkg -x: no maintainer script runs, nothing is
# installed on this machine).
#
#   tests/package/check_package.sh PATH.deb
#
# Every failed check is reported; the exit status is 1 when any failed.
set -uo pipefail

deb="${1:?usage: check_package.sh PATH.deb}"
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
if ! dpkg-deb --info "$deb" >/dev/null 2>&1; then
  echo "FAIL: $deb is not a Debian package" >&2
  exit 1
fi
deb="$(realpath "$deb")"
work="$(mktemp -d "${TMPDIR:-/tmp}/vexon-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT
root="$work/root"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# "ok" only for a group of checks in which nothing failed.
group_failures=0
pass() {
  [ "$failures" -eq "$group_failures" ] && echo "ok: $*"
  group_failures=$failures
}

# ---------------------------------------------------------------- control
field() { dpkg-deb -f "$deb" "$1"; }
version="$(sed -n 's/^project(srvvexon VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")"
[ "$(field Package)" = srvvexon ] || fail "Package is '$(field Package)', expected srvvexon"
[ -n "$version" ] && [ "$(field Version)" = "$version" ] ||
  fail "Version is '$(field Version)', the project's is '$version'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
  fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends="$(field Depends)"
echo "Depends: $depends"
# Split "a (>= 1), b | c" into the package names it names.
depends_names=" $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/:any//' | tr -d ' ' | tr '\n' ' ') "
case "$depends_names" in *" adduser "*) ;; *) fail "Depends lacks adduser (postinst runs it)" ;; esac
pass "control fields"

mkdir -p "$work/control"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  f="$work/control/$script"
  if [ ! -f "$f" ]; then
    fail "no $script"
    continue
  fi
  [ -x "$f" ] || fail "$script is not executable"
  sh -n "$f" || fail "$script: shell syntax"
done
if [ "$(cat "$work/control/conffiles" 2>/dev/null)" != "/etc/srvvexon/srvvexon.ini" ]; then
  fail "conffiles is '$(cat "$work/control/conffiles" 2>/dev/null)', expected /etc/srvvexon/srvvexon.ini"
fi
pass "maintainer scripts and conffiles"

# -------------------------------------------------------------- file list
# Every regular file the package must hold, and nothing else.
expected_files="
/etc/srvvexon/srvvexon.ini
/lib/systemd/system/srvvexon-ondemand-http.socket
/lib/systemd/system/srvvexon-ondemand.service
/lib/systemd/system/srvvexon-ondemand.socket
/lib/systemd/system/srvvexon.service
/usr/bin/srvvexon
/usr/bin/vexon-sim
/usr/bin/vexonctl
/usr/share/man/man1/srvvexon.1.gz
/usr/share/man/man1/vexon-sim.1.gz
/usr/share/man/man1/vexonctl.1.gz
"
dpkg-deb -c "$deb" >"$work/contents"
echo "files:"
awk '$1 !~ /^d/ {print "  " $1, $2, $3, $6}' "$work/contents"
awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' "$work/contents" | sort >"$work/files"
echo "$expected_files" | sed '/^$/d' | sort >"$work/expected"
missing="$(comm -23 "$work/expected" "$work/files")"
extra="$(comm -13 "$work/expected" "$work/files")"
[ -z "$missing" ] || fail "missing from the package: $(echo $missing)"
[ -z "$extra" ] || fail "not expected in the package: $(echo $extra)"
awk '{print $6}' "$work/contents" | grep -E '^\./usr/local(/|$)' && fail "files under /usr/local"
build_path_hits="$(awk '{print $6}' "$work/contents" | grep -F -e "$source_dir" -e "/build/")"
[ -z "$build_path_hits" ] || fail "build-tree paths in the package: $build_path_hits"
not_root="$(awk '$2 != "root/root" {print $6}' "$work/contents")"
[ -z "$not_root" ] || fail "not owned by root/root: $(echo $not_root)"
for p in srvvexon vexonctl vexon-sim; do
  grep -qE "^-rwxr-xr-x .* \./usr/bin/$p\$" "$work/contents" || fail "/usr/bin/$p is not a 0755 file"
done
grep -qE '^-rw-r--r-- .* \./etc/srvvexon/srvvexon\.ini$' "$work/contents" ||
  fail "/etc/srvvexon/srvvexon.ini is not a 0644 file"
pass "file list"

dpkg -x "$deb" "$root"

# --------------------------------------------------------------- programs
for p in srvvexon vexonctl vexon-sim; do
  bin="$root/usr/bin/$p"
  [ -x "$bin" ] || continue
  if readelf -d "$bin" | grep -qE 'RPATH|RUNPATH'; then fail "$p carries an RPATH"; fi
  if ldd "$bin" | grep -q 'not found'; then fail "$p: libraries not found: $(ldd "$bin" | grep 'not found')"; fi
  # Every shared library the program needs comes from a package it depends on.
  for lib in $(readelf -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path="$(ldd "$bin" | awk -v l="$lib" '$1 == l {print $3}')"
    owner="$(dpkg -S "$(realpath "$path")" 2>/dev/null | head -1 | cut -d: -f1)"
    [ -n "$owner" ] || owner="$(dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1)"
    # The dependency may name the package or a name it provides.
    provides="$(dpkg-query -W -f='${Provides}' "$owner" 2>/dev/null | tr ',' '\n' | sed 's/(.*)//' | tr -d ' ')"
    named=0
    for name in $owner $provides; do
      case "$depends_names" in *" $name "*) named=1 ;; esac
    done
    [ "$named" -eq 1 ] || fail "$p needs $lib of package '${owner:-?}', which Depends does not name"
  done
  grep -aqF "$source_dir" "$bin" && fail "$p holds the source path $source_dir"
done
help="$("$root/usr/bin/srvvexon" --help 2>&1)" || fail "installed srvvexon --help exits with an error"
for opt in --headless --data-dir --config --port; do
  grep -q -- "$opt" <<<"$help" || fail "srvvexon --help does not mention $opt"
done
"$root/usr/bin/vexonctl" --help >/dev/null 2>&1 || fail "installed vexonctl --help exits with an error"
"$root/usr/bin/vexon-sim" --help >/dev/null 2>&1 || fail "installed vexon-sim --help exits with an error"
pass "programs"

# The installed server with the installed settings file: it starts, the
# installed client gets an answer from it over a Unix socket, and SIGTERM
# stops it in order with its files saved in the data directory.
if [ -x "$root/usr/bin/srvvexon" ] && [ -x "$root/usr/bin/vexonctl" ]; then
  data="$work/data"
  sock="$work/rpc.sock"
  mkdir -p "$data"
  : >"$work/server.log"
  "$root/usr/bin/srvvexon" --headless --data-dir "$data" --config "$root/etc/srvvexon/srvvexon.ini" \
    --rpc-tcp off --rpc-http off --rpc-unix "$sock" >"$work/server.log" 2>&1 &
  server=$!
  # Wait for the announcement (bounded: 30 s on a loaded machine).
  for _ in $(seq 300); do
    grep -q "listening on unix $sock" "$work/server.log" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  answer="$(timeout 30 "$root/usr/bin/vexonctl" --json --unix "$sock" GetServerState 2>&1)"
  grep -qE '^\{"Value":[0-9]+\}$' <<<"$answer" || fail "vexonctl GetServerState from the installed server: '$answer'"
  kill -TERM "$server" 2>/dev/null
  timeout 30 tail --pid="$server" -f /dev/null || fail "the installed server does not end after SIGTERM"
  wait "$server"
  rc=$?
  [ "$rc" -eq 0 ] || fail "the installed server exits with $rc: $(tail -5 "$work/server.log")"
  for f in new_sys.bin buffer.bin; do
    [ -f "$data/$f" ] || fail "the installed server did not save $f at shut-down"
  done
  pass "installed server and client"
fi

# ------------------------------------------------------------------ units
unitdir="$root/lib/systemd/system"
unit_field() { sed -n "s/^$2=//p" "$unitdir/$1"; }
service_args="--headless --data-dir /var/lib/srvvexon --config /etc/srvvexon/srvvexon.ini"
[ "$(unit_field srvvexon.service ExecStart)" = "/usr/bin/srvvexon $service_args" ] ||
  fail "srvvexon.service ExecStart is '$(unit_field srvvexon.service ExecStart)'"
[ "$(unit_field srvvexon-ondemand.service ExecStart)" = "/usr/bin/srvvexon -Embedding $service_args" ] ||
  fail "srvvexon-ondemand.service ExecStart is '$(unit_field srvvexon-ondemand.service ExecStart)'"
for s in srvvexon.service srvvexon-ondemand.service; do
  [ -f "$unitdir/$s" ] || continue
  for want in User=srvvexon Group=dialout StateDirectory=srvvexon ProtectSystem=strict ProtectHome=yes \
    PrivateTmp=yes NoNewPrivileges=yes DevicePolicy=closed CapabilityBoundingSet=; do
    grep -qxF "$want" "$unitdir/$s" || fail "$s lacks $want"
  done
  grep -qE '^(PrivateDevices=yes|DynamicUser=)' "$unitdir/$s" &&
    fail "$s hides the serial devices or the user"
done
[ "$(unit_field srvvexon-ondemand.socket FileDescriptorName)" = tcp ] || fail "the TCP socket is not named tcp"
[ "$(unit_field srvvexon-ondemand-http.socket FileDescriptorName)" = http ] || fail "the HTTP socket is not named http"
for s in srvvexon-ondemand.socket srvvexon-ondemand-http.socket; do
  [ "$(unit_field $s Service)" = srvvexon-ondemand.service ] || fail "$s does not start srvvexon-ondemand.service"
done

# systemd-analyze verify against the unpacked tree: --root makes it look
# for ExecStart's program inside the package. The units name systemd's own
# targets and slices (sysinit.target, sockets.target, system.slice ...), which
# the package does not hold: copies of this machine's are put beside them.
# Manual pages are checked below by the pages themselves (verify would look
# them up on this machine, where the package is not installed). Nothing is
# filtered: any line verify prints is a failure.
units=()
for u in srvvexon.service srvvexon-ondemand.service srvvexon-ondemand.socket srvvexon-ondemand-http.socket; do
  units+=("$unitdir/$u")
done
for f in /lib/systemd/system/*.target /lib/systemd/system/*.slice; do
  [ -e "$unitdir/$(basename "$f")" ] || cp -L "$f" "$unitdir/"
done
SYSTEMD_LOG_COLOR=0 systemd-analyze verify --man=no --generators=no --root="$root" "${units[@]}" \
  >"$work/verify" 2>&1
verify_rc=$?
[ "$verify_rc" -eq 0 ] || fail "systemd-analyze verify exits with $verify_rc"
[ -s "$work/verify" ] && fail "systemd-analyze verify reports: $(cat "$work/verify")"
# systemd's own rating of the sandbox (0 fully shut in .. 10 exposed): the
# serial devices and the sockets the server needs cost about 1.5.
for s in srvvexon.service srvvexon-ondemand.service; do
  [ -f "$unitdir/$s" ] || continue
  exposure="$(SYSTEMD_LOG_COLOR=0 systemd-analyze security --offline=yes --root="$root" "$unitdir/$s" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')"
  echo "$s: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 2.0) }' ||
    fail "$s: systemd-analyze security rates its exposure '${exposure:-?}' (at most 2.0 expected)"
done
pass "units"

# ------------------------------------------------------------ manual pages
for p in srvvexon vexonctl vexon-sim; do
  page="$root/usr/share/man/man1/$p.1.gz"
  [ -f "$page" ] || continue
  gzip -t "$page" || fail "$p.1.gz is not a valid gzip file"
  text="$(MANWIDTH=200 LC_ALL=C.UTF-8 man -l "$page" 2>"$work/man.err" | col -b)"
  [ -s "$work/man.err" ] && fail "man -l $p.1.gz: $(cat "$work/man.err")"
  grep -qE "^NAME" <<<"$text" || fail "$p(1) has no NAME section"
  grep -qE "^ +$p - " <<<"$text" || fail "$p(1) NAME does not name $p"
  grep -qF "$source_dir" <<<"$text" && fail "$p(1) holds the source path"
  # Every option the installed program describes in --help is in its page.
  for opt in $("$root/usr/bin/$p" --help 2>&1 | grep -oE -- '--[a-z][a-z0-9-]+' | sort -u); do
    grep -qF -- "$opt" <<<"$text" || fail "$p(1) does not mention $opt"
  done
done
pass "manual pages"

# -------------------------------------------------------- settings file
# Every section and key the default settings file names is one the server
# reads (a misspelt key would silently do nothing).
ini="$root/etc/srvvexon/srvvexon.ini"
if [ -f "$ini" ] && [ -f "$root/usr/bin/srvvexon" ]; then
  for section in $(sed -n 's/^\[\(.*\)\]$/\1/p' "$ini" | tr ' ' '@'); do
    grep -aqF "${section//@/ }" "$root/usr/bin/srvvexon" || fail "srvvexon.ini section [$section] is not read by the server"
  done
  for key in $(sed -n 's/^;\{0,1\}\([A-Za-z0-9]*\)=.*/\1/p' "$ini"); do
    grep -aqF "$key" "$root/usr/bin/srvvexon" || fail "srvvexon.ini key $key is not read by the server"
  done
  # A plain copy of the file must give the server nothing to act on: every
  # key is commented out, so the defaults hold.
  grep -qE '^[A-Za-z]' "$ini" && fail "srvvexon.ini sets a key: $(grep -E '^[A-Za-z]' "$ini")"
fi
pass "settings file"

# ------------------------------------------------------ maintainer scripts
# postinst with stand-ins for the commands it runs: the user is created
# once, as a system user in group dialout, and an existing one is kept.
stubs="$work/stubs"
mkdir -p "$stubs"
log="$work/calls"
for cmd in adduser systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$cmd" "$log" >"$stubs/$cmd"
done
printf '#!/bin/sh\n[ "$1 $2" = "passwd srvvexon" ] && [ -n "$VEXON_USER_EXISTS" ]\n' >"$stubs/getent"
chmod +x "$stubs"/*
: >"$log"
PATH="$stubs:$PATH" sh "$work/control/postinst" configure "" || fail "postinst configure exits with an error"
grep -qxE 'adduser --system .*--ingroup dialout .*srvvexon' "$log" ||
  fail "postinst does not create the system user in group dialout: $(cat "$log")"
: >"$log"
VEXON_USER_EXISTS=1 PATH="$stubs:$PATH" sh "$work/control/postinst" configure 0.0.1 ||
  fail "postinst configure (upgrade) exits with an error"
grep -q '^adduser' "$log" && fail "postinst adds a user that exists: $(cat "$log")"
for args in "remove" "purge"; do
  PATH="$stubs:$PATH" sh "$work/control/postrm" $args || fail "postrm $args exits with an error"
done
PATH="$stubs:$PATH" sh "$work/control/prerm" remove || fail "prerm remove exits with an error"
code="$(grep -vE '^[[:space:]]*#' "$work/control/postrm")"
grep -qE 'rm -r|/var/lib/srvvexon' <<<"$code" && fail "postrm removes the site's data"
grep -qE 'deluser|userdel' <<<"$code" && fail "postrm removes the system user"
pass "maintainer scripts"

echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes, $(wc -l <"$work/files") files"
if [ "$failures" -ne 0 ]; then
  echo "check_package: $failures check(s) failed" >&2
  exit 1
fi
echo "check_package: all checks passed"
