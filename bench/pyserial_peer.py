"""The sample receipt job written with pyserial, as a user might write it:
open port, 25 writes, drain, close. For job_bench to compare against
ReceiptJob::run: with "serve", runs one job for each line read from standard
input and answers with its duration in microseconds.

    python3 pyserial_peer.py PORT serve
"""
import sys
import time

import serial

ESC, CR, FF, SO = "\x1b", "\r", "\x0c", "\x0e"
TEXTS = [
    "測試科技股份有限公司", "統編:12345678", "電話:87654321", "發票地址XXXXXXXX", None,
    "日:01/07/16 時:18-00 ", "機號:001 序號:01 頁:1 ", None,
    "可口可樂 2瓶 17元 34元 ", "長壽香煙 1包 25元 25元 ",
    "大享堡   1份 20元 20元 ", "味全鮮奶 2瓶 17元 34元 ",
] + [None] * 10 + [SO + "總" + SO + "計          113元"]
LINES = [ESC + "PB1" + t + CR if t is not None else ESC + "LB1" + CR for t in TEXTS]
LINES += [ESC + "VB" + CR, FF + CR]


def run(port):
    link = serial.Serial()
    link.port = port
    link.baudrate = 9600
    link.bytesize = serial.EIGHTBITS
    link.parity = serial.PARITY_NONE
    link.stopbits = serial.STOPBITS_ONE
    link.xonxoff = link.rtscts = link.dsrdtr = False
    link.exclusive = True
    link.rts = False
    link.open()
    for line in LINES:
        link.write(line.encode("cp950"))
    link.flush()  # tcdrain
    link.close()


def main():
    port = sys.argv[1]
    for _ in sys.stdin:
        start = time.perf_counter_ns()
        run(port)
        print((time.perf_counter_ns() - start) / 1000.0, flush=True)


if __name__ == "__main__":
    main()
