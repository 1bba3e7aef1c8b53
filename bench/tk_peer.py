"""The same program as a user might write it in Python: a tkinter window
with one button that sends the sample receipt with pyserial. startup_bench
times how long it takes to show its window and how much memory it takes."""
import tkinter

import serial

from pyserial_peer import run  # the same 25-line job


def main():
    root = tkinter.Tk(className="qj570-rs232")
    root.title("qj570-rs232")
    root.geometry("312x213")
    button = tkinter.Button(root, text="QJ-570 RS232", command=lambda: run("/dev/ttyS0"))
    button.place(x=40, y=24, width=161, height=65)
    button.focus_set()
    assert serial  # imported up front, as the real program needs it
    root.mainloop()


if __name__ == "__main__":
    main()
