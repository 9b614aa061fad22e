// bench-web: the web remote's weight and speed, against ridaziv-sim at its
// 19200-baud wire timing, with brennmarkd --http and headless Chromium.
// Prints each figure with its bound and a verdict; not a test (no exit status
// from the figures).
//
//   node bench/web_bench.mjs BUILD_DIR
// BUILD_DIR holds brennmarkd, ridaziv-sim and tests/web/node_modules (ctest's
// web_npm_ci fixture, or npm ci there).
import {spawn} from 'node:child_process';
import {createRequire} from 'node:module';
import {mkdtempSync, readFileSync, existsSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import net from 'node:net';

const build = process.argv[2] || 'build';
const {chromium} = createRequire(join(build, 'tests/web/node_modules/'))('playwright-core');
const dir = mkdtempSync(join(tmpdir(), 'bm-web-bench-'));
const link = join(dir, 'unit');
const socket = join(dir, 's.sock');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const median = (xs) => xs.slice().sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const verdict = (ok) => (ok ? 'within' : 'OVER');

async function until(check, ms = 15000) {
  const end = Date.now() + ms;
  while (!(await check())) {
    if (Date.now() > end) throw new Error('timed out');
    await sleep(10);
  }
}

const sim = spawn(join(build, 'bin/ridaziv-sim'), ['--link', link], {stdio: ['pipe', 'ignore', 'inherit']});
await until(() => existsSync(link));
const service = spawn(join(build, 'bin/brennmarkd'), ['--port', link, '--socket', socket, '--http', '127.0.0.1:0'],
  {stdio: ['ignore', 'ignore', 'inherit']});
const file = join(dir, 'brennmarkd.web');
await until(() => existsSync(file));
const [address, token] = readFileSync(file, 'utf8').trim().split('\n');
const origin = `http://${address}`;
const browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox']});

async function openPage() {
  const context = await browser.newContext({viewport: {width: 390, height: 844}});
  const page = await context.newPage();
  let bytes = 0;
  page.on('response', async (r) => {
    if (r.url().endsWith('/events')) return;
    try { bytes += (await r.body()).length; } catch { /* a redirect has none */ }
  });
  await page.goto(`${origin}/login?token=${token}`);
  await page.getByRole('status').filter({hasText: 'Connected'}).waitFor({timeout: 20000});
  await sleep(300);
  page.loadedBytes = () => bytes;
  return page;
}

// 1. The first load.
const page = await openPage();
const kb = page.loadedBytes() / 1024;
console.log(`first load: ${kb.toFixed(1)} KB uncompressed (bound 150 KB): ${verdict(kb <= 150)}`);

// 2. A change at the unit (its console) to the page.
await page.evaluate(() => {
  window.bmSeen = [];
  new MutationObserver(() => window.bmSeen.push([document.getElementById('volume-text').textContent, Date.now()]))
    .observe(document.getElementById('volume-text'), {childList: true, characterData: true, subtree: true});
});
const shown = [];
for (let i = 0; i < 21; ++i) {
  const raw = 40 + (i % 2) * 5 + i;
  const want = `${raw - 80 > 0 ? '+' : ''}${raw - 80} dB`;
  const t0 = Date.now();
  sim.stdin.write(`set VOLUME ${raw}\n`);
  await until(async () => (await page.evaluate((w) => window.bmSeen.some((s) => s[0] === w), want)), 5000);
  const at = await page.evaluate((w) => window.bmSeen.find((s) => s[0] === w)[1], want);
  shown.push(at - t0);
  await page.evaluate(() => { window.bmSeen = []; });
  await sleep(100);
}
console.log(`unit change shown in the page: median ${median(shown)} ms over ${shown.length} (bound 50 ms, ` +
  `includes the unit's report on the wire): ${verdict(median(shown) <= 50)}`);

// 3. A slider move to the unit and back: the page's set against the same set
// on the service's socket (the wire time and the unit's read-back).
function socketSet(value) {
  return new Promise((resolve) => {
    const c = net.createConnection(socket);
    const t0 = performance.now();
    c.on('data', () => { resolve(performance.now() - t0); c.end(); });
    c.write(JSON.stringify({op: 'set', values: {volume: value}}) + '\n');
  });
}
const bySocket = [];
const byPage = [];
for (let i = 0; i < 11; ++i) {
  bySocket.push(await socketSet(-40 - (i % 2) * 3));
  byPage.push(await page.evaluate(async (v) => {
    const t0 = performance.now();
    await BM.set({volume: v}, 'Volume');
    return performance.now() - t0;
  }, -50 - (i % 2) * 3));
}
const extra = median(byPage) - median(bySocket);
console.log(`slider set through the page: median ${median(byPage).toFixed(1)} ms, through the socket ` +
  `${median(bySocket).toFixed(1)} ms: the web adds ${extra.toFixed(1)} ms (bound 30 ms): ${verdict(extra <= 30)}`);

// 4. Ten open pages idle: the service's CPU time.
function cpuMs(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) * 10; // utime + stime in 10 ms ticks
}
async function idleCpu(seconds) {
  const before = cpuMs(service.pid);
  await sleep(seconds * 1000);
  return (cpuMs(service.pid) - before) / (seconds * 10); // percent of one core
}
const span = 20;
const without = await idleCpu(span);
const pages = [];
for (let i = 0; i < 10; ++i) pages.push(await openPage());
await sleep(1000);
const withTen = await idleCpu(span);
console.log(`service CPU idle: ${without.toFixed(2)} % with one page, ${withTen.toFixed(2)} % with eleven ` +
  `(+${(withTen - without).toFixed(2)} %, bound 0.2 %; ${span} s each, 10 ms ticks): ${verdict(withTen - without <= 0.2)}`);

await browser.close();
service.kill('SIGTERM');
sim.kill('SIGTERM');
await sleep(300);
rmSync(dir, {recursive: true, force: true});
