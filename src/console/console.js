// The web console: signs in, shows the overview, the controllers, the
// events and the line, live from the event streams, and carries out the
// operator's commands through the ordinary operations.
import { Api, RpcError, SessionLost, metric } from './api.js';
import { EventStream } from './stream.js';
import {
  $, el, portText, statusText, dataText, statusDetail, dataDetail, readerModes, decodeStatus, linkText, isAlarm,
  hhmmss, shortTime, duration, RKD,
} from './views.js';

const api = new Api();
const MAX_EVENTS = 2000;
const HISTORY_POINTS = 180;  // 15 minutes of 5-second samples
const SAMPLE_MS = 5000;

const state = {
  tokenRequired: false,
  stream: null,
  trace: null,
  controllers: [],        // {num, info, drivers, uscs}
  selected: null,         // MakeAdr of the controller shown in detail
  events: [],             // newest last: {key, stream, seq, e, alarm}
  pausedEvents: false,
  pausedTrace: false,
  startTime: 0,
  history: [],            // {t, sent, failed, status}
  charts: null,
  timers: [],
};

// ---- small helpers ---------------------------------------------------------

function throttle(fn, ms) {
  let timer = null;
  let again = false;
  return () => {
    if (timer) {
      again = true;
      return;
    }
    fn();
    timer = setTimeout(() => {
      timer = null;
      if (again) {
        again = false;
        fn();
      }
    }, ms);
  };
}

function setText(id, text) {
  const e = $(id);
  if (e.textContent !== String(text)) e.textContent = text;
}

function notice(text) {
  const n = $('notice');
  n.textContent = text;
  n.hidden = !text;
}

function setLink(s) {
  const texts = {
    connecting: 'подключение…',
    live: 'на связи',
    lost: 'связь с сервером потеряна, повтор…',
    denied: 'сеанс окончен',
    signedout: 'вход не выполнен',
  };
  const e = $('link');
  e.dataset.state = s;
  e.textContent = texts[s] || s;
  document.body.dataset.link = s;
}

function confirmAction(text) {
  const d = $('confirm');
  $('confirm-text').textContent = text;
  return new Promise((resolve) => {
    d.addEventListener('close', () => resolve(d.returnValue === 'ok'), { once: true });
    d.returnValue = '';
    d.showModal();
    $('confirm-cancel').focus();
  });
}

// Runs one command behind a confirmation and shows its answer with its text.
async function command(label, method, params, after) {
  if (!(await confirmAction(`${label}?`))) return;
  const item = el('li', { dataset: { method, state: 'pending' } }, `${label}: отправлено…`);
  const list = $('answers');
  list.prepend(item);
  while (list.children.length > 20) list.lastChild.remove();
  const show = (stateName, text) => {
    item.dataset.state = stateName;
    item.textContent = `${new Date().toLocaleTimeString('ru-RU')} ${label}: ${text}`;
  };
  try {
    const run = (await api.status()).run;
    const r = await api.call(method, params);
    let value = r && r.Value;
    let extra = '';
    if (r && r.EventID !== undefined && value === 0) {
      show('pending', `запрос ${r.EventID} в очереди…`);
      const a = await api.waitAnswer(r.EventID, run);
      value = a.Value;
      extra = ` (запрос ${r.EventID}; ${a.Int1}/${a.Int2}/${a.Int3})`;
    }
    if (value === undefined) show('done', 'выполнено');
    else show(value === 0 ? 'done' : 'error', `${value} — ${await api.errorText(value)}${extra}`);
    item.dataset.value = value === undefined ? '' : String(value);
    if (after) Promise.resolve(after()).catch(() => {});
  } catch (e) {
    if (e instanceof SessionLost) return signedOut();
    show('error', e instanceof RpcError ? `ошибка ${e.code}: ${e.message}` : String(e.message || e));
  }
}

// ---- overview ----------------------------------------------------------------

