// GET /events read with fetch, so that a reconnection can name the last
// event seen of every stream at once: "Last-Event-ID: monitoring:57,state:12"
// and run=<the run those numbers belong to>. The server then sends exactly
// what followed (or, after a restart, everything it keeps of the new run):
// no repeat and no hole. A connection that goes silent for longer than two
// keep-alive periods counts as lost.

const SILENCE_MS = 35000;

export class EventStream {
  // handlers: event(stream, seq, data), gap(stream, missed), status(state, detail)
  //   with state 'connecting' | 'live' | 'lost' | 'denied', restart(run).
  constructor(streams, handlers) {
    this.streams = streams;
    this.h = handlers;
    this.run = 0;
    this.last = {};
    this.stopped = true;
    this.abort = null;
    this.retryMs = 500;
  }

  start() {
    if (!this.stopped) return;
    this.stopped = false;
    this.loop();
  }

  stop() {
    this.stopped = true;
    if (this.abort) this.abort.abort();
  }

  lastEventId() {
    return Object.entries(this.last).map(([s, n]) => `${s}:${n}`).join(',');
  }

  async loop() {
    while (!this.stopped) {
      this.h.status('connecting');
      let ended = 'lost';
      try {
        ended = await this.once();
      } catch (e) {
        ended = this.stopped ? 'stopped' : 'lost';
      }
      if (this.stopped) return;
      if (ended === 'denied') {
        this.stopped = true;
        this.h.status('denied');
        return;
      }
      this.h.status('lost');
      await new Promise((ok) => setTimeout(ok, this.retryMs));
      this.retryMs = Math.min(this.retryMs * 2, 5000);
    }
  }

  async once() {
    const abort = new AbortController();
    this.abort = abort;
    let url = `/events?streams=${this.streams.join(',')}`;
    if (this.run) url += `&run=${this.run}`;
    const headers = {};
    const id = this.lastEventId();
    if (id) headers['Last-Event-ID'] = id;
    let timer = setTimeout(() => abort.abort(), SILENCE_MS);
    const r = await fetch(url, { headers, cache: 'no-store', signal: abort.signal });
    if (r.status === 401 || r.status === 403) return 'denied';
    if (!r.ok || !r.body) return 'lost';
    const reader = r.body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      clearTimeout(timer);
      if (done) return 'lost';
      timer = setTimeout(() => abort.abort(), SILENCE_MS);
      buffer += decoder.decode(value, { stream: true });
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        this.message(buffer.slice(0, end));
        buffer = buffer.slice(end + 2);
      }
    }
  }

  message(text) {
    let id = '', event = 'message', data = '';
    for (const line of text.split('\n')) {
      if (line.startsWith(':')) continue;
      const colon = line.indexOf(':');
      const field = colon < 0 ? line : line.slice(0, colon);
      const value = colon < 0 ? '' : line.slice(colon + 1).replace(/^ /, '');
      if (field === 'id') id = value;
      else if (field === 'event') event = value;
      else if (field === 'data') data += (data ? '\n' : '') + value;
    }
    if (!data) return;
    const payload = JSON.parse(data);
    if (event === 'subscribed') {
      const restarted = this.run !== 0 && payload.run !== this.run;
      this.run = payload.run;
      this.retryMs = 500;
      if (restarted) this.last = {};
      // Every stream gets a position, so that a reconnection names them all
      // and a stream that had no event yet loses nothing of the outage
      // either: on opening, the number before the next new one; after a
      // restart, 0 (everything the new run keeps comes).
      for (const s of this.streams) {
        if (this.last[s] !== undefined) continue;
        const next = payload.next && Number(payload.next[s]);
        this.last[s] = restarted || !next ? 0 : next - 1;
      }
      this.h.status('live');
      if (restarted) this.h.restart(payload.run);
      return;
    }
    if (event === 'gap') {
      this.h.gap(payload.stream, payload.missed);
      return;
    }
    const seq = Number(id.slice(id.indexOf(':') + 1));
    const known = this.last[event] || 0;
    if (seq <= known) return;  // never shown twice, whatever the server sends
    this.last[event] = seq;
    this.h.event(event, seq, payload);
  }
}
