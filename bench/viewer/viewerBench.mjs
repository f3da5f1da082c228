// vexatoolsViewer with two headless chromium pages on loopback: 1024 x 768
// 16-bit images published at 25 images/s. Measures, in interleaved rounds:
//   live:    frames shown per second in each page, the viewer's CPU
//   stalled: one browser stopped (SIGSTOP on all its processes): frames
//            shown in the other, the viewer's resident memory over time.
// Page 1 reads the pixels as signed (Int16) and has a region of 512 x 384
// pixels and a profile line across the image, where the page offers them.
// Usage: node viewerBench.mjs BUILD_DIR [ROUNDS, 3] [SECONDS per phase, 8]
import { spawn } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const { chromium } = await import(path.join(repo, 'viewer/test/browser/node_modules/playwright-core/index.mjs'));
const [buildDir, roundsText = '3', secondsText = '8'] = process.argv.slice(2);
const rounds = Number(roundsText);
const seconds = Number(secondsText);
const CLOCK_TICKS = 100;  // USER_HZ on Linux
const PAGE_SIZE_KB = 4;

const started = [];
function start(program, args, ready) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  started.push(child);
  const lines = createInterface({ input: child.stdout });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${program} did not start`)), 15_000);
    lines.on('line', (line) => {
      const match = line.match(ready);
      if (match) {
        clearTimeout(timer);
        resolve({ child, match });
      }
    });
  });
}
const freePort = () => new Promise((resolve) => {
  const server = createServer();
  server.listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// CPU seconds (user + system) and resident kB of a process.
function cpuSeconds(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / CLOCK_TICKS;
}
function residentKb(pid) {
  return Number(readFileSync(`/proc/${pid}/statm`, 'utf8').split(' ')[1]) * PAGE_SIZE_KB;
}
// `pid` and all its descendants.
function processTree(pid) {
  const children = new Map();
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const parent = Number(readFileSync(`/proc/${entry}/stat`, 'utf8').split(') ')[1].split(' ')[1]);
      if (!children.has(parent)) children.set(parent, []);
      children.get(parent).push(Number(entry));
    } catch { /* ended meanwhile */ }
  }
  const tree = [pid];
  for (let i = 0; i < tree.length; ++i) tree.push(...(children.get(tree[i]) || []));
  return tree;
}
// The chromium main process started for `profile`.
function browserPid(profile) {
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const command = readFileSync(`/proc/${entry}/cmdline`, 'utf8').split('\0');
      if (command.some((arg) => arg === `--user-data-dir=${profile}`) && !command.some((arg) => arg.startsWith('--type=')))
        return Number(entry);
    } catch { /* ended meanwhile */ }
  }
  throw new Error(`no chromium for ${profile}`);
}

async function openBrowser(url) {
  const profile = mkdtempSync(path.join(tmpdir(), 'vexatools-viewer-bench-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 900 },
  });
  const page = context.pages()[0] || await context.newPage();
  await page.goto(url);
  await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'bench', null, { timeout: 20_000 });
  return { context, page, profile, pid: browserPid(profile) };
}

const shownCount = (browser) => browser.page.evaluate(() => window.vexaViewer.shownCount);

async function livePhase(viewerPid, browsers) {
  const counts = await Promise.all(browsers.map(shownCount));
  const cpu = cpuSeconds(viewerPid);
  const begin = performance.now();
  await sleep(seconds * 1000);
  const elapsed = (performance.now() - begin) / 1000;
  const after = await Promise.all(browsers.map(shownCount));
  return {
    fps: after.map((count, i) => (count - counts[i]) / elapsed),
    drawMs: await Promise.all(browsers.map((b) => b.page.evaluate(() => window.vexaViewer.drawMs))),
    cpuPercent: ((cpuSeconds(viewerPid) - cpu) / elapsed) * 100,
  };
}

async function stalledPhase(viewerPid, live, stalled) {
  const tree = processTree(stalled.pid);
  for (const pid of tree) try { process.kill(pid, 'SIGSTOP'); } catch { /* gone */ }
  try {
    const count = await shownCount(live);
    const cpu = cpuSeconds(viewerPid);
    const rss = [residentKb(viewerPid)];
    const begin = performance.now();
    while (performance.now() - begin < seconds * 1000) {
      await sleep(250);
      rss.push(residentKb(viewerPid));
    }
    const elapsed = (performance.now() - begin) / 1000;
    return { fps: ((await shownCount(live)) - count) / elapsed, rssStart: rss[0], rssPeak: Math.max(...rss), rssEnd: rss.at(-1),
             cpuPercent: ((cpuSeconds(viewerPid) - cpu) / elapsed) * 100,
             drawMs: await live.page.evaluate(() => window.vexaViewer.drawMs) };
  } finally {
    for (const pid of tree) try { process.kill(pid, 'SIGCONT'); } catch { /* gone */ }
  }
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const spread = (values, digits = 1) =>
  `${median(values).toFixed(digits)} (${Math.min(...values).toFixed(digits)}-${Math.max(...values).toFixed(digits)})`;

async function main() {
  const { match } = await start(path.join(buildDir, 'platform/lumo/broker/lumoBroker'),
                                ['--uri', 'tcp://127.0.0.1:*', '--log-level', 'WARN'], /^lumoBroker listening on (\S+)/);
  const broker = match[1];
  await start(path.join(buildDir, 'platform/lumo/publish/lumoPublish'),
              ['--broker-uri', broker, '--stream', 'bench', '-w', '1024', '-e', '768', '-B', '2', '--rate', '25'], /^Publishing/);
  const port = await freePort();
  const { child: viewer } = await start(path.join(buildDir, 'viewer/vexatoolsViewer'),
                                        ['--broker-uri', broker, '--http', `127.0.0.1:${port}`, '--stream', 'bench',
                                         '--log-level', 'WARN'], /open (http:\/\/\S+)/);
  const url = `http://127.0.0.1:${port}/`;
  const browsers = [await openBrowser(url), await openBrowser(url)];
  const instrument = await browsers[0].page.evaluate(() => {
    if (!window.vexaViewer.setRegion) return false;
    document.getElementById('signed').click();
    window.vexaViewer.setRegion({ x0: 256, y0: 192, x1: 767, y1: 575 });
    window.vexaViewer.setLine({ x0: 0, y0: 0, x1: 1023, y1: 767 });
    return true;
  });
  try {
    await sleep(2000);  // let both settle
    const live = [];
    const stalled = [];
    for (let round = 0; round < rounds; ++round) {
      live.push(await livePhase(viewer.pid, browsers));
      stalled.push(await stalledPhase(viewer.pid, browsers[0], browsers[1]));
      await sleep(1000);  // the stalled page catches up
    }
    const mb = (kb) => kb / 1024;
    const load = readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');
    console.log(`vexatoolsViewer, 1024 x 768 uint16 at 25 images/s, --max-fps 25, ${rounds} rounds of ${seconds} s per phase`);
    console.log(`machine: ${(await import('node:os')).cpus().length} cores, load average ${load} at the end`);
    console.log(`page 1: ${instrument ? 'signed Int16, region 512 x 384 and profile line on' : 'uint16, no region or profile (page without them)'}`);
    console.log('median (min-max) over the rounds\n');
    console.log('| phase | figure | value | goal |');
    console.log('|---|---|---|---|');
    console.log(`| both pages live | frames shown/s, page 1 | ${spread(live.map((r) => r.fps[0]))} | >= 20 |`);
    console.log(`| both pages live | frames shown/s, page 2 | ${spread(live.map((r) => r.fps[1]))} | >= 20 |`);
    console.log(`| both pages live | page 1 draw time per frame, ms | ${spread(live.map((r) => r.drawMs[0]))} | |`);
    console.log(`| both pages live | viewer CPU, % of one core | ${spread(live.map((r) => r.cpuPercent))} | < 25 |`);
    console.log(`| page 2 stalled | frames shown/s, page 1 | ${spread(stalled.map((r) => r.fps))} | >= 24 |`);
    console.log(`| page 2 stalled | page 1 draw time per frame, ms | ${spread(stalled.map((r) => r.drawMs))} | |`);
    console.log(`| page 2 stalled | viewer CPU, % of one core | ${spread(stalled.map((r) => r.cpuPercent))} | < 25 |`);
    console.log(`| page 2 stalled | viewer RSS at stall, MB | ${spread(stalled.map((r) => mb(r.rssStart)))} | |`);
    console.log(`| page 2 stalled | viewer RSS peak, MB | ${spread(stalled.map((r) => mb(r.rssPeak)))} | flat |`);
    console.log(`| page 2 stalled | viewer RSS peak - at stall, MB | ${spread(stalled.map((r) => mb(r.rssPeak - r.rssStart)))} | ~0 |`);
    console.log(`\nviewer peak RSS over the whole run (VmHWM): ${readFileSync(`/proc/${viewer.pid}/status`, 'utf8').match(/VmHWM:\s+(\d+)/)[1] / 1024} MB`);
  } finally {
    for (const browser of browsers) {
      await browser.context.close();
      rmSync(browser.profile, { recursive: true, force: true });
    }
  }
}

let status = 0;
try {
  await main();
} catch (error) {
  console.error(error.stack || error);
  status = 1;
}
for (const child of started.reverse()) {
  child.kill('SIGTERM');
  await new Promise((resolve) => (child.exitCode !== null ? resolve() : child.once('exit', resolve)));
}
process.exit(status);
