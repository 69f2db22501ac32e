#!/usr/bin/env python3
"""Tests of the benchmark's IPv6 tools, which need no tenvik --ipv6.

    bench/selftest6.py [BENCH_TOOL]     (default build-bench/bench/bench_tool)

- bench_tool meaning --ipv6 against a slow model here (every interval
  between block boundaries, each looked up by a linear scan) on random
  permit/deny lists written in every notation;
- its --output check: correct first-match lists are accepted, mutated ones
  are judged as the model judges them, and entries not in tenvik's form are
  refused;
- convert --ipv6 against ipaddress.summarize_address_range;
- the two peers, collapse6.py and cidrlite6.pl (skipped without
  Net::CIDR::Lite), against each other and the model on generated lists;
- the generator: the same seed gives the same list.
Ends with "N passed, N failed"; exits 1 on a failure. SEED in the
environment picks other random lists.
"""

import ipaddress
import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    HERE, "..", "build-bench", "bench", "bench_tool")
ALL = (1 << 128) - 1
SEED = int(os.environ.get("SEED", "1"))
passed = failed = 0
work = tempfile.mkdtemp(prefix="selftest6-")


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL: {what}")


def write(name, text):
    path = os.path.join(work, name)
    with open(path, "w", encoding="ascii") as f:
        f.write(text)
    return path


def tool(*args):
    """(status, standard output) of a bench_tool run."""
    run = subprocess.run([TOOL, *args], capture_output=True, text=True,
                         check=False)
    return run.returncode, run.stdout


def meaning(path, *options):
    return tool("meaning", "--ipv6", *options, path)


def parse_ranges(text):
    out = []
    for line in text.splitlines():
        first, last = line.split("-")
        out.append((int(ipaddress.IPv6Address(first)),
                    int(ipaddress.IPv6Address(last))))
    return out


def host(length):
    return ALL >> length if length < 128 else 0


def model(blocks, first_match=False):
    """Permitted ranges of (start, len, permit) blocks in line order: the
    longest match decides, the later of equal blocks; or, for an output,
    the first line that matches."""
    cuts = {0}
    for start, length, _ in blocks:
        cuts.add(start)
        cuts.add(start + host(length) + 1)
    cuts = sorted(c for c in cuts if c <= ALL)
    ranges = []
    for k, point in enumerate(cuts):
        best = None
        for order, (start, length, permit) in enumerate(blocks):
            if start <= point <= start + host(length):
                key = (-order,) if first_match else (length, order)
                if best is None or key > best[0]:
                    best = (key, permit)
        if best and best[1]:
            end = cuts[k + 1] - 1 if k + 1 < len(cuts) else ALL
            if ranges and ranges[-1][1] + 1 == point:
                ranges[-1] = (ranges[-1][0], end)
            else:
                ranges.append((point, end))
    return ranges


def spelled(address, rnd):
    """One of the ways to write an address that inet_pton reads."""
    a = ipaddress.IPv6Address(address)
    return rnd.choice([str(a), a.exploded, str(a).upper(),
                       a.exploded.replace(":0000:", ":0:")])


def random_list(rnd):
    """Text of a random list and the blocks it means, in line order."""
    seeds = [0x20010DB8 << 96 | rnd.getrandbits(96) for _ in range(4)]
    seeds += [ALL, 0]
    lines, blocks = [], []
    for _ in range(rnd.randint(1, 25)):
        permit = rnd.random() < 0.6
        word = rnd.choice(["permit ", "+", "pass\t", "Y "] if permit else
                          ["deny ", "-", "deny-all ", "block "])
        if permit and rnd.random() < 0.3:
            word = ""
        a = rnd.choice(seeds) ^ rnd.getrandbits(rnd.choice([0, 8, 40, 90]))
        kind = rnd.random()
        if kind < 0.45:
            length = rnd.choice([0, 1, 32, 33, 48, 64, 100, 127, 128,
                                 rnd.randint(0, 128)])
            tail = rnd.choice(["", " office", "\t# note"])
            lines.append(f"{word}{spelled(a, rnd)}/{length}{tail}")
            blocks.append((a & ~host(length), length, permit))
        elif kind < 0.7:
            b = min(ALL, a + rnd.getrandbits(rnd.choice([3, 20, 70])))
            if rnd.random() < 0.1:
                b = ALL
            lines.append(f"{word}{spelled(a, rnd)}{rnd.choice(['-', ' - '])}"
                         f"{spelled(b, rnd)}")
            first = ipaddress.IPv6Address(a)
            last = ipaddress.IPv6Address(b)
            for net in ipaddress.summarize_address_range(first, last):
                blocks.append((int(net.network_address), net.prefixlen,
                               permit))
        elif kind < 0.85:
            length = rnd.randint(1, 128)
            netmask = ALL ^ host(length)
            if a == 0 and length == 128:
                continue  # refused by the model, tested apart
            mask = netmask if rnd.random() < 0.5 else host(length)
            lines.append(f"{word}{spelled(a, rnd)} {spelled(mask, rnd)}")
            blocks.append((a & netmask, length, permit))
        else:
            lines.append(f"{word}{spelled(a, rnd)}")
            blocks.append((a, 128, permit))
        if rnd.random() < 0.1:
            lines.append(rnd.choice(["10.0.0.0/8", "deny 10.1.2.3",
                                     "# a comment", "", "* dump"]))
    return "\n".join(lines) + "\n", blocks


