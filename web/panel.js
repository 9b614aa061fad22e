// The panel view: the desktop panel's seven pages, made from the controls
// table the service gives (names, ranges, steps, choices, groups).
'use strict';

(() => {
  const pages = ['Info', 'General', 'Speaker Config', 'Output Levels', 'Equalization', 'Zone 2', 'Names'];
  const el = (tag, props = {}, ...children) => {
    const e = Object.assign(document.createElement(tag), props);
    e.append(...children);
    return e;
  };
  let built = false;

  // A name the unit can store: its 8-bit character set, no control characters, the field's length.
  function nameProblem(text, limit) {
    if ([...text].length > limit) return `at most ${limit} characters`;
    for (const ch of text) {
      const c = ch.codePointAt(0);
      if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c > 0xff) return `"${ch}" is not in the unit's character set`;
    }
    return '';
  }

  function level(c) {
    const id = `panel-${c.name}`;
    const input = el('input', {type: 'range', id, min: c.minimum, max: c.maximum, step: c.step || 1});
    input.dataset.control = c.name;
    const out = el('output', {htmlFor: id});
    input.addEventListener('input', () => { out.textContent = BM.number(Number(input.value), c.unit); });
    input.addEventListener('change', () => BM.set({[c.name]: Number(input.value)}, BM.label(c.name)));
    BM.onValue(c.name, (v) => {
      if (typeof v === 'number') input.value = v;
      out.textContent = BM.number(v, c.unit);
    });
    return [el('label', {htmlFor: id, textContent: BM.label(c.name)}), el('div', {}, input, out)];
  }

  function checkbox(c) {
    const id = `panel-${c.name}`;
    const box = el('input', {type: 'checkbox', id});
    box.dataset.control = c.name;
    box.addEventListener('change', () => BM.set({[c.name]: box.checked}, BM.label(c.name)));
    BM.onValue(c.name, (v) => { box.checked = v === true; box.indeterminate = typeof v !== 'boolean'; });
    return [el('label', {htmlFor: id, textContent: BM.label(c.name)}), el('div', {}, box)];
  }

  function choice(c, staged) {
    const id = `panel-${c.name}`;
    const sel = el('select', {id});
    sel.dataset.control = c.name;
    BM.onValue(c.name, (v) => {
      const list = (c.choices || []).slice();
      if (typeof v === 'string' && !list.includes(v)) list.unshift(v);
      sel.replaceChildren(...(typeof v === 'string' ? [] : [new Option('–', '')]), ...list.map((x) => new Option(x, x)));
      sel.value = staged && c.name in staged ? staged[c.name] : typeof v === 'string' ? v : '';
    });
    sel.addEventListener('change', () => {
      if (!sel.value) return;
      if (staged) staged[c.name] = sel.value;
      else BM.set({[c.name]: sel.value}, BM.label(c.name));
    });
    return [el('label', {htmlFor: id, textContent: BM.label(c.name)}), el('div', {}, sel)];
  }

  function name(c) {
    const id = `panel-${c.name}`;
    const input = el('input', {type: 'text', id, maxLength: c.limit, spellcheck: false});
    input.dataset.control = c.name;
    const save = el('button', {type: 'button', textContent: 'Save'});
    save.setAttribute('aria-label', `Save ${BM.label(c.name)}`);
    save.dataset.control = c.name;
    const problem = el('span', {className: 'invalid', role: 'alert'});
    const check = () => {
      const why = nameProblem(input.value, c.limit);
      problem.textContent = why;
      input.setAttribute('aria-invalid', String(!!why));
      return !why;
    };
    input.addEventListener('input', check);
    const send = () => { if (check()) BM.set({[c.name]: input.value}, BM.label(c.name)); };
    save.addEventListener('click', send);
    input.addEventListener('keydown', (e) => { if (e.key === 'Enter') send(); });
    BM.onValue(c.name, (v) => { if (document.activeElement !== input) input.value = typeof v === 'string' ? v : ''; });
    return [el('label', {htmlFor: id, textContent: BM.label(c.name)}),
      el('div', {className: 'row'}, input, save), problem];
  }

  function shown(c) {
    const out = el('output', {id: `panel-${c.name}`});
    out.setAttribute('aria-label', BM.label(c.name));
    BM.onValue(c.name, (v) => { out.textContent = v === undefined ? '–' : String(v); });
    return [el('span', {textContent: BM.label(c.name)}), out];
  }

  function widget(c, staged) {
    if (!c.writable) return shown(c);
    if (c.type === 'number' && c.minimum !== undefined) return level(c);
    if (c.type === 'boolean') return checkbox(c);
    if (c.type === 'choice' && c.choices) return choice(c, staged);
    if (c.type === 'text' && c.limit) return name(c);
    return shown(c);
  }

  function page(group, controls) {
    const body = el('section', {className: 'page', id: `page-${group.replace(/ /g, '-')}`, role: 'tabpanel'});
    body.setAttribute('aria-label', group);
    const staged = group === 'Speaker Config' ? {} : null;
    for (const c of controls) {
      const parts = widget(c, staged);
      body.append(el('div', {className: 'field'}, ...parts));
    }
    if (staged) {
      const update = el('button', {type: 'button', textContent: 'Update'});
      update.dataset.control = controls[0].name;
      update.addEventListener('click', () => {
        const values = Object.assign({}, staged);
        if (!Object.keys(values).length) {
          BM.report('Speaker Config: nothing changed', 'done');
          return;
        }
        for (const k of Object.keys(staged)) delete staged[k];
        BM.set(values, 'Speaker Config');
      });
      body.append(el('p', {className: 'hint', textContent: 'Speaker changes are written together with Update.'}), update);
    }
    return body;
  }

  function build() {
    if (built || !BM.state.controls.length) return;
    built = true;
    const tabs = document.getElementById('pages');
    const bodies = document.getElementById('page-bodies');
    const select = (group) => {
      for (const t of tabs.children) t.setAttribute('aria-selected', String(t.dataset.group === group));
      for (const b of bodies.children) b.hidden = b.getAttribute('aria-label') !== group;
    };
    for (const group of pages) {
      const controls = BM.state.controls.filter((c) => c.group === group);
      const tab = el('button', {type: 'button', role: 'tab', textContent: group});
      tab.dataset.group = group;
      tab.setAttribute('aria-controls', `page-${group.replace(/ /g, '-')}`);
      tab.addEventListener('click', () => select(group));
      tab.addEventListener('keydown', (e) => {
        const i = pages.indexOf(group) + (e.key === 'ArrowRight' ? 1 : e.key === 'ArrowLeft' ? -1 : 0);
        if (i !== pages.indexOf(group) && i >= 0 && i < pages.length) {
          select(pages[i]);
          tabs.children[i].focus();
        }
      });
      tabs.append(tab);
      bodies.append(page(group, controls));
    }
    select('General');
    BM.refreshEnabled();
  }

  document.addEventListener('bm-controls', build);
})();
