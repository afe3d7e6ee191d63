#!/usr/bin/python3
"""Stand-in for corvane in tests.

listen ENDPOINT OUT [--seconds N] [--curve-key-file F]
    Binds a SUB socket, and writes one JSON line per received message to OUT:
    the 24-byte header's fields, the frame size, and the payload decoded
    (TLV records through tlv_decode, zlib-compressed JSON or text).
    With --curve-key-file it acts as a CURVE server with a fresh key pair and
    writes its public key (Z85) to that file before listening.
publish ENDPOINT TOPIC FILE... [--compress] [--raw-length N] [--seconds N]
    Binds an XPUB socket, waits (bounded) for a subscriber, and sends each
    FILE's bytes, back to back, on TOPIC with the header vesk's policy intake
    reads (length field little-endian).
"""
import argparse
import json
import os
import struct
import sys
import time
import zlib

import zmq

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tlv_decode  # noqa: E402


def decode_message(header, payload):
    out = {'frame_size': len(header), 'payload_size': len(payload)}
    if len(header) != 24:
        out['error'] = 'header of %d bytes' % len(header)
        return out
    topic = header[:16].split(b'\0', 1)[0].decode('ascii', 'replace')
    version, source, length, counter = struct.unpack('>BBHI', header[16:24])
    out.update(topic=topic, version=version, source=source, length=length, counter=counter)
    body = payload
    out['compressed'] = bool(payload) and payload[0] == 0
    if out['compressed']:
        body = zlib.decompress(payload[1:])
    if version == 3:
        try:
            out['records'] = tlv_decode.to_plain(tlv_decode.decode(body))
        except tlv_decode.TLVError as e:
            out['error'] = 'TLV: %s' % e
    else:
        try:
            out['json'] = json.loads(body.decode('utf-8'))
        except (ValueError, UnicodeDecodeError):
            out['text'] = body.decode('utf-8', 'replace')
    return out


def listen(args):
    ctx = zmq.Context()
    sub = ctx.socket(zmq.SUB)
    if args.curve_key_file:
        public, secret = zmq.curve_keypair()
        sub.curve_server = True
        sub.curve_secretkey = secret
        tmp = args.curve_key_file + '.tmp'
        with open(tmp, 'w') as f:
            f.write(public.decode('ascii'))
        os.rename(tmp, args.curve_key_file)
    sub.setsockopt(zmq.SUBSCRIBE, b'')
    sub.bind(args.endpoint)
    deadline = time.monotonic() + args.seconds
    with open(args.out, 'a', buffering=1) as out:
        out.write(json.dumps({'listening': True}) + '\n')
        while time.monotonic() < deadline:
            if not sub.poll(200):
                continue
            frames = sub.recv_multipart()
            if len(frames) != 2:
                out.write(json.dumps({'error': '%d frames' % len(frames)}) + '\n')
                continue
            out.write(json.dumps(decode_message(frames[0], frames[1])) + '\n')
    sub.close(0)
    ctx.term()


def message(args, path):
    with open(path, 'rb') as f:
        body = f.read()
    payload = b'\0' + zlib.compress(body) if args.compress else body
    length = args.raw_length if args.raw_length is not None else len(payload)
    header = args.topic.encode('ascii')[:15].ljust(16, b'\0')
    header += struct.pack('<BBH', 2, 0, length & 0xFFFF) + b'\0' * 4
    return [header, payload]


def publish(args):
    messages = [message(args, path) for path in args.files]
    ctx = zmq.Context()
    pub = ctx.socket(zmq.XPUB)
    pub.bind(args.endpoint)
    deadline = time.monotonic() + args.seconds
    subscribed = set()
    # vesk subscribes to "ips" and "message"; wait for the topic we send.
    while time.monotonic() < deadline and not any(args.topic.encode().startswith(t)
                                                  for t in subscribed):
        if pub.poll(200):
            msg = pub.recv()
            if msg and msg[0] == 1:
                subscribed.add(msg[1:])
    if not subscribed:
        print('no subscriber', file=sys.stderr)
        return 1
    for m in messages:
        pub.send_multipart(m)
    time.sleep(0.5)
    pub.close(1000)
    ctx.term()
    return 0


def main():
    p = argparse.ArgumentParser()
    sp = p.add_subparsers(dest='mode', required=True)
    lp = sp.add_parser('listen')
    lp.add_argument('endpoint')
    lp.add_argument('out')
    lp.add_argument('--seconds', type=float, default=120)
    lp.add_argument('--curve-key-file')
    pp = sp.add_parser('publish')
    pp.add_argument('endpoint')
    pp.add_argument('topic')
    pp.add_argument('files', nargs='+')
    pp.add_argument('--compress', action='store_true')
    pp.add_argument('--raw-length', type=int)
    pp.add_argument('--seconds', type=float, default=15)
    args = p.parse_args()
    if args.mode == 'listen':
        listen(args)
        return 0
    return publish(args)


if __name__ == '__main__':
    sys.exit(main())