async function loadOverview() {
  const port = await api.call('GetOpenSerialPortNumber');
  setText('ov-port', portText(port.Value === 0 ? port.PortNumber : 0));
  const s = (await api.call('GetServerState')).Value;
  setText('ov-status', statusText(s !== 31));
  setText('ov-data', dataText(s !== 31, s === 0));
  await refreshMetrics();
}

async function refreshMetrics() {
  let m;
  try {
    m = await api.metrics();
  } catch (e) {
    if (e instanceof SessionLost) signedOut();
    return;
  }
  setText('ov-queue', metric(m, 'vexon_request_queue_length') ?? '—');
  const classes = (m.vexon_request_queue_class_length || [])
    .filter((s) => s.value > 0)
    .map((s) => `«${s.labels.class}»: ${s.value}`);
  setText('ov-classes', classes.length ? classes.join(', ') : 'пусто');
  setText('ov-answers', metric(m, 'vexon_answers_pending') ?? '—');
  setText('ov-mon', metric(m, 'vexon_monitoring_journal_size') ?? '—');
  setText('ov-reg', metric(m, 'vexon_registration_journal_size') ?? '—');
  state.startTime = metric(m, 'process_start_time_seconds') || state.startTime;
  tickUptime();
  return m;
}
const refreshMetricsSoon = throttle(() => refreshMetrics(), 700);

function tickUptime() {
  if (state.startTime) setText('ov-uptime', duration(Date.now() / 1000 - state.startTime));
}

function onState(e) {
  switch (e.Kind) {
    case 'port': setText('ov-port', portText(e.Open ? e.PortNumber : 0)); break;
    case 'status': setText('ov-status', e.Text); break;
    case 'data': setText('ov-data', e.Text); break;
    case 'command': setText('ov-command', e.Text); break;
    case 'link': refreshControllersSoon(); break;
    case 'journalRead':
      if (!e.Started) refreshControllersSoon();
      break;
    default: break;
  }
  if (e.Kind === 'status' || e.Kind === 'data') refreshControllersSoon();
  refreshMetricsSoon();
}

// ---- controllers ---------------------------------------------------------------

async function loadControllers() {
  const count = await api.call('GetControllerCount');
  const list = [];
  if (count.Value === 0) {
    const blocks = (await api.status()).controllers;
    for (let num = 1; num <= count.Cnt; num++) {
      const info = await api.call('GetControllerInfo', { ControllerNum: num });
      if (info.Value !== 0) continue;
      const drivers = [];
      for (let d = 1; d <= info._DrvCount; d++) {
        const di = await api.call('GetDriverInfo', { ControllerNum: num, DriverNum: d });
        if (di.Value === 0) drivers.push(di);
      }
      const uscs = blocks.find((b) => b.ControllerNum === num) || null;
      list.push({ num, info, drivers, uscs, seen: null });
    }
  }
  // When the console last saw a controller's status come or change; an
  // unchanged status keeps its time across a reload of the list.
  for (const c of list) {
    const old = state.controllers.find((o) => o.info._MakeAdr === c.info._MakeAdr);
    if (!c.uscs || !c.uscs.USCSValid) c.seen = old ? old.seen : null;
    else c.seen = old && old.seen && old.uscs && sameStatus(old.uscs, c.uscs) ? old.seen : new Date();
  }
  state.controllers = list;
  renderControllers();
}
const refreshControllersSoon = throttle(() => loadControllers().catch(() => {}), 1000);

function sameStatus(a, b) {
  return b && [1, 2, 3, 4, 5, 6, 7].every((i) => a[`b${i}`] === b[`b${i}`]);
}

function kindText(info) {
  const kinds = [];
  kinds.push(info._Primary ? 'первичный' : 'вторичный');
  if (info._Modem) kinds.push('модем');
  if (info._Hub) kinds.push('концентратор');
  return kinds.join(', ');
}

