#!/bin/busybox sh
# The guest's first process: mounts what the checks need, loads the USB
# serial modules in their order, makes the operator's accounts and COM-port
# links, then runs the commands the leg types on the console (ttyS0). The
# leg follows each command with one that prints a record separator (0x1e)
# and the command's exit status.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
# Only emergencies on the console: the USB disconnects of the unplug checks
# would otherwise fall into the answers.
echo 1 >/proc/sys/kernel/printk

. /qv/guest.sh
guest_setup

stty -F /dev/ttyS0 raw -echo
exec </dev/ttyS0 >/dev/ttyS0 2>&1
printf '\036ready %s\n' "$(cat /proc/uptime)"
# The console is read as a script, not line by line with the shell's read:
# the read of busybox's shell starts its line again when a child's end
# interrupts it, and the bytes it had read are lost. The shell that reads it
# ends at a syntax error; the next one says so, as the answer of a command
# that failed, and the guest goes on.
while :; do
  sh -c '. /qv/guest.sh; . /dev/ttyS0'
  printf 'guest: the command shell ended with status %d\n\036255\n' $?
done