def entries_text(entries, word=True):
    out = []
    for start, length, permit in entries:
        head = ("permit " if permit else "deny   ") if word else ""
        out.append(f"{head}{ipaddress.IPv6Address(start)}/{length}")
    return "\n".join(out) + "\n"


def first_match_list(blocks):
    """A correct first-match list of the blocks: the more specific first,
    the later line's state for equal blocks, then the catch-all."""
    state = {}
    for start, length, permit in blocks:
        state[(start, length)] = permit
    ordered = sorted(state, key=lambda b: (-b[1], b[0]))
    return [(s, n, state[(s, n)]) for s, n in ordered] + [(0, 0, False)]


def mutate(entries, rnd):
    e = list(entries)
    i, j = rnd.randrange(len(e)), rnd.randrange(len(e))
    how = rnd.randrange(5)
    if how == 4:  # the same block again, with the other state
        e.insert(j, (e[i][0], e[i][1], not e[i][2]))
    elif how == 0:
        e[i], e[j] = e[j], e[i]
    elif how == 1:
        e[i] = (e[i][0], e[i][1], not e[i][2])
    elif how == 2 and len(e) > 1:
        del e[i]
    else:
        length = max(0, min(128, e[i][1] + rnd.choice([-1, 1])))
        e[i] = (e[i][0] & ~host(length), length, e[i][2])
    return e


def test_model(rnd):
    differed = 0
    for case in range(300):
        text, blocks = random_list(rnd)
        status, out = meaning(write("list.txt", text))
        want = model(blocks)
        if status != 0 or parse_ranges(out) != want:
            check(False, f"meaning of random list {case} (SEED={SEED}):\n"
                  f"{text}got {out!r} (status {status}), want {want}")
            continue
        check(True, "")
        entries = first_match_list(blocks)
        status, got = meaning(write("out.txt", entries_text(entries)),
                              "--output")
        check(status == 0 and got == out,
              f"--output refuses a correct list for list {case}")
        positive = [(int(n.network_address), n.prefixlen, True)
                    for first, last in want
                    for n in ipaddress.summarize_address_range(
                        ipaddress.IPv6Address(first),
                        ipaddress.IPv6Address(last))]
        rnd.shuffle(positive)
        status, got = meaning(write("pos.txt", entries_text(positive, False)),
                              "--output", "--flat")
        check(status == 0 and got == out,
              f"--output --flat refuses a correct positive list, {case}")
        for _ in range(3):
            wrong = mutate(entries, rnd)
            same = model(wrong, first_match=True) == want
            differed += not same
            status, got = meaning(write("mut.txt", entries_text(wrong)),
                                  "--output")
            check(status == 0 and (got == out) == same,
                  f"mutated output of list {case}: model says "
                  f"{'same' if same else 'differs'}, bench_tool "
                  f"{'same' if got == out else 'differs'}:\n"
                  f"{entries_text(wrong)}")
    check(differed > 300, f"only {differed} mutations changed the meaning")