function renderControllers() {
  const body = $('ctl-table').tBodies[0];
  // A redraw keeps the keyboard where it was.
  const focused = body.contains(document.activeElement) ? document.activeElement.dataset.makeadr : null;
  body.replaceChildren();
  $('ctl-empty').hidden = state.controllers.length > 0;
  const select = $('ev-controller');
  const chosen = select.value;
  select.replaceChildren(el('option', { value: '' }, 'все'));
  for (const c of state.controllers) {
    const u = c.uscs;
    const link = linkText(u);
    const row = el('tr', { tabindex: '0', dataset: { makeadr: c.info._MakeAdr }, class: link === 'нет связи' ? 'bad' : '' },
      el('td', { 'data-label': 'MakeAdr' }, c.info._MakeAdr),
      el('td', { 'data-label': 'SysAdr' }, c.info._SysAdr),
      el('td', { 'data-label': 'Тип' }, kindText(c.info)),
      el('td', { 'data-label': 'Драйверы' }, c.drivers.map((d) => `${d._DrvAdr}: тип ${d._DrvType}`).join('; ') || '—'),
      el('td', { 'data-label': 'Связь', class: 'link-cell' }, link),
      el('td', { 'data-label': 'Режимы' }, u && u.USCSValid ? readerModes(u.b1) : '—'),
      el('td', { 'data-label': 'Последний статус' }, c.seen ? c.seen.toLocaleTimeString('ru-RU') : '—'));
    row.addEventListener('click', () => showController(c.info._MakeAdr));
    row.addEventListener('keydown', (ev) => {
      if (ev.key === 'Enter' || ev.key === ' ') {
        ev.preventDefault();
        showController(c.info._MakeAdr);
      }
    });
    if (state.selected === c.info._MakeAdr) row.setAttribute('aria-selected', 'true');
    body.append(row);
    select.append(el('option', { value: String(c.info._MakeAdr) }, String(c.info._MakeAdr)));
  }
  select.value = chosen;
  if (focused) body.querySelector(`tr[data-makeadr="${focused}"]`)?.focus();
  if (state.selected !== null) showController(state.selected, false);
}

function showController(makeAdr, focus = true) {
  const c = state.controllers.find((x) => x.info._MakeAdr === makeAdr);
  const panel = $('ctl-detail');
  if (!c) {
    panel.hidden = true;
    state.selected = null;
    return;
  }
  state.selected = makeAdr;
  for (const r of $('ctl-table').tBodies[0].rows)
    r.setAttribute('aria-selected', r.dataset.makeadr === String(makeAdr) ? 'true' : 'false');
  panel.hidden = false;
  setText('ctl-detail-title', `Контроллер ${makeAdr} (SysAdr ${c.info._SysAdr})`);
  const bytes = $('ctl-bytes');
  bytes.replaceChildren();
  if (!c.uscs || !c.uscs.USCSValid) {
    bytes.append(el('p', { class: 'muted' }, 'Статус контроллера ещё не получен.'));
  } else {
    const t = el('table', { class: 'bytes' }, el('caption', {}, 'Байты статуса'));
    for (const [name, value, text] of decodeStatus(c.uscs))
      t.append(el('tr', {}, el('th', {}, name), el('td', { class: 'mono' }, `0x${value.toString(16).padStart(2, '0')}`), el('td', {}, text)));
    bytes.append(t);
  }
  if (focus) panel.querySelector('button').focus({ preventScroll: false });
}

// ---- events ----------------------------------------------------------------------

function addEvent(stream, seq, e) {
  const item = { key: `${state.stream.run}:${stream}:${seq}`, stream, seq, e, alarm: isAlarm(stream, e) };
  state.events.push(item);
  if (state.events.length > MAX_EVENTS) state.events.shift();
  if (!state.pausedEvents) renderEventSoon();
  else setText('ev-count', `пауза: ${state.events.length} событий в памяти`);
}

