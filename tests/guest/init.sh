#!/bin/busybox sh
# The guest's init: loads the USB serial drivers, then runs the probe's
# cases on the real 8250, FTDI and CDC-ACM drivers. Every line for the host
# starts with a word in capitals; "GUEST" lines mark the steps.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t debugfs debugfs /sys/kernel/debug
load() {
  for m in "$@"; do insmod /modules/$m.ko || echo "GUEST cannot load $m"; done
}
wait_for() {
  n=0
  while [ ! -e "$1" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
}
load usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio
wait_for /dev/ttyUSB0
echo "GUEST ready"
echo "UART $(cat /sys/class/tty/ttyS1/type) $(cat /sys/class/tty/ttyS2/type)"
/probe ports
/probe jobs /dev/ttyS1
/probe jobs /dev/ttyUSB0
/probe job /dev/ttyS2
# Another printer's line: another speed, framing and flow control.
/probe jobs /dev/ttyS1 38400 O2 rtscts
/probe jobs /dev/ttyUSB0 19200 E1 xonxoff
echo "GUEST unplug now"
/probe loop /dev/ttyUSB0

# CDC-ACM with no hardware: dummy_hcd is a USB host and device controller
# in software, g_serial the device (its side is ttyGS0), and the guest's own
# cdc_acm drives it as ttyACM0. usbmon shows what the host side sends.
# cdc_acm sends the line coding when it binds and then only when it changes,
# so usbmon watches from before.
load usbmon configfs udc-core libcomposite u_serial usb_f_acm
cat /sys/kernel/debug/usb/usbmon/0u > /usbmon.txt &
mon=$!
load dummy_hcd g_serial cdc-acm
wait_for /dev/ttyACM0
hexof() { hexdump -v -e '1/1 "%02x"' "$1"; }
/probe sink /dev/ttyGS0 /acm.bin &
sink=$!
echo "GUEST acm"
/probe ports
/probe jobs /dev/ttyACM0
sleep 0.2
kill $mon
grep -E ' s 21 2[02] ' /usbmon.txt | sed 's/^/USBMON /'
echo "RECEIVED $(hexof /acm.bin)"
# A user may open it, but not while a link holds it.
chmod 666 /dev/ttyACM0
/probe excl /dev/ttyACM0

# A printer that takes no data: nobody has ttyGS0 open.
kill $sink
wait $sink
echo "GUEST stall"
/probe job /dev/ttyACM0
/probe sink /dev/ttyGS0 /after-stall.bin &
sink=$!
/probe job /dev/ttyACM0
sleep 0.2
echo "AFTER $(hexof /after-stall.bin)"

# Unplugged again and again, at varied moments, while jobs run. The gadget
# is loaded again to plug it back in: with g_serial, dummy_udc does not
# enumerate again after a soft reconnect. The sink ends at each hangup. A
# fresh gadget first: g_serial keeps what it received for its next reader,
# and the stalled receipt's last bytes may still be there.
kill $sink
wait $sink
rmmod g_serial
load g_serial
wait_for /dev/ttyACM0
udc=/sys/class/udc/dummy_udc.0/soft_connect
(
  for pause in 0.7 0.45 1.1 0.3 0.85 0.55 1.3 0.4; do
    wait_for /dev/ttyGS0
    /probe sink /dev/ttyGS0 /unplugs.bin &
    sink=$!
    wait_for /dev/ttyACM0
    sleep $pause
    echo disconnect > $udc
    echo "UNPLUG"
    wait $sink
    rmmod g_serial
    load g_serial
  done
  wait_for /dev/ttyGS0
  /probe sink /dev/ttyGS0 /unplugs.bin &
  wait_for /dev/ttyACM0
  sleep 1
  touch /stop
  sleep 0.5
  kill $!
) &
plugger=$!
/probe unplugs /dev/ttyACM0 /stop
wait $plugger
echo "UNPLUGGED $(hexof /unplugs.bin)"
echo "GUEST done"
poweroff -f
