#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

The seeds are committed; run this again only to change them. Each seed is
small and shows one shape of input the target must handle.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


# -- datagrams: each framed as a 2-byte big-endian size, then the bytes ------
ID = b"Art-Net\x00"


def art_dmx(universe, length, data=None, version=14):
    data = bytes((i * 7) & 0xFF for i in range(length)) if data is None else data
    return (ID + struct.pack("<H", 0x5000) + struct.pack(">H", version) + b"\x00\x00"
            + struct.pack("<H", universe) + struct.pack(">H", length) + data)


def framed(*datagrams):
    return b"".join(struct.pack(">H", len(d)) + d for d in datagrams)


write("datagram", "artdmx-u3-512", framed(art_dmx(3, 512)))
write("datagram", "artdmx-u16", framed(art_dmx(16, 512)))
write("datagram", "artdmx-u17-and-net1", framed(art_dmx(17, 4), art_dmx(256, 4)))
write("datagram", "artdmx-length-2049", framed(art_dmx(2, 2049, b"\x01" * 2049)))
write("datagram", "artdmx-length-0", framed(art_dmx(1, 0)))
write("datagram", "artdmx-claims-more-than-carried",
      framed(art_dmx(5, 512), art_dmx(5, 512, b"\xaa" * 100)))
write("datagram", "longer-then-shorter", framed(art_dmx(4, 512), art_dmx(4, 100)))
write("datagram", "artdmx-header-cut", framed(art_dmx(6, 512)[:15]))
write("datagram", "ten-byte-artdmx", framed(ID + b"\x00\x50"))
write("datagram", "nine-bytes", framed(ID + b"\x00"))
write("datagram", "artpoll", framed(ID + b"\x00\x20\x00\x0e\x00\x00"))
write("datagram", "other-opcode", framed(ID + b"\x00\x21" + b"\x00" * 20))
write("datagram", "opcode-high-byte-first", framed(ID + b"\x50\x00" + b"\x00" * 8))
write("datagram", "id-lowercase", framed(b"art-net\x00\x00\x50" + b"\x00" * 8))
write("datagram", "oversized", framed(art_dmx(7, 512) + b"\x55" * 8400))

# -- address texts ------------------------------------------------------------
for i, text in enumerate([
        "192.168.0.10", "0.0.0.0", "255.255.255.255", "010.001.000.255", "",
        "192.168.0", "1.2.3.4.5", "1.2.3.4.", "1..2.3.4", ".1.2.3", "256.1.1.1",
        "1.2.3.99999999999", "1.2.3.4 ", "1.2.a.4", " 1.2.3.4", "+1.2.3.4",
        "-0.1.2.3", "-1.2.3.4", "$10.1.2.3", "x100.1.2.3", "a1.2.3.4", "0x1F.2.3.4",
        "10.1", "10.1.2", "167772161", "002.000.000.010", "abc", "4294967296"]):
    write("address", "%02d" % i, text)

# -- settings files -----------------------------------------------------------


def interface(port, dest, kind, isinput, universe, uan, active, count="512"):
    return ('<interface port="%s" destination="%s" interfacetype="%s" isinput="%s" '
            'universe="%s" universeartnet="%s" channelcount="%s" active="%s"/>'
            % (port, dest, kind, isinput, universe, uan, count, active))


def defaults(active="False"):
    slots = [interface("2.0.0.10", "", "Art-Net Node (INPUT)", "True", 0, 0, "False")]
    slots += [interface("192.168.0.10", "192.168.0.30", "Art-Net Server (OUTPUT)", "False",
                        u, u, active) for u in range(16)]
    return slots


def config(slots, before="", extra=""):
    return before + "<config>" + extra + "<interfaces>" + "".join(slots) + "</interfaces></config>"


write("settings", "defaults", config(defaults()))
write("settings", "declaration-and-comment",
      config(defaults("True"), '<?xml version="1.0" encoding="UTF-8"?><!-- kept -->\n',
             '<other a="1"/>'))
slots = defaults()
slots[4] = "<other/>"
write("settings", "other-element-as-slot", config(slots))
slots = defaults()
slots.insert(3, "<!-- a comment counts -->")
write("settings", "eighteen-children", config(slots))
write("settings", "sixteen", config(defaults()[:16]))
write("settings", "odd-values", config(
    [interface("2.0.0.10", "", "Art-Net Node (INPUT)", "1", "-1", "true", "TRUE", "100")]
    + [interface("a&amp;b", "&lt;x&gt;", "", "-0", "+7", "2147483648", "0")] + defaults()[2:]))
write("settings", "missing-attributes", config(['<interface port="1.2.3.4"/>'] + defaults()[1:]))
write("settings", "indented",
      "<config>\n  <interfaces>\n    " + "\n    ".join(defaults()) + "\n  </interfaces>\n</config>\n")
write("settings", "top-level-settings", "<settings><interfaces/></settings>")
write("settings", "truncated", config(defaults())[:700])
write("settings", "latin1",
      config([interface("2.0.0.10", "\xe9", "Art-Net Node (INPUT)", "True", 0, 0, "False")]
             + defaults()[1:], '<?xml version="1.0" encoding="ISO-8859-1"?>').encode("latin-1"))
write("settings", "utf16", ("\ufeff" + config(defaults())).encode("utf-16-le"))
write("settings", "empty", b"")