function eventRow(item) {
  const e = item.e;
  const card = e.CardID || e.FacilityCode ? `${e.FacilityCode}/${e.CardID}` : '';
  return el('tr', { class: item.alarm ? 'alarm' : '', dataset: {
    stream: item.stream, seq: item.seq, makeadr: e.MakeAdr,
    code: item.stream === 'monitoring' ? e.EventCode : e.EventType, add: item.stream === 'monitoring' ? e.EventAdd : e.Event,
  } },
    el('td', { class: 'mono', title: hhmmss(e.Time), 'data-label': 'Время' }, shortTime(e.Time)),
    el('td', { 'data-label': 'Журнал' }, item.stream === 'monitoring' ? 'мониторинг' : 'регистрация'),
    el('td', { 'data-label': 'MakeAdr' }, e.MakeAdr),
    el('td', { 'data-label': 'Описание' }, (item.alarm ? '⚠ ' : '') + e.Description),
    el('td', { class: 'mono', 'data-label': 'Карта' }, card || '—'));
}

function renderEvents() {
  const ctl = $('ev-controller').value;
  const kind = $('ev-kind').value;
  const rows = [];
  for (let i = state.events.length - 1; i >= 0 && rows.length < 500; i--) {
    const item = state.events[i];
    if (ctl && String(item.e.MakeAdr) !== ctl) continue;
    if (kind === 'alarm' ? !item.alarm : kind && item.stream !== kind) continue;
    rows.push(eventRow(item));
  }
  $('ev-table').tBodies[0].replaceChildren(...rows);
  setText('ev-count', `${rows.length} из ${state.events.length}`);
}
const renderEventSoon = throttle(renderEvents, 200);

// ---- line ------------------------------------------------------------------------------

function sample(m) {
  if (!m) return;
  state.history.push({
    t: Date.now(),
    sent: metric(m, 'vexon_frames_sent_total') || 0,
    failed: metric(m, 'vexon_frames_failed_total') || 0,
    status: metric(m, 'vexon_link_status') || 0,
  });
  if (state.history.length > HISTORY_POINTS + 1) state.history.shift();
  if (!$('view-line').hidden) drawCharts();
}

function drawCharts() {
  if (!window.Chart) return;
  const h = state.history;
  const labels = [];
  const rate = [];
  const quality = [];
  const byStatus = {};
  for (let i = 1; i < h.length; i++) {
    const dt = (h[i].t - h[i - 1].t) / 1000;
    const sent = Math.max(0, h[i].sent - h[i - 1].sent);
    const failed = Math.max(0, h[i].failed - h[i - 1].failed);
    labels.push(new Date(h[i].t).toLocaleTimeString('ru-RU'));
    rate.push(dt > 0 ? +(sent / dt).toFixed(2) : 0);
    quality.push(sent > 0 ? +((100 * (sent - failed)) / sent).toFixed(1) : null);
    if (failed > 0) (byStatus[h[i].status] ||= {})[i - 1] = failed;
  }
  if (!state.charts) {
    const Chart = window.Chart;
    const base = { animation: false, responsive: true, maintainAspectRatio: false, plugins: { legend: { display: false } } };
    state.charts = {
      rate: new Chart($('chart-rate'), { type: 'line', data: { labels: [], datasets: [{ data: [], borderColor: '#1f6feb', pointRadius: 0 }] }, options: { ...base, scales: { y: { beginAtZero: true } } } }),
      fail: new Chart($('chart-fail'), { type: 'bar', data: { labels: [], datasets: [] }, options: { ...base, plugins: { legend: { display: true } }, scales: { x: { stacked: true }, y: { stacked: true, beginAtZero: true } } } }),
      quality: new Chart($('chart-quality'), { type: 'line', data: { labels: [], datasets: [{ data: [], borderColor: '#2da44e', pointRadius: 0, spanGaps: true }] }, options: { ...base, scales: { y: { min: 0, max: 100 } } } }),
    };
  }
  const c = state.charts;
  c.rate.data.labels = labels;
  c.rate.data.datasets[0].data = rate;
  c.quality.data.labels = labels;
  c.quality.data.datasets[0].data = quality;
  const colours = ['#cf222e', '#bf8700', '#8250df', '#0550ae', '#57606a'];
  c.fail.data.labels = labels;
  c.fail.data.datasets = Object.entries(byStatus).map(([status, points], k) => ({
    label: `статус ${status}`,
    backgroundColor: colours[k % colours.length],
    data: labels.map((_, i) => points[i] || 0),
  }));
  c.rate.update();
  c.quality.update();
  c.fail.update();
}

