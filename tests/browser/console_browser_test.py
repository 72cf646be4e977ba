"""The web console in a real browser: headless Chromium driven by Selenium
against the real srvvexon and vexon-sim (paths in VEXON_SERVER_PATH and
VEXON_SIM_PATH). Pictures of every view, at a phone's and a desk's size,
go to VEXON_SHOTS_DIR as console-*.png; the figures of the page's weight
and first render to console-measure.json there.

One server, one simulator and one browser serve the whole class; the tests
run in their name order, each leaving the state the next one starts from.
Every wait is for a state of the page or of the server, never a fixed time.
"""

import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

SERVER = os.environ.get("VEXON_SERVER_PATH")
SIM = os.environ.get("VEXON_SIM_PATH")
SHOTS = os.environ.get("VEXON_SHOTS_DIR") or tempfile.mkdtemp(prefix="console-shots-")
CHROMIUM = os.environ.get("VEXON_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("VEXON_CHROMEDRIVER", "/usr/bin/chromedriver")
TOKEN = "browser-token-7"

try:
    from selenium import webdriver
    from selenium.common.exceptions import ElementNotInteractableException, StaleElementReferenceException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:  # reported by the skip below
    webdriver = None


def read_line(proc, timeout=30.0):
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    if not ready:
        raise TimeoutError("no line from " + proc.args[0])
    return proc.stdout.readline().decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def shut_down(sock):
    """Ends both directions of a socket that may already be gone."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


class Proxy:
    """A TCP relay between the browser and the server that the test can cut:
    pause() closes every connection and refuses new ones until resume(), as
    a network that drops out would. The server takes the relay's address in
    Host as its own (same host, another port)."""

    def __init__(self, upstream_port):
        self.upstream = upstream_port
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.conns = []
        self.paused = False
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                paused = self.paused
            if paused:
                client.close()
                continue
            try:
                server = socket.create_connection(("127.0.0.1", self.upstream))
            except OSError:
                client.close()
                continue
            with self.lock:
                self.conns += [client, server]
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self.pipe, args=(a, b), daemon=True).start()

    @staticmethod
    def pipe(a, b):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            shut_down(s)

    def pause(self):
        with self.lock:
            self.paused = True
            conns, self.conns = self.conns, []
        for s in conns:
            shut_down(s)

    def resume(self):
        with self.lock:
            self.paused = False

    def close(self):
        self.sock.close()
        self.pause()


# Run by CTest (the server's path given), a missing browser or driver is a
# failure, not a silent skip.
if SERVER and not (webdriver and os.path.exists(CHROMEDRIVER) and os.path.exists(CHROMIUM)):
    raise SystemExit("console_browser_test: python3-selenium, chromium and chromium-driver are needed "
                     "(scripts/install-deps installs them)")


@unittest.skipUnless(SERVER and SIM and webdriver and os.path.exists(CHROMEDRIVER),
                     "needs VEXON_SERVER_PATH, VEXON_SIM_PATH, python3-selenium and chromium-driver")
class ConsoleInABrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="vexon-browser-")
        os.makedirs(SHOTS, exist_ok=True)
        with open(cls.dir + "/srvvexon.ini", "w") as f:
            f.write("[Rpc]\nToken=%s\n" % TOKEN)
        cls.sim = subprocess.Popen([SIM, "--link", cls.dir + "/tty"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        read_line(cls.sim)
        cls.port = free_port()
        cls.server_origin = "http://127.0.0.1:%d" % cls.port
        cls.server = None
        cls.start_server()
        cls.proxy = Proxy(cls.port)
        cls.origin = "http://127.0.0.1:%d" % cls.proxy.port  # the browser's way in
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--user-data-dir=" + cls.dir + "/profile", "--window-size=1920,1080", "--lang=ru",
                    "--no-first-run", "--disable-extensions", "--disable-background-networking"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
        cls.driver.execute_cdp_cmd("Network.enable", {})
        cls.driver.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})
        cls.driver.get(cls.origin + "/")
        # Every request of the whole run stays in the resource timings that
        # the origin check reads (the browser keeps 250 by default).
        cls.driver.execute_script("performance.setResourceTimingBufferSize(1000000)")

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.proxy.close()
        cls.stop_server()
        cls.sim.kill()
        cls.sim.wait()
        cls.sim.stdin.close()
        cls.sim.stdout.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def start_server(cls):
        cls.log = open(cls.dir + "/server.log", "ab")
        cls.server = subprocess.Popen(
            [SERVER, "--data-dir", cls.dir, "--config", cls.dir + "/srvvexon.ini", "--port", "COM1=" + cls.dir + "/tty",
             "--rpc-tcp", "off", "--rpc-http", "127.0.0.1:%d" % cls.port, "--trace", cls.dir + "/trace.txt"],
            stdout=subprocess.PIPE, stderr=cls.log)
        line = read_line(cls.server)
        assert "listening on http" in line, line

    @classmethod
    def stop_server(cls):
        cls.server.send_signal(signal.SIGTERM)
        assert cls.server.wait(60) == 0, "srvvexon did not stop cleanly (see %s/server.log)" % cls.dir
        cls.server.stdout.close()
        cls.log.close()

    # ---- helpers ----------------------------------------------------------------

    def rpc(self, method, **params):
        body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "sysvexon_" + method, "params": params}).encode()
        req = urllib.request.Request(self.server_origin + "/rpc", body, {
            "Content-Type": "application/json", "Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req, timeout=30) as r:
            answer = json.loads(r.read())
        self.assertNotIn("error", answer, method)
        return answer["result"]

    def wait_answer(self, event_id):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            s = self.rpc("GetExtendedCommandState", EventID=event_id)
            if s["Value"] != -1:
                self.rpc("DeleteAnswer", EventID=event_id)
                return s
        self.fail("no answer to request %d" % event_id)

    def metrics(self):
        req = urllib.request.Request(self.server_origin + "/metrics", headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req, timeout=30) as r:
            text = r.read().decode()
        out = {}
        for line in text.splitlines():
            if line and not line.startswith("#"):
                name, value = line.rsplit(" ", 1)
                out[name] = float(value)
        return out

    def sim_says(self, text):
        self.sim.stdin.write((text + "\n").encode())
        self.sim.stdin.flush()
        return read_line(self.sim).strip()

    def until(self, condition, timeout=30, message=""):
        def check(d):
            try:
                return condition(d)
            except StaleElementReferenceException:
                return False
        return WebDriverWait(self.driver, timeout, poll_frequency=0.05).until(check, message)

    def by_id(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def text(self, element_id):
        # What the element holds, shown or not (a hidden view keeps updating).
        return self.by_id(element_id).get_attribute("textContent").strip()

    def tab(self, name):
        self.by_id("tab-" + name).click()
        self.until(lambda d: self.by_id("view-" + name).is_displayed())

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(SHOTS, "console-%s.png" % name))

    def viewport(self, width, height, mobile=False):
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})

    def act_on(self, css, action):
        """Finds the element and acts on it in one step, again if the page
        redrew it in between (the controllers' table follows the streams) or
        it cannot take input yet (a view just shown, a row being redrawn)."""
        def attempt(d):
            found = d.find_elements(By.CSS_SELECTOR, css)
            if not found:
                return False
            try:
                action(found[0])
            except ElementNotInteractableException:
                return False
            return True
        self.until(attempt, message=css)

    def confirm(self):
        self.until(lambda d: self.by_id("confirm").get_attribute("open") is not None)
        self.by_id("confirm-ok").click()

    # ---- the tests, in order ----------------------------------------------------

    def test_1_a_wrong_token_is_refused_the_right_one_signs_in(self):
        self.until(lambda d: self.by_id("login").is_displayed(), message="the login form")
        self.assertFalse(self.by_id("app").is_displayed())
        self.by_id("token").send_keys("not-the-token" + Keys.ENTER)
        self.until(lambda d: self.text("login-error") == "Неверный токен.")
        self.shot("login")
        self.assertFalse(self.by_id("app").is_displayed())
        token = self.by_id("token")
        token.clear()
        token.send_keys(TOKEN + Keys.ENTER)
        self.until(lambda d: d.execute_script("return document.body.dataset.ready") == "1")
        self.until(lambda d: self.by_id("link").get_attribute("data-state") == "live")
        self.assertTrue(self.by_id("logout").is_displayed())
        cookies = self.driver.get_cookies()
        self.assertEqual([(c["name"], c["httpOnly"], c.get("sameSite")) for c in cookies],
                         [("vexon_session", True, "Strict")])
        self.assertIsNone(self.driver.execute_script("return document.cookie.match(/vexon_session/)"),
                          "the page's script cannot read the session cookie")

    def test_2_the_overview_shows_what_the_rpc_says(self):
        self.assertEqual(self.text("ov-port"), "закрыт")
        self.assertEqual(self.text("ov-status"), "конфигурация")
        self.assertEqual(self.rpc("OpenSerialPort", PortNumber=1)["Value"], 0)
        self.assertEqual(self.wait_answer(self.rpc("Autoconfig")["EventID"])["Value"], 0)
        self.rpc("StartMonitoring")
        count = self.rpc("GetControllerCount")["Cnt"]
        self.until(lambda d: self.rpc("GetControllerUSCS", ControllerNum=count)["USCSValid"] == 1,
                   message="the monitoring's first pass")
        # Live from the state stream, no reload.
        port = self.rpc("GetOpenSerialPortNumber")["PortNumber"]
        state = self.rpc("GetServerState")["Value"]
        self.until(lambda d: self.text("ov-port") == "COM%d" % port)
        self.until(lambda d: self.text("ov-status") == ("конфигурация" if state == 31 else "работа"))
        self.until(lambda d: self.text("ov-data") == {31: "конфигурация", 0: "Ok"}.get(state, "пропуска"))
        self.by_id("ov-data-more").click()
        self.until(lambda d: self.text("ov-detail") == "Не установлен список пропусков системы.")

        def same_counts(_):
            m = self.metrics()
            return (self.text("ov-queue") == "%g" % m["vexon_request_queue_length"] and
                    self.text("ov-answers") == "%g" % m["vexon_answers_pending"] and
                    self.text("ov-mon") == "%g" % m["vexon_monitoring_journal_size"] and
                    self.text("ov-reg") == "%g" % m["vexon_registration_journal_size"])
        self.until(same_counts, message="queue, answers and journal sizes as /metrics has them")
        self.until(lambda d: re.fullmatch(r"\d\d:\d\d:\d\d", self.text("ov-uptime")))
        self.until(lambda d: self.text("ov-command") != "—", message="the request taken up")
        self.shot("overview-1920")

    def test_3_a_presented_card_is_in_the_events_view_within_two_seconds(self):
        self.tab("events")
        before = len(self.driver.find_elements(By.CSS_SELECTOR, "#ev-table tbody tr"))
        t0 = time.monotonic()
        self.assertTrue(self.sim_says("card 0 0 12/1001").startswith(("granted", "refused")))
        # The row's fields read in one step: the live table redraws its rows.
        row = self.until(lambda d: d.execute_script(
            "const r = document.querySelector(\"#ev-table tbody tr[data-stream=monitoring][data-makeadr='564']\");"
            "return r && {code: r.dataset.code, add: r.dataset.add, text: r.innerText};"), timeout=10,
            message="the card's event within 2 s")
        print("card to events view: %.0f ms" % ((time.monotonic() - t0) * 1000))
        self.assertLessEqual(time.monotonic() - t0, 2.0)
        self.assertGreater(len(self.driver.find_elements(By.CSS_SELECTOR, "#ev-table tbody tr")), before)
        description = self.rpc("GetMonEventDescription", EventCode=int(row["code"]),
                               EventAdd=int(row["add"]))["Value"]
        self.assertTrue(description)
        self.assertIn(description, row["text"])
        # An alarm stands out; the kind filter keeps only alarms.
        self.sim_says("breakin 0 1")
        self.until(lambda d: [r for r in d.find_elements(By.CSS_SELECTOR, "#ev-table tbody tr.alarm")
                              if "ТРЕВОГА - ВЗЛОМ!" in r.text], message="the break-in stands out")
        Select(self.by_id("ev-kind")).select_by_value("alarm")
        self.until(lambda d: all("alarm" in r.get_attribute("class")
                                 for r in d.find_elements(By.CSS_SELECTOR, "#ev-table tbody tr")))
        Select(self.by_id("ev-kind")).select_by_value("")
        self.shot("events-1920")

    def test_4_open_a_door_puts_openim_on_the_line_and_shows_the_answer(self):
        self.tab("controllers")
        self.act_on("#ctl-table tbody tr[data-makeadr='564']", lambda row: row.click())
        rows = self.driver.find_elements(By.CSS_SELECTOR, "#ctl-table tbody tr")
        self.assertEqual(len(rows), self.rpc("GetControllerCount")["Cnt"])
        self.until(lambda d: self.by_id("ctl-detail").is_displayed())
        self.until(lambda d: "Байты статуса" in self.text("ctl-bytes"))
        for field, value in (("act-driver", "2"), ("act-im", "1")):
            e = self.by_id(field)
            e.clear()
            e.send_keys(value)
        self.by_id("act-open-door").click()
        self.confirm()
        answer = self.until(lambda d: d.find_elements(
            By.CSS_SELECTOR, "#answers li[data-method=OpenIm]:not([data-state=pending])"))[0]
        self.assertEqual(answer.get_attribute("data-state"), "done", answer.text)
        self.assertIn("0 — " + self.rpc("GetErrorDescription", Code=0)["Value"], answer.text)
        # The command went over the line: a request frame with code 0x42.
        with open(self.dir + "/trace.txt") as f:
            frames = [l for l in f if re.search(r" TX 01 03 [0-9A-F]{2} [0-9A-F]{2} 42 [0-9A-F]{2}$", l.strip())]
        self.assertEqual(len(frames), 1, "one OpenIm frame on the line")
        self.shot("controllers-1920")

    def test_5_the_line_view_draws_its_charts_and_shows_frames_on_demand(self):
        self.tab("line")
        self.until(lambda d: d.execute_script(
            "const c = window.Chart && Chart.getChart('chart-rate'); return !!c && c.data.labels.length > 0"),
            message="the charts are drawn from two samples of the metrics")
        self.by_id("trace-toggle").click()
        self.until(lambda d: re.search(r" (TX|RX) ", self.text("trace")), message="frames while following the line")
        self.by_id("trace-pause").click()
        self.assertEqual(self.by_id("trace-pause").get_attribute("aria-pressed"), "true")
        self.shot("line-1920")
        self.by_id("trace-pause").click()
        self.by_id("trace-toggle").click()

    def monitoring_seqs(self, stream="monitoring"):
        # In one step: the live table redraws its rows.
        return [int(n) for n in self.driver.execute_script(
            "return [...document.querySelectorAll('#ev-table tbody tr[data-stream=%s]')].map(r => r.dataset.seq)"
            % stream)]

    def test_5b_a_lost_connection_is_shown_and_resumed_without_a_hole_or_a_repeat(self):
        # A page opened afresh has had no event of the monitoring and
        # registration streams yet when the connection is cut: the events of
        # the outage must come all the same.
        self.driver.get(self.origin + "/")
        self.driver.execute_script("performance.setResourceTimingBufferSize(1000000)")
        self.until(lambda d: self.by_id("link").get_attribute("data-state") == "live", message="the new page is live")
        self.tab("events")
        self.assertEqual(self.monitoring_seqs(), [], "an opened page shows no history")
        self.proxy.pause()
        self.until(lambda d: self.by_id("link").get_attribute("data-state") == "lost", message="the loss is shown")
        # Events while the console is away: the stream must bring them once back.
        last = 0
        last_reg = 0
        reg_size = self.metrics()["vexon_registration_journal_size"]
        self.sim_says("card 2 1 11")
        self.sim_says("breakin 2 1")
        self.until(lambda d: self.metrics()["vexon_registration_journal_size"] > reg_size, timeout=30,
                   message="a registration event while the console is away")
        self.proxy.resume()
        self.until(lambda d: self.by_id("link").get_attribute("data-state") == "live", message="reconnected")
        self.until(lambda d: [r for r in d.find_elements(By.CSS_SELECTOR, "#ev-table tbody tr[data-makeadr='565']")
                              if "ВЗЛОМ" in r.text], message="the events of the outage")
        seqs = self.monitoring_seqs()
        self.assertEqual(len(seqs), len(set(seqs)), "no event twice")
        self.assertEqual(sorted(seqs, reverse=True), seqs, "newest first")
        self.assertEqual(sorted(seqs), list(range(min(seqs), max(seqs) + 1)), "no hole")
        self.assertGreater(max(seqs), last)
        self.until(lambda d: max(self.monitoring_seqs("registration"), default=0) > last_reg,
                   message="the registration events of the outage")

    def test_6_a_server_restart_is_recovered_without_a_reload(self):
        # A command still waiting when the server restarts (the line is
        # silent, so it waits out its time-outs): its number names another
        # client's request in the new run.
        self.sim_says("linklost 1")
        self.tab("overview")
        self.by_id("act-set-clock").click()
        self.confirm()
        pending = self.until(lambda d: d.execute_script(
            "const li = document.querySelector('#answers li[data-method=SetTimer][data-state=pending]');"
            "return li && li.textContent.match(/запрос (\\d+) в очереди/);"), message="the clock request queued")
        page_id = int(pending[1])
        self.tab("events")
        marker = self.driver.execute_script("window.__sameDocument = 1; return document.body.dataset.run || ''")
        self.stop_server()
        self.until(lambda d: self.by_id("link").get_attribute("data-state") == "lost", message="the loss is shown")
        self.shot("lost-1920")
        self.start_server()
        self.until(lambda d: self.by_id("link").get_attribute("data-state") == "live", timeout=60)
        self.until(lambda d: "Сервер перезапущен" in self.text("notice"))
        self.sim_says("linklost 0")
        # The site's own client queues requests of the new run up to the
        # page's old number (the port is closed: each is answered 2): the
        # page gives its request up and neither shows nor deletes that answer.
        site_id = 0
        while site_id < page_id:
            site_id = self.rpc("SetTimer")["EventID"]
        item = self.until(lambda d: d.execute_script(
            "const li = document.querySelector('#answers li[data-method=SetTimer]');"
            "return li && li.dataset.state !== 'pending' && {state: li.dataset.state, text: li.textContent};"),
            timeout=30, message="the old request given up")
        self.assertEqual(item["state"], "error", item["text"])
        self.assertIn("сервер перезапущен", item["text"], "the number of another run taken for the page's own")
        self.until(lambda d: self.rpc("GetCommandState", EventID=page_id)["Value"] != -1)
        self.assertNotEqual(self.rpc("GetCommandState", EventID=page_id)["Value"], 14,
                            "the site's answer of that number is still there")
        self.assertNotEqual(self.driver.execute_script("return document.body.dataset.run"), marker)
        self.assertEqual(self.driver.execute_script("return window.__sameDocument"), 1, "no reload")
        # The new run's events come in (the session was kept).
        self.assertEqual(self.rpc("OpenSerialPort", PortNumber=1)["Value"], 0)
        self.until(lambda d: self.text("ov-port") == "COM1", message="the new run's state stream")
        self.rpc("StartMonitoring")
        count = self.rpc("GetControllerCount")["Cnt"]
        self.until(lambda d: self.rpc("GetControllerUSCS", ControllerNum=count)["USCSValid"] == 1,
                   message="the monitoring's first pass")
        self.sim_says("card 2 1 11")
        self.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#ev-table tbody tr[data-makeadr='565']"))

    def test_7_no_request_leaves_the_servers_origin(self):
        names = self.driver.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name)"
            ".concat(performance.getEntriesByType('navigation').map(e => e.name))")
        self.assertTrue(names)
        strangers = [n for n in names if not n.startswith(self.origin + "/")]
        self.assertEqual(strangers, [])
        # Nothing the page does is refused by its own policy (default-src 'self').
        refused = [e["message"] for e in self.driver.get_log("browser")
                   if "Content Security Policy" in e["message"] or "Refused to" in e["message"]]
        self.assertEqual(refused, [])

    def test_8_the_page_fits_a_phone_and_a_desk_and_works_by_keyboard(self):
        for width, height, mobile in ((390, 844, True), (1920, 1080, False)):
            self.viewport(width, height, mobile)
            for view in ("overview", "controllers", "events", "line"):
                self.tab(view)
                # Charts follow the new width once they have seen it.
                self.until(lambda d: d.execute_script(
                    "return document.documentElement.scrollWidth <= document.documentElement.clientWidth"),
                    timeout=10, message="%s at %dx%d scrolls sideways" % (view, width, height))
                if width == 390:
                    self.shot("%s-390" % view)
        self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        # The tabs follow the arrow keys, a controller row opens with Enter.
        self.tab("overview")
        self.by_id("tab-overview").send_keys(Keys.ARROW_RIGHT)
        self.until(lambda d: self.by_id("view-controllers").is_displayed())
        self.assertEqual(self.driver.switch_to.active_element.get_attribute("id"), "tab-controllers")
        self.act_on("#ctl-table tbody tr[data-makeadr='565']", lambda row: row.send_keys(Keys.ENTER))
        self.until(lambda d: "565" in self.text("ctl-detail-title"))

    def test_9_measure_then_sign_out(self):
        # A fresh load with the cache off: every byte the console needs.
        self.driver.get(self.origin + "/")
        self.until(lambda d: d.execute_script("return document.body.dataset.ready") == "1")
        figures = self.driver.execute_script("""
            const nav = performance.getEntriesByType('navigation')[0];
            const res = performance.getEntriesByType('resource');
            const paint = performance.getEntriesByName('first-contentful-paint')[0];
            const files = res.filter(e => !e.name.includes('/rpc') && !e.name.includes('/events')
                                          && !e.name.includes('/metrics') && !e.name.includes('/console/session'));
            return {
              pageBytes: nav.transferSize + files.reduce((n, e) => n + e.transferSize, 0),
              pageBodyBytes: nav.encodedBodySize + files.reduce((n, e) => n + e.encodedBodySize, 0),
              allBytes: nav.transferSize + res.reduce((n, e) => n + e.transferSize, 0),
              files: files.length + 1,
              firstContentfulPaintMs: paint ? paint.startTime : null,
              domContentLoadedMs: nav.domContentLoadedEventEnd,
            };""")
        with open(os.path.join(SHOTS, "console-measure.json"), "w") as f:
            json.dump(figures, f, indent=1)
        print("console figures:", figures)
        self.assertLessEqual(figures["pageBytes"], 300 * 1024, figures)
        self.by_id("logout").click()
        self.until(lambda d: self.by_id("login").is_displayed())
        self.assertEqual(self.driver.get_cookies(), [], "the cookie is gone")
        self.driver.refresh()
        self.until(lambda d: self.by_id("login").is_displayed(), message="signed out for good")


if __name__ == "__main__":
    unittest.main()
