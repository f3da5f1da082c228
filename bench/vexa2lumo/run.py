#!/usr/bin/env python3
"""The publishing pipeline at -i 0, 1024 x 768 Int16, on loopback.

vexatoolsVexaSim's paced sender (inside vexa2lumoBenchProbe) streams to
vexatoolsVexa2Lumo, which publishes at a lumoBroker; the probe subscribes and
counts the images. A trial is lossless when every sample sent arrived as an
image. The highest lossless rate is searched (doubling, then bisecting) for
the pipeline and, in the same run and interleaved with it, for
vexatoolsVexaReceiver (with bench/vexareceiver's trial), so that the ratio of
the two is measured under the same load. Latency is from the trailer leaving
the sender to the image reaching the subscriber. Peak RSS is the tool's
VmHWM; idle CPU is the tool's CPU time over a quiet spell, registered and
waiting for samples.

Usage: BUILD_DIR=<release build> run.py [--seconds S] [--rounds N]
"""
import argparse
import importlib.util
import os
import sys
import re
import signal
import statistics
import subprocess
import time

WIDTH, HEIGHT, TYPE_NAME, BPP = 1024, 768, "Int16", 2
FIRST_RATE = 100
HERE = os.path.dirname(os.path.abspath(__file__))


def load_receiver_bench():
    """bench/vexareceiver/run.py, for its receiver-tool trial."""
    sys.path.insert(0, os.path.join(HERE, "..", "vexareceiver"))
    return importlib.import_module("run")


RECEIVER = load_receiver_bench()


