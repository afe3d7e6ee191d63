#!/usr/bin/python3
"""Reference CRCs for the CRC tests, from crcmod's predefined catalogue.
Usage: INPUT_FILE, one buffer a line in hex (an empty line is an empty
buffer); prints per buffer: kermit ccitt-false xmodem x-25 crc-32 in hex."""
import sys

import crcmod.predefined

NAMES = ["kermit", "crc-ccitt-false", "xmodem", "x-25", "crc-32"]


def main():
    funcs = [crcmod.predefined.mkCrcFun(n) for n in NAMES]
    with open(sys.argv[1]) as f:
        for line in f:
            data = bytes.fromhex(line.strip())
            print(" ".join("%x" % fn(data) for fn in funcs))


main()
