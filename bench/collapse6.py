#!/usr/bin/env python3
"""Peer of tenvik --ipv6 -p in the benchmark: Python's ipaddress module.

    bench/collapse6.py LIST

Reads a list of bare IPv6 blocks, one per line: ADDR/LEN, A - B or a
lone address (a /128); '#' starts a comment. Prints the permitted
addresses as the fewest disjoint CIDR blocks, ascending, one per line.
"""

import ipaddress
import sys


def networks(lines):
    for number, line in enumerate(lines, 1):
        text = line.split("#", 1)[0].strip()
        if not text:
            continue
        try:
            if "-" in text:
                first, last = (part.strip() for part in text.split("-", 1))
                yield from ipaddress.summarize_address_range(
                    ipaddress.IPv6Address(first), ipaddress.IPv6Address(last))
            else:
                # As in tenvik, only the top LEN bits of ADDR count.
                yield ipaddress.IPv6Network(text, strict=False)
        except ValueError as error:
            sys.exit(f"collapse6.py: line {number}: {error}")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: collapse6.py LIST")
    with open(sys.argv[1], encoding="ascii") as lines:
        blocks = ipaddress.collapse_addresses(networks(lines))
        sys.stdout.writelines(f"{block}\n" for block in blocks)


if __name__ == "__main__":
    main()
