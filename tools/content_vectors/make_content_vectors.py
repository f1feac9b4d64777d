#!/usr/bin/env python3
# Writes tests/download/content_decoder_vectors.h: bodies encoded by Python's
# zlib and gzip (a peer of CContentDecoder, never in the program), each
# with the bytes it decodes to, for the decoder's tests and the fuzzer's corpus.
# The header comes out as clang-format writes it, so scripts/check-format holds.
# usage: tools/content_vectors/make_content_vectors.py
import gzip
import hashlib
import os
import random
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT = os.path.join(ROOT, "tests", "download", "content_decoder_vectors.h")


def text(size, seed):
    # Words from a small vocabulary in an order a fixed LCG picks: repeats
    # near and far, so that a dynamic block has literals and matches.
    words = ("file list package worker window digest partial bytes body member block "
             "stored fixed dynamic length distance literal code table header trailer").split()
    state = seed
    out = []
    total = 0
    while total < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        word = words[state % len(words)]
        if state & 0x300 == 0:
            word += ".\n"
        out.append(word)
        total += len(word) + 1
    return (" ".join(out)).encode()[:size]


def noise(size, seed):
    state = seed
    out = bytearray()
    for _ in range(size):
        state = (state * 6364136223846793005 + 1442695040888963407) & 0xFFFFFFFFFFFFFFFF
        out.append(state >> 56)
    return bytes(out)


def raw(data, level=9, flush=zlib.Z_FINISH):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush(flush)


def block_type(deflate):
    return (deflate[0] >> 1) & 3


SHORT = b"RadeVare decodes this body piece by piece as it arrives."
TEXT = text(3000, 7)
NOISE = noise(1200, 3)

vectors = []


def add(name, fmt, encoded, plain, about):
    vectors.append((name, fmt, encoded, plain, about))


def gz(data, level=9):
    return gzip.compress(data, compresslevel=level, mtime=0)


assert block_type(raw(SHORT)) == 1
assert block_type(raw(TEXT)) == 2
assert block_type(raw(NOISE, 0)) == 0
add("kGzipEmpty", "FORMAT_GZIP", gz(b""), b"", "gzip of nothing")
add("kGzipFixed", "FORMAT_GZIP", gz(SHORT), SHORT, "one fixed-Huffman block")
add("kGzipDynamic", "FORMAT_GZIP", gz(TEXT), TEXT, "one dynamic-Huffman block")
add("kGzipStored", "FORMAT_GZIP", gz(NOISE, 0), NOISE, "one stored block")
add("kGzipMembers", "FORMAT_GZIP", gz(SHORT) + gz(TEXT[:700]) + gz(b""), SHORT + TEXT[:700],
    "three members, the last one empty, as gzip -c a b c makes")

# Every optional field: FTEXT, FHCRC, FEXTRA (two subfields), FNAME, FCOMMENT.
extra = b"RV" + struct.pack("<H", 3) + b"abc" + b"Zz" + struct.pack("<H", 0)
header = b"\x1f\x8b\x08" + bytes([0x1F]) + struct.pack("<I", 1700000000) + b"\x02\x0b"
header += struct.pack("<H", len(extra)) + extra + b"body.txt\x00" + b"a comment\x00"
header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
fields = header + raw(SHORT) + struct.pack("<II", zlib.crc32(SHORT), len(SHORT))
add("kGzipFields", "FORMAT_GZIP", fields, SHORT, "FTEXT, FHCRC, FEXTRA, FNAME and FCOMMENT")

add("kZlibDynamic", "FORMAT_DEFLATE", zlib.compress(TEXT, 9), TEXT, "zlib-wrapped, dynamic")
add("kZlibFixed", "FORMAT_DEFLATE", zlib.compress(SHORT, 1), SHORT, "zlib-wrapped, fixed, header 78 01")
add("kZlibEmpty", "FORMAT_DEFLATE", zlib.compress(b""), b"", "zlib of nothing")
# A sync flush ends a dynamic block with an empty stored one; the blocks
# after it reach back across both.
c = zlib.compressobj(6, zlib.DEFLATED, 15)
sync = c.compress(TEXT[:1500]) + c.flush(zlib.Z_SYNC_FLUSH) + c.compress(TEXT[1500:]) + c.flush()
add("kZlibSync", "FORMAT_DEFLATE", sync, TEXT, "zlib, blocks around a sync flush's empty stored block")
add("kRawDynamic", "FORMAT_DEFLATE", raw(TEXT), TEXT, "raw deflate, dynamic")
add("kRawFixed", "FORMAT_DEFLATE", raw(SHORT), SHORT, "raw deflate, fixed")
add("kRawStored", "FORMAT_DEFLATE", raw(NOISE, 0), NOISE, "raw deflate, stored")

