#!/usr/bin/env python3
"""CPU cost of the gateway example beside the publisher tool and the receiver tool.

Each program in turn gets the same paced stream of 1024 x 768 Int16 samples
on loopback at --rate samples/s, the two publishers at -i 0 with a
subscriber reading every image (vexa2lumoBenchProbe). CPU per image is the
program's user plus system time from the start of the paced stream to its
last image, divided by the images that arrived (for the receiver tool, by
the samples sent). Rounds interleave the three, so that load from elsewhere
falls on all alike; the gateway's ratio to the publisher tool is taken per
round. Idle CPU is each publisher's CPU time over a quiet spell, registered
and waiting for samples.

Usage: BUILD_DIR=<release build> cpu.py [--rate R] [--seconds S] [--rounds N]
"""
import argparse
import importlib.machinery
import os
import re
import signal
import statistics
import subprocess
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))


def load(name, path):
    loader = importlib.machinery.SourceFileLoader(name, path)
    module = types.ModuleType(name)
    module.__file__ = path
    loader.exec_module(module)
    return module


PIPELINE = load("pipeline", os.path.join(HERE, "..", "vexa2lumo", "run.py"))
RECEIVER = PIPELINE.RECEIVER
WIDTH, HEIGHT, TYPE_NAME = PIPELINE.WIDTH, PIPELINE.HEIGHT, PIPELINE.TYPE_NAME
PUBLISHERS = {
    "vexatoolsGatewayExample": "examples/vexatoolsGatewayExample",
    "vexatoolsVexa2Lumo": "vexa2lumo/vexatoolsVexa2Lumo",
}


def publisher_trial(build, broker, program, rate, samples):
    """CPU ms per image of a publishing program, or None when images were lost."""
    tool = PIPELINE.Tool(build, broker, program=program)
    try:
        probe = subprocess.run([f"{build}/bench/vexa2lumo/vexa2lumoBenchProbe", str(tool.port), broker.uri,
                                tool.stream, str(WIDTH), str(HEIGHT), str(rate), str(samples), str(tool.proc.pid)],
                               capture_output=True, text=True, timeout=samples / rate * 3 + 60)
    finally:
        tool.stop()
    result = dict(re.findall(r"(\w+)=(\S+)", probe.stdout))
    if "received" not in result:
        raise RuntimeError(f"probe failed for {program}: " + probe.stdout + probe.stderr)
    received = int(result["received"])
    return 1000.0 * float(result["cpu_s"]) / received if received else None, received == samples


def receiver_trial(build, rate, samples):
    """CPU ms per sample of vexatoolsVexaReceiver over the same paced stream."""
    port = RECEIVER.free_port()
    tool = PIPELINE.Tool.__new__(PIPELINE.Tool)  # only for its cpu_seconds()
    tool.proc = subprocess.Popen([f"{build}/vexareceiver/vexatoolsVexaReceiver", "-p", str(port), "-w", str(WIDTH),
                                  "-e", str(HEIGHT), "-t", TYPE_NAME, "-s", str(samples * 10)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        for _ in range(500):
            if RECEIVER.port_bound(port):
                break
            time.sleep(0.01)
        before = tool.cpu_seconds()
        subprocess.run([f"{build}/vexasim/vexatoolsVexaSim", "-p", str(port), "-w", str(WIDTH), "-e", str(HEIGHT),
                        "-t", TYPE_NAME, "-s", str(samples), "-r", str(rate)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=samples / rate * 3 + 60)
        time.sleep(0.2)  # the last samples handled
        cpu = tool.cpu_seconds() - before
    finally:
        os.killpg(tool.proc.pid, signal.SIGKILL)
        tool.proc.wait()
    return 1000.0 * cpu / samples


def idle_percent(build, broker, program, seconds):
    tool = PIPELINE.Tool(build, broker, program=program)
    try:
        time.sleep(2.0)  # registered and settled
        before = tool.cpu_seconds()
        time.sleep(seconds)
        return 100.0 * (tool.cpu_seconds() - before) / seconds
    finally:
        tool.stop()


def spread(values, digits=2):
    return f"{statistics.median(values):.{digits}f} ({min(values):.{digits}f} to {max(values):.{digits}f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rate", type=int, default=150, help="samples per second")
    parser.add_argument("--seconds", type=float, default=4.0, help="length of one trial")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds")
    args = parser.parse_args()
    build = os.environ.get("BUILD_DIR", "build-bench")
    samples = int(args.rate * args.seconds)
    cost = {name: [] for name in list(PUBLISHERS) + ["vexatoolsVexaReceiver"]}
    ratios, losses = [], []
    broker = PIPELINE.Broker(build)
    try:
        for _ in range(args.rounds):
            for name, program in PUBLISHERS.items():
                per_image, lossless = publisher_trial(build, broker, program, args.rate, samples)
                if not lossless:
                    losses.append(name)
                if per_image is not None:
                    cost[name].append(per_image)
            cost["vexatoolsVexaReceiver"].append(receiver_trial(build, args.rate, samples))
            if len(cost["vexatoolsGatewayExample"]) == len(cost["vexatoolsVexa2Lumo"]) and cost["vexatoolsVexa2Lumo"]:
                ratios.append(cost["vexatoolsGatewayExample"][-1] / cost["vexatoolsVexa2Lumo"][-1])
        idle = {name: idle_percent(build, broker, program, 5.0) for name, program in PUBLISHERS.items()}
    finally:
        broker.stop()

    print(f"{WIDTH} x {HEIGHT} {TYPE_NAME} at {args.rate} samples/s on loopback, publishers at -i 0 with a "
          f"subscriber, {args.seconds:g} s per trial, {args.rounds} interleaved rounds")
    print()
    print("| figure | value |")
    print("|---|---|")
    for name, values in cost.items():
        if values:
            print(f"| CPU per image, {name}: median (min to max) | {spread(values)} ms |")
    if ratios:
        print(f"| ratio gateway / publisher tool, per round | {spread(ratios)} |")
    for name, percent in idle.items():
        print(f"| CPU of the idle {name} at -i 0 (registered, no stream) | {percent:.2f} % of a core |")
    if losses:
        print(f"| trials with images lost | {', '.join(losses)} |")


if __name__ == "__main__":
    main()