def test_output_form():
    """Entries as tenvik writes them, and texts it never writes."""
    rows = [  # (text given, canonical text)
        ("2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"),
        ("2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"),
        ("2001:0:0:1:0:0:0:1", "2001:0:0:1::1"),
        ("2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"),
        ("::ffff:10.1.2.3", "::ffff:a01:203"),
        ("0:0:0:0:0:0:0:0", "::"),
        ("1:0:0:0:0:0:0:0", "1::"),
        ("0:0:0:0:0:0:0:1", "::1"),
        ("1:0:1:0:1:0:1:0", "1:0:1:0:1:0:1:0"),
        ("1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"),
    ]
    for given, canonical in rows:
        status, _ = meaning(write("c.txt", f"permit {canonical}/128\n"),
                            "--output")
        check(status == 0, f"--output refuses canonical {canonical}")
        if given != canonical:
            status, _ = meaning(write("c.txt", f"permit {given}/128\n"),
                                "--output")
            check(status == 1, f"--output takes non-canonical {given}")
    rnd = random.Random(SEED)
    for _ in range(200):  # zero groups of every run length and position
        groups = [0 if rnd.random() < 0.5 else rnd.getrandbits(16)
                  for _ in range(8)]
        a = ipaddress.IPv6Address(sum(g << (112 - 16 * i)
                                      for i, g in enumerate(groups)))
        if a.ipv4_mapped:
            continue  # newer Pythons write these with a dotted tail
        status, _ = meaning(write("c.txt", f"deny   {a}/128\n"), "--output")
        check(status == 0, f"--output refuses {a}, Python's canonical text")
    refused = ["permit 2001:db8::1/64", "permit 2001:db8::", "permit 10.0.0.0/8",
               "permit 2001:db8::/32 office", "permit  all 2001:db8::/32",
               "permit 2001:db8::/129", "permit 2001:DB8::/32"]
    for line in refused:
        status, _ = meaning(write("c.txt", line + "\n"), "--output")
        check(status == 1, f"--output takes {line!r}")
    status, _ = meaning(write("c.txt", "2001:db8::/32\n2001:db8:1::/48\n"),
                        "--output", "--flat")
    check(status == 1, "--flat takes nested blocks")
    for line in ["2001:db8::1g", "2001:db8::/-1", "2001:db8::/200",
                 "2001:db8::9 - 2001:db8::1", "2001:db8::1 2001:db8::2",
                 ":: ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"]:
        status, _ = meaning(write("c.txt", line + "\n"))
        check(status == 2, f"the model claims to model {line!r}")


def test_convert(rnd):
    starts = sorted({rnd.getrandbits(128) for _ in range(60)} | {0})
    ranges = [(a, min(ALL, a + rnd.getrandbits(rnd.choice([0, 16, 80]))))
              for a in starts]
    ranges.append((ALL - 5, ALL))
    text = "# start,end,country\n1.0.0.0,1.0.0.255,AU\n" + "".join(
        f"{ipaddress.IPv6Address(a)},{ipaddress.IPv6Address(b)},ZZ\n"
        for a, b in ranges)
    csv = write("db.csv", text)
    num = write("db-num.csv", "".join(f"{a},{b},ZZ\n" for a, b in ranges))
    want = [n for a, b in ranges for n in ipaddress.summarize_address_range(
        ipaddress.IPv6Address(a), ipaddress.IPv6Address(b))]
    for source in (csv, num):
        status, out = tool("convert", "--ipv6", "prefixes", source)
        check(status == 0 and out.split() == [str(n) for n in want],
              f"convert --ipv6 prefixes {os.path.basename(source)}")
        status, out = tool("convert", "--ipv6", "ranges", source)
        check(status == 0 and out.splitlines() == [
            f"{ipaddress.IPv6Address(a)} - {ipaddress.IPv6Address(b)}"
            for a, b in ranges], f"convert --ipv6 ranges {source}")
    return write("db-ranges.v6.txt", out)


def test_peers(ranges_list):
    have_perl = subprocess.run(["perl", "-MNet::CIDR::Lite", "-e1"],
                               capture_output=True, check=False).returncode == 0
    if not have_perl:
        print("note: no Net::CIDR::Lite (libnet-cidr-lite-perl): its "
              "peer is not tested")
    lists = [ranges_list]
    for kind, lines in (("prefixes", 20000), ("hosts", 3000), ("nets", 3000)):
        status, text = tool("generate", "--ipv6", kind, str(lines), str(SEED))
        again = tool("generate", "--ipv6", kind, str(lines), str(SEED))[1]
        check(status == 0 and text == again and len(text.splitlines()) == lines,
              f"generate --ipv6 {kind}: not {lines} lines, or not repeatable")
        lists.append(write(f"{kind}.v6.txt", text))
    for path in lists:
        status, want = meaning(path)
        peers = [[sys.executable, os.path.join(HERE, "collapse6.py")]]
        if have_perl:
            peers.append(["perl", os.path.join(HERE, "cidrlite6.pl")])
        for peer in peers:
            run = subprocess.run([*peer, path], capture_output=True, text=True,
                                 check=False)
            got_status, got = meaning(write("peer.txt", run.stdout), "--flat")
            check(run.returncode == 0 and got_status == 0 and got == want,
                  f"{os.path.basename(peer[-1])} on {os.path.basename(path)}")


def main():
    rnd = random.Random(SEED)
    test_output_form()
    test_model(rnd)
    test_peers(test_convert(rnd))
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