# Bodies that decode to more than a test source should hold, checked by
# their size and MD5.
digest_vectors = []


def add_digest(name, fmt, encoded, plain, about):
    digest_vectors.append((name, fmt, encoded, plain, about))


# Seventeen letters with Fibonacci frequencies: a Huffman code that deep
# is cut to 15 bits, past a table's root bits.
fib = [1, 1]
while len(fib) < 17:
    fib.append(fib[-1] + fib[-2])
letters = bytearray(b"".join(bytes([97 + i]) * n for i, n in enumerate(fib)))
random.Random(5).shuffle(letters)
add_digest("kGzipDeep", "FORMAT_GZIP", gz(bytes(letters)), bytes(letters), "literal codes of up to 15 bits")
# A match at distance 31500, then zeros across the window's end and a match
# whose source is the window's previous round.
far_noise = noise(500, 11)
far = far_noise + bytes(31000) + far_noise + bytes(2000) + far_noise
add_digest("kGzipFar", "FORMAT_GZIP", gz(far), far, "distances of 31500 and matches across the window's end")
# A stored block that runs across the window's end.
c = zlib.compressobj(9, zlib.DEFLATED, -15)
wrap_noise = noise(1500, 13)
stored_wrap = c.compress(bytes(32000)) + c.flush(zlib.Z_SYNC_FLUSH) + c.compress(wrap_noise) + c.flush()
assert block_type(stored_wrap[stored_wrap.index(b"\x00\x00\xff\xff") + 4:]) == 0
add_digest("kRawStoredWrap", "FORMAT_DEFLATE", stored_wrap, bytes(32000) + wrap_noise,
           "a stored block across the window's end")
runs = b"a" * 2000000
add_digest("kZlibRuns", "FORMAT_DEFLATE", zlib.compress(runs, 9), runs, "2 MB of one byte")

# Raw deflate that ends in a full flush and has no final block: it refers to
# nothing before it, so copies of it one after another, then a final block,
# make one stream of its text repeated.
segment = raw(TEXT, 9, zlib.Z_FULL_FLUSH)
assert len(segment) > 5 and segment[-4:] == b"\x00\x00\xff\xff"
SEGMENT_REPEATS = 2800
repeated = TEXT * SEGMENT_REPEATS

# A member of more than 4 GiB: one "a", then matches of 258 at distance 1.
HUGE_MATCHES = 2**32 // 258 + 1
huge_size = 1 + 258 * HUGE_MATCHES
huge_crc = 0
chunk = b"a" * (258 * 2**18)
left = huge_size
while left > 0:
    piece = chunk if left >= len(chunk) else chunk[:left]
    huge_crc = zlib.crc32(piece, huge_crc)
    left -= len(piece)


def literal(data):
    lines = []
    for at in range(0, len(data), 28):
        lines.append('    "' + "".join("\\x%02x" % b for b in data[at:at + 28]) + '"')
    return "\n".join(lines) if lines else '    ""'


def text_literal(data):
    lines = []
    line = ""
    for b in data:
        ch = chr(b)
        piece = {"\n": "\\n", '"': '\\"', "\\": "\\\\"}.get(ch, ch)
        if not (32 <= b < 127 or ch == "\n"):
            piece = "\\x%02x" % b
        line += piece
        if len(line) > 100 or ch == "\n":
            lines.append('    "' + line + '"')
            line = ""
    if line:
        lines.append('    "' + line + '"')
    return "\n".join(lines) if lines else '    ""'


def declare(name, body):
    # One line where it fits in the 120 columns of .clang-format, as
    # clang-format would write it.
    one = "constexpr char %s[] = %s;\n" % (name, body.strip())
    return one if "\n" not in body and len(one) <= 121 else "constexpr char %s[] =\n%s;\n" % (name, body)


