// The web remote: the unit's values as the service reports them, kept in one
// place and shown by every view; changes go to the service's JSON API
// (POST /api), and the unit's own messages arrive on /events.
'use strict';

const BM = (() => {
  const state = {
    values: {},      // control name -> value, only as the unit reported it
    controls: [],    // the controls table (op "controls")
    line: '',        // the service's line state, '' while the service is not reached
    read: false,     // the unit's values are in (hello answered since the stream opened)
    product: 'the unit',
    device: '',
  };
  const views = {};        // control name -> functions that show its value
  const busy = {};         // control name -> a set is with the service
  const queued = {};       // control name -> the latest value asked for meanwhile
  const $ = (id) => document.getElementById(id);

  function label(name) {
    const s = name.replace(/^out-/, 'output-').replace(/-l$/, '-left').replace(/-r$/, '-right').replace(/-/g, ' ');
    return s.charAt(0).toUpperCase() + s.slice(1);
  }

  function onValue(name, fn) {
    (views[name] = views[name] || []).push(fn);
    fn(state.values[name]);
  }

  function show(name) {
    for (const fn of views[name] || []) fn(state.values[name]);
  }

  function showAll() {
    for (const name of Object.keys(views)) show(name);
    refreshEnabled();
  }

  // Controls go off while there is no unit behind the service, and until
  // the page holds what the unit reported.
  function offline() {
    return !state.read || state.line === '' || state.line === 'lost' || state.line === 'reconnecting';
  }

  function refreshEnabled() {
    const off = offline();
    document.body.toggleAttribute('data-offline', off);
    for (const el of document.querySelectorAll('[data-control]')) {
      const name = el.dataset.control;
      el.disabled = off || !(name in state.values) || el.dataset.readonly === '1';
    }
    // What needs the unit, but no one control of it.
    for (const el of document.querySelectorAll('[data-line]')) el.disabled = off;
  }

  const bannerText = {
    connected: () => `Connected to ${state.product}` + (state.device ? ` on ${state.device}` : ''),
    asleep: () => `${state.product} is asleep`,
    not_answering: () => `${state.product} is not answering`,
    lost: () => 'Line lost: controls are off until it is back',
    reconnecting: () => `Reconnecting to ${state.product}...`,
  };

  function setLine(line) {
    state.line = line;
    const banner = $('banner');
    banner.dataset.state = line || 'service';
    // "Connected" only once the page shows the unit's values: before that
    // the controls are off, and the banner says why.
    banner.textContent = !line ? 'The service is not reachable: controls are off until it is back'
      : line === 'connected' && !state.read ? `Reading ${state.product}...`
        : (bannerText[line] || (() => line))();
    refreshEnabled();
  }

  function report(text, kind) {
    const el = $('outcome');
    el.textContent = text;
    el.dataset.kind = kind;
  }

  async function api(request) {
    const r = await fetch('/api', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify(request),
      credentials: 'same-origin',
      cache: 'no-store',
    });
    if (r.status === 401) {
      setLine('');
      $('banner').textContent = 'Not logged in: open the link that brennmark-cli web prints';
      throw new Error('unauthorized');
    }
    return r.json();
  }

  // The outcome in the service's words.
  const outcomeWords = {
    done: 'done', unchanged: 'unchanged', refused: 'refused', not_answered: 'not confirmed',
    line_lost: 'not sent: the line is lost', mismatch: 'not confirmed: the unit reports another value',
    invalid_value: 'refused', not_read: 'not read from the unit', superseded: 'superseded',
    overloaded: 'refused: too many requests', unknown_control: 'refused',
  };

  function takeResults(results) {
    for (const r of results || []) {
      if ('value' in r) {
        state.values[r.control] = r.value;
        show(r.control);
      }
    }
  }

  function describe(what, reply) {
    if (reply.error) {
      const word = outcomeWords[reply.error] || reply.error;
      report(`${what}: ${word} (${reply.message})`, reply.error === 'not_answered' ? 'failed' : 'refused');
      return;
    }
    const outcomes = (reply.results || []).map((r) => outcomeWords[r.outcome] || r.outcome);
    report(`${what}: ${outcomes.length ? outcomes.join(', ') : outcomeWords[reply.outcome] || 'done'}`, 'done');
  }

  // Sets values ({name: value}); while one set of a control is with the
  // service, a newer value waits and replaces any that waited before it.
  async function set(values, what) {
    const names = Object.keys(values);
    const key = names.join(',');
    if (busy[key]) {
      queued[key] = {values, what};
      return;
    }
    busy[key] = true;
    try {
      const reply = await api({op: 'set', values});
      takeResults(reply.results);
      describe(what || names.map(label).join(', '), reply);
    } catch (e) {
      if (e.message !== 'unauthorized') report(`${what || key}: not sent (${e.message})`, 'failed');
    } finally {
      busy[key] = false;
      // What the page shows is the unit's value again.
      for (const n of names) show(n);
      const next = queued[key];
      delete queued[key];
      if (next) set(next.values, next.what);
    }
  }

  async function ir(key, what) {
    try {
      const reply = await api({op: 'ir', key});
      describe(what || key, reply);
    } catch (e) {
      if (e.message !== 'unauthorized') report(`${what || key}: not sent (${e.message})`, 'failed');
    }
  }

  // Reads the unit's values and the controls table again. The line state is
  // the event stream's (it gives the state first thing): a hello's may be
  // older than the stream's latest. Only the latest of several reads counts.
  let reads = 0;
  async function refresh() {
    const read = ++reads;
    const hello = await api({op: 'hello'});
    if (read !== reads) return;
    if (hello.error) {
      setTimeout(() => { if (read === reads) refresh().catch(() => {}); }, 1000);
      return;
    }
    state.product = hello.product || state.product;
    state.device = hello.device || '';
    state.values = Object.assign({}, hello.controls);
    $('unit').textContent = `Brennmark: ${state.product}`;
    const table = await api({op: 'controls'});
    if (read !== reads) return;
    if (table.controls) state.controls = table.controls;
    document.dispatchEvent(new CustomEvent('bm-controls'));
    state.read = true;
    showAll();
    setLine(state.line);
  }

  function listen() {
    const events = new EventSource('/events');
    let wasOffline = false;
    events.onopen = () => { refresh().catch(() => {}); };
    events.onerror = () => { state.read = false; setLine(''); };
    events.onmessage = (m) => {
      const e = JSON.parse(m.data);
      if (e.event === 'change') {
        state.values[e.control] = e.value;
        show(e.control);
        refreshEnabled();
      } else if (e.event === 'name') {
        // A name another page or client gave the unit.
        state.values[e.control] = e.value;
        show(e.control);
      } else if (e.event === 'display') {
        state.values['display-1'] = e.line1;
        state.values['display-2'] = e.line2;
        show('display-1');
        show('display-2');
      } else if (e.event === 'power') {
        state.values.power = e.state === 'asleep' ? 'standby' : 'on';
        show('power');
      } else if (e.event === 'unit') {
        // Another unit or ROM has been read: its controls and values.
        state.read = false;
        setLine(state.line);
        refresh().catch(() => {});
      } else if (e.event === 'line') {
        const off = e.state === 'lost' || e.state === 'reconnecting';
        // Back from a loss, what changed meanwhile is read again before the
        // controls come on.
        if (off || wasOffline) state.read = false;
        setLine(e.state);
        if (wasOffline && !off) refresh().catch(() => {});
        wasOffline = off;
      }
    };
  }

  // --- The remote ------------------------------------------------------------

  function number(v, unit) {
    if (typeof v !== 'number') return '–';
    const n = Number.isInteger(v) ? String(v) : v.toFixed(1);
    return (v > 0 ? '+' : '') + n + (unit ? ` ${unit}` : '');
  }

  function slider(name, unit) {
    const input = $(name);
    const text = $(`${name}-text`);
    input.dataset.control = name;
    let held = false;
    input.addEventListener('pointerdown', () => { held = true; });
    input.addEventListener('pointerup', () => { held = false; });
    input.addEventListener('blur', () => { held = false; show(name); });
    input.addEventListener('input', () => {
      text.textContent = number(Number(input.value), unit);
      set({[name]: Number(input.value)}, label(name));
    });
    input.addEventListener('change', () => { held = false; });
    onValue(name, (v) => {
      if (typeof v === 'number') {
        if (!held && !busy[name]) input.value = v;
        text.textContent = number(v, unit);
        input.setAttribute('aria-valuetext', number(v, unit));
      } else {
        text.textContent = '–';
      }
    });
  }

  function toggle(id, name, on, off) {
    const button = $(id);
    button.dataset.control = name;
    onValue(name, (v) => button.setAttribute('aria-pressed', String(v === on)));
    button.addEventListener('click', () => set({[name]: state.values[name] === on ? off : on}, label(name)));
  }

  function choices(name) {
    const c = state.controls.find((x) => x.name === name);
    return (c && c.choices) || [];
  }

  function select(id, name) {
    const el = $(id);
    el.dataset.control = name;
    const fill = () => {
      const v = state.values[name];
      const list = choices(name).slice();
      if (typeof v === 'string' && !list.includes(v)) list.unshift(v);
      el.replaceChildren(...(typeof v === 'string' ? [] : [new Option('–', '')]), ...list.map((c) => new Option(c, c)));
      el.value = typeof v === 'string' ? v : '';
    };
    onValue(name, fill);
    document.addEventListener('bm-controls', fill);
    el.addEventListener('change', () => { if (el.value) set({[name]: el.value}, label(name)); });
  }

  // The eight inputs, named as the unit names them; made once, relabelled in place.
  function inputButtons() {
    const box = $('inputs');
    const relabel = () => {
      box.querySelectorAll('button').forEach((b, i) => {
        const own = state.values[`input-name-${i + 1}`];
        b.textContent = typeof own === 'string' && own.trim() ? own : b.dataset.choice;
        b.setAttribute('aria-pressed', String(state.values.input === b.dataset.choice));
      });
    };
    const build = () => {
      const list = choices('input');
      if (box.children.length === list.length) return relabel();
      box.replaceChildren(...list.map((fixed) => {
        const b = document.createElement('button');
        b.type = 'button';
        b.dataset.control = 'input';
        b.dataset.choice = fixed;
        b.addEventListener('click', () => set({input: fixed}, `Input ${b.textContent}`));
        return b;
      }));
      relabel();
      refreshEnabled();
    };
    document.addEventListener('bm-controls', build);
    onValue('input', relabel);
    for (let i = 1; i <= 8; ++i) onValue(`input-name-${i}`, relabel);
  }

  function remote() {
    toggle('power', 'power', 'on', 'standby');
    toggle('mute', 'mute', true, false);
    toggle('zone2', 'zone2', true, false);
    toggle('zone2-mute', 'zone2-mute', true, false);
    slider('volume', 'dB');
    slider('bass', 'dB');
    slider('treble', 'dB');
    slider('zone2-volume', 'dB');
    for (const [id, delta] of [['volume-down', '-=1'], ['volume-up', '+=1']]) {
      const b = $(id);
      b.dataset.control = 'volume';
      b.addEventListener('click', () => set({volume: delta}, 'Volume'));
    }
    select('effect', 'effect');
    select('record-input', 'record-input');
    inputButtons();
    onValue('display-1', (v) => { $('display-1').textContent = typeof v === 'string' ? v : ''; });
    onValue('display-2', (v) => { $('display-2').textContent = typeof v === 'string' ? v : ''; });
  }

  // --- Views -------------------------------------------------------------------

  function showView(view) {
    $('remote').hidden = view !== 'remote';
    $('panel').hidden = view !== 'panel';
    $('show-remote').setAttribute('aria-pressed', String(view === 'remote'));
    $('show-panel').setAttribute('aria-pressed', String(view === 'panel'));
  }

  function start() {
    remote();
    $('show-remote').addEventListener('click', () => { history.replaceState(null, '', '#remote'); showView('remote'); });
    $('show-panel').addEventListener('click', () => { history.replaceState(null, '', '#panel'); showView('panel'); });
    const asked = location.hash.slice(1);
    showView(asked === 'panel' || asked === 'remote' ? asked
      : window.matchMedia('(max-width: 799px)').matches ? 'remote' : 'panel');
    setLine('');
    $('banner').textContent = 'Connecting to the service...';
    listen();
  }

  return {state, api, set, ir, onValue, show, label, number, refreshEnabled, report, start, describe, outcomeWords};
})();

document.addEventListener('DOMContentLoaded', BM.start);
