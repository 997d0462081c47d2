#!/usr/bin/python3
"""The readback exchange as one would script it with pyserial, without tolvaner.

Usage: peer.py PORT, then one readback item (V S M D K A) per line on standard
input; X or the end of input quits. The benchmark runs it against the same
simulated device as tolvaner and measures it the same way. It is written the
plain way on purpose: a byte, a 50 ms sleep, and so on, then 400 ms for the
reply.
"""
import sys
import time

import serial

NAMES = {
    "V": "Pulse Value",
    "S": "Full Scale value",
    "M": "Output Mode",
    "D": "most recent DAC value",
    "K": "most recent KWH value",
    "A": "Average Interval",
}


def frame(*body):
    checksum = 0
    for b in body:
        checksum ^= b
    return bytes(body) + bytes([checksum])


def main():
    port = serial.Serial(sys.argv[1], 57600, timeout=0)
    while True:
        try:
            item = input("Item (V S M D K A, X quits): ").strip().upper()[:1]
        except EOFError:
            break
        if item == "X":
            break
        if item not in NAMES:
            print("invalid entry")
            continue
        port.reset_input_buffer()
        for b in frame(ord("R"), 1, ord(item)):
            port.write(bytes([b]))
            time.sleep(0.05)  # the device needs 50 ms after every byte
        time.sleep(0.4)
        reply = port.read(32)
        check = 0
        for b in reply:
            check ^= b
        if len(reply) < 4 or len(reply) != reply[1] + 3 or check != 0:
            print("bad reply:", reply.hex(" "))
        elif reply[1] >= 2:
            print(NAMES[item], "=", int.from_bytes(reply[2:4], "little"))
        elif item == "M":
            print(NAMES[item], "=", chr(reply[2]))
        else:
            print(NAMES[item], "=", reply[2])
    port.close()


if __name__ == "__main__":
    main()
