#!/bin/busybox sh
# The guest's init: loads the USB serial drivers, then runs the probe's
# cases on the real 8250 and FTDI drivers. Every line for the host starts
# with a word in capitals; "GUEST" lines mark the steps.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  insmod /modules/$m.ko || echo "GUEST cannot load $m"
done
n=0
while [ ! -e /dev/ttyUSB0 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
echo "GUEST ready"
echo "UART $(cat /sys/class/tty/ttyS1/type) $(cat /sys/class/tty/ttyS2/type)"
/probe ports
/probe jobs /dev/ttyS1
/probe jobs /dev/ttyUSB0
/probe job /dev/ttyS2
echo "GUEST unplug now"
/probe loop /dev/ttyUSB0
echo "GUEST done"
poweroff -f
