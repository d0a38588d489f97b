#!/usr/bin/python3
"""vantrel_power's client of the control socket against a small server in this test: readings that
subtract to each rail's and total's energy and the bound from the edge times; every way a reply can
be wrong (refused, cut, junk, oversize, records out of order, a latch record disagreeing with its
device) is a NoLatch with the reason, never a traceback or a figure; a missing socket, a socket the
user may not open, a server that closes or never answers are NoLatch too; a closed connection is
opened again once. The daemon's replies themselves are tested against the simulated board's truth
(energy_truth_test.py).

  energy_client_test.py SOURCE_DIR
"""
import os
import socket
import sys
import tempfile
import threading
import unittest

SOURCE_DIR = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
from vantrel_power import client, powertree  # noqa: E402

LABELS = (("max34417", ("vph", "apc0", "apc1", "bl_power")), ("max34417_b", ("nsp1", "apc2", "ddr", "")))


def reply(latch_ns, sequence, nanojoules, gaps=None, pid=4242, start="10.000000000", junk_after=None):
    """A reply in the daemon's records: devices LABELS, each latched at LATCH_NS[d] with SEQUENCE[d],
    channel n of device d holding NANOJOULES[d][n]."""
    lines = ["vantrel-energy,1", f"pid,{pid}", f"start,{start}", "period_ms,1000"]
    for d, (name, labels) in enumerate(LABELS):
        lines.append(f"device,{d},{name},{latch_ns[d] // 10**9}.{latch_ns[d] % 10**9:09d}")
        lines.append(f"latch,{d},{latch_ns[d]},{sequence[d]}")
        if junk_after == d:
            lines.append("latch,0,1,1")
        for n, label in enumerate(labels):
            nj, gap = nanojoules[d][n], (gaps or {}).get((d, n), 0)
            lines.append(f"channel,{d},{name},{n + 1},{label},{nj // 10**9}.{nj % 10**9:09d},"
                         f"{gap // 10**9}.{gap % 10**9:09d}")
    lines += ["total,vph_total,0.000000000,0.000000000", "total,cores_total,0.000000000,0.000000000",
              "total,vph_other,0.000000000,0.000000000"]
    return ("\n".join(lines) + "\n").encode()


