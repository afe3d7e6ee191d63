#!/usr/bin/python3
"""Decoder for the Oxlo serializer's TLV encoding, written apart from the
library so that tests can check what the library emits.

Layout: two header bytes (version 1, format 1), then items. An item is a type
byte whose high nibble is the key's type code and whose low nibble is the
value's, then the key, then the value. Integers are big-endian, floats are
IEEE-754 single in little-endian (host) order, strings carry a 16-bit
big-endian length.

API:
    iter_items(data, header=True) -> Item tuples, one per item
    decode(data, header=True, raw=False) -> list of records; a record is a
        list of (key, value) pairs, a block an (name, Block) pair holding its
        own pairs, a list a (name, list of values) pair
    to_plain(records) -> the same as dicts/lists with text keys, ready for
        comparison with JSON parsed by the json module
    TLVError for anything malformed or truncated

CLI: tlv_decode.py [--items] [--no-header] FILE|-   prints one JSON line per
record (or per item with --items); non-UTF-8 bytes are shown as \\ufffd.
"""
import json
import struct
import sys
from collections import namedtuple

NONE, END_OF_RECORD = 0, 1
UINT8, UINT16, UINT32, UINT64 = 2, 3, 4, 5
INT8, INT16, INT32, INT64 = 6, 7, 8, 9
FLOAT, STRING = 10, 11
BLOCK_START, BLOCK_END, LIST_START, LIST_END = 12, 13, 14, 15

_FIXED = {UINT8: ('>B', 1), UINT16: ('>H', 2), UINT32: ('>I', 4), UINT64: ('>Q', 8),
          INT8: ('>b', 1), INT16: ('>h', 2), INT32: ('>i', 4), INT64: ('>q', 8),
          FLOAT: ('<f', 4)}
_LENGTH_PREFIXED = (STRING, BLOCK_START, LIST_START)

Item = namedtuple('Item', 'offset key_type key value_type value')


class TLVError(ValueError):
    pass


class Block(list):
    """The (key, value) pairs of a named block."""


def _part(data, pos, code, what):
    if code in _LENGTH_PREFIXED:
        if pos + 2 > len(data):
            raise TLVError('%s length at %d runs past the end' % (what, pos))
        (n,) = struct.unpack_from('>H', data, pos)
        pos += 2
        if pos + n > len(data):
            raise TLVError('%s of %d bytes at %d runs past the end' % (what, n, pos))
        return bytes(data[pos:pos + n]), pos + n
    if code in _FIXED:
        fmt, n = _FIXED[code]
        if pos + n > len(data):
            raise TLVError('%s of %d bytes at %d runs past the end' % (what, n, pos))
        return struct.unpack_from(fmt, data, pos)[0], pos + n
    return None, pos


def iter_items(data, header=True):
    data = bytes(data)
    pos = 0
    if header:
        if len(data) < 2:
            raise TLVError('shorter than the two header bytes')
        if data[0] != 1:
            raise TLVError('version %d, expected 1' % data[0])
        pos = 2
    while pos < len(data):
        start = pos
        type_byte = data[pos]
        kcode, vcode = type_byte >> 4, type_byte & 0x0F
        key, pos = _part(data, pos + 1, kcode, 'key')
        value, pos = _part(data, pos, vcode, 'value')
        if vcode == NONE:
            raise TLVError('item at %d has no value type (type byte 0x%02x)' % (start, type_byte))
        yield Item(start, kcode, key, vcode, value)


def _text(b, raw):
    return b if raw else b.decode('utf-8', 'surrogateescape')


def decode(data, header=True, raw=False):
    """Records as lists of (key, value) pairs; numeric keys are ints, text
    keys and texts are str (undecodable bytes kept as surrogate escapes) or
    bytes with raw=True."""
    records = []
    stack = [[]]          # open containers, the record at the bottom
    in_list = False
    for it in iter_items(data, header):
        top = stack[-1]
        if it.value_type == END_OF_RECORD:
            if len(stack) != 1:
                raise TLVError('record ends inside a block or list at %d' % it.offset)
            records.append(top)
            stack = [[]]
            continue
        if it.value_type in (BLOCK_START, LIST_START):
            if in_list:
                raise TLVError('block or list inside a list at %d' % it.offset)
            child = Block() if it.value_type == BLOCK_START else []
            top.append((_text(it.value, raw), child))
            stack.append(child)
            in_list = it.value_type == LIST_START
            continue
        if it.value_type in (BLOCK_END, LIST_END):
            want_list = it.value_type == LIST_END
            if len(stack) == 1 or in_list != want_list:
                raise TLVError('unbalanced %s end at %d' % ('list' if want_list else 'block', it.offset))
            stack.pop()
            in_list = False
            continue
        if it.key_type in (UINT8, UINT16, UINT32):
            key = it.key
        elif it.key_type == STRING:
            key = _text(it.key, raw)
        else:
            raise TLVError('key type %d at %d' % (it.key_type, it.offset))
        value = _text(it.value, raw) if it.value_type == STRING else it.value
        top.append(value if in_list else (key, value))
    if len(stack) != 1:
        raise TLVError('buffer ends inside a block or list')
    if stack[0]:
        records.append(stack[0])  # a last record left open
    return records


def _plain_pairs(pairs):
    out = {}
    for key, value in pairs:
        out[str(key)] = _plain_value(value)
    return out


def _plain_value(value):
    if isinstance(value, Block):
        return _plain_pairs(value)
    if isinstance(value, list):
        return [_plain_value(v) for v in value]
    return value


def to_plain(records):
    """Records as dicts with text keys (later duplicates win), as a JSON
    parser would give them."""
    return [_plain_pairs(r) for r in records]


def _printable(value):
    if isinstance(value, str):
        return value.encode('utf-8', 'surrogateescape').decode('utf-8', 'replace')
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    if isinstance(value, dict):
        return {_printable(k): _printable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_printable(v) for v in value]
    return value


def main(argv):
    args = [a for a in argv[1:] if not a.startswith('--')]
    opts = [a for a in argv[1:] if a.startswith('--')]
    if len(args) != 1 or any(o not in ('--items', '--no-header') for o in opts):
        sys.stderr.write('usage: tlv_decode.py [--items] [--no-header] FILE|-\n')
        return 2
    data = sys.stdin.buffer.read() if args[0] == '-' else open(args[0], 'rb').read()
    header = '--no-header' not in opts
    try:
        if '--items' in opts:
            for it in iter_items(data, header):
                print(json.dumps(_printable(it._asdict()), ensure_ascii=False))
        else:
            for rec in to_plain(decode(data, header)):
                print(json.dumps(_printable(rec), ensure_ascii=False))
    except TLVError as e:
        sys.stderr.write('tlv_decode: %s\n' % e)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
