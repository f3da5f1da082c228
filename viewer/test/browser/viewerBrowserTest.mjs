// The viewer page in a real browser: Debian's chromium driven by
// playwright-core. Starts a broker, two lumoPublish test patterns and
// vexatoolsViewer on loopback, then checks what the page shows.
//
// Environment: VIEWER, BROKER, PUBLISH (program paths), OUT_DIR (where the
// screenshot goes), CHROMIUM (default /usr/bin/chromium). Exit status 0 when
// every check passed, 1 on a failure, 77 (skipped) when chromium or
// playwright-core is missing, unless CI=true, where that is a failure.
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync, rmSync, mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';

const SKIP = 77;
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
const inCi = process.env.CI === 'true';
const outDir = process.env.OUT_DIR || tmpdir();
const TEST_LIMIT_MS = 120_000;

function skipOrFail(reason) {
  if (inCi) {
    console.error(`FAIL: ${reason} (CI=true: the browser test must run)`);
    process.exit(1);
  }
  console.log(`SKIP: ${reason}`);
  process.exit(SKIP);
}

if (!existsSync(chromiumPath)) skipOrFail(`no chromium at ${chromiumPath} (apt-get install chromium)`);
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  skipOrFail(`playwright-core is not installed (npm ci --prefix ${path.dirname(new URL(import.meta.url).pathname)})`);
}

const started = [];  // child processes, stopped by their PID at the end

