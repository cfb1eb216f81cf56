#!/usr/bin/env bash
# The wine prefix the Windows scenarios run in, made afresh for each test run:
#   wine_prefix.sh start PREFIX   makes it and keeps a wineserver up for it
#   wine_prefix.sh stop PREFIX    stops that wineserver
# Run as root, it also makes PREFIX-nobody, for the scenarios that run the
# tool as nobody: wine only runs in a prefix its user owns. That one shares
# PREFIX's drive C: and has a wineserver of its own.
set -euo pipefail
action=$1
prefix=$2
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
export WINEDEBUG=-all

# Everything a wine process leaves running would hold on to a pipe that CTest
# reads, so all output goes to a file.
log="$prefix.log"

# Starts a wineserver that stays up, and wine's services with it: started by
# the first scenario instead, they would hold on to that test's output.
serve() {  # serve PREFIX [COMMAND...]
  local where=$1
  shift
  WINEPREFIX=$where "$@" wineserver -p >>"$log" 2>&1
  WINEPREFIX=$where "$@" wine cmd /c exit >>"$log" 2>&1 </dev/null
}

stop() {  # stop PREFIX [COMMAND...]
  local where=$1
  shift
  [ -e "$where/system.reg" ] || return 0
  WINEPREFIX=$where "$@" wineserver -k >>"$log" 2>&1 || true
}

case $action in
  start)
    stop "$prefix"
    stop "$prefix-nobody" "${nobody[@]}"
    rm -rf "$prefix" "$prefix-nobody"
    mkdir -p "$(dirname "$prefix")"
    : >"$log"
    # No Mono or Gecko: nothing here needs them, and asking for them is slow.
    WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >>"$log" 2>&1
    WINEPREFIX=$prefix wineserver -w  # until the registry is written out
    serve "$prefix"
    if [ "$(id -u)" -eq 0 ]; then
      mkdir -p "$prefix-nobody/dosdevices"
      cp -p "$prefix"/*.reg "$prefix/.update-timestamp" "$prefix-nobody/"
      ln -s "$prefix/drive_c" "$prefix-nobody/dosdevices/c:"
      ln -s / "$prefix-nobody/dosdevices/z:"
      chown -R 65534:65534 "$prefix-nobody"
      serve "$prefix-nobody" "${nobody[@]}"
    fi
    ;;
  stop)
    stop "$prefix"
    stop "$prefix-nobody" "${nobody[@]}"
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
