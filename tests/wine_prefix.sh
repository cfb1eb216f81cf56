#!/usr/bin/env bash
# The wine prefix the Windows scenarios run in, made afresh for each test run:
#   wine_prefix.sh start DIR EXE   makes DIR/prefix, keeps a wineserver up for
#                                  it, and copies EXE to DIR/zapext.exe
#   wine_prefix.sh stop DIR        stops that wineserver and removes DIR
# WINELOADER and WINESERVER name the wine loader (32-bit, or wine64 for an
# x86_64 EXE) and its server. Run as root, it also makes DIR/prefix-nobody,
# for the scenarios that run the tool as nobody: wine only runs in a prefix
# its user owns. That one shares the prefix's drive C: and has a wineserver
# of its own. DIR and the way to it must be open to nobody.
set -euo pipefail
action=$1
dir=$2
prefix=$dir/prefix
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
export WINEDEBUG=-all WINELOADER WINESERVER

# Everything a wine process leaves running would hold on to a pipe that CTest
# reads, so all output goes to a file.
log="$dir/prefix.log"
# When something fails, what wine said is the place to look.
trap '[ -f "$log" ] && tail -n 30 "$log" >&2' ERR

# Starts a wineserver that stays up, and wine's services with it: started by
# the first scenario instead, they would hold on to that test's output.
serve() {  # serve PREFIX [COMMAND...]
  local where=$1
  shift
  WINEPREFIX=$where "$@" "$WINESERVER" -p >>"$log" 2>&1
  WINEPREFIX=$where "$@" "$WINELOADER" cmd /c exit >>"$log" 2>&1 </dev/null
}

stop() {  # stop PREFIX [COMMAND...]
  local where=$1
  shift
  [ -e "$where/system.reg" ] || return 0
  WINEPREFIX=$where "$@" "$WINESERVER" -k >>"$log" 2>&1 || true
}

case $action in
  start)
    echo "Windows scenarios: ${ZAPEXT_WINE_WAY:-$3 under $WINELOADER}"
    stop "$prefix"
    stop "$prefix-nobody" "${nobody[@]}"
    rm -rf "$dir"
    mkdir -p "$dir"
    chmod 755 "$dir"
    install -m 755 "$3" "$dir/zapext.exe"
    : >"$log"
    # No Mono or Gecko: nothing here needs them, and asking for them is slow.
    WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" "$WINELOADER" wineboot --init \
      >>"$log" 2>&1
    WINEPREFIX=$prefix "$WINESERVER" -w  # until the registry is written out
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
    rm -rf "$dir"
    ;;
  *)
    echo "usage: WINELOADER=... WINESERVER=... $0 start DIR EXE | stop DIR" >&2
    exit 2
    ;;
esac
