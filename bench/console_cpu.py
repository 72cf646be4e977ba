#!/usr/bin/python3
"""Server CPU with web consoles open: srvvexon and vexon-sim with the demo
traffic (a card every --demo-traffic seconds, monitoring on), first with no
console open, then with --consoles tabs of headless Chromium on the console
(each follows the event streams and reads the metrics every 5 s). Prints
the server's CPU time per second of each phase, from /proc.

  bench/console_cpu.py --server build/release/src/srvvexon \\
      --sim build/release/tools/vexon-sim [--seconds 60] [--consoles 10]

Needs chromium, chromium-driver and python3-selenium (scripts/install-deps).
"""

import argparse
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def read_line(proc, timeout=30.0):
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    if not ready:
        raise TimeoutError("no line from " + proc.args[0])
    return proc.stdout.readline().decode()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--consoles", type=int, default=10)
    ap.add_argument("--demo-traffic", type=float, default=4)
    args = ap.parse_args()

    d = tempfile.mkdtemp(prefix="console-cpu-")
    sim = subprocess.Popen([args.sim, "--link", d + "/tty", "--demo-traffic", str(args.demo_traffic)],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    read_line(sim)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    origin = "http://127.0.0.1:%d" % port
    # Each console gets a host name of its own (Chromium takes *.localhost
    # as loopback): a browser opens at most 6 connections to one host, and
    # every console holds one for its event stream.
    with open(d + "/srvvexon.ini", "w") as f:
        f.write("[Rpc]\nAllowedHosts=%s\n" % ",".join("c%d.localhost" % i for i in range(args.consoles)))
    log = open(d + "/server.log", "wb")
    server = subprocess.Popen([args.server, "--data-dir", d, "--config", d + "/srvvexon.ini", "--port", "COM1=" + d + "/tty",
                               "--rpc-tcp", "off", "--rpc-http", "127.0.0.1:%d" % port],
                              stdout=subprocess.PIPE, stderr=log)
    read_line(server)

    def rpc(method, **params):
        body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "sysvexon_" + method, "params": params}).encode()
        req = urllib.request.Request(origin + "/rpc", body, {"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=30) as r:
            return json.loads(r.read())["result"]

    def events_sent():
        with urllib.request.urlopen(origin + "/metrics", timeout=30) as r:
            return sum(float(l.rsplit(" ", 1)[1]) for l in r.read().decode().splitlines()
                       if l.startswith("vexon_stream_events_sent_total"))

    driver = None
    try:
        rpc("OpenSerialPort", PortNumber=1)
        eid = rpc("Autoconfig")["EventID"]
        while rpc("GetExtendedCommandState", EventID=eid)["Value"] == -1:
            time.sleep(0.05)
        rpc("StartMonitoring")

        def phase(name):
            c0, e0, t0 = cpu_seconds(server.pid), events_sent(), time.monotonic()
            time.sleep(args.seconds)
            c1, e1, t1 = cpu_seconds(server.pid), events_sent(), time.monotonic()
            print("%-22s server CPU %.2f %% of one core (%.2f s in %.0f s), events sent to subscribers %.0f"
                  % (name, 100 * (c1 - c0) / (t1 - t0), c1 - c0, t1 - t0, e1 - e0), flush=True)

        phase("no console open:")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--user-data-dir=" + d + "/profile"):
            options.add_argument(a)
        driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
        driver.execute_cdp_cmd("Network.enable", {})
        driver.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})
        for i in range(args.consoles):
            if i:
                driver.switch_to.new_window("tab")
            driver.get("http://c%d.localhost:%d/" % (i, port))
            deadline = time.monotonic() + 60
            while driver.execute_script("return document.body.dataset.ready") != "1":
                if time.monotonic() > deadline:
                    raise TimeoutError("console %d did not open" % i)
                time.sleep(0.1)
            if i == 0:
                print("first console: %s" % json.dumps(driver.execute_script("""
                    const nav = performance.getEntriesByType('navigation')[0];
                    const files = performance.getEntriesByType('resource').filter(e => e.initiatorType !== 'fetch');
                    const paint = performance.getEntriesByName('first-contentful-paint')[0];
                    return {bytesTransferred: nav.transferSize + files.reduce((n, e) => n + e.transferSize, 0),
                            files: files.length + 1, firstContentfulPaintMs: paint && paint.startTime,
                            domContentLoadedMs: nav.domContentLoadedEventEnd};""")), flush=True)
        phase("%d consoles open:" % args.consoles)
    finally:
        if driver:
            driver.quit()
        server.send_signal(signal.SIGTERM)
        server.wait(60)
        sim.kill()
        sim.wait()
        log.close()
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
