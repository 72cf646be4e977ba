"""A client of srvvexon over its line transport (TCP or a Unix socket).

Client(tcp="127.0.0.1:47301") or Client(unix="/run/srvvexon.sock"), with
token= where the server asks for one. At connect time the interface
description (rpc.discover) gives one method per operation, named without
the "sysvexon_" prefix, with the operation's arguments and help text:
c.OpenIm(MakeAdr=564, DriverAdr=2, ImNumber=1) returns the result object.
A result whose integer Value is not 0 raises VexonError carrying the code
and its text; so does an error answer of the server.

c.wait(event_id, timeout) waits for the answer of a queued request and
releases it. c.events("monitoring", "state") yields the events of the
streams as they come (each {"stream", "seq", "event"}, or {"stream", "gap"}
when events were missed), on a connection of its own; after a lost
connection it connects again and resumes after the last event it yielded.
Standard library only.
"""

import json
import socket
import time

PREFIX = "sysvexon_"


class VexonError(Exception):
    """A failed call: `code` is the result code (or the JSON-RPC error code
    when `rpc` is true), `text` its text."""

    def __init__(self, code, text, rpc=False):
        super().__init__(f"{code}: {text}")
        self.code = code
        self.text = text
        self.rpc = rpc


class _Line:
    """One connection: JSON texts one a line; notifications kept aside."""

    def __init__(self, tcp, unix, token, timeout):
        if unix:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.settimeout(timeout)
            self.sock.connect(unix)
        else:
            host, _, port = tcp.rpartition(":")
            self.sock = socket.create_connection((host.strip("[]"), int(port)), timeout)
        self.buffer = b""
        self.next_id = 1
        self.notifications = []
        if token:
            self.send({"auth": token})

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send(self, obj):
        self.sock.sendall(json.dumps(obj, ensure_ascii=False).encode() + b"\n")

    def read(self, timeout=None):
        """The next JSON text, or None when `timeout` passes first."""
        self.sock.settimeout(timeout)
        while b"\n" not in self.buffer:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return None
            if not chunk:
                raise ConnectionError("connection closed by the server")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return json.loads(line)

    def request(self, method, params, timeout):
        rid = self.next_id
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": rid, "method": method, "params": params})
        while True:
            msg = self.read(timeout)
            if msg is None:
                raise TimeoutError(f"no answer to {method}")
            if "id" not in msg and "method" in msg:
                self.notifications.append(msg)
                continue
            if msg.get("id") != rid:
                continue
            if "error" in msg:
                err = msg["error"]
                raise VexonError(err.get("code"), err.get("message", ""), rpc=True)
            return msg["result"]