function toggleTrace() {
  const on = !state.trace;
  $('trace-toggle').setAttribute('aria-pressed', String(on));
  $('trace-toggle').textContent = on ? 'Скрыть кадры' : 'Показать кадры';
  $('trace-pause').disabled = !on;
  if (!on) {
    state.trace.stop();
    state.trace = null;
    return;
  }
  const lines = [];
  state.trace = new EventStream(['line'], {
    event: (_s, _seq, e) => {
      lines.push(e.Text);
      if (lines.length > 400) lines.splice(0, lines.length - 400);
      if (!state.pausedTrace) $('trace').textContent = lines.join('\n');
    },
    gap: (_s, missed) => lines.push(`… пропущено кадров: ${missed}`),
    status: () => {},
    restart: () => lines.push('… сервер перезапущен'),
  });
  state.trace.start();
}

// ---- start and session -----------------------------------------------------------

function startStreams() {
  state.stream = new EventStream(['monitoring', 'registration', 'state'], {
    event: (stream, seq, e) => {
      if (stream === 'state') onState(e);
      else {
        addEvent(stream, seq, e);
        if (stream === 'monitoring' && e.EventCode !== 100 && e.EventCode !== 1) refreshControllersSoon();
      }
    },
    gap: (stream, missed) => notice(`Пропущено событий потока «${stream}»: ${missed} (клиент не успевал их получать).`),
    status: (s) => {
      setLink(s);
      if (s === 'denied') signedOut();
    },
    restart: (run) => {
      notice(`Сервер перезапущен (${new Date(run / 1000).toLocaleString('ru-RU')}). Данные обновлены.`);
      document.body.dataset.run = String(run);
      state.history = [];  // the counters began again with the new run
      loadOverview().catch(() => {});
      loadControllers().catch(() => {});
    },
  });
  state.stream.start();
}

async function start() {
  $('login').hidden = true;
  $('app').hidden = false;
  $('logout').hidden = !state.tokenRequired;
  startStreams();
  try {
    await loadOverview();
    await loadControllers();
  } catch (e) {
    if (e instanceof SessionLost) return signedOut();
    notice(`Не удалось прочитать состояние сервера: ${e.message}`);
  }
  document.body.dataset.ready = '1';
  sample(await refreshMetrics());
  state.timers.push(setInterval(async () => sample(await refreshMetrics()), SAMPLE_MS));
  state.timers.push(setInterval(tickUptime, 1000));
}

function stopAll() {
  if (state.stream) state.stream.stop();
  if (state.trace) toggleTrace();
  state.timers.forEach(clearInterval);
  state.timers = [];
  document.body.dataset.ready = '';
}

function signedOut() {
  stopAll();
  $('app').hidden = true;
  $('logout').hidden = true;
  $('login').hidden = false;
  setLink('signedout');
  $('token').focus();
}

async function boot() {
  let s;
  for (;;) {
    try {
      s = await api.session();
      break;
    } catch (e) {
      setLink('lost');
      await new Promise((ok) => setTimeout(ok, 2000));
    }
  }
  state.tokenRequired = s.tokenRequired;
  if (s.signedIn) start();
  else signedOut();
}

// ---- wiring ----------------------------------------------------------------------------

function selectTab(tab) {
  for (const t of document.querySelectorAll('[role=tab]')) {
    const on = t === tab;
    t.setAttribute('aria-selected', String(on));
    t.tabIndex = on ? 0 : -1;
    $(t.getAttribute('aria-controls')).hidden = !on;
  }
  if (tab.id === 'tab-line') drawCharts();
  if (tab.id === 'tab-events') renderEvents();
}

