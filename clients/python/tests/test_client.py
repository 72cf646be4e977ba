"""The Python client against the real srvvexon and vexon-sim (paths in
VEXON_SERVER_PATH and VEXON_SIM_PATH, as the build's test runner sets)."""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from vexon import Client, VexonError  # noqa: E402

SERVER = os.environ.get("VEXON_SERVER_PATH")
SIM = os.environ.get("VEXON_SIM_PATH")


def read_line(proc, timeout=20.0):
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    if not ready:
        raise TimeoutError("no line from " + proc.args[0])
    return proc.stdout.readline().decode()


@unittest.skipUnless(SERVER and SIM, "VEXON_SERVER_PATH and VEXON_SIM_PATH name the programs")
class ClientTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vexon-py-")
        self.sim = subprocess.Popen([SIM, "--link", self.dir + "/tty"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        read_line(self.sim)
        self.log = open(self.dir + "/server.log", "wb")
        self.server = subprocess.Popen(
            [SERVER, "--data-dir", self.dir, "--config", self.dir + "/none.ini", "--port", "COM1=" + self.dir + "/tty",
             "--rpc-unix", self.dir + "/rpc.sock", "--rpc-tcp", "127.0.0.1:0", "--rpc-http", "off"],
            stdout=subprocess.PIPE, stderr=self.log)
        line = read_line(self.server)
        self.assertIn("listening on tcp ", line)
        self.tcp = line.split("listening on tcp ")[1].strip()
        self.c = Client(tcp=self.tcp)

    def tearDown(self):
        self.c.close()
        self.server.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.wait(30), 0)
        self.sim.kill()
        self.sim.wait()
        for f in (self.sim.stdin, self.sim.stdout, self.server.stdout, self.log):
            f.close()
        shutil.rmtree(self.dir)

    def sim_says(self, text):
        self.sim.stdin.write((text + "\n").encode())
        self.sim.stdin.flush()

    def configure_and_monitor(self):
        self.c.OpenSerialPort(PortNumber=1)
        self.c.wait(self.c.Autoconfig()["EventID"])
        self.c.StartMonitoring()
        count = self.c.GetControllerCount()["Cnt"]
        while self.c.GetControllerUSCS(ControllerNum=count)["USCSValid"] != 1:
            time.sleep(0.005)

    def test_operations_come_from_the_description_and_fail_with_their_code(self):
        self.assertIn("OpenIm", self.c.operations)
        self.assertIn("MakeAdr", self.c.OpenIm.__doc__)
        self.assertEqual(self.c.GetErrorDescription(Code=2)["Value"], "Коммуникационный порт закрыт.")
        with self.assertRaises(VexonError) as e:
            self.c.GetControllerCount()  # not configured yet
        self.assertEqual(e.exception.code, 31)
        self.assertTrue(e.exception.text)
        with self.assertRaises(TypeError):
            self.c.OpenIm(Nonsense=1)
        self.c.OpenSerialPort(PortNumber=1)
        answer = self.c.wait(self.c.Autoconfig()["EventID"])
        self.assertEqual(answer["Value"], 0)
        r = self.c.OpenIm(MakeAdr=564, DriverAdr=2, ImNumber=1)
        self.assertEqual(self.c.wait(r["EventID"])["Int1"], 1)
        with self.assertRaises(VexonError) as e:
            self.c.OpenIm(MakeAdr=999, DriverAdr=2, ImNumber=1)
        self.assertEqual(e.exception.code, 32)
        with self.assertRaises(VexonError) as e:
            self.c.call("no_such_method")
        self.assertTrue(e.exception.rpc)
        self.assertEqual(e.exception.code, -32601)

    def test_events_follow_without_taking_and_resume_after_a_lost_connection(self):
        self.configure_and_monitor()

        def next_event(stream):
            for ev in stream:
                self.assertNotIn("gap", ev)
                if ev["event"]["EventCode"] != 15:
                    return ev

        stream = self.c.events("monitoring", idle_timeout=10).open()
        witness = self.c.events("monitoring", idle_timeout=10).open()
        self.sim_says("breakin 0 1")
        first = next_event(stream)
        self.assertEqual(first["event"]["Description"], "ТРЕВОГА - ВЗЛОМ!")
        # The stream's connection goes; the pass happens while it is away
        # (the witness has it), and the stream still gets it, once.
        stream.disconnect()
        self.sim_says("pass 2 1 7")
        self.assertEqual(next_event(witness)["event"]["EventCode"], 6)
        self.assertEqual(next_event(witness)["event"]["EventCode"], 1)
        second = next_event(stream)
        self.assertEqual(second["event"]["EventCode"], 1)
        self.assertGreater(second["seq"], first["seq"])
        self.assertEqual(stream.connections, 2)
        stream.close()
        witness.close()
        # Nothing was taken: the owner of the journal still finds both.
        taken = []
        while len(taken) < 2:
            e = self.c.call("sysvexon_GetMonEvent")
            self.assertEqual(e["Value"], 0)
            if e["EventCode"] != 15:
                taken.append(e["EventCode"])
        self.assertEqual(taken, [6, 1])


if __name__ == "__main__":
    unittest.main()
