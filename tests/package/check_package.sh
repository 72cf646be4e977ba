#!/usr/bin/env bash
# Checks the Debian package: its control fields and maintainer scripts, its
# file list, the programs and their libraries, the systemd units, the
# manual pages, the default settings file, the copyright file and the
# changelog, and lintian's verdict. The package is unpacked into a
# throw-away directory (dpkg -x: no maintainer script runs, nothing is
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
/usr/share/man/man7/srvvexon-operations.7.gz
/usr/share/doc/srvvexon/copyright
/usr/share/doc/srvvexon/changelog.gz
/usr/share/lintian/overrides/srvvexon
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
for f in etc/srvvexon/srvvexon.ini usr/share/doc/srvvexon/copyright usr/share/doc/srvvexon/changelog.gz; do
  grep -qE "^-rw-r--r-- .* \./${f//./\\.}\$" "$work/contents" || fail "/$f is not a 0644 file"
done
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
  # A heading of --help that holds double quotes comes out of help2man as a
  # quoted argument with quotes inside, which man garbles.
  zcat "$page" | grep -E '^\.S[SH] ' | awk -F'"' 'NF > 3 {bad = 1; print} END {exit bad}' >"$work/headings" ||
    fail "$p(1) has headings that man garbles: $(cat "$work/headings")"
done
pass "manual pages"

# The operations reference: renders without a warning, and has a section
# for every operation the installed vexonctl knows (its list comes from the
# operation table, as the page does).
page="$root/usr/share/man/man7/srvvexon-operations.7.gz"
if [ -f "$page" ]; then
  gzip -t "$page" || fail "srvvexon-operations.7.gz is not a valid gzip file"
  text="$(MANWIDTH=200 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$page" 2>"$work/man.err" | col -b)"
  [ -s "$work/man.err" ] && fail "man -l srvvexon-operations.7.gz: $(cat "$work/man.err")"
  grep -qE "^ +srvvexon-operations - " <<<"$text" || fail "srvvexon-operations(7) NAME does not name it"
  # vexonctl list: each operation's short name at the start of a line.
  ops="$("$root/usr/bin/vexonctl" list 2>/dev/null | grep -oE '^[A-Za-z][A-Za-z0-9_]*' | sed 's/^/sysvexon_/' | sort -u)"
  [ "$(grep -c . <<<"$ops")" -eq 77 ] || fail "vexonctl list gives $(grep -c . <<<"$ops") operations, not 77"
  for op in $ops; do
    grep -qE "^ +$op\$" <<<"$text" || fail "srvvexon-operations(7) has no section for $op"
  done
