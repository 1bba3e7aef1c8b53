#!/bin/sh
# Runs a command with a /dev of its own, in which serial port 1 is whatever
# you say, and no other serial port exists:
#
#   unshare -m  tools/with-private-dev.sh PORT COMMAND [ARG...]    (as root)
#   unshare -rm tools/with-private-dev.sh PORT COMMAND [ARG...]    (as a user)
#
# PORT is bound over /dev/ttyS0 (a pty of tools/virtual_printer, say), or
# "-" for no port at all. The new /dev is a small tmpfs holding only null,
# zero, urandom, tty, pts, ptmx, shm and that ttyS0, so neither the program
# nor Wine can reach the machine's own serial ports. It must run in a mount
# namespace of its own: outside one it refuses.
#
# With QJ570_USB_PORT=PTY in the environment, that pty also stands where the
# port finder looks for a USB adapter: /dev/ttyUSB0, a /dev/serial/by-id
# name, and a /sys/class/tty that holds ttyUSB0 alone, whose device is an
# FTDI FT232R (0403:6001) on USB, as sysfs shows one.
#
# UUCP lock files go to a /run/lock of the namespace's own, so that no run
# sees or leaves one of the machine's: QJ570_LOCK_DIR, a folder the caller
# can look into, else an empty one. With QJ570_CONSOLE=NAME, the kernel's
# console is said to be on NAME (/sys/class/tty/console/active), a name
# that sysfs does not know, whose node in /dev is PORT.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 PORT|- COMMAND [ARG...]" >&2; exit 2; }
port=$1
shift
if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/1/ns/mnt 2>/dev/null || true)" ]; then
  echo "$0: not in a private mount namespace (run it under unshare -m)" >&2
  exit 2
fi
if [ "$port" != - ]; then
  [ -e "$port" ] || { echo "$0: $port does not exist" >&2; exit 2; }
  port=$(readlink -f "$port")
fi
usb=${QJ570_USB_PORT:-}
if [ -n "$usb" ]; then
  [ -e "$usb" ] || { echo "$0: $usb does not exist" >&2; exit 2; }
  usb=$(readlink -f "$usb")
fi

dev=$(mktemp -d)
mount -t tmpfs -o mode=755,size=64k qj570-dev "$dev"
for node in null zero urandom tty; do
  touch "$dev/$node"
  mount --bind "/dev/$node" "$dev/$node"
done
mkdir "$dev/pts" "$dev/shm"
mount --bind /dev/pts "$dev/pts"
mount --bind /dev/shm "$dev/shm"
# New ptys need a ptmx beside pts (a bound one is not): a node where we may
# make one (root), else the devpts instance's own.
mknod -m 666 "$dev/ptmx" c 5 2 2>/dev/null || ln -s pts/ptmx "$dev/ptmx"
if [ "$port" != - ]; then
  touch "$dev/ttyS0"
  mount --bind "$port" "$dev/ttyS0"
fi
console=${QJ570_CONSOLE:-}
if [ -n "$console" ]; then
  case "$console" in */* | ttyS0) echo "$0: $console cannot stand for the console" >&2; exit 2 ;; esac
  [ ! -e "/sys/class/tty/$console" ] || { echo "$0: sysfs knows $console" >&2; exit 2; }
  touch "$dev/$console"
  mount --bind "$port" "$dev/$console"
fi
if [ -n "$usb" ]; then
  touch "$dev/ttyUSB0"
  mount --bind "$usb" "$dev/ttyUSB0"
  mkdir -p "$dev/serial/by-id"
  ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_QJ570VP-if00-port0"
  sys=$(mktemp -d)
  mount -t tmpfs -o mode=755,size=128k qj570-sys "$sys"
  # The adapter's USB device, its interface and its port, in a hidden
  # folder beside the tty (the finder lists only what has a device).
  adapter="$sys/.usb/1-1"
  mkdir -p "$adapter/1-1:1.0/ttyUSB0" "$sys/ttyUSB0"
  ln -s /sys/bus/usb "$adapter/subsystem"
  ln -s /sys/bus/usb "$adapter/1-1:1.0/subsystem"
  ln -s /sys/bus/usb-serial "$adapter/1-1:1.0/ttyUSB0/subsystem"
  ln -s /sys/bus/usb-serial/drivers/ftdi_sio "$adapter/1-1:1.0/ttyUSB0/driver"
  printf '0403\n' >"$adapter/idVendor"
  printf '6001\n' >"$adapter/idProduct"
  printf 'FTDI\n' >"$adapter/manufacturer"
  printf 'FT232R USB UART\n' >"$adapter/product"
  printf 'QJ570VP\n' >"$adapter/serial"
  ln -s ../.usb/1-1/1-1:1.0/ttyUSB0 "$sys/ttyUSB0/device"
  mount --bind "$sys" /sys/class/tty
  umount -l "$sys"
  rmdir "$sys"
fi
mount --rbind "$dev" /dev
umount -l "$dev"
rmdir "$dev"

if [ -n "${QJ570_LOCK_DIR:-}" ]; then
  mount --bind "$QJ570_LOCK_DIR" /run/lock
else
  mount -t tmpfs -o mode=1777,size=64k qj570-lock /run/lock
fi
if [ -d /var/lock ] && [ ! -L /var/lock ]; then
  mount --bind /run/lock /var/lock
fi
if [ -n "$console" ]; then
  active=$(mktemp)
  printf '%s\n' "$console" >"$active"
  mount --bind "$active" /sys/class/tty/console/active
  rm "$active"
  [ "$(cat /sys/class/tty/console/active)" = "$console" ] ||
    { echo "$0: the console is not $console" >&2; exit 3; }
fi

# The bind must have taken before anything opens the port.
if [ "$port" != - ]; then
  want=$(stat -L -c %d:%i "$port")
  got=$(stat -L -c %d:%i /dev/ttyS0)
  [ "$want" = "$got" ] || { echo "$0: /dev/ttyS0 is not $port" >&2; exit 3; }
fi
if [ "$port" = - ] && [ -e /dev/ttyS0 ]; then
  echo "$0: /dev/ttyS0 exists, but no port was bound over it" >&2
  exit 3
fi
if [ -n "$usb" ] && [ "$(stat -L -c %d:%i "$usb")" != "$(stat -L -c %d:%i /dev/ttyUSB0)" ]; then
  echo "$0: /dev/ttyUSB0 is not $usb" >&2
  exit 3
fi
if ls /dev | grep -v "^ttyUSB0\$" | grep -q '^ttyS[1-9]\|^ttyUSB\|^ttyACM' ||
  { [ -z "$usb" ] && [ -e /dev/ttyUSB0 ]; }; then
  echo "$0: a real serial port is still visible" >&2
  exit 3
fi
exec "$@"
