// The server's HTTP side as the console uses it: the session, the ordinary
// operations over POST /rpc, and the metrics page.

export class SessionLost extends Error {}

export class RpcError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

export class Api {
  constructor() {
    this.antiForgery = '';
    this.nextId = 1;
  }

  async session() {
    const r = await fetch('/console/session', { cache: 'no-store' });
    if (!r.ok) throw new Error(`session: HTTP ${r.status}`);
    const s = await r.json();
    this.antiForgery = s.antiForgery || '';
    return s;
  }

  // True when the token was right; false when the server refused it.
  async login(token) {
    const r = await fetch('/console/login', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ token }),
    });
    if (r.status === 401) return false;
    if (!r.ok) throw new Error(`вход: HTTP ${r.status}`);
    this.antiForgery = (await r.json()).antiForgery || '';
    return true;
  }

  // Ends the session; throws when the server did not. An anti-forgery value
  // gone stale (another tab signed in and replaced the cookie) is fetched
  // again once.
  async logout() {
    for (let attempt = 0; ; attempt++) {
      const r = await fetch('/console/logout', { method: 'POST', headers: this.changeHeaders() });
      if (r.ok) break;
      if (r.status !== 403 || attempt > 0) throw new Error(`выход: HTTP ${r.status}`);
      await this.session();
    }
    this.antiForgery = '';
  }

  changeHeaders() {
    const h = { 'Content-Type': 'application/json' };
    if (this.antiForgery) h['X-Vexon-Anti-Forgery'] = this.antiForgery;
    return h;
  }

  // One operation; its result object. An RPC error throws RpcError.
  async call(method, params = {}) {
    const r = await fetch('/rpc', {
      method: 'POST',
      headers: this.changeHeaders(),
      body: JSON.stringify({ jsonrpc: '2.0', id: this.nextId++, method: `sysvexon_${method}`, params }),
    });
    if (r.status === 401) throw new SessionLost('401');
    const j = await r.json();
    if (j.error) throw new RpcError(j.error.code, j.error.message);
    return j.result;
  }

  async errorText(code) {
    return (await this.call('GetErrorDescription', { Code: code })).Value;
  }

  // Waits for the answer of a queued request, releases it and returns
  // {Value, Int1, Int2, Int3}. `run`: the server's run when the request was
  // put in. Request numbers start again at a restart: once the run has
  // changed the number names another client's request, whose answer must be
  // neither read as ours nor deleted. `signal` ends the wait.
  async waitAnswer(eventId, run, signal) {
    const sameRun = async () => {
      if ((await this.status()).run !== run) throw new Error('сервер перезапущен, ответ на запрос потерян');
    };
    for (let delay = 100; ; delay = Math.min(delay * 1.5, 1000)) {
      try {
        await sameRun();
        const s = await this.call('GetExtendedCommandState', { EventID: eventId });
        if (s.Value !== -1) {
          await sameRun();
          await this.call('DeleteAnswer', { EventID: eventId });
          return s;
        }
      } catch (e) {
        // No connection (fetch fails with a TypeError): the request is still
        // queued in the server, so ask again; anything else ends the wait.
        if (!(e instanceof TypeError)) throw e;
      }
      if (signal && signal.aborted) throw new Error('прервано');
      await new Promise((ok) => setTimeout(ok, delay));
    }
  }

  // The metrics page as {name: [{labels: {...}, value}]}.
  async metrics() {
    const r = await fetch('/metrics', { cache: 'no-store' });
    if (r.status === 401) throw new SessionLost('401');
    if (!r.ok) throw new Error(`metrics: HTTP ${r.status}`);
    return parseMetrics(await r.text());
  }

  // The controllers' status blocks, read without clearing the changed flags
  // the site's own client watches (GetControllerUSCS would clear them).
  // With the server's run, as the event streams name it.
  async status() {
    const r = await fetch('/console/status', { cache: 'no-store' });
    if (r.status === 401) throw new SessionLost('401');
    if (!r.ok) throw new Error(`status: HTTP ${r.status}`);
    return r.json();
  }
}

export function parseMetrics(text) {
  const out = {};
  for (const line of text.split('\n')) {
    if (!line || line[0] === '#') continue;
    const m = /^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([^}]*)\})?\s+(\S+)$/.exec(line);
    if (!m) continue;
    const labels = {};
    if (m[3]) for (const l of m[3].matchAll(/(\w+)="((?:[^"\\]|\\.)*)"/g)) labels[l[1]] = l[2];
    (out[m[1]] ||= []).push({ labels, value: Number(m[4]) });
  }
  return out;
}

export function metric(metrics, name, labels = null) {
  const samples = metrics[name] || [];
  const s = labels ? samples.find((x) => Object.entries(labels).every(([k, v]) => x.labels[k] === v)) : samples[0];
  return s ? s.value : undefined;
}
