// The Info page's configuration file: Save (the unit's configuration as a
// .lex download), Restore (a chosen file, through the service's loader and
// restore) and Compare (a chosen file against the unit, as brennmark-cli diff
// FILE unit gives it, with ticks to restore the chosen differences). Every
// outcome is the service's.
'use strict';

(() => {
  const el = (tag, props = {}, ...children) => {
    const e = Object.assign(document.createElement(tag), props);
    e.append(...children);
    return e;
  };

  function toBase64(bytes) {
    let s = '';
    for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(s);
  }

  function fromBase64(text) {
    const s = atob(text);
    const bytes = new Uint8Array(s.length);
    for (let i = 0; i < s.length; ++i) bytes[i] = s.charCodeAt(i);
    return bytes;
  }

  function section() {
    const save = el('button', {type: 'button', textContent: 'Save configuration'});
    const file = el('input', {type: 'file', id: 'config-file', accept: '.lex'});
    const restore = el('button', {type: 'button', textContent: 'Restore configuration'});
    const compare = el('button', {type: 'button', textContent: 'Compare with the unit'});
    const result = el('div', {id: 'compare-result'});
    const box = el('section', {className: 'config'},
      el('h3', {textContent: 'Configuration file'}),
      el('div', {className: 'row'}, save),
      el('div', {className: 'field'}, el('label', {htmlFor: 'config-file', textContent: 'Configuration file (.lex)'}), file),
      el('div', {className: 'row'}, restore, compare),
      result);
    box.setAttribute('aria-label', 'Configuration file');
    for (const b of [save, restore, compare]) b.dataset.line = '1';

    let running = false;
    // One configuration request at a time; the buttons are off meanwhile.
    async function run(what, request, quiet) {
      if (running) return null;
      running = true;
      for (const b of box.querySelectorAll('button')) b.setAttribute('aria-busy', 'true');
      if (!quiet) BM.report(`${what}: working...`, 'done');
      try {
        const reply = await BM.api(request);
        if (reply.error) BM.describe(what, reply);
        return reply;
      } catch (e) {
        if (e.message !== 'unauthorized') BM.report(`${what}: not sent (${e.message})`, 'failed');
        return null;
      } finally {
        running = false;
        for (const b of box.querySelectorAll('button')) b.removeAttribute('aria-busy');
      }
    }

    async function chosen(what) {
      const f = file.files && file.files[0];
      if (!f) {
        BM.report(`${what}: choose a configuration file first`, 'refused');
        return null;
      }
      // Said at once: what the log said before is no longer this request's.
      BM.report(`${what}: reading ${f.name}...`, 'done');
      return {name: f.name, file: toBase64(new Uint8Array(await f.arrayBuffer()))};
    }

    save.addEventListener('click', async () => {
      BM.report('Save: working...', 'done');
      const reply = await run('Save', {op: 'save'}, true);
      if (!reply || reply.error) return;
      const url = URL.createObjectURL(new Blob([fromBase64(reply.file)], {type: 'application/octet-stream'}));
      const a = el('a', {href: url, download: reply.name});
      document.body.append(a);
      a.click();
      a.remove();
      setTimeout(() => URL.revokeObjectURL(url), 10000);
      BM.report(`Save: done (${reply.name}, ${reply.size} bytes)`, 'done');
    });

    restore.addEventListener('click', async () => {
      const f = await chosen('Restore');
      if (!f) return;
      const reply = await run('Restore', {op: 'restore', ...f});
      if (reply && !reply.error) BM.report(`Restore: done${reply.notes ? ` (${reply.notes.join('; ')})` : ''}`, 'done');
    });

    // The differences, each with a tick where a restore can write it back.
    function showDifferences(f, reply) {
      const list = reply.differences;
      if (!list.length) {
        result.replaceChildren(el('p', {textContent: 'The file and the unit are the same.'}));
        return;
      }
      const ticks = [];
      const rows = list.map((d) => {
        const tick = el('input', {type: 'checkbox', disabled: !d.restorable});
        tick.setAttribute('aria-label', `Restore ${d.name}`);
        tick.dataset.name = d.name;
        if (d.restorable) ticks.push(tick);
        return el('tr', {}, el('td', {}, tick), el('td', {textContent: d.name}),
          el('td', {textContent: d.a_text}), el('td', {textContent: d.b_text}));
      });
      const head = el('tr', {}, ...['Restore', 'Name', 'File', 'Unit'].map((t) => el('th', {textContent: t})));
      const table = el('table', {}, el('thead', {}, head), el('tbody', {}, ...rows));
      table.setAttribute('aria-label', 'Differences');
      const selected = el('button', {type: 'button', textContent: 'Restore selected'});
      selected.dataset.line = '1';
      selected.addEventListener('click', async () => {
        const only = ticks.filter((t) => t.checked).map((t) => t.dataset.name);
        if (!only.length) {
          BM.report('Restore selected: nothing is ticked', 'refused');
          return;
        }
        BM.report('Restore selected: working...', 'done');
        const done = await run('Restore selected', {op: 'restore', ...f, only}, true);
        if (!done || done.error) return;
        BM.report(`Restore selected: done (${done.values} value(s) changed)`, 'done');
        // What is left to restore, as the unit has it now.
        const again = await run('Compare', {op: 'diff', ...f}, true);
        if (again && !again.error) showDifferences(f, again);
      });
      result.replaceChildren(
        el('p', {textContent: `${list.length} difference(s)${reply.refusal ? ` (${reply.refusal})` : ''}:`}),
        table, selected);
      BM.refreshEnabled();
    }

    compare.addEventListener('click', async () => {
      const f = await chosen('Compare');
      if (!f) return;
      result.replaceChildren();
      const reply = await run('Compare', {op: 'diff', ...f});
      if (!reply || reply.error) return;
      BM.report(`Compare: ${reply.differences.length} difference(s)`, 'done');
      showDifferences(f, reply);
    });
    return box;
  }

  document.addEventListener('bm-controls', () => {
    const info = document.getElementById('page-Info');
    if (!info || info.querySelector('.config')) return;
    info.append(section());
    BM.refreshEnabled();
  });
})();
