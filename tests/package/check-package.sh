#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a scratch root and checks it as
# installed software: every file, the unit and the URL handler, lintian, the default
# configuration in /etc/zep, and the service started by a real systemd user manager with a URL
# reaching it through the handler's Exec line.
#   check-package.sh BUILD_DIR VERSION
# ZEP_PACKAGE_NO_USER_MANAGER=1 checks the unit without a user manager, as where none can run.
# The system itself is never changed: the "installed" tree is overlaid on /usr and /etc inside a
# private mount namespace. Where that or a user manager cannot run, the test says why and checks
# what it can.
set -euo pipefail
[ -n "${ZEP_PACKAGE_TRACE:-}" ] && set -x
build=$(cd "$1" && pwd)
version=$2
work=$(mktemp -d /tmp/zep-package.XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_line() {  # file, extended regex
  grep -Eq "$2" "$1" || { echo "--- $1:"; cat "$1"; fail "$1 has no line matching $2"; }
}

if [ "${ZEP_PACKAGE_IN_NAMESPACE:-}" != 1 ]; then
  # ---- the package itself ----------------------------------------------------------------------
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
  deb="$work/out/zep_${version}_amd64.deb"
  [ -f "$deb" ] || { ls "$work/out"; fail "no zep_${version}_amd64.deb"; }
  dpkg-deb -f "$deb" Package Version Architecture Depends >"$work/control"
  expect_line "$work/control" "^Package: zep$"
  expect_line "$work/control" "^Version: ${version//./\\.}$"
  expect_line "$work/control" "^Architecture: amd64$"
  # The dependencies were computed from the binaries, not written by hand.
  expect_line "$work/control" "^Depends: .*libsdl2-2\.0-0.*"
  expect_line "$work/control" "^Depends: .*libavcodec[0-9]+.*"
  expect_line "$work/control" "^Depends: .*libc6 .*"
  dpkg-deb -e "$deb" "$work/control.d"
  expect_line "$work/control.d/conffiles" "^/etc/zep/client-config\.cfg$"

  root="$work/root"
  dpkg -x "$deb" "$root"
  (cd "$root" && find . -type f -o -type l | sort) >"$work/files"
  cat >"$work/expected" <<'LIST'
./etc/zep/client-config.cfg
./usr/bin/zep
./usr/bin/zeps
./usr/lib/systemd/user/zeps.service
./usr/share/applications/zeps-url-handler.desktop
./usr/share/doc/zep/changelog.gz
./usr/share/doc/zep/copyright
./usr/share/icons/hicolor/scalable/apps/zep.svg
./usr/share/man/man1/zep.1.gz
./usr/share/man/man1/zeps.1.gz
LIST
  diff -u "$work/expected" "$work/files" || fail "the package's files differ from the list above"
  for b in zep zeps; do
    [ -x "$root/usr/bin/$b" ] || fail "usr/bin/$b is not executable"
    file -b "$root/usr/bin/$b" | grep -q "ELF 64-bit.*x86-64.*stripped" || fail "usr/bin/$b: $(file -b "$root/usr/bin/$b")"
    file -b "$root/usr/bin/$b" | grep -q "not stripped" && fail "usr/bin/$b is not stripped"
  done
  "$root/usr/bin/zep" --help | grep -q "^usage: zep" || fail "the packaged zep does not run"
  unit="$root/usr/lib/systemd/user/zeps.service"
  expect_line "$unit" "^ExecStart=/usr/bin/zeps$"
  expect_line "$unit" "^WantedBy=graphical-session.target$"
  expect_line "$unit" "^WorkingDirectory=%E/Ulmek/Zep$"
  expect_line "$unit" "^ConfigurationDirectory=Ulmek/Zep$"
  desktop="$root/usr/share/applications/zeps-url-handler.desktop"
  expect_line "$desktop" "^Exec=/usr/bin/zeps %u$"
  expect_line "$desktop" "^MimeType=x-scheme-handler/vekta;$"
  expect_line "$desktop" "^Icon=zep$"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the URL handler"
  fi
  for page in zep zeps; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH ${page^^} 1 .*zep $version" ||
      fail "$page.1 has no title line for version $version"
    zcat "$root/usr/share/man/man1/$page.1.gz" | MANWIDTH=80 man -l - >/dev/null 2>"$work/man.err" ||
      fail "man cannot format $page.1: $(cat "$work/man.err")"
  done
  zcat "$root/usr/share/doc/zep/changelog.gz" | head -1 | grep -q "^zep ($version)" || fail "changelog is not for $version"
  grep -q "^Copyright: " "$root/usr/share/doc/zep/copyright" || fail "no copyright line"
  # Every key in the shipped configuration is commented out: installing it changes no default.
  if grep -Ev '^[[:space:]]*(;|$)' "$root/etc/zep/client-config.cfg"; then fail "active lines in the default configuration"; fi

  if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
    grep -v "running with root privileges" "$work/lintian.txt" || true
    if grep -q "^E: " "$work/lintian.txt"; then fail "lintian reports errors"; fi
    echo "lintian: $(grep -c '^W: ' "$work/lintian.txt" || true) warnings, no errors"
  else
    fail "lintian is not installed (scripts/install-deps.sh installs it)"
  fi

  # ---- installed: the same tree seen at /usr and /etc, in a private mount namespace ------------
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "SKIP the installed checks: no private mount namespace here ($(unshare -m true 2>&1 | head -1))"
    systemd-analyze verify --man=no "$unit" 2>&1 | grep -v "zeps.*No such file" || true
    exit 0
  fi
  ZEP_PACKAGE_IN_NAMESPACE=1 ZEP_PACKAGE_WORK=$work exec unshare -m --propagation private "$0" "$@"
fi

# ---- inside the namespace ----------------------------------------------------------------------
rm -rf "$work"
work=$ZEP_PACKAGE_WORK
root="$work/root"
mkdir -p "$work/etc-test/zep"
mount -t overlay overlay -o "lowerdir=$root/usr:/usr" /usr || fail "cannot overlay /usr"
mount -t overlay overlay -o "lowerdir=$root/etc:/etc" /etc || fail "cannot overlay /etc"
[ -x /usr/bin/zeps ] && [ -f /etc/zep/client-config.cfg ] || fail "the overlay does not show the package"

# The shipped default alone: no diagnostics, logs in the default folder.
mkdir -p "$work/empty"
set +e
(cd "$work/empty" && XDG_STATE_HOME="$work/state" /usr/bin/zep 127.0.0.1 --token >"$work/zep.out" 2>&1)
code=$?
set -e
[ "$code" = 1 ] || fail "zep with --token and no value exited $code"
if grep -q "CFG:" "$work/zep.out"; then cat "$work/zep.out"; fail "the shipped configuration has malformed lines"; fi
expect_line "$work/state/Vekta/Logs/vektaclient.log" "Specify token value please"

# /etc/zep/client-config.cfg is read when the current folder has none, and only then.
umount /etc
cat >"$work/etc-test/zep/client-config.cfg" <<CFG
logger.applicationlog = $work/etc-logs
CFG
mount -t overlay overlay -o "lowerdir=$work/etc-test:$root/etc:/etc" /etc
(cd "$work/empty" && /usr/bin/zep 127.0.0.1 --token >/dev/null 2>&1) || true
expect_line "$work/etc-logs/vektaclient.log" "Specify token value please"
mkdir -p "$work/own"
echo "logger.applicationlog = $work/own-logs" >"$work/own/client-config.cfg"
rm -rf "$work/etc-logs"
(cd "$work/own" && /usr/bin/zep 127.0.0.1 --token >/dev/null 2>&1) || true
expect_line "$work/own-logs/vektaclient.log" "Specify token value please"
[ ! -e "$work/etc-logs" ] || fail "the current folder's file was not preferred to /etc/zep"
echo "configuration: current folder first, then /etc/zep/client-config.cfg"

# The service as a player runs it: a user manager, the installed unit, a vekta: URL.
systemd-analyze verify --man=no /usr/lib/systemd/user/zeps.service || fail "systemd-analyze rejects the unit"
token=11111111-2222-3333-4444-555555555555
cat >"$work/scenario.json" <<JSON
{"tokens": ["$token"], "sessions": {}}
JSON
"$build/bin/zep-backend" --port 0 --cert-out "$work/ca.pem" --log "$work/backend.jsonl" --scenario "$work/scenario.json" \
  >"$work/backend.out" 2>&1 &
pids+=($!)
for i in $(seq 100); do grep -q "listening" "$work/backend.out" && break; sleep 0.1; done
backend_port=$(sed -n 's/.*listening on https:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/backend.out")
[ -n "$backend_port" ] || { cat "$work/backend.out"; fail "the reference back-end did not start"; }
link_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
{
  for s in SessionManager ServerManager TokenVerifier Settings; do
    echo "${s}Host = 127.0.0.1"
    echo "${s}Port = $backend_port"
  done
  echo "HttpsCaFile = $work/ca.pem"
  echo "BrowserLinkPort = $link_port"
  echo "LaunchAsServiceUser = true"
  echo "logger.applicationlog = $work/logs"
} >"$work/etc-test/zep/client-config.cfg"

export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
manager=""
why="cannot make /run/systemd/system in the namespace"
[ -n "${ZEP_PACKAGE_NO_USER_MANAGER:-}" ] && why="ZEP_PACKAGE_NO_USER_MANAGER is set"
if [ -z "${ZEP_PACKAGE_NO_USER_MANAGER:-}" ] && mount -t tmpfs tmpfs /run/systemd 2>/dev/null &&
  mkdir -p /run/systemd/system; then
  # The user manager only runs where the system looks booted with systemd; inside this namespace
  # it does. It reads the units from /usr/lib/systemd/user like on an installed system.
  /lib/systemd/systemd --user --log-target=console 3>"$work/manager.log" >"$work/manager.log" 2>&1 &
  manager=$!
  pids+=("$manager")
  for i in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/systemd/private" ] && break; sleep 0.1; done
  why="systemd --user did not open its socket: $({ grep -v '^Controller' "$work/manager.log" || true; } | tail -n 3 | tr '\n' ' ')"
fi
if [ -n "$manager" ] && [ -S "$XDG_RUNTIME_DIR/systemd/private" ]; then
  # No D-Bus session bus here: --no-block, and the state is polled.
  systemctl --user --no-block --no-ask-password enable --now zeps.service ||
    fail "systemctl --user enable --now zeps failed"
  [ -L "$XDG_CONFIG_HOME/systemd/user/graphical-session.target.wants/zeps.service" ] || fail "enable made no link"
  for i in $(seq 150); do
    [ "$(systemctl --user is-active zeps.service)" = active ] && grep -qs "Client Service Started" "$work/logs/vektaclientservice.log" && break
    sleep 0.2
  done
  systemctl --user status zeps.service --no-pager >"$work/status.txt" 2>&1 || true
  grep -qs "Client Service Started" "$work/logs/vektaclientservice.log" || { cat "$work/status.txt" "$work/manager.log"; fail "the unit did not start zeps"; }
  started_by="systemd --user"
else
  echo "SKIP the user manager: it cannot run here ($why)"
  echo "      starting the unit's ExecStart in its WorkingDirectory by hand instead"
  mkdir -p "$HOME/.config/Ulmek/Zep"
  (cd "$HOME/.config/Ulmek/Zep" && exec /usr/bin/zeps) &
  pids+=($!)
  for i in $(seq 100); do grep -qs "Client Service Started" "$work/logs/vektaclientservice.log" && break; sleep 0.1; done
  started_by="the unit's ExecStart"
fi
for i in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$link_port") 2>/dev/null && break; sleep 0.1; done

# The URL handler's Exec line with %u replaced, as the desktop runs it.
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/zeps-url-handler.desktop)
url="vekta:check/$token"
read -r -a command <<<"${exec_line//%u/$url}"
(cd "$work/empty" && "${command[@]}") || fail "the handler's command ${command[*]} failed"
for i in $(seq 100); do
  grep -qs "\"path\": \"/settings/setorupdateuserclientonline/$token/" "$work/backend.jsonl" && break
  sleep 0.1
done
grep -qs "/settings/setorupdateuserclientonline/$token/" "$work/backend.jsonl" ||
  { cat "$work/logs/vektaclientservice.log"; fail "the URL did not reach the running service"; }
expect_line "$work/logs/vektaclientservice.log" "URL handed to the running instance"
echo "service: started by $started_by; the URL from the handler's Exec line reached it"

if [ "$started_by" = "systemd --user" ]; then
  systemctl --user --no-block stop zeps.service
  for i in $(seq 100); do grep -qs "Client Service stopped" "$work/logs/vektaclientservice.log" && break; sleep 0.1; done
  expect_line "$work/logs/vektaclientservice.log" "Client Service stopped"
  systemctl --user disable zeps.service >/dev/null 2>&1
  [ ! -e "$XDG_CONFIG_HOME/systemd/user/graphical-session.target.wants/zeps.service" ] || fail "disable left the link"
fi
echo "package checks passed"