# -- core: steps of five bytes (opcode, four arguments), see core_fuzz.cpp ----
BIND, DEST, ACTIVE, CONNECT, DISCONNECT, TICK, DATAGRAM, SLOTVALUE = range(8)
# Texts() of core_fuzz.cpp: the fixed texts, then eighteen notations of each address.
EMPTY, BLANK, ANY, BROADCAST, TEST_NET, FULL_WIDTH, ACCENT = 0, 1, 2, 9, 11, 12, 13
PLAIN, ZEROS, HEX_DOLLAR, BLANKS, PLUS, TRAILING_DOT = 0, 1, 3, 8, 10, 12


def text(address, form):
    """address 0-2: 127.0.12.1 to .3, 3: 198.51.100.1."""
    return 16 + address * 18 + form


def step(op, *args):
    return bytes([op] + list(args) + [0] * (4 - len(args)))


def steps(*items):
    return b"".join(items)


def dmx(target, universe, length=0, level=0x55):
    """target 0-3: 127.0.12.1 to .4; length: index into kLengths (0 is 512)."""
    return step(DATAGRAM, target, universe, length, level)


def output(slot, bind, dest):
    return steps(step(BIND, slot, bind), step(DEST, slot, dest), step(ACTIVE, slot, 1))


write("core", "connect-and-receive", steps(step(CONNECT), dmx(0, 3), dmx(0, 16), step(TICK)))
write("core", "outputs-to-the-input",
      steps(output(1, text(1, PLAIN), text(0, PLAIN)), output(2, text(2, PLAIN), text(0, PLAIN)),
            step(CONNECT), dmx(0, 1), step(TICK, 2), step(CONNECT), step(TICK)))
write("core", "input-and-output-share-an-address",
      steps(output(1, text(0, PLAIN), text(0, PLAIN)), step(CONNECT), step(TICK), dmx(0, 0),
            step(DISCONNECT), dmx(0, 0), step(TICK)))
write("core", "bind-not-local",
      steps(step(BIND, 0, TEST_NET), output(3, text(3, PLAIN), text(2, PLAIN)), step(CONNECT),
            step(TICK), step(DISCONNECT), step(CONNECT)))
write("core", "second-input-slot",
      steps(step(SLOTVALUE, 4, 0, 0), step(BIND, 4, text(2, PLAIN)), step(ACTIVE, 4, 1),
            step(CONNECT), dmx(2, 5), dmx(0, 5), step(CONNECT), dmx(2, 6)))
write("core", "universes-out-of-range",
      steps(output(1, text(1, PLAIN), text(2, PLAIN)), step(SLOTVALUE, 1, 1, 6),
            step(SLOTVALUE, 1, 2, 9), output(2, text(1, PLAIN), text(2, PLAIN)),
            step(SLOTVALUE, 2, 1, 9), step(CONNECT), step(TICK, 1)))
write("core", "broadcast-destination",
      steps(output(1, text(1, PLAIN), BROADCAST), step(CONNECT), step(TICK), step(TICK)))
write("core", "bind-texts-that-do-not-convert",
      steps(step(BIND, 0, text(0, HEX_DOLLAR)), step(CONNECT), step(BIND, 0, text(0, TRAILING_DOT)),
            step(CONNECT), step(DISCONNECT)))
write("core", "datagrams-of-every-length",
      steps(step(CONNECT), *[dmx(0, u, n, 0x10 * n) for n, u in enumerate(range(8))],
            dmx(0, 250), dmx(3, 1), dmx(1, 1)))
write("core", "types-without-port", steps(step(SLOTVALUE, 0, 0, 3), step(SLOTVALUE, 1, 0, 2),
                                          step(ACTIVE, 1, 1), step(CONNECT), step(TICK)))

# -- core regressions: inputs that once failed (fuzz/regressions/core/) -------


def regression(name, data):
    folder = os.path.join(HERE, "regressions", "core")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# The pool's key is the address as it reads after binding: the input's Close
# missed the server it had attached to, and the reconnect freed the endpoint.
regression("input-bound-to-empty-text-keeps-its-handler",
           steps(step(BIND, 0, EMPTY), step(CONNECT), step(CONNECT), dmx(3, 1)))
regression("input-bound-with-leading-zeros-keeps-its-handler",
           steps(step(BIND, 0, text(0, ZEROS)), step(CONNECT), step(CONNECT), dmx(0, 1)))
# Destinations that the socket layer's parser did not take went to the
# resolver on every tick.
regression("destination-with-blanks-looked-up-on-the-tick",
           steps(output(1, text(1, PLAIN), text(0, BLANKS)), step(CONNECT), step(TICK)))
regression("destination-in-hex-looked-up-on-the-tick",
           steps(output(1, text(1, PLAIN), text(0, HEX_DOLLAR)), step(CONNECT), step(TICK)))
regression("empty-destination-looked-up-on-the-tick",
           steps(output(1, text(1, PLAIN), EMPTY), step(CONNECT), step(TICK)))
# A status cut at 25 bytes: inside a UTF-8 sequence, or short of 25 characters.
regression("full-width-bind-text-status-cut-inside-a-character",
           steps(step(BIND, 0, FULL_WIDTH), step(CONNECT)))
regression("accented-bind-text-status-cut-short",
           steps(step(BIND, 0, ACCENT), step(CONNECT)))
