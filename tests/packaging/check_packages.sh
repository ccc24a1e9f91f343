#!/usr/bin/env bash
# Checks the Debian packages that scripts/package made:
#   tests/packaging/check_packages.sh OUTPUT_DIR
# Their control data and file lists, the service's unit (systemd-analyze verify where it is
# installed) and its command line run as the service would run it, the desktop entry, the icon
# files and the manual pages (rureza-server, rureza-probe, rureza) against the programs' --help.
set -uo pipefail

out="${1:?usage: check_packages.sh OUTPUT_DIR}"
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}
# expect_silent WHAT COMMAND...: passes when the command succeeds and prints nothing.
expect_silent() {
  local what="$1" output
  shift
  if output="$("$@" 2>&1)" && [ -z "$output" ]; then
    pass
  else
    fail "$what"
    printf '%s\n' "$output" | sed 's/^/  /'
  fi
}

work="$(mktemp -d)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

server_deb=("$out"/rureza-server_*.deb)
console_deb=("$out"/rureza_*.deb)
if [ ${#server_deb[@]} -ne 1 ] || [ ! -f "${server_deb[0]}" ] || [ ${#console_deb[@]} -ne 1 ] ||
  [ ! -f "${console_deb[0]}" ]; then
  echo "FAIL: expected one rureza-server_*.deb and one rureza_*.deb in $out"
  exit 1
fi
server_deb="${server_deb[0]}"
console_deb="${console_deb[0]}"
arch="$(dpkg --print-architecture)"

# --- control data --------------------------------------------------------------------------
field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$server_deb" Package)" = rureza-server ] || fail "server package name"
[ "$(field "$console_deb" Package)" = rureza ] || fail "console package name"
for deb in "$server_deb" "$console_deb"; do
  [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture is not $arch"
  # A package whose library dependencies were not worked out would install anywhere and fail.
  field "$deb" Depends | grep -q 'libc6 (>=' || fail "$deb: Depends lacks libc6"
done
server_depends="$(field "$server_deb" Depends)"
if grep -qi 'qt\|libx\|font' <<<"$server_depends"; then
  fail "the headless server depends on desktop packages: $server_depends"
else
  pass
fi
# The converter links the codec libraries and libseccomp, the server SQLite and libmicrohttpd.
for needed in libavcodec libavformat libavfilter libswscale libswresample libass libvips \
  liblcms2 libseccomp libsqlite3 libmicrohttpd; do
  grep -q "\b$needed" <<<"$server_depends" && pass || fail "rureza-server does not depend on $needed"
done
console_depends="$(field "$console_deb" Depends)"
for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 fonts-liberation2 libsqlite3-0 \
  libmicrohttpd12; do
  grep -q "\b$needed\b" <<<"$console_depends" && pass || fail "rureza does not depend on $needed"
done
# It converts with the server package's converter, which only that package installs.
grep -q "rureza-server (= $(field "$server_deb" Version))" <<<"$console_depends" && pass ||
  fail "rureza does not depend on this rureza-server: $console_depends"

# --- file lists ----------------------------------------------------------------------------
# Exactly these files, owned by root: anything else (a test program, a static library, a file
# in both packages) is a packaging fault.
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort; }
expected_server="-rw-r--r-- root/root ./etc/default/rureza-server
-rw-r--r-- root/root ./usr/lib/systemd/system/rureza-server.service
-rw-r--r-- root/root ./usr/share/man/man1/rureza-probe.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/rureza-server.1.gz
-rwxr-xr-x root/root ./usr/bin/rureza-probe
-rwxr-xr-x root/root ./usr/bin/rureza-server
-rwxr-xr-x root/root ./usr/libexec/rureza/rureza-convert"
expected_console="-rw-r--r-- root/root ./usr/share/applications/rureza.desktop
-rw-r--r-- root/root ./usr/share/dbus-1/services/org.zivevir.Rureza.service
-rw-r--r-- root/root ./usr/share/man/man1/rureza.1.gz
-rwxr-xr-x root/root ./usr/bin/rureza"
for size in 16 24 32 48 64 128 256; do
  expected_console+=$'\n'"-rw-r--r-- root/root ./usr/share/icons/hicolor/${size}x${size}/apps/rureza.png"
done
for which in server console; do
  deb_var="${which}_deb"
  expected_var="expected_${which}"
  actual="$(files_of "${!deb_var}")"
  if [ "$actual" = "$(sort <<<"${!expected_var}")" ]; then
    pass
  else
    fail "files of ${!deb_var}:"
    diff <(sort <<<"${!expected_var}") <(printf '%s\n' "$actual") | sed 's/^/  /'
  fi
done

# --- maintainer scripts --------------------------------------------------------------------
dpkg-deb -e "$server_deb" "$work/server-control"
grep -qx /etc/default/rureza-server "$work/server-control/conffiles" && pass ||
  fail "/etc/default/rureza-server is not a conffile (an upgrade would overwrite the admin's options)"
if cat "$work"/server-control/{postinst,prerm,postrm} |
  grep -E '(systemctl|deb-systemd-helper|deb-systemd-invoke)[^#]*\b(enable|start|restart)\b' |
  grep -v 'try-restart'; then
  fail "a maintainer script enables or starts the service"
else
  pass
fi
for script in postinst prerm postrm; do
  expect_silent "sh -n $script" sh -n "$work/server-control/$script"
done

# --- the programs --------------------------------------------------------------------------
root="$work/root"
dpkg-deb -x "$server_deb" "$root"
dpkg-deb -x "$console_deb" "$root"
version="$(field "$server_deb" Version)"
for program in rureza-server rureza-probe rureza; do
  [ "$("$root/usr/bin/$program" --version)" = "$program $version" ] && pass ||
    fail "$program --version does not say $version"
done
for program in rureza-server rureza-probe; do
  if readelf -d "$root/usr/bin/$program" | grep NEEDED | grep -qi qt; then
    fail "$program links Qt"
  else
    pass
  fi
done

# --- the service ---------------------------------------------------------------------------
unit="$root/usr/lib/systemd/system/rureza-server.service"
if command -v systemd-analyze >/dev/null; then
  # verify looks for the program at its installed path: point it into the unpacked tree.
  mkdir -p "$work/unit"
  sed "s|/usr/bin/rureza-server|$root/usr/bin/rureza-server|" "$unit" \
    >"$work/unit/rureza-server.service"
  expect_silent "systemd-analyze verify rureza-server.service" \
    systemd-analyze verify --man=no "$work/unit/rureza-server.service"
else
  echo "SKIP: systemd-analyze is not installed; the unit is not verified"
fi

# The unit's own command line, with its paths moved into the unpacked tree and a scratch state
# directory, run as an unprivileged user when we are root (as DynamicUser would): it must create
# the settings file, restart on SIGHUP and exit 0 on SIGTERM within the unit's stop timeout; its
# conversion (on in a new settings file) keeps its cache where CacheDirectory= says.
exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
stop_timeout="$(sed -n 's/^TimeoutStopSec=\([0-9]*\)s\?$/\1/p' "$unit")"
state="$work/state" cache="$work/cache"
mkdir -p "$state" "$cache"
grep -qx "CacheDirectory=rureza" "$unit" && pass || fail "the unit names no CacheDirectory="
# It tells systemd when it is ready and that its listener lives.
grep -qx "Type=notify" "$unit" && grep -q "^WatchdogSec=" "$unit" && pass ||
  fail "the unit is not Type=notify with WatchdogSec="
port=$((20000 + RANDOM % 20000))
command_line="${exec_start//\/usr\/bin/$root/usr/bin}"
command_line="${command_line//\/var\/lib\/rureza/$state}"
command_line="${command_line//\$RUREZA_SERVER_OPTS/--port $port}"
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$state" "$cache"
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
# shellcheck disable=SC2086 # the unit's words, split as systemd splits them
CACHE_DIRECTORY="$cache" "${run_as[@]}" $command_line >"$work/server.out" 2>&1 &
server_pid=$!
wait_for_starts() {
  local count="$1"
  for _ in $(seq 100); do
    [ "$(grep -c '^Server Started' "$work/server.out")" -ge "$count" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
if wait_for_starts 1 && [ "$(tail -c +1027 "$state/sv.dat" 2>/dev/null | head -1)" = "RUREZA-LIBRARY 1" ] &&
  [ -f "$cache/store.db" ]; then
  pass
else
  fail "the service's command line did not start the server with a new settings file"
  sed 's/^/  /' "$work/server.out"
fi
kill -HUP "$server_pid" 2>/dev/null
wait_for_starts 2 && pass || fail "the server did not start again after SIGHUP"
kill -TERM "$server_pid" 2>/dev/null
stopped=no
for _ in $(seq $(((${stop_timeout:-0} > 0 ? stop_timeout : 90) * 10))); do
  kill -0 "$server_pid" 2>/dev/null || {
    stopped=yes
    break
  }
  sleep 0.1
done
if [ "$stopped" = yes ]; then
  wait "$server_pid"
  status=$?
  [ "$status" -eq 0 ] && pass || fail "the server exited with $status on SIGTERM"
else
  fail "the server did not stop within the unit's TimeoutStopSec (${stop_timeout:-none})"
fi
server_pid=""

# --- the session bus's service file ----------------------------------------------------------
bus_service="$root/usr/share/dbus-1/services/org.zivevir.Rureza.service"
grep -qx "Name=org.zivevir.Rureza" "$bus_service" && grep -q "/usr/bin/rureza -Automation'$" \
  "$bus_service" && pass || fail "the session bus's service file does not start rureza -Automation"

# --- desktop entry and icon ----------------------------------------------------------------
desktop="$root/usr/share/applications/rureza.desktop"
expect_silent "desktop-file-validate rureza.desktop" desktop-file-validate "$desktop"
exec_program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
[ -x "$root/usr/bin/$exec_program" ] && pass || fail "the desktop entry starts '$exec_program'"
icon="$(sed -n 's/^Icon=//p' "$desktop")"
for png in "$root"/usr/share/icons/hicolor/*/apps/*.png; do
  folder_size="$(basename "$(dirname "$(dirname "$png")")")"
  [ "$(basename "$png" .png)" = "$icon" ] || fail "$png is not the entry's icon '$icon'"
  # A PNG file: its signature, then the header chunk with width and height.
  header="$(od -An -tx1 -N24 "$png" | tr -d ' \n')"
  width=$((16#${header:32:8}))
  height=$((16#${header:40:8}))
  if [ "${header:0:16}" = 89504e470d0a1a0a ] && [ "${width}x${height}" = "$folder_size" ]; then
    pass
  else
    fail "$png is not a ${folder_size} PNG"
  fi
done

# --- manual pages --------------------------------------------------------------------------
for program in rureza-server rureza-probe rureza; do
  page="$root/usr/share/man/man1/$program.1.gz"
  if command -v mandoc >/dev/null; then
    expect_silent "mandoc -T lint $program.1" sh -c "zcat '$page' | mandoc -T lint -W warning"
  else
    expect_silent "groff -ww $program.1" sh -c "zcat '$page' | groff -ww -man -z"
  fi
  # Every option --help names is in the manual page.
  text="$(zcat "$page" | sed 's/\\-/-/g')"
  for option in $("$root/usr/bin/$program" --help | grep -oE '^  +--?[a-z][a-z-]*' | tr -d ' '); do
    grep -q -- "$option\b" <<<"$text" && pass || fail "$program.1 does not describe $option"
  done
done

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
