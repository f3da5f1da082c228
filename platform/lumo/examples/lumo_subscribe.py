#!/usr/bin/env python3
"""Minimal LUMO subscriber with pyzmq: look the stream up, print its images.

Usage: lumo_subscribe.py [BROKER_URI] [STREAM] [COUNT]
"""
import struct
import sys

import zmq

broker = sys.argv[1] if len(sys.argv) > 1 else "tcp://127.0.0.1:5570"
stream = (sys.argv[2] if len(sys.argv) > 2 else "vexa_stream").encode()
count = int(sys.argv[3]) if len(sys.argv) > 3 else 10

context = zmq.Context()
control = context.socket(zmq.REQ)
control.setsockopt(zmq.LINGER, 0)
control.connect(broker)
control.send_multipart([b"LOOKUP", stream])
if not control.poll(2000):
    sys.exit(f"broker {broker} does not answer")
status, *fields = control.recv_multipart()
if status != b"OK":
    sys.exit(f"stream not available: {fields[0].decode()}")

data_socket = context.socket(zmq.SUB)
data_socket.setsockopt(zmq.RCVHWM, 4)
data_socket.setsockopt(zmq.SUBSCRIBE, stream)
data_socket.connect(fields[0].decode())


def image_geometry(meta):
    """Width, height, bytes per pixel and data type of an LM3D record."""
    assert meta[:4] == b"LM3D" and struct.unpack_from("<H", meta, 4)[0] == 1
    pos = 6
    bpp, _dimensions, text_length = struct.unpack_from("<iiI", meta, pos)
    pos += 12 + text_length + 3  # description, then three flags
    data_type, units_length = struct.unpack_from("<iI", meta, pos)
    pos += 8 + units_length
    width, height = struct.unpack_from("<ii", meta, pos)
    return width, height, bpp, data_type


for _ in range(count):
    frames = data_socket.recv_multipart()
    if len(frames) != 4 or frames[0] != stream:
        continue  # another stream that shares the prefix, or not LUMO
    name, header, meta, pixels = frames
    magic, version, _flags, topic, sequence, publish_ns, _zero = struct.unpack("<4sHHiQQI", header)
    if magic != b"LUMO" or version != 1:
        continue
    width, height, bpp, data_type = image_geometry(meta)
    print(f"seq {sequence} {width}x{height} type {data_type} bpp {bpp} {len(pixels)} bytes")
