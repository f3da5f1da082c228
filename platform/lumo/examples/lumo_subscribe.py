#!/usr/bin/env python3
"""Minimal LUMO subscriber with pyzmq: look the stream up, print its images.

Usage: lumo_subscribe.py [--multicast [--multicast-netif ADDRESS]] [BROKER_URI] [STREAM] [COUNT]

With --multicast it joins the stream's multicast group when its publisher
registered one (the second endpoint of the LOOKUP reply), on the interface
that reaches the publisher or the one with ADDRESS; otherwise it says why
on standard error and connects over TCP.
"""
import argparse
import fcntl
import re
import socket
import struct
import sys

import zmq

parser = argparse.ArgumentParser(description="Print the images of a LUMO stream.")
parser.add_argument("broker", nargs="?", default="tcp://127.0.0.1:5570")
parser.add_argument("stream", nargs="?", default="vexa_stream")
parser.add_argument("count", nargs="?", type=int, default=10)
parser.add_argument("--multicast", action="store_true", help="receive by multicast when the stream offers it")
parser.add_argument("--multicast-netif", help="IPv4 address of the interface to join on")
arguments = parser.parse_args()
broker, stream, count = arguments.broker, arguments.stream.encode(), arguments.count

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

# The broker's reply comes from the network: take a multicast endpoint only
# in its exact shape, and build the local one from its parts.
MULTICAST = re.compile(r"(epgm)://(\d{1,3}(?:\.\d{1,3}){3});(\d{1,3}(?:\.\d{1,3}){3}):([1-9]\d{0,4})")


def local_address_toward(remote):
    """The address of the interface the kernel routes `remote` through."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.connect((remote, 9))  # sends nothing
        return probe.getsockname()[0]
    finally:
        probe.close()


def interface_named(address):
    """The name of the interface with `address`, None when there is none."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        for _, name in socket.if_nameindex():
            try:
                request = struct.pack("256s", name.encode()[:15])
                if socket.inet_ntoa(fcntl.ioctl(probe.fileno(), 0x8915, request)[20:24]) == address:  # SIOCGIFADDR
                    return name
            except OSError:
                pass  # no IPv4 address
    finally:
        probe.close()
    return None


def multicast_endpoint(endpoints):
    """The libzmq endpoint to join, or None with the reason printed."""
    for endpoint in endpoints:
        match = MULTICAST.fullmatch(endpoint.decode(errors="replace"))
        if match and int(match[4]) <= 65535:
            engine, publisher, group, port = match.groups()
            break
    else:
        return None, "the publisher registered no multicast endpoint"
    try:
        local = arguments.multicast_netif or local_address_toward(publisher)
    except OSError as error:
        return None, f"no route to {publisher}: {error}"
    name = interface_named(local)
    if name is None:
        return None, f"no interface of this host has the address {local}"
    return f"{engine}://{local};{group}:{port}", None


data_socket = context.socket(zmq.SUB)
data_socket.setsockopt(zmq.RCVHWM, 4)
data_socket.setsockopt(zmq.SUBSCRIBE, stream)
endpoint = fields[0].decode()
if arguments.multicast:
    joined, reason = multicast_endpoint(fields[1:])
    if joined:
        # A receiver's repair window must hold what the sender has in flight.
        data_socket.setsockopt(zmq.RATE, 10_000_000)
        data_socket.setsockopt(zmq.RECOVERY_IVL, 1000)
        data_socket.setsockopt(zmq.MULTICAST_MAXTPDU, 9000)
        data_socket.setsockopt(zmq.RCVBUF, 64 << 20)
        endpoint = joined
    else:
        print(f"WARN receiving over TCP, not by multicast: {reason}", file=sys.stderr)
data_socket.connect(endpoint)


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