class Client:
    def __init__(self, tcp=None, unix=None, token=None, timeout=30.0):
        if not tcp and not unix:
            tcp = "127.0.0.1:47301"
        self._where = (tcp, unix, token)
        self._timeout = timeout
        self._line = _Line(tcp, unix, token, timeout)
        self._texts = {}
        self.description = self._line.request("rpc.discover", {}, timeout)
        self.operations = {}
        for m in self.description.get("methods", []):
            name = m.get("name", "")
            if m.get("x-inherited") or not name.startswith(PREFIX):
                continue
            short = name[len(PREFIX):]
            self.operations[short] = m
            setattr(self, short, self._operation(name, short, m))

    def close(self):
        self._line.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, method, **params):
        """The raw result of any method (no Value check)."""
        return self._line.request(method, params, self._timeout)

    def error_text(self, code):
        if code not in self._texts:
            self._texts[code] = self.call(PREFIX + "GetErrorDescription", Code=code)["Value"]
        return self._texts[code]

    def _check(self, result):
        value = result.get("Value") if isinstance(result, dict) else None
        if isinstance(value, int) and not isinstance(value, bool) and value != 0:
            raise VexonError(value, self.error_text(value))
        return result

    def _operation(self, name, short, desc):
        args = [p["name"] for p in desc.get("params", [])]

        def op(*positional, **named):
            if len(positional) > len(args):
                raise TypeError(f"{short} takes {len(args)} arguments")
            params = dict(zip(args, positional))
            for key in named:
                if key not in args:
                    raise TypeError(f"{short} has no argument {key}")
                if key in params:
                    raise TypeError(f"{short} got {key} twice")
            params.update(named)
            return self._check(self.call(name, **params))

        arglist = ", ".join(f"{p['name']}: {p.get('x-type', '')}" for p in desc.get("params", []))
        op.__name__ = short
        op.__qualname__ = f"Client.{short}"
        op.__doc__ = f"{short}({arglist})\n\n{desc.get('summary', '')}" + (
            "\n\nQueued: returns EventID; wait(EventID) for the answer." if desc.get("x-queued") else "")
        return op

    def wait(self, event_id, timeout=30.0, keep=False):
        """Waits for the answer of a queued request; releases it unless
        `keep`. Raises VexonError when its code is not 0."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.call(PREFIX + "GetExtendedCommandState", EventID=event_id)
            if state.get("Value") != -1:
                break
            if time.monotonic() > deadline:
                raise TimeoutError(f"request {event_id} still pending")
            time.sleep(0.02)
        if not keep:
            self.call(PREFIX + "DeleteAnswer", EventID=event_id)
        return self._check(state)

    def events(self, *streams, reconnect_timeout=30.0, idle_timeout=None):
        """The events of `streams` as they come (an EventStream to iterate);
        resumes after a lost connection with the last number seen. With
        `idle_timeout`, waiting longer than that for an event raises
        TimeoutError."""
        tcp, unix, token = self._where
        return EventStream(lambda: _Line(tcp, unix, token, self._timeout), streams, self._timeout, reconnect_timeout,
                           idle_timeout)


class EventStream:
    """Iterates over the events of a subscription on a connection of its
    own: {"stream", "seq", "event"}, or {"stream", "gap"} for events the
    server could not keep for this client. The subscription is made at the
    first read, or by open(); `subscribed` is set each time one is in place.
    disconnect() ends the current connection (the stream connects again and
    resumes); close() ends it for good."""

    def __init__(self, connect, streams, timeout, reconnect_timeout, idle_timeout=None):
        import threading
        self._connect = connect
        self._streams = list(streams)
        self._timeout = timeout
        self._reconnect_timeout = reconnect_timeout
        self._idle_timeout = idle_timeout
        self._line = None
        self._last = {}
        self._run = 0
        self._closed = False
        self.subscribed = threading.Event()
        self.connections = 0

    def __iter__(self):
        return self

    def open(self):
        """Subscribes now, so that nothing from here on is missed."""
        if self._line is None:
            self._subscribe()
        return self

    def disconnect(self):
        line = self._line
        if line is not None:
            try:
                line.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self._closed = True
        self.disconnect()
        if self._line is not None:
            self._line.close()

    def _subscribe(self):
        deadline = time.monotonic() + self._reconnect_timeout
        while True:
            try:
                line = self._connect()
                params = {"streams": self._streams}
                if self._run:
                    params["from"] = {s: n + 1 for s, n in self._last.items()}
                    params["run"] = self._run
                answer = line.request("vexon.subscribe", params, self._timeout)
                break
            except (OSError, ConnectionError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        if self._run and answer["run"] != self._run:
            self._last = {}  # a new run of the server numbers from 1 again
        self._run = answer["run"]
        for name, n in answer["next"].items():
            self._last.setdefault(name, n - 1)
        self._line = line
        self.connections += 1
        self.subscribed.set()

    def __next__(self):
        while not self._closed:
            if self._line is None:
                self._subscribe()
            try:
                line = self._line
                msg = line.notifications.pop(0) if line.notifications else line.read(self._idle_timeout)
            except (OSError, ConnectionError):
                self.subscribed.clear()
                self._line.close()
                self._line = None
                continue
            if msg is None:
                raise TimeoutError("no event for %s s" % self._idle_timeout)
            if msg.get("method") != "vexon.event":
                continue
            p = msg["params"]
            if "gap" in p:
                gap = p["gap"]
                self._last[gap["stream"]] = self._last.get(gap["stream"], 0) + gap["missed"]
                return {"stream": gap["stream"], "gap": gap["missed"]}
            self._last[p["stream"]] = p["seq"]
            return {"stream": p["stream"], "seq": p["seq"], "event": p["event"]}
        raise StopIteration
