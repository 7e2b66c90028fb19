# The guest's side of the real-driver checks: what the leg (leg.py, on the
# host) asks for, one shell function a step. Every wait is bounded and says
# how it ended; the leg decides what a result means.
#
# A program run NAME: quorvantis-host with its input on the pipe
# $Q/NAME.in (held open until program_close), its output in $Q/NAME.out and
# its error output in $Q/NAME.err. A simulated device SIM: quorvantis-sim
# on the far end of a null-modem line, its report in $Q/SIM.sim.
Q=/tmp/q

# Waits while the command that follows fails, for $1 tenths of a second of
# sleeping between its tries (the tries' own time comes on top; the leg
# bounds the whole). It tries again after 50 ms, then after twice as long
# each time up to 800 ms: every try starts processes, and a guest busy with
# them would answer the program's device late.
within() {
  local left=$(($1 * 100000)) pause=50000
  shift
  while ! "$@"; do
    [ $left -gt 0 ] || return 1
    [ $pause -le $left ] || pause=$left
    usleep $pause
    left=$((left - pause))
    [ $pause -ge 800000 ] || pause=$((pause * 2))
  done
}

# The operator's side of the machine: root, an ordinary user "op" in the
# group that owns the serial devices, each with COM1 linked to the on-board
# port's null modem (ttyS1) and COM2 to the USB adapter (ttyUSB0).
guest_setup() {
  mkdir -p $Q /etc /home/op
  # The USB modules in the order they load (/mod/order).
  for m in $(cat /mod/order); do
    insmod /mod/$m.ko || echo "guest: insmod $m failed"
  done
  printf 'root:x:0:0:root:/root:/bin/sh\nop:x:1000:1000:operator:/home/op:/bin/sh\n' >/etc/passwd
  printf 'root:x:0:\ndialout:x:20:op\nop:x:1000:\n' >/etc/group
  chown 1000:1000 /home/op
  for home in /root /home/op; do
    mkdir -p $home/.config/quorvantis
    ln -sf /dev/ttyS1 $home/.config/quorvantis/com1
    ln -sf /dev/ttyUSB0 $home/.config/quorvantis/com2
  done
  chown -R 1000:1000 /home/op/.config
  within 100 test -e /dev/ttyUSB0 || echo "guest: no /dev/ttyUSB0"
  port_access /dev/ttyS1
  port_access /dev/ttyUSB0
}

# The group that owns serial devices may use them (no udev here to do it).
port_access() {
  chgrp 20 "$1" && chmod 660 "$1"
}

# program_start NAME [op]: starts the program, as root or as the user op.
program_start() {
  local name=$1 user=${2:-root}
  rm -f $Q/$name.*
  mkfifo $Q/$name.in
  # The pipe's writer, so the program sees no end of input between commands.
  sleep 100000 >$Q/$name.in &
  echo $! >$Q/$name.holder
  if [ "$user" = op ]; then
    su op -s /bin/sh -c 'HOME=/home/op XDG_CONFIG_HOME=/home/op/.config exec /qv/quorvantis-host' \
      <$Q/$name.in >$Q/$name.out 2>$Q/$name.err &
  else
    HOME=/root XDG_CONFIG_HOME=/root/.config /qv/quorvantis-host <$Q/$name.in >$Q/$name.out 2>$Q/$name.err &
  fi
  echo $! >$Q/$name.pid
  program_wait "$name" 'Command> ' 1 300
}

# program_send NAME TEXT...: one line of input.
program_send() {
  local name=$1
  shift
  printf '%s\n' "$*" >$Q/$name.in
}

# How many lines of the program's output so far hold TEXT (the prompt and
# the power-on request never stand twice on one line).
program_count() {
  grep -c -F -e "$2" $Q/$1.out 2>/dev/null
}

# Whether TEXT has appeared COUNT times in the program's output.
program_has() {
  test "$(program_count "$1" "$2")" -ge "$3"
}

# program_wait NAME TEXT COUNT TENTHS: until TEXT has appeared COUNT times.
program_wait() {
  local name=$1 text=$2 count=$3
  if within "$4" program_has "$name" "$text" "$count"; then
    echo "seen"
    return 0
  fi
  echo "not seen: $text (count $(program_count "$name" "$text") of $count)"
  return 1
}