fi
pass "operations manual page"

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
# The scripts run with stand-ins for the commands they call, each logging
# its arguments. Each runs from a copy that looks for systemd's run
# directory in the work directory instead of /run/systemd/system, so that
# both a machine booted with systemd ("yes") and one without ("no") are
# tried.
stubs="$work/stubs"
mkdir -p "$stubs" "$work/run-systemd-yes"
log="$work/calls"
for cmd in adduser systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$cmd" "$log" >"$stubs/$cmd"
done
# deb-systemd-helper as the real one answers: the units named in
# VEXON_DSH_KNOWN have its state (it handled them before), those in
# VEXON_DSH_ENABLED are enabled, and a unit without state counts as enabled
# (so that a package which enables its units does so on a new install).
cat >"$stubs/deb-systemd-helper" <<STUB
#!/bin/sh
echo "deb-systemd-helper \$*" >>"$log"
[ "\$1" = --quiet ] && shift
has() { case " \$1 " in *" \$2 "*) return 0 ;; esac; return 1; }
case "\$1" in
debian-installed) has "\$VEXON_DSH_KNOWN" "\$2" ;;
was-enabled) ! has "\$VEXON_DSH_KNOWN" "\$2" || has "\$VEXON_DSH_ENABLED" "\$2" ;;
esac
STUB
printf '#!/bin/sh\n[ "$1 $2" = "passwd srvvexon" ] && [ -n "$VEXON_USER_EXISTS" ]\n' >"$stubs/getent"
chmod +x "$stubs"/*
all_calls="$work/all-calls"
: >"$all_calls"
# run SCRIPT yes|no ARGS...: the calls it made are in $log afterwards.
run() {
  local script="$1" systemd="$2"
  shift 2
  sed "s|/run/systemd/system|$work/run-systemd-$systemd|g" "$work/control/$script" >"$work/$script.$systemd"
  : >"$log"
  PATH="$stubs:$PATH" sh "$work/$script.$systemd" "$@" || fail "$script $* (systemd: $systemd) exits with an error"
  cat "$log" >>"$all_calls"
}
calls() { tr '\n' ';' <"$log"; }
# The package's units: those with an [Install] section are the ones
# deb-systemd-helper keeps enabled and purges; all are stopped on removal,
# the services restarted after an upgrade.
package_units="$(sed -n 's|^/lib/systemd/system/||p' "$work/files" | tr '\n' ' ')"
install_units=""
for u in $package_units; do
  grep -qE '^[[:space:]]*\[Install\][[:space:]]*$' "$unitdir/$u" && install_units="$install_units $u"
done
services="$(tr ' ' '\n' <<<"$package_units" | grep '\.service$' | tr '\n' ' ')"
reload='systemctl (--system )?daemon-reload'
sorted() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort | tr '\n' ' '; }
# words PREFIX: the units after PREFIX on the logged lines, sorted.
words() { sorted "$(sed -n "s/^$1 //p" "$log")"; }

# A new install: the user, no unit enabled or started, every unit with an
# [Install] section recorded for purge.
run postinst no configure ""
grep -qxE 'adduser --system .*--ingroup dialout .*srvvexon' "$log" ||
  fail "postinst does not create the system user in group dialout: $(calls)"
for u in $install_units; do
  grep -qxF "deb-systemd-helper update-state $u" "$log" || fail "postinst does not record $u for purge: $(calls)"
done
grep -qE '^(deb-systemd-helper enable|deb-systemd-invoke|systemctl)' "$log" &&
  fail "postinst on a machine without systemd enables, starts or reloads: $(calls)"
run postinst yes configure ""
grep -qxE "$reload" "$log" || fail "postinst does not reload systemd: $(calls)"
grep -qE '^(deb-systemd-helper enable|deb-systemd-invoke)' "$log" &&
  fail "a new install enables or starts a unit: $(calls)"
# An upgrade: a unit the site enabled is enabled again (new links), the
# others stay as they are; the running services restart, nothing starts.
VEXON_USER_EXISTS=1 VEXON_DSH_KNOWN="$install_units" VEXON_DSH_ENABLED=srvvexon.service \
  run postinst yes configure 0.0.1
grep -q '^adduser' "$log" && fail "postinst adds a user that exists: $(calls)"
[ "$(sed -n 's/^deb-systemd-helper enable //p' "$log")" = srvvexon.service ] ||
  fail "an upgrade does not enable exactly the unit the site enabled: $(calls)"
[ "$(words 'deb-systemd-invoke try-restart')" = "$(sorted "$services")" ] ||
  fail "an upgrade does not try-restart the services ($services): $(calls)"
grep -qE '^deb-systemd-invoke (start|restart) ' "$log" && fail "an upgrade starts units: $(calls)"
# Removal stops every unit, the sockets first; an upgrade stops nothing.
run prerm yes remove
[ "$(words 'deb-systemd-invoke stop')" = "$(sorted "$package_units")" ] ||
  fail "prerm remove does not stop every unit: $(calls)"
grep -qE '^deb-systemd-invoke stop .*\.service .*\.socket' "$log" && fail "prerm stops a service before a socket: $(calls)"
run prerm yes upgrade 0.1.0
[ -s "$log" ] && fail "prerm upgrade stops something: $(calls)"
run prerm no remove
[ -s "$log" ] && fail "prerm on a machine without systemd calls: $(calls)"
# postrm: remove reloads systemd; purge has deb-systemd-helper remove the
# links it recorded, and keeps the site's data and user.
run postrm yes remove
grep -qxE "$reload" "$log" || fail "postrm remove does not reload systemd: $(calls)"
run postrm no purge
[ "$(words 'deb-systemd-helper purge')" = "$(sorted "$install_units")" ] ||
  fail "postrm purge does not purge the units ($install_units): $(calls)"
code="$(grep -vE '^[[:space:]]*#' "$work/control/postrm")"
grep -qE 'rm -r|/var/lib/srvvexon' <<<"$code" && fail "postrm removes the site's data"
grep -qE 'deluser|userdel' <<<"$code" && fail "postrm removes the system user"
# Units go through deb-systemd-helper and deb-systemd-invoke; systemctl
# only reloads.
other_systemctl="$(grep '^systemctl' "$all_calls" | grep -vxE "$reload")"
[ -z "$other_systemctl" ] || fail "a maintainer script calls systemctl: $other_systemctl"
pass "maintainer scripts"

# -------------------------------------------------------------- documents
# The copyright file in Debian's machine-readable format: the Format line
# first, every Files paragraph with its Copyright and License, and the text
# of every licence it names (in the paragraph or in a License paragraph).
doc="$root/usr/share/doc/srvvexon"
if [ -f "$doc/copyright" ]; then
  problems="$(awk '
    BEGIN { RS = ""; FS = "\n" }
    NR == 1 {
      if ($1 !~ /^Format: https:\/\/www\.debian\.org\/doc\/packaging-manuals\/copyright-format\/1\.0\/$/)
        print "the first line is not the Format line"
      next
    }
    {
      files = copyright = text = 0
      licence = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^Files: *[^ ]/) files = 1
        else if ($i ~ /^Copyright: *[^ ]/) copyright = 1
        else if ($i ~ /^License: *[^ ]/) {
          licence = $i
          sub(/^License: */, "", licence)
          text = i < NF && $(i + 1) ~ /^ [^ ]/
        }
      }
      if (licence == "") print "paragraph " NR " names no licence"
      if (files) {
        if (!copyright) print "Files paragraph " NR " has no Copyright"
        named[licence] = 1
      } else if (!text) print "License paragraph " NR " has no text"
      if (text) given[licence] = 1
    }
    END { for (l in named) if (!(l in given)) print "no text for the licence " l }
  ' "$doc/copyright")"
  [ -z "$problems" ] || fail "copyright: $(echo $problems)"
