// Texts and decoding shared by the console's views.

export const $ = (id) => document.getElementById(id);

export function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k === 'dataset') Object.assign(e.dataset, v);
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return e;
}

// The window's fields.
export const portText = (n) => (n ? `COM${n}` : 'закрыт');
export const statusText = (configured) => (configured ? 'работа' : 'конфигурация');
export const dataText = (configured, cards) => (!configured ? 'конфигурация' : cards ? 'Ok' : 'пропуска');
export function statusDetail(text) {
  return text === 'работа'
    ? 'Система полностью функциональна.'
    : 'Система не сконфигурирована.\nНеобходимо выполнить автоконфигурацию системы.';
}
export function dataDetail(text) {
  if (text === 'Ok') return 'Необходимые данные для работы системы загружены.';
  if (text === 'конфигурация') return 'Нет данных о конфигурации системы.';
  return 'Не установлен список пропусков системы.';
}

export const RKD = ['Открыто', 'Автономный контроль', 'Системный контроль', 'Охрана', 'Закрыто'];

export function readerModes(b1) {
  return `1: ${RKD[b1 & 7] ?? b1 & 7}; 2: ${RKD[(b1 >> 4) & 7] ?? (b1 >> 4) & 7}`;
}

const bit = (b, n) => (b >> n) & 1;

// The status block b1..b7, decoded.
export function decodeStatus(u) {
  const rows = [];
  rows.push(['b1', u.b1, `режим считывателя 1: ${RKD[u.b1 & 7] ?? u.b1 & 7}; считывателя 2: ${RKD[(u.b1 >> 4) & 7] ?? (u.b1 >> 4) & 7}`]);
  const b2 = [];
  if (bit(u.b2, 0)) b2.push('есть новые события в журнале регистрации');
  if (bit(u.b2, 1)) b2.push('авария сетевого питания');
  if (bit(u.b2, 2)) b2.push('авария батареи');
  if (bit(u.b2, 3)) b2.push('тревога по команде оператора');
  if (bit(u.b2, 6)) b2.push('нарушение конфигурации');
  if (bit(u.b2, 7)) b2.push('нет связи с контроллером');
  rows.push(['b2', u.b2, b2.length ? b2.join('; ') : 'норма']);
  const unblocked = [0, 1, 2, 3].filter((i) => bit(u.b3, i)).map((i) => i + 1);
  const drivers = [0, 1, 2, 3].filter((i) => bit(u.b3, i + 4)).map((i) => i + 1);
  rows.push(['b3', u.b3, `разблокированы: ${unblocked.join(', ') || 'нет'}; связь с драйверами: ${drivers.join(', ') || 'нет'}`]);
  for (let d = 1; d <= 4; d++) {
    const b = u[`b${d + 3}`];
    const inputs = [0, 1, 2, 3].filter((i) => bit(b, i)).map((i) => i + 1);
    const outputs = [0, 1, 2, 3].filter((i) => bit(b, i + 4)).map((i) => i + 1);
    rows.push([`b${d + 3}`, b, `драйвер ${d}: входы ${inputs.join(', ') || '—'}; реле ${outputs.join(', ') || '—'}`]);
  }
  return rows;
}

export function linkText(u) {
  if (!u || !u.USCSValid) return 'нет данных';
  return bit(u.b2, 7) ? 'нет связи' : 'есть';
}

// Monitoring and registration events that call for attention.
export function isAlarm(stream, e) {
  if (stream === 'registration') return e.Alarm === 1;
  // Alarms (access violation, break-in or door open too long, input alarm,
  // operator alarm), a link lost (13 and 14 say it with opposite values)
  // and mains, battery and configuration failures.
  const c = e.EventCode;
  const a = e.EventAdd;
  return [2, 6, 8, 20].includes(c) || (c === 13 && a === 0) || ([14, 16, 17, 18].includes(c) && a === 1);
}

export function hhmmss(iso) {
  return iso ? iso.replace('T', ' ').slice(0, 19) : '';
}

// "07:39:09" for today's events, the date too for older ones.
export function shortTime(iso) {
  if (!iso) return '';
  const d = new Date();
  const today = `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, '0')}-${String(d.getDate()).padStart(2, '0')}`;
  return iso.startsWith(today) ? iso.slice(11, 19) : hhmmss(iso);
}

export function duration(seconds) {
  seconds = Math.max(0, Math.floor(seconds));
  const d = Math.floor(seconds / 86400);
  const h = Math.floor((seconds % 86400) / 3600);
  const m = Math.floor((seconds % 3600) / 60);
  const s = seconds % 60;
  const two = (n) => String(n).padStart(2, '0');
  return `${d ? `${d} д ` : ''}${two(h)}:${two(m)}:${two(s)}`;
}