program_pid() {
  cat $Q/$1.pid
}

program_running() {
  kill -0 "$(program_pid "$1")" 2>/dev/null
}

# program_close NAME: the end of the program's input.
program_close() {
  kill "$(cat $Q/$1.holder)" 2>/dev/null
  wait "$(cat $Q/$1.holder)" 2>/dev/null
  return 0
}

# program_end NAME TENTHS: waits for the program's end and says its status;
# one still running then is killed.
program_end() {
  local name=$1 pid
  pid=$(program_pid "$name")
  if ! within "$2" eval '! kill -0 $pid 2>/dev/null'; then
    kill -9 "$pid"
    wait "$pid"
    program_close "$name"
    echo "still running: killed"
    return 1
  fi
  wait "$pid"
  echo "status $?"
  program_close "$name"
}

program_out() {
  cat $Q/$1.out
}

program_err() {
  cat $Q/$1.err
}

# program_ports NAME: the serial devices the running program holds open.
program_ports() {
  local pid fd target
  pid=$(program_pid "$1")
  for fd in /proc/$pid/fd/*; do
    target=$(readlink "$fd")
    case $target in /dev/tty*) echo "$target" ;; esac
  done
  return 0
}

# sim_start SIM TTY ARGS...: the simulated device on TTY, until it is ready.
sim_start() {
  local sim=$1 tty=$2
  shift 2
  : >$Q/$sim.sim
  /qv/quorvantis-sim --tty "$tty" "$@" >$Q/$sim.sim 2>&1 &
  echo $! >$Q/$sim.simpid
  sim_wait "$sim" "ready $tty" 100
}

# sim_power SIM: the device's power switch (on; on again: a power cycle).
sim_power() {
  kill -USR1 "$(cat $Q/$1.simpid)"
}

# sim_unplug SIM: the device falls silent at once; its line stays (a cable
# pulled from the device).
sim_unplug() {
  kill -USR2 "$(cat $Q/$1.simpid)" && sim_wait "$1" unplugged 50
}

# sim_wait SIM LINE TENTHS: until the device has reported LINE.
sim_wait() {
  if within "$3" grep -q -x -F -e "$2" $Q/$1.sim; then
    echo "seen"
    return 0
  fi
  echo "not seen: $2"
  return 1
}

# sim_stop SIM: stops the device and shows its report.
sim_stop() {
  local pid
  pid=$(cat $Q/$1.simpid)
  kill "$pid" 2>/dev/null
  within 50 eval '! kill -0 $pid 2>/dev/null' || kill -9 "$pid"
  wait "$pid" 2>/dev/null
  cat $Q/$1.sim
}

# power_when_asked NAME SIM COUNT: once the program has asked for the
# device's power for the COUNT-th time, switches the device.
power_when_asked() {
  program_wait "$1" "You have 20 seconds to do this..." "$3" 300 && sim_power "$2"
}

# Whether the program has printed its COUNT-th prompt, or has ended.
program_settled() {
  program_has "$1" 'Command> ' "$2" || ! program_running "$1"
}

# program_settles NAME COUNT TENTHS: until one or the other.
program_settles() {
  if within "$3" program_settled "$1" "$2"; then
    echo "settled"
    return 0
  fi
  echo "neither a prompt nor an end"
  return 1
}

# replug DEVICE: waits for the device node of an adapter plugged back in and
# lets the operators' group use it.
replug() {
  within 50 test -e "$1" && port_access "$1"
}

# break_probe_start DEVICE / break_probe_end: what a reader of DEVICE that
# does not ignore breaks (raw, without IGNBRK) receives meanwhile, in hex.
break_probe_start() {
  stty -F "$1" raw -ignbrk -brkint -parmrk 9600 || return 1
  : >$Q/probe
  timeout 3 cat "$1" >$Q/probe &
  echo $! >$Q/probe.pid
  usleep 300000
}

break_probe_end() {
  usleep 300000
  kill "$(cat $Q/probe.pid)" 2>/dev/null
  wait "$(cat $Q/probe.pid)" 2>/dev/null
  od -An -tx1 $Q/probe
  return 0
}
