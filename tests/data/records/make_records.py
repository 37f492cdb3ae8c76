#!/usr/bin/env python3
"""Writes the reader's test records into this directory (run once; the files are checked in)."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = ["Cpuid", "MachineName", "ProcessorCount", "MacAddresses", "BiosSerial", "MotherboardSerial"]


def record(cpuid, name, count, macs, bios, board):
    values = [cpuid, name, count, macs, bios, board]
    body = b"".join(b"<%s>%s</%s>" % (k.encode(), v, k.encode()) for k, v in zip(KEYS, values))
    return b"<Node>" + body + b"</Node>"


def macs(*addresses):
    return b"".join(b"<M%d>%s</M%d>" % (i, a.encode(), i) for i, a in enumerate(addresses))


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


# As each build writes them.
linux = record(b"178BFBFFA20F128450", b"build-01", b"32",
               macs("3C:EC:EF:12:34:56", "02:42:AC:11:00:02"), b"PF3ABCDE", b"L1HF2AB03CD")
write("linux-build.rec", linux)
windows = record(b"BFEBFBFFC06F252994", b"DESKTOP-7Q2M4K1", b"8",
                 macs("A4:BB:6D:12:34:56", "00:15:5D:E0:01:02"), b"CZC1234XYZ", b"MB-12345\n")
write("windows-build-crlf.rec", windows.replace(b"\n", b"\r\n"))
write("readme-example.rec",
      b"<Node><Cpuid>178BFBFFB00F21513</Cpuid><MachineName>vm</MachineName>"
      b"<ProcessorCount>2</ProcessorCount><MacAddresses><M0>4A:77:50:68:E4:CA</M0>"
      b"<M1>9A:89:E5:6B:BE:29</M1></MacAddresses><BiosSerial>not found</BiosSerial>"
      b"<MotherboardSerial>not found</MotherboardSerial></Node>")
write("wine.rec", record(b"178BFBFFA20F128450", b"WINEHOST", b"4", macs("52:54:00:12:34:56"),
                         b"None", b"0"))

# Re-saved by an editor.
umlaut = record(b"178BFBFFA20F128450", "Müller-PC".encode("latin-1"), b"4",
                macs("3C:EC:EF:12:34:56"), b"PF3ABCDE", b"L1HF2AB03CD")
text = umlaut.decode("latin-1")
write("utf8-bom.rec", b"\xEF\xBB\xBF" + text.encode("utf-8"))
write("utf16le-bom.rec", b"\xFF\xFE" + text.encode("utf-16-le"))
write("utf16be-bom.rec", b"\xFE\xFF" + text.encode("utf-16-be"))
write("utf8-above-ff.rec", b"\xEF\xBB\xBF" + text.replace("ü", "€").encode("utf-8"))
write("trailing-newline.rec", linux + b"\n")

# Values the tags do not escape.
write("name-odd-bytes.rec", record(b"178BFBFFA20F128450", b"R&D<lab>\xC4\xFF", b"4",
                                  macs("3C:EC:EF:12:34:56"), b"PF3ABCDE", b"L1HF2AB03CD"))
write("name-holds-separator.rec",
      record(b"178BFBFFA20F128450", b"pc</MachineName><ProcessorCount>4", b"8",
             macs("3C:EC:EF:12:34:56"), b"PF3ABCDE", b"L1HF2AB03CD"))
write("ambiguous-name.rec",
      record(b"178BFBFFA20F128450",
             b"pc</MachineName><ProcessorCount>2</ProcessorCount><MacAddresses>"
             b"</MacAddresses><BiosSerial>q", b"8",
             macs("3C:EC:EF:12:34:56"), b"PF3ABCDE", b"L1HF2AB03CD"))

# The writer's 511-byte cut: 18 whole sub-elements (484 bytes), then "<M18>",
# the address and "</M18", the final ">" gone.
many = macs(*["3C:EC:EF:12:34:%02X" % i for i in range(20)])[:511]
assert len(many) == 511 and many.endswith(b"</M18")
write("adapters-19-cut.rec", record(b"178BFBFFA20F128450", b"rack-07", b"64", many,
                                    b"PF3ABCDE", b"L1HF2AB03CD"))

# Malformed.
write("truncated.rec", linux[:150])
write("index-out-of-sequence.rec",
      linux.replace(b"<M1>02:42:AC:11:00:02</M1>", b"<M2>02:42:AC:11:00:02</M2>"))
write("empty-values.rec", record(b"", b"", b"", b"", b"", b""))

# What decoding warns about.
write("placeholder-serials.rec",
      record(b"178BFBFFA20F128450", b"build-02", b"16", macs("3C:EC:EF:12:34:57"),
             b"To be filled by O.E.M.", b"  DEFAULT STRING "))
write("virtual-adapters.rec",
      record(b"178BFBFFA20F128450", b"guest", b"2",
             macs("00:0C:29:AA:BB:CC", "08:00:27:AA:BB:CC", "00:15:5D:AA:BB:CC",
                  "01:00:5E:00:00:FB", "00:00:00:00:00:00"),
             b"VMware-56 4d", b""))
write("cpuid-absent.rec", record(b"000", b"old", b"1", b"", b"not found", b"not found"))
write("count-overflow.rec", record(b"178BFBFFA20F128450", b"big", b"18446744073709551616",
                                   macs("3C:EC:EF:12:34:56"), b"PF3ABCDE", b"L1HF2AB03CD"))