fi
# The changelog: Debian's format, its latest entry for this version.
if [ -f "$doc/changelog.gz" ] && gzip -t "$doc/changelog.gz"; then
  zcat "$doc/changelog.gz" >"$work/changelog"
  changelog_version="$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>"$work/changelog.err")"
  [ "$changelog_version" = "$(field Version)" ] ||
    fail "the changelog's latest entry is for '$changelog_version', the package is '$(field Version)'"
  [ -s "$work/changelog.err" ] && fail "dpkg-parsechangelog: $(cat "$work/changelog.err")"
elif [ -f "$doc/changelog.gz" ]; then
  fail "changelog.gz is not a valid gzip file"
fi
pass "copyright and changelog"

# ---------------------------------------------------------------- lintian
# Debian's checks of the package. Any error or warning fails; a tag the
# package overrides needs its reason in a comment right above the override,
# and an override that matches nothing any more fails too. The overridden
# tags are shown (with their reasons), which makes lintian count them for
# --fail-on: its exit status says only whether it ran, the E: and W: lines
# give the verdict.
if command -v lintian >/dev/null; then
  lintian --no-cfg --display-info --show-overrides --fail-on none "$deb" >"$work/lintian" 2>&1
  lintian_rc=$?
  sed 's/^/  /' "$work/lintian"
  [ "$lintian_rc" -eq 0 ] || fail "lintian exits with $lintian_rc"
  grep -qE '^[EW]: ' "$work/lintian" && fail "lintian reports: $(grep -E '^[EW]: ' "$work/lintian")"
  grep -qE '^I: .*(unused-override|mismatched-override)' "$work/lintian" &&
    fail "overrides that match nothing: $(grep -E 'unused-override|mismatched-override' "$work/lintian")"
else
  fail "lintian is not installed (scripts/install-deps installs it)"
fi
overrides="$root/usr/share/lintian/overrides/srvvexon"
if [ -f "$overrides" ]; then
  unexplained="$(awk '
    /^#/ { reason = 1; next }
    /^[[:space:]]*$/ { reason = 0; next }
    !reason { print }
    { reason = 0 }
  ' "$overrides")"
  [ -z "$unexplained" ] || fail "overrides without a reason above them: $unexplained"
fi
pass "lintian"

echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes, $(wc -l <"$work/files") files"
if [ "$failures" -ne 0 ]; then
  echo "check_package: $failures check(s) failed" >&2
  exit 1
fi
echo "check_package: all checks passed"
