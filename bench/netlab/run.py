#!/usr/bin/env python3
"""The pipeline across hosts: 1024 x 768 Int16 samples in the network lab.

1. Highest lossless rate, camera -> gateway -> 2 viewers (scripts/netlab.sh,
   publisher tool at -i 0), at MTU 9000 with 8972-byte datagrams and at MTU
   1500 with 1472-byte ones, beside the receiver tool's in the same runs: a
   run is lossless for the pipeline when both viewers got every sample as a
   bit-exact image, for the receiver tool when it completed every sample.
   The rate is searched by doubling, then bisecting; trials of the two sizes
   alternate.
2. CPU per datagram at both sizes on loopback, at one datagram rate: the
   receiver tool (its whole process, from wait4's resource usage) beside the
   VexaReceiver subclass and the bare receivers of bench/vexalib, in rounds
   that interleave them; median and spread.

Needs root (network namespaces). Usage: BUILD_DIR=<build> run.py [--seconds S]
[--rounds N] [--datagram-rate D]
"""
import argparse
import os
import re
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
WIDTH, HEIGHT, BPP = 1024, 768, 2
SIZES = [("MTU 9000", 9000, 8972), ("MTU 1500", 1500, 1472)]


def frames_per_sample(packet_size):
    units = (packet_size - 40) // BPP
    return 2 + -(-(WIDTH * HEIGHT) // units)


def lab_trial(build, mtu, packet_size, rate, seconds):
    """One lab run; (pipeline lossless, receiver tool lossless)."""
    samples = max(10, int(rate * seconds))
    run = subprocess.run([os.path.join(ROOT, "scripts", "netlab.sh"), "--mtu", str(mtu), "--packet-size",
                          str(packet_size), "--rate", str(rate), "--samples", str(samples), "--viewers", "2",
                          "--no-example"], env=dict(os.environ, BUILD_DIR=build), capture_output=True, text=True,
                         timeout=300)
    if run.returncode == 77:
        sys.exit("bench/netlab: " + run.stdout.strip())
    receiver = re.search(r"receiver tool: datagrams=\d+ .* complete=(\d+) ", run.stdout)
    exact = [int(m.group(2)) for m in re.finditer(r"vexa_stream: images (\d+), bit-exact (\d+)", run.stdout)]
    pipeline_ok = len(exact) == 2 and all(n == samples for n in exact)
    receiver_ok = receiver is not None and int(receiver.group(1)) == samples
    sent = re.search(r"Sent \d+ samples, .*? ([0-9.]+) samples/s", run.stdout)
    sent_rate = float(sent.group(1)) if sent else 0.0
    print(f"  {packet_size:>5} B at {rate:7.1f} samples/s: sent {sent_rate:6.1f}/s, "
          f"pipeline {'lossless' if pipeline_ok else 'lossy   '}, receiver tool "
          f"{'lossless' if receiver_ok else 'lossy'}", file=sys.stderr)
    if not sent:
        print(run.stdout + run.stderr, file=sys.stderr)
    return sent_rate, pipeline_ok, receiver_ok


class Search:
    """Doubling until a loss, then bisecting to within 10 %. A lossless trial
    whose sender fell short of the rate ends the search: the simulator, not
    the receiving side, was the limit (shown with a +)."""

    def __init__(self, start):
        self.good, self.bad, self.next = 0.0, 0.0, start
        self.sender_bound = False

    def record(self, rate, sent_rate, lossless):
        if lossless and sent_rate < 0.97 * rate:
            self.good = max(self.good, sent_rate)
            self.sender_bound = True
        elif lossless:
            self.good = max(self.good, rate)
        elif self.bad == 0 or rate < self.bad:
            self.bad = rate
        if self.bad == 0:
            self.next = self.good * 2
        elif self.good == 0:
            self.next = self.bad / 2
        else:
            self.next = (self.good + self.bad) / 2

    def done(self):
        return self.sender_bound or self.bad > 0 and (self.good == 0 and self.bad < 1 or self.good > 0 and self.bad - self.good <= 0.1 * self.good)


def lossless_rates(build, seconds, rounds):
    searches = {size: (Search(10.0), Search(10.0)) for size in SIZES}  # pipeline, receiver tool
    for _ in range(rounds):
        for size in SIZES:
            pipeline, receiver = searches[size]
            if pipeline.done() and receiver.done():
                continue
            # The search that is not done yet picks the rate; one run informs both.
            rate = round(pipeline.next if not pipeline.done() else receiver.next, 1)
            sent_rate, pipeline_ok, receiver_ok = lab_trial(build, size[1], size[2], rate, seconds)
            pipeline.record(rate, sent_rate, pipeline_ok)
            receiver.record(rate, sent_rate, receiver_ok)
    return searches


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def receiver_tool_cpu(build, packet_size, datagram_rate, seconds):
    """CPU microseconds per datagram of the whole receiver tool process: its
    resource usage (wait4) over the datagrams its last --stats line counts."""
    rate = datagram_rate / frames_per_sample(packet_size)
    samples = max(5, int(rate * seconds))
    port = free_port()
    with open(os.devnull, "w") as quiet, subprocess.Popen(
            [f"{build}/vexareceiver/vexatoolsVexaReceiver", "-p", str(port), "-w", str(WIDTH), "-e", str(HEIGHT),
             "-s", str(samples + 1000), "--stats"], stdout=quiet, stderr=subprocess.PIPE, text=True) as tool:
        time.sleep(0.3)
        subprocess.run([f"{build}/vexasim/vexatoolsVexaSim", "-p", str(port), "-w", str(WIDTH), "-e", str(HEIGHT),
                        "-s", str(samples), "-r", f"{rate:.3f}", "--packet-size", str(packet_size)],
                       capture_output=True)
        time.sleep(1.5)  # the socket buffer drains
        tool.terminate()  # the tool ends with its last --stats line
        errors = tool.stderr.read()
        # wait4 rather than Popen.wait: it gives the process's resource usage.
        _, _, usage = os.wait4(tool.pid, 0)
        tool.returncode = 0  # reaped above
    lines = re.findall(r"^elapsed=.* datagrams=(\d+) ", errors, re.M)
    if not lines or int(lines[-1]) == 0:
        return None
    return (usage.ru_utime + usage.ru_stime) * 1e6 / int(lines[-1])


def library_cpu(build, packet_size, datagram_rate, seconds):
    """CPU us per datagram of bench/vexalib's receivers: library subclass, recvfrom, recvmmsg."""
    rate = datagram_rate / frames_per_sample(packet_size)
    results = []
    for only in range(3):
        out = subprocess.run([f"{build}/bench/vexalib/vexalibReceiverBench", "--only", str(only), "--start-rate",
                              f"{rate:.3f}", "--seconds", str(seconds), "--packet-size", str(packet_size)],
                             capture_output=True, text=True).stdout
        match = re.search(r", ([0-9.]+) us CPU each", out)
        results.append(float(match.group(1)) if match else None)
    return results


def spread(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return "-"
    return f"{statistics.median(values):.2f} ({values[0]:.2f}-{values[-1]:.2f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=3, help="stream length of each lab trial")
    parser.add_argument("--rounds", type=int, default=8, help="lab trials per size at most")
    parser.add_argument("--cpu-rounds", type=int, default=3, help="interleaved CPU rounds")
    parser.add_argument("--datagram-rate", type=float, default=20000, help="datagrams/s of the CPU trials")
    args = parser.parse_args()
    build = os.environ.get("BUILD_DIR") or sys.exit("bench/netlab: set BUILD_DIR to a build tree")

    searches = lossless_rates(build, args.seconds, args.rounds)
    cpu = {size: {"tool": [], "lib": [], "recvfrom": [], "recvmmsg": []} for size in SIZES}
    for _ in range(args.cpu_rounds):
        for size in SIZES:
            cpu[size]["tool"].append(receiver_tool_cpu(build, size[2], args.datagram_rate, 4))
            lib, recvfrom, recvmmsg = library_cpu(build, size[2], args.datagram_rate, 4)
            cpu[size]["lib"].append(lib)
            cpu[size]["recvfrom"].append(recvfrom)
            cpu[size]["recvmmsg"].append(recvmmsg)

    print(f"1024 x 768 Int16 samples, camera -> gateway -> 2 viewers in network namespaces "
          f"(veth, snooping bridge), {args.seconds:g} s of stream per trial")
    print(f"\n{'link':<10}{'datagram':>9}{'frames/sample':>15}{'pipeline lossless':>19}{'receiver tool':>15}"
          f"{'datagrams/s':>13}")
    for size in SIZES:
        pipeline, receiver = searches[size]
        frames = frames_per_sample(size[2])
        mark = lambda search: "+" if search.sender_bound else " "
        print(f"{size[0]:<10}{size[2]:>7} B{frames:>15}{pipeline.good:>15.1f}{mark(pipeline)}/s"
              f"{receiver.good:>11.1f}{mark(receiver)}/s{receiver.good * frames:>13.0f}")
    print(f"\nCPU us per datagram on loopback at {args.datagram_rate:.0f} datagrams/s, "
          f"{args.cpu_rounds} interleaved rounds: median (lowest-highest)")
    print(f"{'datagram':<10}{'receiver tool':>22}{'VexaReceiver':>22}{'bare recvfrom':>22}{'bare recvmmsg':>22}")
    for size in SIZES:
        c = cpu[size]
        print(f"{size[2]:>6} B  {spread(c['tool']):>22}{spread(c['lib']):>22}{spread(c['recvfrom']):>22}"
              f"{spread(c['recvmmsg']):>22}")
    print("\nThe lossless rate is the highest rate at which every sample arrived (+: the simulator could not "
          "send faster); 1e6 / (us per datagram) is what one core takes at most.")


if __name__ == "__main__":
    main()