plains = [(b"", '""'), (SHORT, "kShort"), (TEXT, "kText"), (NOISE, "kNoise"), (SHORT + TEXT[:700], "kMembersPlain")]


def plain_name(plain):
    return next(name for data, name in plains if data == plain)


with open(OUT, "w") as out:
    out.write("#pragma once\n\n")
    out.write("// Written by tools/content_vectors/make_content_vectors.py: bodies that\n")
    out.write("// Python's zlib and gzip encoded, and the bytes each decodes to. The\n")
    out.write("// literals' own terminating zero belongs to none of them.\n\n")
    out.write('#include "download/content_decoder.h"\n\n#include <cstddef>\n\n')
    out.write("namespace content_vectors {\n\n")
    out.write("constexpr char kShort[] = \"%s\";\n" % SHORT.decode())
    out.write(declare("kText", text_literal(TEXT)))
    out.write(declare("kNoise", literal(NOISE)))
    out.write(declare("kMembersPlain", text_literal(SHORT + TEXT[:700])) + "\n")
    for name, fmt, encoded, plain, about in vectors:
        out.write("// %s\n" % about)
        out.write(declare(name, literal(encoded)))
    out.write("\n// Raw deflate of kText ending in a full flush, without a final block: it\n")
    out.write("// refers to nothing before it, so copies of it one after another and then\n")
    out.write("// a final block make one stream of kText repeated.\n")
    out.write(declare("kRawSegment", literal(segment)))
    out.write("// kText %d times: its CRC-32 and MD5.\n" % SEGMENT_REPEATS)
    out.write("constexpr size_t kSegmentRepeats = %d;\n" % SEGMENT_REPEATS)
    out.write("constexpr uint32_t kRepeatedCrc = 0x%08x;\n" % zlib.crc32(repeated))
    out.write('constexpr char kRepeatedMd5[] = "%s";\n' % hashlib.md5(repeated).hexdigest())
    out.write("// \"a\" and then %d matches of 258 bytes at distance 1: %d bytes, past 2^32.\n"
              % (HUGE_MATCHES, huge_size))
    out.write("constexpr uint32_t kHugeMatches = %d;\n" % HUGE_MATCHES)
    out.write("constexpr uint32_t kHugeCrc = 0x%08x;\n\n" % huge_crc)
    out.write("struct Vector {\n    const char* name;\n    CContentDecoder::Format format;\n")
    out.write("    const char* encoded;\n    size_t encodedSize;\n    const char* plain;\n    size_t plainSize;\n};\n\n")
    out.write("// Each a whole body, decoded to its plain bytes.\n")
    out.write("constexpr Vector kVectors[] = {\n")
    for name, fmt, encoded, plain, about in vectors:
        out.write('    {"%s", CContentDecoder::%s, %s, sizeof(%s) - 1, %s, %d},\n'
                  % (name[1:], fmt, name, name, plain_name(plain), len(plain)))
    out.write("};\n\n")
    for name, fmt, encoded, plain, about in digest_vectors:
        out.write("// %s\n" % about)
        out.write(declare(name, literal(encoded)))
    out.write("\nstruct DigestVector {\n    const char* name;\n    CContentDecoder::Format format;\n")
    out.write("    const char* encoded;\n    size_t encodedSize;\n    size_t plainSize;\n    const char* plainMd5;\n};\n\n")
    out.write("// Each a whole body, decoded to bytes of this size and MD5.\n")
    out.write("constexpr DigestVector kDigestVectors[] = {\n")
    for name, fmt, encoded, plain, about in digest_vectors:
        row = '    {"%s", CContentDecoder::%s, %s, sizeof(%s) - 1, %d,' % (name[1:], fmt, name, name, len(plain))
        md5 = '"%s"},\n' % hashlib.md5(plain).hexdigest()
        out.write(row + (" " + md5 if len(row) + 1 + len(md5) <= 121 else "\n     " + md5))
    out.write("};\n\n} // namespace content_vectors\n")
print("wrote", OUT, len(vectors), "vectors,", os.path.getsize(OUT), "bytes")
