#!/usr/bin/env python3
"""Writes the input of the end-to-end case 60-binary-bytes.

Random bytes of every value except the decimal digits and "*", so that no
random line can name a block or ask for a dump, with lines of known meaning
mixed in that carry NUL, control and high bytes. The seed is fixed: running
this again gives the same bytes.

    python3 fuzz/make_binary_input.py > tests/cases/60-binary-bytes/input
"""
import random
import sys

rng = random.Random(20261208)
alphabet = bytes(b for b in range(256) if not (0x30 <= b <= 0x39 or b == 0x2A))


def noise(n):
    return bytes(rng.choice(alphabet) for _ in range(n))


known = [
    b"permit 10.0.0.0/8\x00 deny 10.0.0.0/8",  # NUL ends the text
    b"\x00permit 11.0.0.0/8",  # NUL first: an empty line
    b"\xffpermit 10.1.0.0/16",  # a byte above 127 as modifier denies
    b"+\x01\x02\x7f 172.16.0.0 255.240.0.0",  # control bytes in the word
    b"y\x00 192.168.0.0/16",  # no digit before the NUL
    b"p\t\x0b\x0c 10.1.2.0\x00/8",  # a bare address: /24
    b"permit 192.0.2.0 - 192.0.2.255 \xc3\xa9\x80\r",
]
data = noise(2048) + b"\n" + b"\n".join(known) + b"\n" + noise(1024)
# The last line has no newline.
data += b"\ndeny 10.1.2.128/25\x00\xff"
sys.stdout.buffer.write(data)
