# shellcheck shell=bash
# Sourced by scripts/test-windows and scripts/wine-timing, from the top of the
# source tree: the Wine set-up they share. A missing mingw-w64 or Wine is a
# failure (scripts/install-deps installs them). Wine's own diagnostics stay off
# the compared output, and nothing of the user's Wine set-up is touched: every
# Wine command runs with a prefix of this run, in a lane of its own under
# build-win/ (build-win/wine-K/prefix, and build-win/wine-K/ports for the
# stable links that COM1..COM10 of the prefix name), each with its own server.
#
#   wine_lanes_check NAME         fails when a tool is missing; NAME begins the messages
#   wine_lanes_make COUNT EXE     fresh lanes 1..COUNT, each server started once
#                                 with EXE; the servers are stopped at exit
#   lane_prefix K, lane_ports K   a lane's directories

# A Wine command that sets a prefix up has this many seconds.
WINE_SETUP_LIMIT=180

wine_lanes_name=wine
wine_lanes_check() {
  local name=$1
  wine_lanes_name=$name
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
    ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
    echo "$name: FAIL: mingw-w64 is not installed (x86_64-w64-mingw32-g++ not found; Debian package g++-mingw-w64-x86-64) (scripts/install-deps installs it)"
    exit 1
  fi
  if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
    echo "$name: FAIL: Wine is not installed (wine/wineserver not found; Debian packages wine wine64) (scripts/install-deps installs it)"
    exit 1
  fi
}

export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY WINEPREFIX

wine_lanes_root=$(pwd)/build-win
wine_lanes_count=0

lane_prefix() { echo "$wine_lanes_root/wine-$1/prefix"; }
lane_ports() { echo "$wine_lanes_root/wine-$1/ports"; }

wine_lanes_stop() {
  local k
  for ((k = 1; k <= wine_lanes_count; k++)); do
    WINEPREFIX=$(lane_prefix $k) timeout 30 wineserver -k >/dev/null 2>&1 || true
  done
}

# wine_lane_make K EXE: a fresh prefix whose COMn names the stable link comN
# in the lane's ports directory; a test relinks it to its device. Until then
# the link leads nowhere, so a COMn without a device fails. Wine reads these
# values when its server starts, so they are written first and the server
# restarted after.
wine_lane_make() {
  local k=$1 exe=$2 n
  local ports
  ports=$(lane_ports "$k")
  export WINEPREFIX
  WINEPREFIX=$(lane_prefix "$k")
  rm -rf "$wine_lanes_root/wine-$k"
  mkdir -p "$ports"
  if ! timeout "$WINE_SETUP_LIMIT" wineboot -i >/dev/null 2>&1; then
    echo "$wine_lanes_name: wineboot could not make the prefix $WINEPREFIX (or took over $WINE_SETUP_LIMIT s)"
    return 1
  fi
  for n in 1 2 3 4 5 6 7 8 9 10; do
    ln -sfn "$ports/no-device" "$ports/com$n"
    if ! timeout "$WINE_SETUP_LIMIT" wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
      /d "$ports/com$n" /f >/dev/null 2>&1; then
      echo "$wine_lanes_name: could not map COM$n in the Wine registry of $WINEPREFIX"
      return 1
    fi
  done
  timeout 30 wineserver -k >/dev/null 2>&1
  timeout "$WINE_SETUP_LIMIT" wineserver -w >/dev/null 2>&1
  # A persistent server from here on, so that each program's start costs a
  # fraction of a second instead of the seconds a new server and its services
  # take; the first program started brings the services up.
  wineserver -p >/dev/null 2>&1
  timeout "$WINE_SETUP_LIMIT" wine "$exe" </dev/null >/dev/null 2>&1
  return 0
}

wine_lanes_make() {
  local count=$1 exe=$2 k pid
  local pids=()
  wine_lanes_count=$count
  trap wine_lanes_stop EXIT
  wine_lanes_stop
  rm -rf "$wine_lanes_root"/wine-* "$wine_lanes_root/wineprefix" "$wine_lanes_root/wine-ports"
  for ((k = 1; k <= count; k++)); do
    wine_lane_make "$k" "$exe" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || return 1
  done
}
