#!/usr/bin/env python3
"""Hostile datagrams against the gateway example, measured from outside.

Two attacks, each against a fresh vexatoolsGatewayExample on loopback:

  oversized leader: one 40-byte legacy leader announcing 134,217,728 Int16
    pixels (256 MiB), with and without -w/-e; the example's resident memory
    before, right after and after 20 ordinary samples that follow.
  forged leader: with -x and a configured 100 x 100 Int16 geometry, 100
    legacy samples, one extended leader with 1 x 1 Byte Basic Image Info and
    a sample id three billion ahead, then 199 legacy samples; the example's
    statistics (samples forwarded, missedSamples, sampleIdJumps).

Usage: bench/gateway/hostile.py [BUILD_DIR]   (default: build); about 15 s.
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import time

INT16, BYTE = 0x100, 0x40
UNITS_PER_FRAME_INT16 = 8932 // 2


def plexo(sample_id, frame_id, frame_count, payload):
    header = struct.pack(">IH4xHI8xHHH2x", 0x56455841, 1, 1, sample_id, frame_id, frame_count, len(payload))
    return header + payload


def legacy_sample(sample_id, units=100 * 100):
    frames_needed = 2 + (units + UNITS_PER_FRAME_INT16 - 1) // UNITS_PER_FRAME_INT16
    frames = [plexo(sample_id, 1, frames_needed, struct.pack(">BBHI", 1, 0, 0, units))]
    for index in range(frames_needed - 2):
        here = min(UNITS_PER_FRAME_INT16, units - index * UNITS_PER_FRAME_INT16)
        frames.append(plexo(sample_id, index + 2, frames_needed, struct.pack(">BBHH2x", 2, 0, 0, here) + bytes(here * 2)))
    frames.append(plexo(sample_id, frames_needed, frames_needed, struct.pack(">BBH", 3, 0, 0)))
    return frames


def forged_sample(sample_id):
    info = struct.pack(">dIiiii", 1.0, BYTE, 1, 1, 0, 0)
    leader = struct.pack(">BBHI", 1, 0, len(info), 1) + info
    return [plexo(sample_id, 1, 3, leader), plexo(sample_id, 2, 3, struct.pack(">BBHH2x", 2, 0, 0, 1) + b"\x07"),
            plexo(sample_id, 3, 3, struct.pack(">BBH", 3, 0, 0))]


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Gateway:
    def __init__(self, build, options):
        self.port = free_udp_port()
        program = os.path.join(build, "examples", "vexatoolsGatewayExample")
        # No broker: registration is retried in the background, samples are still counted.
        self.process = subprocess.Popen([program, "-p", str(self.port), "-k", "tcp://127.0.0.1:9", "-i", "0",
                                         "-l", "OFF"] + options, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        time.sleep(1.0)

    def send(self, frames):
        for frame in frames:
            self.socket.sendto(frame, ("127.0.0.1", self.port))
        time.sleep(0.005)

    def statistics(self):
        self.process.send_signal(signal.SIGINT)
        output, _ = self.process.communicate(timeout=20)
        return dict(line.split(" ", 1) for line in output.splitlines() if " " in line)


def oversized_leader(build, options):
    gateway = Gateway(build, options)
    before = rss_mib(gateway.process.pid)
    gateway.send([plexo(1, 1, 2 + (134217728 + UNITS_PER_FRAME_INT16 - 1) // UNITS_PER_FRAME_INT16,
                        struct.pack(">BBHI", 1, 0, 0, 134217728))])
    time.sleep(1.0)
    after_leader = rss_mib(gateway.process.pid)
    for sample_id in range(2, 22):
        gateway.send(legacy_sample(sample_id))
    time.sleep(1.0)
    after_samples = rss_mib(gateway.process.pid)
    statistics = gateway.statistics()
    return before, after_leader, after_samples, statistics.get("samples", "?")


def forged_leader(build):
    gateway = Gateway(build, ["-x", "-w", "100", "-e", "100", "-t", "Int16"])
    for sample_id in range(1, 101):
        gateway.send(legacy_sample(sample_id))
    gateway.send(forged_sample(3_000_000_000))
    for sample_id in range(101, 300):
        gateway.send(legacy_sample(sample_id))
    time.sleep(1.0)
    return gateway.statistics()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    print("oversized leader (256 MiB announced), resident MiB: before / after the leader / after 20 samples")
    for label, options in (("-w 100 -e 100", ["-w", "100", "-e", "100", "-t", "Int16"]), ("no geometry", [])):
        before, leader, samples, forwarded = oversized_leader(build, options)
        print(f"  {label:14} {before:7.1f} / {leader:7.1f} / {samples:7.1f}   samples forwarded {forwarded}")
    statistics = forged_leader(build)
    print("forged leader with -x: 100 samples, one forged, 199 more")
    print(f"  samples forwarded {statistics.get('samples')} of 300, missedSamples {statistics.get('missedSamples')}, "
          f"sampleIdJumps {statistics.get('sampleIdJumps', '(none)')}")


if __name__ == "__main__":
    main()
