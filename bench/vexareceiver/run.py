#!/usr/bin/env python3
"""Highest lossless sample rate of vexatoolsVexaReceiver beside bare receivers.

For each geometry, every receiver gets the same paced stream from
vexatoolsVexaSim on loopback at a trial rate for a fixed time; the rate is
doubled until a loss, then bisected. A trial is lossless when the receiver
got every frame (bare receivers) or every sample without a loss report (the
program). CPU time and peak RSS come from the kernel's accounting of the
receiver process: CPU time from wait4, peak RSS from GNU time (wait4's figure
would include the RSS of the Python process that forked it).

Usage: BUILD_DIR=<release build> run.py [--seconds S] [--rounds N]
"""
import argparse
import math
import os
import re
import signal
import socket
import subprocess
import time

GEOMETRIES = [  # width, height, type name, bytes per pixel, first trial rate
    (1024, 768, "Int16", 2, 200),
    (256, 256, "Int16", 2, 250),
    (4096, 4096, "UInt16", 2, 8),
]
RECEIVERS = ["vexatoolsVexaReceiver", "bare recvfrom", "bare recvmmsg"]
BUFFERED_SAMPLES = 3  # the receiver tool's socket buffer depth in images


def frame_count(size, bpp):
    per_frame = (8932 // bpp) * bpp
    return 2 + math.ceil(size / per_frame)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_bound(port):
    wanted = ":%04X" % port
    with open("/proc/net/udp") as table:
        return any(line.split()[1].endswith(wanted) for line in list(table)[1:])


def wait_exit(proc, timeout):
    """Waits for the process group; kills it after `timeout`. Returns (status, rusage, killed)."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            proc.returncode = status
            return os.waitstatus_to_exitcode(status), usage, False
        if time.monotonic() > deadline:
            os.killpg(proc.pid, signal.SIGKILL)
            pid, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = status
            return None, usage, True
        time.sleep(0.02)


def trial(build, receiver, geometry, rate, seconds):
    width, height, type_name, bpp, _ = geometry
    size = width * height * bpp
    frames = frame_count(size, bpp)
    samples = max(1, int(rate * seconds))
    port = free_port()
    out_path = f"/tmp/vexareceiver-bench-{os.getpid()}.out"
    with open(out_path, "w+") as out:
        if receiver == "vexatoolsVexaReceiver":
            command = [f"{build}/vexareceiver/vexatoolsVexaReceiver", "-p", str(port), "-w", str(width),
                       "-e", str(height), "-t", type_name, "-s", str(samples)]
        else:
            rcvbuf = min(BUFFERED_SAMPLES * size, 2**31 - 1)
            command = [f"{build}/bench/vexareceiver/vexareceiverBenchBare", receiver.split()[1], str(port),
                       str(rcvbuf), str(samples * frames)]
        rss_path = out_path + ".rss"
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_path] + command, stdout=out,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(500):
            if port_bound(port):
                break
            time.sleep(0.01)
        sim = subprocess.run([f"{build}/vexasim/vexatoolsVexaSim", "-p", str(port), "-w", str(width),
                              "-e", str(height), "-t", type_name, "-s", str(samples), "-r", str(rate)],
                             capture_output=True, text=True, check=True)
        status, usage, killed = wait_exit(proc, 3.0)
        out.seek(0)
        text = out.read()
    os.remove(out_path)
    max_rss_kib = 0
    if os.path.exists(rss_path):
        with open(rss_path) as rss:
            digits = re.findall(r"^\d+$", rss.read(), re.M)
            max_rss_kib = int(digits[-1]) if digits else 0
        os.remove(rss_path)
    achieved = float(re.search(r"([0-9.]+) samples/s", sim.stdout).group(1))
    if receiver == "vexatoolsVexaReceiver":
        lossless = (not killed and status == 0 and
                    f"Received {samples} sample(s), lost 0 sample(s)" in text)
        datagrams = samples * frames if lossless else None
    else:
        got = int(re.search(r"datagrams=(\d+)", text).group(1)) if not killed else 0
        lossless = got == samples * frames
        datagrams = got
    cpu = usage.ru_utime + usage.ru_stime
    return {
        "lossless": lossless,
        "achieved": achieved,
        "sender_limited": achieved < 0.97 * rate,
        "cpu_per_datagram_us": (1e6 * cpu / datagrams) if datagrams else None,
        "max_rss_kib": max_rss_kib,
    }


def search(build, receiver, geometry, seconds, rounds):
    """Doubles the rate until a loss, then bisects. Returns the best lossless trial."""
    rate, best, failed = geometry[4], None, None
    for _ in range(12):
        result = trial(build, receiver, geometry, rate, seconds)
        if result["lossless"]:
            best = (rate, result)
            if result["sender_limited"]:
                return best, True
            rate *= 2
        else:
            failed = rate
            break
    if failed is None:
        return best, False
    low = best[0] if best else 0
    for _ in range(rounds):
        middle = (low + failed) // 2
        if middle <= low:
            break
        result = trial(build, receiver, geometry, middle, seconds)
        if result["lossless"]:
            low, best = middle, (middle, result)
        else:
            failed = middle
    return best, False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0, help="length of one trial")
    parser.add_argument("--rounds", type=int, default=3, help="bisection rounds after the first loss")
    args = parser.parse_args()
    build = os.environ.get("BUILD_DIR", "build-bench")
    rmem_max = int(open("/proc/sys/net/core/rmem_max").read())

    print(f"Lossless sample rate on loopback, paced by vexatoolsVexaSim, {args.seconds:g} s per trial")
    print(f"socket buffer: 3 images requested, capped by net.core.rmem_max = {rmem_max} "
          f"(in force: {2 * rmem_max} bytes once the kernel doubles it)")
    print()
    print("| geometry | receiver | lossless samples/s | frames/s | Gbit/s | CPU us/datagram | peak RSS MiB | "
          "vs recvfrom | CPU vs recvmmsg |")
    print("|---|---|---|---|---|---|---|---|---|")
    for geometry in GEOMETRIES:
        width, height, type_name, bpp, _ = geometry
        frames = frame_count(width * height * bpp, bpp)
        rows = {}
        for receiver in RECEIVERS:
            rows[receiver] = search(build, receiver, geometry, args.seconds, args.rounds)
        bare_rate = rows["bare recvfrom"][0][0] if rows["bare recvfrom"][0] else None
        bare_cpu = rows["bare recvmmsg"][0][1]["cpu_per_datagram_us"] if rows["bare recvmmsg"][0] else None
        for receiver, (best, limited) in rows.items():
            label = f"{width} x {height} {type_name}"
            if best is None:
                print(f"| {label} | {receiver} | none | | | | | | |")
                continue
            rate, result = best
            mark = " (sender limit)" if limited else ""
            cpu = result["cpu_per_datagram_us"]
            rate_ratio = f"{rate / bare_rate:.2f}" if bare_rate else ""
            cpu_ratio = f"{cpu / bare_cpu:.2f}" if bare_cpu and cpu else ""
            gbit = result["achieved"] * width * height * bpp * 8 / 1e9
            print(f"| {label} | {receiver} | {result['achieved']:.0f}{mark} | {result['achieved'] * frames:.0f} | "
                  f"{gbit:.2f} | {cpu:.2f} | {result['max_rss_kib'] / 1024:.1f} | {rate_ratio} | {cpu_ratio} |",
                  flush=True)


if __name__ == "__main__":
    main()
