// The web remote in headless Chromium against brennmarkd --http and
// ridaziv-sim, as a user reaches it: the login link, both views, both
// directions, the line lost and back, a refusal, and the refusals of
// requests from elsewhere. Controls are found by their accessible names.
//
// BM_SERVICE, BM_SIM, BM_CLI: the programs; BM_SCREENSHOTS: where the
// screenshots of both views go (none when unset).
import {test, before, after} from 'node:test';
import assert from 'node:assert/strict';
import {spawn, execFileSync} from 'node:child_process';
import {mkdtempSync, readFileSync, writeFileSync, existsSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import http from 'node:http';
import {chromium} from 'playwright-core';

const dir = mkdtempSync(join(tmpdir(), 'bm-web-'));
const link = join(dir, 'unit');
const socket = join(dir, 's.sock');
let sim, service, browser, site;

async function until(what, check, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

function startSim(extra = []) {
  const p = spawn(process.env.BM_SIM, ['--fast', '--link', link, ...extra], {stdio: ['pipe', 'ignore', 'inherit']});
  p.say = (line) => p.stdin.write(line + '\n');
  return p;
}

async function stop(p) {
  if (!p || p.exitCode !== null) return;
  const gone = new Promise((r) => p.once('exit', r));
  p.kill('SIGTERM');
  await gone;
}

// brennmark-cli through the service.
function cli(...args) {
  return execFileSync(process.env.BM_CLI, ['--port', `unix:${socket}`, ...args], {encoding: 'utf8'}).trim();
}

// The unit's value as brennmark-cli reads it through the service.
function unitValue(name) {
  return cli('get', '--value', name);
}

before(async () => {
  sim = startSim();
  await until('the simulated unit', () => existsSync(link));
  service = spawn(process.env.BM_SERVICE, ['--port', link, '--socket', socket, '--http', '127.0.0.1:0'],
    {stdio: ['ignore', 'ignore', 'inherit']});
  const file = join(dir, 'brennmarkd.web');
  await until('the web remote', () => existsSync(file));
  const [address, token] = readFileSync(file, 'utf8').trim().split('\n');
  site = {origin: `http://${address}`, token, login: `http://${address}/login?token=${token}`};
  browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox']});
});

after(async () => {
  if (browser) await browser.close();
  await stop(service);
  await stop(sim);
  rmSync(dir, {recursive: true, force: true});
});

// A logged-in page; every request it makes is kept.
async function open(viewport) {
  const context = await browser.newContext({viewport});
  const page = await context.newPage();
  page.requests = [];
  page.on('request', (r) => page.requests.push(r.url()));
  await page.goto(site.login);
  await page.getByRole('status').filter({hasText: 'Connected'}).waitFor({timeout: 10000});
  return page;
}

const layouts = [
  {name: 'phone', viewport: {width: 390, height: 844}, view: 'Remote', shot: 'web-remote.png'},
  {name: 'desktop', viewport: {width: 1280, height: 900}, view: 'Panel', shot: 'web-panel.png'},
];

for (const l of layouts) {
  test(`the ${l.name} layout loads with the ${l.view} view and no request leaves the origin`, async () => {
    const page = await open(l.viewport);
    assert.equal(await page.getByRole('button', {name: l.view, exact: true}).getAttribute('aria-pressed'), 'true');
    const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
    assert.ok(widths[0] <= widths[1], `scrolls sideways: ${widths}`);
    if (l.view === 'Panel') await page.getByRole('tab', {name: 'General'}).click();
    else await page.getByRole('slider', {name: 'Volume', exact: true}).waitFor();
    if (process.env.BM_SCREENSHOTS) await page.screenshot({path: join(process.env.BM_SCREENSHOTS, l.shot)});
    for (const url of page.requests) assert.ok(url.startsWith(site.origin + '/'), `a request left the origin: ${url}`);
    await page.context().close();
  });
}

test('the unit\'s console shows in the page within a second', async () => {
  const page = await open({width: 390, height: 844});
  const cases = [
    {console: 'set VOLUME 50', shown: () => page.locator('#volume-text').filter({hasText: '-30 dB'})},
    {console: 'ir INPUT_CD', shown: () => page.getByRole('button', {name: 'CD', exact: true, pressed: true})},
    {console: 'set VOLUME 61', shown: () => page.locator('#volume-text').filter({hasText: '-19 dB'})},
    {console: 'display "HELLO" "WORLD"', shown: () => page.getByLabel('Front panel line 1').filter({hasText: 'HELLO'})},
  ];
  for (const c of cases) {
    sim.say(c.console);
    await c.shown().waitFor({timeout: 1000});
  }
  await page.context().close();
});

test('the page\'s controls reach the unit', async () => {
  const phone = await open({width: 390, height: 844});
  const desk = await open({width: 1280, height: 900});
  const cases = [
    {name: 'the volume slider', act: () => phone.getByRole('slider', {name: 'Volume', exact: true}).fill('-25'),
      control: 'volume', value: '-25'},
    {name: 'an input button', act: () => phone.getByRole('button', {name: 'DVD', exact: true}).click(),
      control: 'input', value: 'DVD'},
    {name: 'the mute button', act: () => phone.getByRole('button', {name: 'Mute', exact: true}).click(),
      control: 'mute', value: 'on'},
    {name: 'a Speaker Config update', act: async () => {
      await desk.getByRole('tab', {name: 'Speaker Config'}).click();
      await desk.getByRole('combobox', {name: 'Center speaker'}).selectOption('large');
      await desk.getByRole('button', {name: 'Update'}).click();
    }, control: 'center-speaker', value: 'large'},
    {name: 'a name', act: async () => {
      await desk.getByRole('tab', {name: 'Names'}).click();
      await desk.getByRole('textbox', {name: 'Input name 1'}).fill('Phono');
      await desk.getByRole('button', {name: 'Save Input name 1'}).click();
    }, control: 'input-name-1', value: 'Phono'},
  ];
  for (const c of cases) {
    await c.act();
    await until(`${c.name} at the unit`, () => unitValue(c.control) === c.value);
  }
  // The renamed input is named so on the remote's button.
  await desk.getByRole('button', {name: 'Remote', exact: true}).click();
  await desk.getByRole('button', {name: 'Phono', exact: true}).waitFor({timeout: 3000});
  await desk.getByRole('button', {name: 'Panel', exact: true}).click();
  // A name the unit cannot store is refused in the page, and not sent.
  await desk.getByRole('textbox', {name: 'Input name 2'}).fill('Tuner \u20ac');
  await desk.getByRole('alert').filter({hasText: 'character set'}).waitFor();
  await desk.getByRole('button', {name: 'Save Input name 2'}).click();
  assert.notEqual(unitValue('input-name-2'), 'Tuner \u20ac');
  await phone.context().close();
  await desk.context().close();
});

test('the line lost and back: the banner, and the controls off meanwhile', async () => {
  const page = await open({width: 390, height: 844});
  const volume = page.getByRole('slider', {name: 'Volume', exact: true});
  assert.equal(await volume.isEnabled(), true);
  await stop(sim);
  await page.getByRole('status').filter({hasText: 'Line lost: controls are off until it is back'}).waitFor({timeout: 15000});
  assert.equal(await volume.isDisabled(), true);
  assert.equal(await page.getByRole('button', {name: 'Mute', exact: true}).isDisabled(), true);
  sim = startSim();
  await page.getByRole('status').filter({hasText: 'Connected'}).waitFor({timeout: 20000});
  await until('the controls back on', () => volume.isEnabled());
  await page.context().close();
});

test('a refusal is shown as refused, the value unchanged', async () => {
  await stop(sim);
  sim = startSim(['--nak', '0x31']); // the unit refuses the mute command
  const page = await open({width: 390, height: 844});
  const mute = page.getByRole('button', {name: 'Mute', exact: true});
  const before = await mute.getAttribute('aria-pressed');
  await mute.click();
  await page.getByRole('log').filter({hasText: /Mute: refused/}).waitFor({timeout: 5000});
  assert.equal(await mute.getAttribute('aria-pressed'), before);
  await page.context().close();
  await stop(sim);
  sim = startSim();
  await until('the unit back', () => { try { return unitValue('volume') !== ''; } catch { return false; } }, 20000);
});

// The Info page of a desktop page, with the log of outcomes.
async function infoPage() {
  const page = await open({width: 1280, height: 900});
  await page.getByRole('button', {name: 'Panel', exact: true}).click();
  await page.getByRole('tab', {name: 'Info'}).click();
  page.outcome = (pattern) => page.getByRole('log').filter({hasText: pattern}).waitFor({timeout: 20000});
  page.choose = (file) => page.getByLabel('Configuration file (.lex)').setInputFiles(file);
  // The unit's configuration, saved through the page into `file`.
  page.save = async (file) => {
    const [download] = await Promise.all([page.waitForEvent('download'),
      page.getByRole('button', {name: 'Save configuration'}).click()]);
    await download.saveAs(file);
    await page.outcome(/Save: done/);
    assert.match(download.suggestedFilename(), /\.lex$/);
  };
  // Compare `file` with the unit: the outcome's number of differences.
  page.compare = async (file) => {
    await page.choose(file);
    await page.getByRole('button', {name: 'Compare with the unit'}).click();
    await page.outcome(/Compare: (\d+ difference|refused|not)/);
    return (await page.getByRole('log').textContent()).match(/Compare: (\d+)/)?.[1];
  };
  return page;
}

test('Info: a saved file compared with the unit, then restored in part and whole', async () => {
  const page = await infoPage();
  const saved = join(dir, 'saved.lex');
  await page.save(saved);
  assert.equal(await page.compare(saved), '0');
  await page.getByText('The file and the unit are the same.').waitFor();

  // Changes after the save; the ticked ones go back with Restore selected,
  // the others with the whole restore.
  const changes = [
    {control: 'volume', change: () => sim.say('set VOLUME 33'), ticked: true},
    {control: 'input-name-3', change: () => cli('set', 'input-name-3', 'Later'), ticked: false},
    {control: 'out-sub', change: () => cli('set', 'out-sub', '+=2'), ticked: true},
    {control: 'custom-name', change: () => cli('set', 'custom-name', 'Den'), ticked: false},
  ];
  for (const c of changes) {
    c.was = unitValue(c.control);
    c.change();
    await until(`${c.control} changed at the unit`, () => unitValue(c.control) !== c.was);
    c.now = unitValue(c.control);
  }
  const tick = (c) => page.getByRole('checkbox', {name: `Restore ${c.control}`, exact: true});
  assert.equal(await page.compare(saved), String(changes.length));
  for (const c of changes) if (c.ticked) await tick(c).check();
  await page.getByRole('button', {name: 'Restore selected'}).click();
  await page.outcome(/Restore selected: done/);
  for (const c of changes) assert.equal(unitValue(c.control), c.ticked ? c.was : c.now, c.control);
  // The table is made again from the unit: only the others are left.
  await until('the differences read again', async () => (await tick(changes[0]).count()) === 0)
    .catch(async (e) => { throw new Error(`${e.message}; the page says: ${await page.getByRole('log').textContent()}`); });
  for (const c of changes) assert.equal(await tick(c).count(), c.ticked ? 0 : 1, c.control);

  await page.getByRole('button', {name: 'Restore configuration'}).click();
  await page.outcome(/^Restore: done/);
  for (const c of changes) assert.equal(unitValue(c.control), c.was, c.control);
  assert.equal(await page.compare(saved), '0');
  await page.context().close();
});

test('Info: a damaged file or another ROM\'s is refused by Restore and Compare, and nothing is sent', async () => {
  const page = await infoPage();
  const good = join(dir, 'good.lex');
  await page.save(good);
  const bytes = readFileSync(good);
  const otherRom = Buffer.from(bytes);
  otherRom[17] ^= 1; // one character of the ROM timestamp
  const cases = [
    {name: 'cut-short.lex', bytes: bytes.subarray(0, bytes.length - 1), restore: /Cannot use cut-short\.lex/},
    {name: 'one-more.lex', bytes: Buffer.concat([bytes, Buffer.from([0])]), restore: /Cannot use one-more\.lex/},
    {name: 'empty.lex', bytes: Buffer.alloc(0), restore: /Cannot use empty\.lex/},
    {name: 'header-only.lex', bytes: bytes.subarray(0, 204), restore: /Cannot use header-only\.lex/},
    {name: 'other-rom.lex', bytes: otherRom, restore: /different firmware/, compare: /different ROM timestamps/},
  ];
  // The unit differs from every file, so that anything sent would show.
  cli('set', 'volume', '-41', 'input-name-6', 'Kept');
  for (const c of cases) {
    const file = join(dir, c.name);
    writeFileSync(file, c.bytes);
    await page.choose(file);
    await page.getByRole('button', {name: 'Restore configuration'}).click();
    await page.outcome(/Restore: refused \(Failed to restore configuration!/);
    assert.match(await page.getByRole('log').textContent(), c.restore, c.name);
    await page.getByRole('button', {name: 'Compare with the unit'}).click();
    await page.outcome(/Compare: refused/);
    assert.match(await page.getByRole('log').textContent(), c.compare || c.restore, c.name);
  }
  assert.equal(unitValue('volume'), '-41');
  assert.equal(unitValue('input-name-6'), 'Kept');
  await page.context().close();
});

test('a name given in one page or by another client is shown in the other open pages', async () => {
  const desk = await open({width: 1280, height: 900});
  const other = await open({width: 1280, height: 900});
  await other.getByRole('button', {name: 'Panel', exact: true}).click();
  await other.getByRole('tab', {name: 'Names'}).click();
  const phone = await open({width: 390, height: 844});
  const cases = [
    {by: 'a page', control: 'input-name-4', value: 'Deck', act: async () => {
      await desk.getByRole('button', {name: 'Panel', exact: true}).click();
      await desk.getByRole('tab', {name: 'Names'}).click();
      await desk.getByRole('textbox', {name: 'Input name 4'}).fill('Deck');
      await desk.getByRole('button', {name: 'Save Input name 4'}).click();
    }},
    {by: 'brennmark-cli', control: 'input-name-5', value: 'Streamer', act: () => cli('set', 'input-name-5', 'Streamer')},
    {by: 'brennmark-cli', control: 'custom-name', value: 'Living room', act: () => cli('set', 'custom-name', 'Living room')},
  ];
  for (const c of cases) {
    await c.act();
    const box = other.getByRole('textbox', {name: BMlabel(c.control), exact: true});
    await until(`${c.control} from ${c.by} in the other page`, async () => (await box.inputValue()) === c.value, 3000);
    if (c.control.startsWith('input-name')) await phone.getByRole('button', {name: c.value, exact: true}).waitFor({timeout: 3000});
  }
  for (const p of [desk, other, phone]) await p.context().close();
});

// A control's label as the pages give it.
function BMlabel(name) {
  const s = name.replace(/-/g, ' ');
  return s.charAt(0).toUpperCase() + s.slice(1);
}

// Plain requests, as another site or a rebound name would make them.
function request({path = '/api', method = 'POST', headers = {}, body = '{"op":"hello"}'}) {
  const url = new URL(site.origin);
  return new Promise((resolve, reject) => {
    const r = http.request({host: url.hostname, port: url.port, path, method, headers: {Host: url.host, ...headers}},
      (res) => { res.resume(); res.on('end', () => resolve(res.statusCode)); });
    r.on('error', reject);
    r.end(body);
  });
}

test('requests without the token, under another name or from another origin are refused', async () => {
  const bearer = {Authorization: `Bearer ${site.token}`};
  const cases = [
    {name: 'the token', headers: bearer, status: 200},
    {name: 'no token', headers: {}, status: 401},
    {name: 'a wrong token', headers: {Authorization: 'Bearer 0123'}, status: 401},
    {name: 'a foreign Host', headers: {...bearer, Host: 'attacker.example'}, status: 421},
    {name: 'a foreign Origin', headers: {...bearer, Origin: 'http://attacker.example'}, status: 403},
    {name: 'the page without the token', path: '/', method: 'GET', body: '', headers: {}, status: 401},
  ];
  for (const c of cases) assert.equal(await request(c), c.status, c.name);
});
