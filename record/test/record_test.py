"""vexatoolsRecord and lumoPublish --from as a user runs them, read back with h5py.

Run by ctest with the programs' paths in RECORD, PUBLISH and BROKER; every
process is started here and stopped by its PID, every wait is bounded.
"""
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest

try:
    import h5py
    import numpy
except ImportError:  # the tests say why they skip
    h5py = None
try:
    import zmq
except ImportError:
    zmq = None

RECORD = os.environ.get("RECORD", "")
PUBLISH = os.environ.get("PUBLISH", "")
BROKER = os.environ.get("BROKER", "")


def wait_for(condition, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def pattern(width, height, bytes_per_pixel, sequence):
    """lumoPublish's test pattern for the image with this sequence number."""
    shift = 4 * (sequence - 1)
    x = numpy.arange(width, dtype=numpy.uint64)[None, :]
    y = numpy.arange(height, dtype=numpy.uint64)[:, None]
    period = numpy.uint64(width + height)
    level = ((x + y + numpy.uint64(shift)) % period * numpy.uint64(65535) // period).astype(numpy.uint16)
    return level if bytes_per_pixel == 2 else (level >> 8).astype(numpy.uint8)


class Running:
    """A program started for one test; killed by its PID if still running."""

    def __init__(self, arguments, directory):
        self.err_path = os.path.join(directory, "%s-%d.err" % (os.path.basename(arguments[0]), time.monotonic_ns()))
        self.out_path = self.err_path[:-4] + ".out"
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(arguments, stdout=out, stderr=err, stdin=subprocess.DEVNULL)

    def out(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def err(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def wait(self, seconds=30):
        return self.process.wait(timeout=seconds)

    def stop(self, signal_number=signal.SIGINT, seconds=30):
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        return self.wait(seconds)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)


@unittest.skipIf(h5py is None, "python3-h5py is not installed")
class RecordTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="vexatools-record-test-")
        self.processes = []
        self.broker = self.start([BROKER, "--uri", "tcp://127.0.0.1:*", "--lease-ms", "1000", "--log-level", "WARN"])
        self.assertTrue(wait_for(lambda: "listening on" in self.broker.out(), 10), self.broker.err())
        self.uri = re.search(r"listening on (\S+)", self.broker.out()).group(1)

    def tearDown(self):
        for running in reversed(self.processes):
            running.kill()
        shutil.rmtree(self.directory, ignore_errors=True)

    def start(self, arguments):
        running = Running(arguments, self.directory)
        self.processes.append(running)
        return running

    def path(self, name):
        return os.path.join(self.directory, name)

    def publish(self, *arguments):
        publisher = self.start([PUBLISH, "-b", self.uri, "-s", "cam"] + list(arguments))
        self.assertTrue(wait_for(lambda: "Publishing" in publisher.out(), 20), publisher.err())
        return publisher

    def record(self, output, *arguments, stream="cam"):
        return self.start([RECORD, "-b", self.uri, "-s", stream, "-o", output] + list(arguments))

    def assert_pattern_images(self, data, sequence, width, height, bytes_per_pixel):
        self.assertGreater(len(sequence), 0)
        for index, number in enumerate(sequence):
            self.assertGreater(number, 0, "image %d has no sequence number" % index)
            expected = pattern(width, height, bytes_per_pixel, int(number))
            self.assertTrue(numpy.array_equal(data[index], expected), "image %d (sequence %d)" % (index, number))

    def test_records_200_images_bit_exact_with_their_sequence_numbers_and_times(self):
        self.publish("-w", "48", "-e", "20", "-B", "2", "-r", "400")
        recorder = self.record(self.path("run.h5"), "--count", "200")
        self.assertEqual(recorder.wait(60), 0, recorder.err())
        self.assertRegex(recorder.out(), r"Recorded 200 images .* in 1 file\(s\)")
        with h5py.File(self.path("run.h5"), "r") as f:
            data = f["/entry/data/data"]
            self.assertEqual(data.shape, (200, 20, 48))
            self.assertEqual(data.dtype, numpy.dtype("<u2"))
            self.assertEqual(data.chunks, (1, 20, 48))
            sequence = f["/entry/data/sequence"][:]
            gaps = f["/entry/data/gaps"][:]
            self.assert_pattern_images(data, sequence, 48, 20, 2)
            # Every sequence number from the first to the last is an image or a gap.
            missed = int(gaps[:, 1].sum()) if len(gaps) else 0
            self.assertEqual(int(sequence[-1] - sequence[0]) + 1, 200 + missed)
            self.assertEqual(data.attrs["missed"], missed)
            self.assertEqual(data.attrs["images"], 200)
            for name, value in [("stream", "cam"), ("width", 48), ("height", 20), ("bytes_per_pixel", 2),
                                ("pixel_type", "uint16"), ("compression", "none")]:
                self.assertEqual(data.attrs[name], value, name)
            self.assertLessEqual(data.attrs["start_time"], data.attrs["end_time"])
            # Publisher and arrival times: nanoseconds since 1970, in order, arrival after sending.
            published = f["/entry/data/timestamp"][:]
            arrived = f["/entry/data/arrival"][:]
            self.assertTrue((numpy.diff(published.astype(numpy.int64)) >= 0).all())
            self.assertTrue((arrived >= published).all())
            self.assertLess(abs(int(arrived[-1]) / 1e9 - time.time()), 60)
            self.assertEqual(len(f["/entry/data/image_time"]), 200)

    def test_a_reader_sees_images_while_recording_and_ctrl_c_closes_the_file(self):
        self.publish("-w", "16", "-e", "8", "-B", "1", "-r", "200")
        output = self.path("live.h5")
        recorder = self.record(output)

        def images_visible():
            if not os.path.exists(output):
                return False
            try:
                with h5py.File(output, "r", swmr=True) as f:
                    data = f["/entry/data/data"]
                    data.refresh()
                    f["/entry/data/sequence"].refresh()
                    count = min(data.shape[0], f["/entry/data/sequence"].shape[0])
                    if count == 0:
                        return False
                    self.assert_pattern_images(data[:count], f["/entry/data/sequence"][:count], 16, 8, 1)
                    return True
            except OSError:  # the file is being created
                return False

        self.assertTrue(wait_for(images_visible, 20, 0.2), recorder.err())
        self.assertEqual(recorder.stop(signal.SIGINT), 0, recorder.err())
        with h5py.File(output, "r") as f:  # closed cleanly: opens without SWMR too
            self.assertGreater(f["/entry/data/data"].shape[0], 0)
            self.assertIn("end_time", f["/entry/data/data"].attrs)
        self.assertRegex(recorder.out(), r"Recorded \d+ images")

    def test_a_killed_recording_opens_and_holds_what_was_flushed(self):
        self.publish("-w", "32", "-e", "16", "-B", "2", "-r", "200")
        output = self.path("killed.h5")
        recorder = self.record(output)
        # The status line says images were written; a second later they were flushed.
        self.assertTrue(wait_for(lambda: re.search(r"Record: [1-9]\d* images", recorder.err()), 20), recorder.err())
        time.sleep(1.2)
        recorder.kill()
        with h5py.File(output, "r", swmr=True) as f:
            data = f["/entry/data/data"]
            sequence = f["/entry/data/sequence"]
            count = min(data.shape[0], sequence.shape[0])
            self.assertGreater(count, 0)
            self.assert_pattern_images(data[:count], sequence[:count], 32, 16, 2)

    def test_a_full_disk_ends_with_status_1_and_a_readable_file(self):
        disk = self.path("disk")
        os.mkdir(disk)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if not mounted:
            self.skipTest("cannot mount a tmpfs (needs root)")
        try:
            self.publish("-w", "64", "-e", "32", "-B", "2", "-r", "500")
            output = os.path.join(disk, "full.h5")
            recorder = self.record(output)
            self.assertEqual(recorder.wait(60), 1, recorder.err())
            self.assertIn("No space left on device", recorder.err())
            self.assertIn(output, recorder.err())
            with h5py.File(output, "r", swmr=True) as f:
                data = f["/entry/data/data"]
                sequence = f["/entry/data/sequence"]
                count = min(data.shape[0], sequence.shape[0])
                self.assertGreater(count, 0)
                self.assert_pattern_images(data[:count], sequence[:count], 64, 32, 2)
        finally:
            for running in self.processes[1:]:
                running.kill()
            subprocess.run(["umount", disk], check=False)

    def test_a_recording_played_back_and_recorded_again_is_identical(self):
        self.publish("-w", "24", "-e", "12", "-B", "2", "-r", "400", "-n", "100000")
        first = self.path("first.h5")
        recorder = self.record(first, "--count", "60")
        self.assertEqual(recorder.wait(60), 0, recorder.err())

        second = self.path("second.h5")
        recorder = self.record(second, "--count", "150", stream="replay")
        time.sleep(0.5)  # subscribed before the playback starts; the loop covers a late start
        self.start([PUBLISH, "-b", self.uri, "-s", "replay", "--from", first, "--loop", "-r", "300"])
        self.assertEqual(recorder.wait(60), 0, recorder.err())
        with h5py.File(first, "r") as a, h5py.File(second, "r") as b:
            original, copy = a["/entry/data/data"], b["/entry/data/data"]
            self.assertEqual(copy.dtype, original.dtype)
            self.assertEqual(copy.shape[1:], original.shape[1:])
            for name in ["width", "height", "bytes_per_pixel", "lumo_data_type", "pixel_type"]:
                self.assertEqual(copy.attrs[name], original.attrs[name], name)
            # The copy starts somewhere in the loop and then follows the original image by image
            # (past the images it lost, if any: the sequence numbers say how many).
            times = list(a["/entry/data/image_time"][:])
            copy_times = b["/entry/data/image_time"][:]
            copy_sequence = b["/entry/data/sequence"][:]
            source = times.index(copy_times[0])
            for index in range(copy.shape[0]):
                if index > 0:
                    source = (source + int(copy_sequence[index] - copy_sequence[index - 1])) % original.shape[0]
                self.assertEqual(copy_times[index], times[source], "image %d" % index)
                self.assertTrue(numpy.array_equal(copy[index], original[source]), "image %d" % index)

    def test_a_new_geometry_or_pixel_type_continues_in_a_numbered_file(self):
        output = self.path("cam.h5")
        recorder = self.record(output)
        small = self.publish("-w", "8", "-e", "4", "-B", "1", "-r", "200")
        self.assertTrue(wait_for(lambda: re.search(r"Record: [1-9]\d* images", recorder.err()), 20), recorder.err())
        self.assertEqual(small.stop(), 0)
        self.publish("-w", "16", "-e", "4", "-B", "2", "-r", "200")  # the camera restarted with new settings

        def second_file_has_images():
            try:
                with h5py.File(self.path("cam_0001.h5"), "r", swmr=True) as f:
                    return f["/entry/data/data"].shape[0] > 0
            except (OSError, KeyError):
                return False

        self.assertTrue(wait_for(second_file_has_images, 20, 0.2), recorder.err())
        self.assertEqual(recorder.stop(signal.SIGTERM), 0, recorder.err())
        for name, shape, dtype in [("cam.h5", (4, 8), "u1"), ("cam_0001.h5", (4, 16), "<u2")]:
            with h5py.File(self.path(name), "r") as f:
                data = f["/entry/data/data"]
                self.assertEqual((data.shape[1:], data.dtype), (shape, numpy.dtype(dtype)), name)
                self.assert_pattern_images(data, f["/entry/data/sequence"][:], shape[1], shape[0], data.dtype.itemsize)
        self.assertIn("cam_0001.h5: ", recorder.out())

    @unittest.skipIf(zmq is None, "python3-zmq is not installed")
    def test_images_with_unreadable_meta_data_are_dropped_as_gaps(self):
        output = self.path("hostile.h5")
        recorder = self.record(output, "--count", "40", stream="hostile")
        publisher = HostilePublisher(self.uri, "hostile")
        publisher.start()
        try:
            self.assertEqual(recorder.wait(60), 0, recorder.err())
        finally:
            publisher.stop.set()
            publisher.join(10)
        self.assertRegex(recorder.out(), r"dropped [1-9]\d* \(disk too slow 0, unreadable [1-9]")
        with h5py.File(output, "r") as f:
            sequence = [int(number) for number in f["/entry/data/sequence"][:]]
            gaps = f["/entry/data/gaps"][:]
            data = f["/entry/data/data"]
            self.assertEqual(data.shape, (40, 4, 8))
            for index, number in enumerate(sequence):
                self.assertNotEqual(number % 10, 0)
                self.assertTrue((data[index] == number % 256).all())
            unreadable = {int(first) for first, count, cause in gaps if cause == 2 and count == 1}
            self.assertTrue(unreadable)
            self.assertTrue(all(number % 10 == 0 for number in unreadable))
            # Every number from the first image to the last is an image or a gap.
            covered = set(sequence)
            for first, count, cause in gaps:
                covered.update(range(int(first), int(first + count)))
            self.assertTrue(set(range(sequence[0], sequence[-1] + 1)) <= covered)

    def test_playback_of_a_file_once_then_stops(self):
        first = self.path("once.h5")
        self.publish("-w", "8", "-e", "4", "-B", "1", "-r", "400")
        recorder = self.record(first, "--count", "5")
        self.assertEqual(recorder.wait(60), 0, recorder.err())
        player = self.start([PUBLISH, "-b", self.uri, "-s", "again", "--from", first, "-r", "1000"])
        self.assertEqual(player.wait(30), 0, player.err())
        self.assertIn("Publishing 8 x 4 x 1 bytes on stream 'again'", player.out())
        self.assertIn("Published 5 image(s)", player.out())

        not_hdf5 = self.path("not.h5")
        with open(not_hdf5, "w") as f:
            f.write("not HDF5")
        player = self.start([PUBLISH, "-b", self.uri, "--from", not_hdf5])
        self.assertEqual(player.wait(30), 1)
        self.assertIn("cannot open %s as an HDF5 file" % not_hdf5, player.err())
        with h5py.File(self.path("flat.h5"), "w") as f:
            f.create_dataset("/entry/data/data", data=numpy.zeros((4, 4), numpy.uint16))
        player = self.start([PUBLISH, "-b", self.uri, "--from", self.path("flat.h5")])
        self.assertEqual(player.wait(30), 1)
        self.assertIn("not a stack of images", player.err())


def lumo_string(text):
    return struct.pack("<I", len(text)) + text


def lumo_meta(width, height, bytes_per_pixel=1, lumo_type=0):
    """An encoded image record as LUMO publishers send it."""
    return (b"LM3D" + struct.pack("<Hii", 1, bytes_per_pixel, 2) + lumo_string(b"") + bytes([1, 1, 1])
            + struct.pack("<i", lumo_type) + lumo_string(b"") + struct.pack("<ii", width, height)
            + struct.pack("<iiii", 1, 1, 2, 1) + struct.pack("<iid", 0, 0, 0.0) + lumo_string(b"") + lumo_string(b""))


class HostilePublisher(threading.Thread):
    """Publishes 8x4 images on a LUMO stream; every tenth has meta-data that is
    garbage or does not match its pixels."""

    def __init__(self, broker, stream):
        super().__init__(daemon=True)
        self.broker, self.stream, self.stop = broker, stream, threading.Event()

    def run(self):
        context = zmq.Context()
        data = context.socket(zmq.PUB)
        port = data.bind_to_random_port("tcp://127.0.0.1")
        control = context.socket(zmq.DEALER)
        control.connect(self.broker)
        control.send_multipart([b"", b"REGISTER", self.stream.encode(), b"tcp://127.0.0.1:%d" % port])
        if control.poll(5000):
            control.recv_multipart()
        for sequence in range(1, 3001):  # 15 s at most
            if self.stop.is_set():
                break
            meta = lumo_meta(8, 4)
            if sequence % 10 == 0:
                meta = lumo_meta(9, 4) if sequence % 20 == 0 else b"LM3D garbage"
            header = b"LUMO" + struct.pack("<HHiQQI", 1, 0, 3, sequence, time.time_ns(), 0)
            data.send_multipart([self.stream.encode(), header, meta, bytes([sequence % 256]) * 32])
            time.sleep(0.005)
        data.close(0)
        control.close(0)
        context.term()


@unittest.skipIf(h5py is None, "python3-h5py is not installed")
class CommandLineTest(unittest.TestCase):
    def run_record(self, *arguments):
        return subprocess.run([RECORD] + list(arguments), capture_output=True, text=True, timeout=30)

    def test_help_version_and_bad_options(self):
        help_run = self.run_record("--help")
        self.assertEqual(help_run.returncode, 0)
        version = self.run_record("--version")
        self.assertEqual((version.returncode, version.stdout), (0, "vexatoolsRecord (vexatools) 1.0.0\n"))
        for arguments, message in [([], "--output"), (["-o", "x.h5", "--compress", "zip"], "--compress"),
                                   (["-o", "x.h5", "--max-file-size", "12X"], "--max-file-size"),
                                   (["-o", "x.h5", "--count", "-1"], "--count"),
                                   (["-o", "x.h5", "--stream", "two words"], "--stream")]:
            run = self.run_record(*arguments)
            self.assertEqual(run.returncode, 1, arguments)
            self.assertIn(message, run.stderr)

    def test_duration_ends_a_recording_that_got_no_image_without_a_file(self):
        with tempfile.TemporaryDirectory() as directory:
            output = os.path.join(directory, "empty.h5")
            started = time.monotonic()
            run = subprocess.run([RECORD, "-b", "tcp://127.0.0.1:1", "-o", output, "--duration", "1"],
                                 capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertLess(time.monotonic() - started, 10)
            self.assertIn("no image came; no file written", run.stderr)
            self.assertIn("Recorded 0 images", run.stdout)
            self.assertFalse(os.path.exists(output))

    def test_a_missing_compression_filter_is_named(self):
        with tempfile.TemporaryDirectory() as directory:
            environment = dict(os.environ, HDF5_PLUGIN_PATH=directory)  # an empty plugin folder
            run = subprocess.run([RECORD, "-b", "tcp://127.0.0.1:1", "-o", os.path.join(directory, "x.h5"),
                                  "--compress", "lz4"], capture_output=True, text=True, timeout=30, env=environment)
            self.assertEqual(run.returncode, 1)
            self.assertIn("LZ4 filter (id 32004) is not available: install the Debian package hdf5-filter-plugin",
                          run.stderr)
            self.assertFalse(os.path.exists(os.path.join(directory, "x.h5")))


if __name__ == "__main__":
    unittest.main()
