#!/usr/bin/python3
"""Checks the library's TLV with the independent decoder, and its JSON with
Python's json module in strict mode. The library writes the files through the
fixture case of its serializer unit test."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tlv_decode  # noqa: E402

BUILD = os.environ.get('VESK_BUILD', os.path.join(os.path.dirname(__file__), '../../build'))
WRITER = os.path.join(BUILD, 'tests', 'oxlo_serializer_test')
DECODER = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'tlv_decode.py')


def reject_constant(name):
    raise ValueError('not JSON: %s' % name)


def strict_json(raw, pairs=False):
    """Parses bytes that must be UTF-8 JSON with no NaN or Infinity."""
    text = raw.decode('utf-8')  # strict: any malformed byte raises
    return json.loads(text, strict=True, parse_constant=reject_constant,
                      object_pairs_hook=list if pairs else None)


def sanitized(raw):
    """What a JSON string may keep of raw bytes: well-formed UTF-8, minus the
    control characters that have no short escape, and minus DEL."""
    keep = '\b\t\n\f\r'
    text = raw.decode('utf-8', 'ignore')
    return ''.join(c for c in text if (c >= ' ' or c in keep) and c != '\x7f')


def expected_key(raw):
    if raw.isdigit() and raw.isascii() and int(raw) <= 0xFFFFFFFF:
        return str(int(raw))
    return sanitized(raw)


class LibraryOutput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        env = dict(os.environ, OXLO_SERIALIZER_FIXTURES=cls.tmp.name)
        run = subprocess.run([WRITER, '--gtest_filter=serializer_fixtures.*'], env=env,
                             capture_output=True, text=True, timeout=120)
        if run.returncode != 0:
            raise AssertionError('fixture writer failed:\n' + run.stdout + run.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def read(self, name):
        with open(os.path.join(self.tmp.name, name), 'rb') as f:
            return f.read()

    def test_typical_tlv_decodes_to_the_written_records(self):
        records = tlv_decode.decode(self.read('typical.tlv'))
        self.assertEqual(len(records), 3)
        first = dict((k, v) for k, v in records[0] if not isinstance(v, list))
        self.assertEqual(first[1], 5)
        self.assertEqual(first[300], 70000)
        self.assertEqual(first[57981], 1 << 40)
        self.assertEqual(first[2], 2 ** 64 - 1)
        self.assertEqual(first[3], -5)
        self.assertEqual(first[4], -70000)
        self.assertEqual(first[5], -2 ** 63)
        self.assertEqual(first[6], 2.5)
        self.assertEqual(first[56], 'AA:BB:CC:00:11:22')
        self.assertEqual(first['name'], 7)
        self.assertEqual(first[123], 8)  # a text key of digits is numeric
        self.assertNotIn('123', first)
        self.assertEqual(first['host'], 'example.org "q" \\ / \u00e9 \U0001F600')
        block = dict(records[0])['oxlo']
        self.assertIsInstance(block, tlv_decode.Block)
        self.assertEqual(block[0], ('proto', 'TLS.Google'))
        self.assertEqual(block[1], ('7', tlv_decode.Block([(1, 65536)])))
        self.assertEqual(block[2], ('ids', [1, -2, 'three']))
        self.assertEqual(records[1], [(1, 6), ('empty', '')])
        self.assertEqual(records[2], [(1, 7)])

    def test_integer_widths_on_the_wire(self):
        items = list(tlv_decode.iter_items(self.read('typical.tlv')))
        widths = {it.key: it.value_type for it in items if it.key_type != tlv_decode.STRING}
        self.assertEqual(widths[1], tlv_decode.UINT8)
        self.assertEqual(widths[300], tlv_decode.UINT32)
        self.assertEqual(widths[57981], tlv_decode.UINT64)
        self.assertEqual(widths[3], tlv_decode.INT8)
        self.assertEqual(widths[4], tlv_decode.INT32)
        self.assertEqual(widths[5], tlv_decode.INT64)
        self.assertEqual(widths[6], tlv_decode.FLOAT)
        key_300 = next(it for it in items if it.key == 300)
        self.assertEqual(self.read('typical.tlv')[key_300.offset:key_300.offset + 7],
                         bytes([0x34, 0x01, 0x2C, 0x00, 0x01, 0x11, 0x70]))

    def test_json_forms_match_the_tlv(self):
        want = tlv_decode.to_plain(tlv_decode.decode(self.read('typical.tlv')))
        self.assertEqual(strict_json(self.read('typical.json')), want)
        lines = [l for l in self.read('typical.jsonl').split(b'\n') if l]
        self.assertEqual([strict_json(l) for l in lines], want)
        # The reader's rewrite of the TLV batch is the JSON written directly.
        self.assertEqual(self.read('typical_from_tlv.json'), self.read('typical.json'))

    def check_hostile_pairs(self, pairs, tlv_record):
        self.assertEqual(len(pairs), len(tlv_record))
        for (key, value), (raw_key, raw_value) in zip(pairs, tlv_record):
            if isinstance(raw_value, tlv_decode.Block):
                self.assertEqual(key, sanitized(raw_key))
                self.assertEqual(value, [(expected_key(k), v) for k, v in raw_value])
            elif isinstance(raw_value, list):
                self.assertEqual(key, sanitized(raw_key))
                self.assertEqual(value, [sanitized(v) for v in raw_value])
            else:
                self.assertEqual(key, raw_key.decode())
                self.assertEqual(value, sanitized(raw_value))

    def test_hostile_bytes_give_strict_json(self):
        (record,) = tlv_decode.decode(self.read('hostile.tlv'), raw=True)
        # The TLV keeps every byte as written.
        self.assertEqual(record[0][1], bytes(range(256)))
        self.check_hostile_pairs(strict_json(self.read('hostile.json'), pairs=True), record)
        lines = [l for l in self.read('hostile.jsonl').split(b'\n') if l]
        self.assertEqual(len(lines), 1)
        self.check_hostile_pairs(strict_json(lines[0], pairs=True), record)
        inner = b'{' + self.read('hostile.inner').lstrip(b' ') + b'}'
        self.check_hostile_pairs(strict_json(inner, pairs=True), record)

    def test_non_finite_numbers_are_null(self):
        doc = strict_json(self.read('not_finite.json'))
        self.assertIsNone(doc['nan'])
        self.assertIsNone(doc['inf'])
        self.assertIsNone(doc['ninf'])
        self.assertEqual(doc['max'], 1.7976931348623157e308)

    def test_cli_prints_one_json_line_per_record(self):
        path = os.path.join(self.tmp.name, 'typical.tlv')
        run = subprocess.run(['/usr/bin/python3', DECODER, path], capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        got = [json.loads(l) for l in run.stdout.decode().splitlines()]
        self.assertEqual(got, tlv_decode.to_plain(tlv_decode.decode(self.read('typical.tlv'))))
        run = subprocess.run(['/usr/bin/python3', DECODER, '--items', '-'],
                             input=self.read('typical.tlv')[:-1], capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 1)
        self.assertIn(b'runs past the end', run.stderr)


class Decoder(unittest.TestCase):
    def test_examples(self):
        cases = [
            (b'\x01\x01', []),
            (b'\x01\x01\x22\x01\x05', [[(1, 5)]]),
            (b'\x01\x01\x34\x01\x2c\x00\x01\x11\x70\x01', [[(300, 70000)]]),
            (b'\x01\x01\x2b\x07\x00\x03abc', [[(7, 'abc')]]),
            (b'\x01\x01\xb2\x00\x02ab\x01\x01\x01', [[('ab', 1)], []]),
            (b'\x01\x01\x0c\x00\x01b\x22\x01\x05\x0d', [[('b', tlv_decode.Block([(1, 5)]))]]),
        ]
        for data, want in cases:
            self.assertEqual(tlv_decode.decode(data), want, data)

    def test_malformed(self):
        for data in (b'\x01', b'\x02\x01', b'\x01\x01\x2b\x01\x00\x05ab', b'\x01\x01\x25\x01\x00',
                     b'\x01\x01\x00', b'\x01\x01\x0d', b'\x01\x01\x0c\x00\x01b',
                     b'\x01\x01\x0e\x00\x01l\x0c\x00\x01b\x0d\x0f'):
            with self.assertRaises(tlv_decode.TLVError, msg=data):
                tlv_decode.decode(data)


if __name__ == '__main__':
    unittest.main(verbosity=2)