class Broker:
    def __init__(self, build):
        self.proc = subprocess.Popen([f"{build}/platform/lumo/broker/lumoBroker", "--uri", "tcp://127.0.0.1:*",
                                      "--log-level", "WARN"], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        match = re.match(r"lumoBroker listening on (\S+)", line)
        if not match:
            raise RuntimeError("lumoBroker did not start: " + line)
        self.uri = match.group(1)

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(timeout=10)


class Tool:
    """vexatoolsVexa2Lumo (or a program with its options, such as the gateway
    example) on a free port, publishing on its own stream name."""
    count = 0

    def __init__(self, build, broker, interval=0, program="vexa2lumo/vexatoolsVexa2Lumo"):
        Tool.count += 1
        self.port = RECEIVER.free_port()
        self.stream = f"bench_{os.getpid()}_{Tool.count}"
        self.proc = subprocess.Popen([f"{build}/{program}", "-p", str(self.port),
                                      "-w", str(WIDTH), "-e", str(HEIGHT), "-t", TYPE_NAME, "-k", broker.uri,
                                      "-s", self.stream, "-i", str(interval)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(500):
            if RECEIVER.port_bound(self.port):
                break
            time.sleep(0.01)

    def peak_rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as status:
            return int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))

    def cpu_seconds(self):
        with open(f"/proc/{self.proc.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()


def pipeline_trial(build, broker, rate, seconds):
    tool = Tool(build, broker)
    try:
        samples = max(1, int(rate * seconds))
        probe = subprocess.run([f"{build}/bench/vexa2lumo/vexa2lumoBenchProbe", str(tool.port), broker.uri,
                                tool.stream, str(WIDTH), str(HEIGHT), str(rate), str(samples)],
                               capture_output=True, text=True, timeout=seconds * 3 + 60)
        result = dict(re.findall(r"(\w+)=(\S+)", probe.stdout))
        result["rss_kib"] = tool.peak_rss_kib()
    finally:
        tool.stop()
    if "received" not in result:
        raise RuntimeError("probe failed: " + probe.stdout + probe.stderr)
    received, achieved = int(result["received"]), float(result["achieved"])
    return {
        "lossless": received == samples and int(result["malformed"]) == 0,
        "achieved": achieved,
        "sender_limited": achieved < 0.97 * rate,
        "p50_ms": float(result["p50_ms"]),
        "p99_ms": float(result["p99_ms"]),
        "rss_kib": result["rss_kib"],
    }


def receiver_trial(build, rate, seconds):
    geometry = (WIDTH, HEIGHT, TYPE_NAME, BPP, FIRST_RATE)
    return RECEIVER.trial(build, "vexatoolsVexaReceiver", geometry, rate, seconds)


def search(trial, rounds):
    """Doubles the rate until a loss, then bisects. Returns (rate, result) of the best lossless trial."""
    rate, best, failed = FIRST_RATE, None, None
    for _ in range(12):
        result = trial(rate)
        if not result["lossless"]:
            failed = rate
            break
        best = (rate, result)
        if result["sender_limited"]:
            return best
        rate *= 2
    if failed is None:
        return best
    low = best[0] if best else 0
    for _ in range(rounds):
        middle = (low + failed) // 2
        if middle <= low:
            break
        result = trial(middle)
        if result["lossless"]:
            low, best = middle, (middle, result)
        else:
            failed = middle
    return best


def spread(values):
    return f"{statistics.median(values):.0f} ({min(values):.0f} to {max(values):.0f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="length of one trial")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved searches of each")
    parser.add_argument("--bisect", type=int, default=3, help="bisection steps after the first loss")
    args = parser.parse_args()
    build = os.environ.get("BUILD_DIR", "build-bench")
    broker = Broker(build)
    try:
        pipeline_rates, receiver_rates, ratios, rss = [], [], [], []
        for _ in range(args.rounds):
            best = search(lambda rate: pipeline_trial(build, broker, rate, args.seconds), args.bisect)
            pipeline_rate = best[1]["achieved"] if best else 0.0
            if best:
                rss.append(best[1]["rss_kib"])
            best = search(lambda rate: receiver_trial(build, rate, args.seconds), args.bisect)
            receiver_rate = best[1]["achieved"] if best else 0.0
            pipeline_rates.append(pipeline_rate)
            receiver_rates.append(receiver_rate)
            ratios.append(pipeline_rate / receiver_rate if receiver_rate else 0.0)

        latencies = []
        for rate in (100, int(0.8 * statistics.median(pipeline_rates)) or 100):
            result = pipeline_trial(build, broker, rate, max(args.seconds, 5.0))
            latencies.append((rate, result))

        tool = Tool(build, broker)
        try:
            time.sleep(2.0)  # registered and settled
            before = tool.cpu_seconds()
            time.sleep(5.0)
            idle_percent = 100.0 * (tool.cpu_seconds() - before) / 5.0
        finally:
            tool.stop()
    finally:
        broker.stop()

    rmem_max = int(open("/proc/sys/net/core/rmem_max").read())
    print(f"vexatoolsVexa2Lumo -i 0, {WIDTH} x {HEIGHT} {TYPE_NAME} on loopback, {args.seconds:g} s per trial, "
          f"{args.rounds} interleaved rounds; net.core.rmem_max = {rmem_max}")
    print()
    print("| figure | value |")
    print("|---|---|")
    print(f"| lossless samples/s, pipeline to subscriber: median (min to max) | {spread(pipeline_rates)} |")
    print(f"| lossless samples/s, vexatoolsVexaReceiver, same run | {spread(receiver_rates)} |")
    print(f"| ratio pipeline / receiver tool, per round | "
          f"{statistics.median(ratios):.2f} ({min(ratios):.2f} to {max(ratios):.2f}) |")
    for rate, result in latencies:
        mark = "" if result["lossless"] else ", not lossless"
        print(f"| latency trailer to subscriber at {rate} samples/s{mark}: median, p99 | "
              f"{result['p50_ms']:.2f} ms, {result['p99_ms']:.2f} ms |")
    if rss:
        print(f"| peak RSS of the tool at its highest lossless rate | {max(rss) / 1024:.1f} MiB |")
    print(f"| CPU of the idle tool at -i 0 (registered, no stream) | {idle_percent:.2f} % of a core |")


if __name__ == "__main__":
    main()