class Server:
    """Serves each connection's requests with the next of REPLIES: bytes, "close" (closes the
    connection) or "silent" (reads, never answers)."""

    def __init__(self, path):
        self.path, self.replies, self.requests = path, [], []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.sock.bind(path)
        self.sock.listen(4)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._talk, args=(conn,), daemon=True).start()

    def _talk(self, conn):
        with conn:
            while True:
                request = conn.recv(128)
                if not request:
                    return
                self.requests.append(request)
                answer = self.replies.pop(0) if self.replies else "close"
                if answer == "close":
                    return
                if answer == "silent":
                    conn.recv(128)
                    return
                conn.send(answer)


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "control")
        self.server = Server(self.path)

    def tearDown(self):
        self.server.sock.close()
        self.dir.cleanup()

    def latch(self, *replies, timeout=2.0):
        self.server.replies = list(replies)
        return client.latch(self.path, timeout)

    def refused(self, data, reason):
        with self.assertRaises(client.NoLatch) as caught:
            self.latch(data)
        self.assertIn(reason, str(caught.exception))

    def test_readings_subtract(self):
        r0 = self.latch(reply([1_000_000_000, 1_000_020_000], [5, 5], [[0, 0, 0, 0], [0, 0, 0, 0]]))
        self.assertEqual(self.server.requests, [b"latch\n"])
        self.assertEqual(r0.latches(), [1_000_000_000, 1_000_020_000])
        self.assertEqual(r0.sequences(), [5, 5])
        # 2 s later; vph 10 W, apc0 1 W, apc1 2 W, nsp1 3 W, apc2 0.5 W with 0.5 s of its time a gap.
        r1 = self.latch(reply([3_000_000_000, 3_000_060_000], [7, 7],
                              [[20 * 10**9, 2 * 10**9, 4 * 10**9, 10**9], [6 * 10**9, 750_000_000, 10**9, 0]],
                              gaps={(1, 1): 500_000_000}))
        rows = {r["rail"]: r for r in (r1 - r0).rows(start_ns=1_100_000_000, end_ns=2_800_000_000)}
        self.assertEqual(rows["vph"]["energy_j"], 20.0)
        self.assertAlmostEqual(rows["vph"]["avg_w"], 10.0)
        # 0.1 s before the start, 0.2 s after the end, on each device's own latches.
        self.assertAlmostEqual(rows["vph"]["bound_j"], 10 * 0.3)
        self.assertAlmostEqual(rows["nsp1"]["bound_j"], 6 / 2.00004 * 0.30004)
        self.assertAlmostEqual(rows["apc2"]["avg_w"], 0.75 / 1.50004)  # over its time counted
        self.assertAlmostEqual(rows["apc2"]["gap_s"], 0.5)
        self.assertEqual((rows["nsp1"]["start_latch_ns"], rows["nsp1"]["end_latch_ns"]), (1_000_020_000, 3_000_060_000))
        self.assertAlmostEqual(rows["vph_total"]["energy_j"], 20.0)
        self.assertAlmostEqual(rows["cores_total"]["energy_j"], 2 + 4 + 6 + 0.75)
        self.assertAlmostEqual(rows["vph_other"]["energy_j"], 20 - (2 + 4 + 6 + 0.75 + 1))
        self.assertAlmostEqual(rows["cores_total"]["bound_j"], sum(rows[r]["bound_j"] for r in ("apc0", "apc1", "nsp1",
                                                                                                  "apc2")))
        self.assertEqual(rows["cores_total"]["gap_s"], 0.5)
        # Without edges the bound is 0: the figure is exact latch to latch.
        self.assertEqual({r["bound_j"] for r in (r1 - r0).rows()}, {0.0})
        # A restarted daemon (another pid) gives no figure.
        r2 = self.latch(reply([4 * 10**9, 4 * 10**9], [1, 1], [[0] * 4, [0] * 4], pid=4243))
        with self.assertRaises(client.MeasureError):
            (r2 - r1).rows()

    def test_bad_replies(self):
        good = reply([10**9, 10**9], [1, 1], [[0] * 4, [0] * 4])
        for data, reason in (
                (b"error,unknown request\n", "refused the request: unknown request"),
                (good[:-1], "cut short"),
                (bytes(range(256)), "not UTF-8"),
                (b"vantrel-energy,2\n", "format 1"),
                (good.replace(b"latch,1,", b"latch,0,"), "not device 1's"),
                (good.replace(b"\nlatch,1,1000000000,1", b""), "no latch record"),
                (good.replace(b"latch,0,1000000000,1", b"latch,0,1000000000,x"), "not figures"),
                (good.replace(b"latch,0,1000000000,1", b"latch,0,,1"), "disagrees"),
                (good.replace(b"latch,0,1000000000,1", b"latch,0,5000000000,1"), "disagrees"),
                (good.replace(b"latch,0,1000000000,1", b"latch,0,1000000000,0"), "disagrees"),
                (reply([10**9, 10**9], [1, 1], [[0] * 4, [0] * 4], junk_after=0), "follows its device"),
                (good.replace(b"pid,4242", b"pid,4242\nlatch,0,1,1"), "follows its device"),
                (good.replace(b"total,vph_total", b"total,vph_total,1,2,3,4\ntotal,vph_total"), "total"),
                ("close", "closed"),
        ):
            with self.subTest(reason):
                self.refused(data, reason)
        # A reply larger than the receive buffer is cut by the kernel: seen, refused.
        limit, client.REPLY_LIMIT = client.REPLY_LIMIT, len(good) - 1
        try:
            self.refused(good, f"larger than {len(good) - 1} bytes")
        finally:
            client.REPLY_LIMIT = limit
        # A snapshot file never holds latch records: its reader refuses them.
        self.assertIsNone(powertree.parse_energy_snapshot(good)[0])
        self.assertIsNotNone(powertree.parse_energy_snapshot(good, reply=True)[0])

    def test_no_latch(self):
        self.server.replies = ["silent"]
        with self.assertRaisesRegex(client.NoLatch, "no reply .* within 0.2 s"):
            client.latch(self.path, 0.2)
        with self.assertRaisesRegex(client.NoLatch, "no control socket"):
            client.latch(self.path + "-missing")
        stream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stream.bind(self.path + "-stream")
        stream.listen(1)
        with self.assertRaises(client.NoLatch):
            client.latch(self.path + "-stream")
        stream.close()
        os.chmod(self.path, 0)
        if os.geteuid() == 0:  # root opens any socket: try as nobody
            pid = os.fork()
            if pid == 0:
                try:
                    os.setgid(65534)
                    os.setuid(65534)
                    client.latch(self.path)
                    os._exit(1)
                except client.NoLatch as e:
                    os._exit(0 if str(e) == f"permission denied on {self.path}" else 2)
                except BaseException:
                    os._exit(3)
            self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), 0)
        else:
            with self.assertRaisesRegex(client.NoLatch, "^permission denied on "):
                client.latch(self.path)

    def test_reconnects_once(self):
        good = reply([10**9, 10**9], [1, 1], [[0] * 4, [0] * 4])
        self.server.replies = [good, "close", good]
        with client.Control(self.path) as control:
            control.latch()
            self.assertEqual(control.latch().sequences(), [1, 1])
            self.assertEqual(len(self.server.requests), 3)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