// Starts a program and resolves with it and its first stdout line that matches `ready`.
function start(program, args, ready) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  started.push(child);
  let errors = '';
  child.stderr.on('data', (data) => {
    errors += data;
    if (errors.length > 20_000) errors = errors.slice(-10_000);
  });
  child.errors = () => errors;
  const lines = createInterface({ input: child.stdout });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${path.basename(program)} did not start: ${errors}`)), 15_000);
    lines.on('line', (line) => {
      const match = line.match(ready);
      if (match) {
        clearTimeout(timer);
        resolve({ child, match });
      }
    });
    child.on('exit', (code) => reject(new Error(`${path.basename(program)} ended with ${code}: ${errors}`)));
  });
}

async function stop(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const ended = new Promise((resolve) => child.once('exit', resolve));
  child.kill('SIGTERM');
  const late = setTimeout(() => child.kill('SIGKILL'), 5_000);
  await ended;
  clearTimeout(late);
}

function check(condition, message) {
  if (!condition) throw new Error(message);
  console.log(`ok: ${message}`);
}

// lumoPublish's test pattern: a diagonal ramp, moved by 4 pixels per image.
function publishedLevel(x, y, sequence, width, height) {
  const shift = (sequence - 1) * 4;
  return Math.floor((((x + y + shift) % (width + height)) * 65535) / (width + height));
}

const alphaSize = { width: 320, height: 240 };
const betaSize = { width: 200, height: 100 };
const gammaSize = { width: 1600, height: 1400 };  // 4.5 MB: sent as every 2nd pixel

// After a pause the frames already on their way are still shown; under load
// a large frame can take well over a second. Waits until the shown image
// has stayed the same for half a second, and returns it.
async function shownOnceSettled(page) {
  let shown = await page.evaluate(() => window.vexaViewer.shown);
  for (let waited = 0; waited < 15_000; waited += 500) {
    await page.waitForTimeout(500);
    const now = await page.evaluate(() => window.vexaViewer.shown);
    if (now.sequence === shown.sequence) return now;
    shown = now;
  }
  throw new Error(`the view still changed 15 s after a pause (image ${shown.sequence})`);
}

function publishPattern(broker, stream, size, bytesPerPixel) {
  return start(process.env.PUBLISH, ['--broker-uri', broker, '--stream', stream, '-w', `${size.width}`,
                                     '-e', `${size.height}`, '-B', `${bytesPerPixel}`, '--rate', '20'], /^Publishing/);
}

async function main() {
  const { match: brokerLine } = await start(process.env.BROKER, ['--uri', 'tcp://127.0.0.1:*', '--lease-ms', '1000'],
                                            /^lumoBroker listening on (\S+)/);
  const broker = brokerLine[1];
  let { child: alpha } = await publishPattern(broker, 'alpha', alphaSize, 2);
  await publishPattern(broker, 'beta', betaSize, 1);
  await publishPattern(broker, 'gamma', gammaSize, 2);
  // Port 0: the viewer picks a free one and prints its address.
  const { match: viewerLine } = await start(process.env.VIEWER, ['--broker-uri', broker, '--http', '127.0.0.1:0',
                                                                 '--stream', 'alpha', '--log-level', process.env.VIEWER_LOG_LEVEL || 'WARN'],
                                            /open (http:\/\/\S+)/);
  const url = viewerLine[1];

  const profile = mkdtempSync(path.join(tmpdir(), 'vexatools-viewer-chromium-'));
  // A fresh profile each run (playwright passes it as --user-data-dir).
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 800 },
    acceptDownloads: true,
  });
  try {
    const page = browser.pages()[0] || await browser.newPage();
    page.setDefaultTimeout(15_000);
    page.on('pageerror', (error) => console.error(`page error: ${error.message}`));
    await page.goto(url);

    // The stream list shows both streams.
    await page.waitForFunction(() => ['alpha', 'beta'].every((s) => window.vexaViewer.streams.includes(s)));
    const listed = await page.locator('#streams li').allTextContents();
    check(listed.includes('alpha') && listed.includes('beta'), `stream list shows alpha and beta (${listed})`);

    // The canvas shows the pattern: with the window 0..65535 each grey level is the value's top byte, rounded.
    await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'alpha');
    await page.check('input[name="window"][value="manual"]');
    await page.fill('#low', '0');
    await page.fill('#high', '65535');
    await page.click('#pause');
    const shown = await shownOnceSettled(page);
    check(shown.width === alphaSize.width && shown.height === alphaSize.height && shown.kind === 'uint16' && shown.step === 1,
          `alpha shown as ${shown.width} x ${shown.height} ${shown.kind}`);
    const points = [[0, 0], [319, 0], [0, 239], [319, 239], [100, 50], [211, 187]];
    for (const [x, y] of points) {
      const expected = publishedLevel(x, y, shown.sequence, alphaSize.width, alphaSize.height);
      const { value, grey } = await page.evaluate(([px, py]) => ({ value: window.vexaViewer.viewValue(px, py),
                                                                  grey: window.vexaViewer.grey(px, py) }), [x, y]);
      check(value === expected, `pixel (${x}, ${y}) of image ${shown.sequence} holds ${value}, the pattern's ${expected}`);
      check(Math.abs(grey - Math.round((expected * 255) / 65535)) <= 1, `pixel (${x}, ${y}) drawn with grey ${grey}`);
    }

    // The value under the cursor is the true raw value.
    const [cx, cy] = [123, 45];
    const at = await page.evaluate(([x, y]) => window.vexaViewer.pagePosition(x, y), [cx, cy]);
    await page.mouse.move(at.x, at.y);
    const cursorValue = publishedLevel(cx, cy, shown.sequence, alphaSize.width, alphaSize.height);
    await page.waitForFunction((text) => document.getElementById('readout').textContent === text,
                               `x ${cx}, y ${cy}: ${cursorValue}`);
    check(true, `read-out under the cursor: x ${cx}, y ${cy}: ${cursorValue}`);

    // "Save PNG" downloads the shown image at full depth.
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#save')]);
    const pngPath = path.join(profile, 'saved.png');
    await download.saveAs(pngPath);
    const png = readFileSync(pngPath);
    check(download.suggestedFilename() === `alpha_${shown.sequence}.png`, `saved as ${download.suggestedFilename()}`);
    check(png.subarray(1, 4).toString() === 'PNG' && png.readUInt32BE(16) === alphaSize.width &&
          png.readUInt32BE(20) === alphaSize.height && png[24] === 16, 'saved PNG is 320 x 240 at 16 bits');

    // Figures update, and images come again after resuming.
    await page.click('#pause');
    await page.check('input[name="window"][value="minmax"]');
    await page.waitForFunction((seq) => window.vexaViewer.shown.sequence > seq + 5, shown.sequence);
    await page.waitForFunction(() => parseFloat(document.getElementById('f-rate').textContent) > 5 &&
                                     parseFloat(document.getElementById('f-shown').textContent) > 5);
    const figures = await page.evaluate(() => ['f-rate', 'f-mbps', 'f-shown', 'f-latency', 'f-geometry']
      .map((id) => document.getElementById(id).textContent));
    check(figures[4] === '320 × 240 uint16', `figures update: ${figures.join(', ')}`);
    mkdirSync(outDir, { recursive: true });
    await page.screenshot({ path: path.join(outDir, 'viewer-screenshot.png') });
    console.log(`screenshot: ${path.join(outDir, 'viewer-screenshot.png')}`);

    // Switching streams.
    await page.click('#streams li:text-is("beta")');
    await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'beta');
    const beta = await page.evaluate(() => ({ ...window.vexaViewer.shown, value: window.vexaViewer.viewValue(150, 70) }));
    const betaExpected = publishedLevel(150, 70, beta.sequence, betaSize.width, betaSize.height) >> 8;
    check(beta.kind === 'uint8' && beta.width === betaSize.width && beta.value === betaExpected,
          `switched to beta: ${beta.width} x ${beta.height} ${beta.kind}, pixel (150, 70) = ${beta.value}`);

    // A reduced image: the read-out still gives the full-resolution value, from the server.
    await page.click('#streams li:text-is("gamma")');
    await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'gamma');
    await page.click('#pause');
    const gamma = await shownOnceSettled(page);
    check(gamma.step === 2 && gamma.width === gammaSize.width, `gamma sent reduced: step ${gamma.step}`);
    await page.click('#one-to-one');  // one screen pixel per image pixel, so the mouse can point at each
    const [gx, gy] = [801, 701];  // odd: not in the reduced view
    const gammaAt = await page.evaluate(([x, y]) => window.vexaViewer.pagePosition(x, y), [gx, gy]);
    await page.mouse.move(gammaAt.x, gammaAt.y);
    const gammaValue = publishedLevel(gx, gy, gamma.sequence, gammaSize.width, gammaSize.height);
    await page.waitForFunction((text) => document.getElementById('readout').textContent === text,
                               `x ${gx}, y ${gy}: ${gammaValue}`);
    check(true, `read-out of a reduced image: x ${gx}, y ${gy}: ${gammaValue}`);
    await page.click('#pause');

    // A restarted publisher: the view resumes with its new images.
    await page.click('#streams li:text-is("alpha")');
    await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'alpha');
    // The old publisher runs long enough that the new one's numbers, when
    // the view follows it about a second later, are still below its last.
    await page.waitForFunction(() => window.vexaViewer.shown.sequence > 40);
    await stop(alpha);
    const lastBefore = await page.evaluate(() => window.vexaViewer.shown.sequence);
    ({ child: alpha } = await publishPattern(broker, 'alpha', alphaSize, 2));
    await page.waitForFunction((last) => window.vexaViewer.shown.sequence < last &&
                                         document.getElementById('f-restarts').textContent === '1',
                               lastBefore, { timeout: 20_000 });
    const resumedFrom = await page.evaluate(() => window.vexaViewer.shown.sequence);
    await page.waitForFunction((seq) => window.vexaViewer.shown.sequence > seq + 3, resumedFrom);
    check(true, 'after a publisher restart the view resumes with the new sequence');
  } finally {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

const limit = setTimeout(() => {
  console.error(`FAIL: the browser test took more than ${TEST_LIMIT_MS / 1000} s`);
  for (const child of started) child.kill('SIGKILL');
  process.exit(1);
}, TEST_LIMIT_MS);

let status = 0;
try {
  await main();
  console.log('PASS');
} catch (error) {
  console.error(`FAIL: ${error.stack || error}`);
  for (const child of started) if (child.errors()) console.error(`--- ${child.spawnfile} said:\n${child.errors()}`);
  status = 1;
} finally {
  for (const child of started.reverse()) await stop(child);
  clearTimeout(limit);
}
process.exit(status);