function wire() {
  const tabs = [...document.querySelectorAll('[role=tab]')];
  for (const t of tabs) {
    t.addEventListener('click', () => selectTab(t));
    t.addEventListener('keydown', (ev) => {
      const i = tabs.indexOf(t);
      const next = ev.key === 'ArrowRight' ? tabs[(i + 1) % tabs.length] : ev.key === 'ArrowLeft' ? tabs[(i + tabs.length - 1) % tabs.length] : null;
      if (next) {
        next.focus();
        selectTab(next);
      }
    });
  }
  $('login-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    $('login-button').disabled = true;
    setText('login-error', '');
    try {
      if (await api.login($('token').value)) {
        $('token').value = '';
        start();
      } else {
        setText('login-error', 'Неверный токен.');
      }
    } catch (e) {
      setText('login-error', String(e.message || e));
    } finally {
      $('login-button').disabled = false;
    }
  });
  $('logout').addEventListener('click', async () => {
    try {
      await api.logout();
    } catch (e) {
      // The session still holds: say so rather than show a sign-in form.
      notice(`Выход не выполнен: ${e.message || e}`);
      return;
    }
    stopAll();
    signedOut();
  });
  $('ov-status-more').addEventListener('click', () => setText('ov-detail', statusDetail($('ov-status').textContent)));
  $('ov-data-more').addEventListener('click', () => setText('ov-detail', dataDetail($('ov-data').textContent)));
  const port = () => Number($('act-port-number').value);
  $('act-open-port').addEventListener('click', () => command(`Открыть порт COM${port()}`, 'OpenSerialPort', { PortNumber: port() }, loadOverview));
  $('act-close-port').addEventListener('click', () => command('Закрыть порт', 'CloseSerialPort', {}, loadOverview));
  $('act-autoconfig').addEventListener('click', () => command('Автоконфигурация', 'Autoconfig', {}, () => { loadOverview(); loadControllers(); }));
  $('act-set-clock').addEventListener('click', () => command('Установить часы контроллеров', 'SetTimer', {}));
  $('act-start-monitoring').addEventListener('click', () => command('Начать мониторинг', 'StartMonitoring', {}));
  const mk = () => state.selected;
  $('act-open-door').addEventListener('click', () => {
    const d = Number($('act-driver').value), im = Number($('act-im').value);
    command(`Открыть дверь: контроллер ${mk()}, драйвер ${d}, замок ${im}`, 'OpenIm', { MakeAdr: mk(), DriverAdr: d, ImNumber: im });
  });
  $('act-set-rkd').addEventListener('click', () => {
    const r = Number($('act-reader').value), code = Number($('act-rkd').value);
    command(`Режим «${RKD[code]}» считывателю ${r} контроллера ${mk()}`, 'SetRKD', { MakeAdr: mk(), AdditionAdr: r, RKDCode: code });
  });
  $('act-read-journal').addEventListener('click', () => command(`Прочитать журнал регистрации контроллера ${mk()}`, 'GetRegJournal', { MakeAdr: mk() }));
  $('ev-controller').addEventListener('change', renderEvents);
  $('ev-kind').addEventListener('change', renderEvents);
  $('ev-pause').addEventListener('click', () => {
    state.pausedEvents = !state.pausedEvents;
    $('ev-pause').setAttribute('aria-pressed', String(state.pausedEvents));
    $('ev-pause').textContent = state.pausedEvents ? 'Продолжить' : 'Пауза';
    if (!state.pausedEvents) renderEvents();
  });
  $('trace-toggle').addEventListener('click', toggleTrace);
  $('trace-pause').addEventListener('click', () => {
    state.pausedTrace = !state.pausedTrace;
    $('trace-pause').setAttribute('aria-pressed', String(state.pausedTrace));
    $('trace-pause').textContent = state.pausedTrace ? 'Продолжить' : 'Пауза';
  });
}

wire();
boot();
