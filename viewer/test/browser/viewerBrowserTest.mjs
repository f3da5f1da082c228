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

// Min, max, mean, standard deviation, sum and count at or above `high` of
// the pattern's pixels in the rectangle (corners included).
function patternStatistics(sequence, size, box, high) {
  const values = [];
  for (let y = box.y0; y <= box.y1; ++y)
    for (let x = box.x0; x <= box.x1; ++x) values.push(publishedLevel(x, y, sequence, size.width, size.height));
  const sum = values.reduce((a, b) => a + b, 0);
  const mean = sum / values.length;
  const variance = values.reduce((a, v) => a + (v - mean) ** 2, 0) / values.length;
  return { min: Math.min(...values), max: Math.max(...values), mean, std: Math.sqrt(variance), sum,
           saturated: values.filter((v) => v >= high).length, values };
}

const near = (a, b, tolerance) => Math.abs(a - b) <= tolerance;
const sameColour = (a, b, tolerance = 3) => a.every((c, i) => near(c, b[i], tolerance));

// Pauses in the same task that reads what is shown, so no frame can slip in between.
function pauseNow(page) {
  return page.evaluate(() => {
    document.getElementById('pause').click();
    return { shown: window.vexaViewer.shown, digest: window.vexaViewer.canvasDigest(), figures: window.vexaViewer.figuresCount };
  });
}

// Paused, nothing on the page changes while the stream goes on: two
// figures messages later (over a second of images at the viewer) the same
// image is shown, pixel for pixel, and the figures say paused.
async function expectFrozen(page, paused) {
  await page.waitForFunction((count) => window.vexaViewer.figuresCount >= count + 2, paused.figures);
  const now = await page.evaluate(() => ({
    shown: window.vexaViewer.shown,
    digest: window.vexaViewer.canvasDigest(),
    shownText: document.getElementById('f-shown').textContent,
    note: !document.getElementById('paused-note').hidden,
  }));
  check(now.shown.sequence === paused.shown.sequence && now.digest === paused.digest,
        `paused on image ${paused.shown.sequence}: the view stays the same while the stream goes on`);
  check(now.shownText === 'paused' && now.note, 'the figures and the tool bar say paused');
}

const figureText = (page, id) => page.evaluate((i) => document.getElementById(i).textContent, id);
const figureNumber = async (page, id) => parseFloat(await figureText(page, id));

// A point inside image pixel (x, y) on whole CSS pixels, where mouse events
// land (zoomed to at least one CSS pixel per image pixel).
function pointOnPixel(page, [x, y]) {
  return page.evaluate(([px, py]) => {
    const half = window.vexaViewer.drawn.zoom / devicePixelRatio / 2;
    const centre = window.vexaViewer.pagePosition(px, py);
    return { x: Math.ceil(centre.x - half), y: Math.ceil(centre.y - half) };
  }, [x, y]);
}

// Drags over the image from pixel `from` to pixel `to` with a modifier key held.
async function dragOnImage(page, modifier, from, to) {
  const a = await pointOnPixel(page, from);
  const b = await pointOnPixel(page, to);
  await page.keyboard.down(modifier);
  await page.mouse.move(a.x, a.y);
  await page.mouse.down();
  await page.mouse.move(b.x, b.y, { steps: 4 });
  await page.mouse.up();
  await page.keyboard.up(modifier);
}

// Presses a key with nothing focused, as a user looking at the image does.
async function pressKey(page, key) {
  await page.evaluate(() => document.activeElement?.blur());
  await page.keyboard.press(key);
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
    viewport: { width: 1280, height: 1000 },
    acceptDownloads: true,
  });
  try {
    const page = browser.pages()[0] || await browser.newPage();
    page.setDefaultTimeout(15_000);
    const pageErrors = [];  // the page must run without one
    page.on('pageerror', (error) => pageErrors.push(`page error: ${error.message}`));
    page.on('console', (message) => {
      if (message.type() === 'error') pageErrors.push(`console: ${message.text()}`);
      if (message.type() === 'warning') console.log(`page warning: ${message.text()}`);
    });
    await page.goto(url);
    const favicon = await page.request.get(new URL('favicon.svg', url).href);
    check(favicon.status() === 200 && favicon.headers()['content-type'] === 'image/svg+xml', 'the page has a favicon');

    // The stream list shows both streams.
    await page.waitForFunction(() => ['alpha', 'beta'].every((s) => window.vexaViewer.streams.includes(s)));
    const listed = await page.locator('#streams li').allTextContents();
    check(listed.includes('alpha') && listed.includes('beta'), `stream list shows alpha and beta (${listed})`);

    // Pause is immediate. The canvas shows the pattern: with the window
    // 0..65535 and no marks each grey level is the value's top byte, rounded.
    await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'alpha');
    check(await page.isDisabled('#low') && await page.isDisabled('#high'), 'low and high are locked outside manual mode');
    await page.check('input[name="window"][value="manual"]');
    await page.fill('#low', '0');
    await page.fill('#high', '65535');
    await page.uncheck('#marks');
    const paused = await pauseNow(page);
    await expectFrozen(page, paused);
    const shown = paused.shown;
    const sequence = shown.sequence;
    check(shown.width === alphaSize.width && shown.height === alphaSize.height && shown.kind === 'uint16' && shown.step === 1,
          `alpha shown as ${shown.width} x ${shown.height} ${shown.kind}`);
    const level = (x, y) => publishedLevel(x, y, sequence, alphaSize.width, alphaSize.height);
    const points = [[0, 0], [319, 0], [0, 239], [319, 239], [100, 50], [211, 187]];
    for (const [x, y] of points) {
      const { value, grey } = await page.evaluate(([px, py]) => ({ value: window.vexaViewer.viewValue(px, py),
                                                                  grey: window.vexaViewer.grey(px, py) }), [x, y]);
      check(value === level(x, y), `pixel (${x}, ${y}) of image ${sequence} holds ${value}, the pattern's ${level(x, y)}`);
      check(Math.abs(grey - Math.round((level(x, y) * 255) / 65535)) <= 1, `pixel (${x}, ${y}) drawn with grey ${grey}`);
    }

    // The value under the cursor is the true raw value.
    const [cx, cy] = [123, 45];
    const at = await pointOnPixel(page, [cx, cy]);
    await page.mouse.move(at.x, at.y);
    await page.waitForFunction((text) => document.getElementById('readout').textContent === text,
                               `x ${cx}, y ${cy}: ${level(cx, cy)}`);
    check(true, `read-out under the cursor: x ${cx}, y ${cy}: ${level(cx, cy)}`);

    // "Save PNG" downloads the shown image at full depth.
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#save')]);
    const pngPath = path.join(profile, 'saved.png');
    await download.saveAs(pngPath);
    const png = readFileSync(pngPath);
    check(download.suggestedFilename() === `alpha_${sequence}.png`, `saved as ${download.suggestedFilename()}`);
    check(png.subarray(1, 4).toString() === 'PNG' && png.readUInt32BE(16) === alphaSize.width &&
          png.readUInt32BE(20) === alphaSize.height && png[24] === 16, 'saved PNG is 320 x 240 at 16 bits');

    // Figures of the image: min / mean / max, the publisher's time stamp, histogram axis.
    const whole = { x0: 0, y0: 0, x1: alphaSize.width - 1, y1: alphaSize.height - 1 };
    const all = patternStatistics(sequence, alphaSize, whole, 65535);
    const [min, mean, max] = (await figureText(page, 'f-values')).split(' / ').map(Number);
    check(min === all.min && max === all.max && near(mean, all.mean, 0.001), `min / mean / max ${min} / ${mean} / ${max}`);
    const published = await figureText(page, 'f-published');
    check(/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}$/.test(published) &&
          near(Date.parse(`${published.replace(' ', 'T').slice(0, 23)}Z`), Date.now(), 60_000),
          `publisher's time stamp ${published} UTC`);
    const axis = await page.evaluate(() => ['histogram-low', 'histogram-high'].map((id) => document.getElementById(id).textContent));
    check(axis[0] === `${all.min}` && axis[1] === `${all.max}`, `histogram axis from ${axis[0]} to ${axis[1]}`);
    await page.check('input[name="window"][value="p1"]');
    const p1 = await page.evaluate(() => ({ range: document.getElementById('window-range').textContent,
                                            low: document.getElementById('low').value, locked: document.getElementById('low').disabled }));
    check(/^\d+ – \d+$/.test(p1.range) && p1.range.startsWith(`${p1.low} `) && p1.locked,
          `integer window for integer pixels, shown in the locked boxes: ${p1.range}`);
    await page.check('input[name="window"][value="manual"]');
    await page.fill('#low', '0');
    await page.fill('#high', '65535');

    // Saturation and floor marks: the limits start at the type's range.
    const lowest = all.values.indexOf(all.min);
    const highest = all.values.indexOf(all.max);
    const lowestAt = [lowest % alphaSize.width, Math.floor(lowest / alphaSize.width)];
    const highestAt = [highest % alphaSize.width, Math.floor(highest / alphaSize.width)];
    const colour = (p) => page.evaluate(([x, y]) => window.vexaViewer.colour(x, y), p);
    await page.check('#marks');
    const limits = await page.evaluate(() => [document.getElementById('mark-low').value, document.getElementById('mark-high').value]);
    check(limits[0] === '0' && limits[1] === '65535', `marking limits start at the uint16 range: ${limits}`);
    const floorCount = all.values.filter((v) => v <= 0).length;
    check(await figureNumber(page, 'f-floor') === floorCount && await figureNumber(page, 'f-saturated') === 0 &&
          sameColour(await colour(lowestAt), [0, 0, 255], 0), `${floorCount} pixels at the floor, in blue; none saturated`);
    await page.fill('#mark-high', '60000');
    await page.fill('#mark-low', '1000');
    const saturatedCount = all.values.filter((v) => v >= 60000).length;
    check(await figureNumber(page, 'f-saturated') === saturatedCount && sameColour(await colour(highestAt), [255, 0, 0], 0) &&
          await figureNumber(page, 'f-floor') === all.values.filter((v) => v <= 1000).length,
          `limits 1000 and 60000: ${saturatedCount} pixels saturated, in red`);

    // Colour maps, chosen in the list and with c; the colour bar uses the map too.
    await page.uncheck('#marks');
    await page.selectOption('#colour-map', { label: 'viridis' });
    const bar = () => page.evaluate(() => {
      const c = document.getElementById('colour-bar').getContext('2d');
      return [[...c.getImageData(0, 5, 1, 1).data.slice(0, 3)], [...c.getImageData(255, 5, 1, 1).data.slice(0, 3)]];
    });
    const [barLow, barHigh] = await bar();
    check(sameColour(await colour(lowestAt), [0x44, 0x01, 0x54]) && sameColour(await colour(highestAt), [0xfd, 0xe7, 0x25]) &&
          sameColour(barLow, [0x44, 0x01, 0x54]) && sameColour(barHigh, [0xfd, 0xe7, 0x25], 8),
          `viridis: lowest pixel and colour bar ${barLow}, highest ${barHigh}`);
    await pressKey(page, 'c');
    check(await page.evaluate(() => window.vexaViewer.colourMap) === 'magma' &&
          sameColour(await colour(lowestAt), [0, 0, 4]), 'c: magma');
    await pressKey(page, 'c');
    await page.check('#signed');  // read as signed, 0 is the middle of the diverging map
    const negativeAt = [...highestAt];  // above 32767 unsigned: negative signed
    const diverging = [await colour(lowestAt), await colour(negativeAt)];
    check(await page.evaluate(() => window.vexaViewer.colourMap) === 'diverging' && sameColour(diverging[0], [247, 247, 247]) &&
          diverging[1][0] > diverging[1][1], `diverging: zero white ${diverging[0]}, negative purple ${diverging[1]}`);
    await page.uncheck('#signed');
    for (const map of ['grey', 'inverted grey']) {
      await pressKey(page, 'c');
      check(await page.evaluate(() => window.vexaViewer.colourMap) === map, `c: ${map}`);
    }
    check(sameColour(await colour(lowestAt), [255, 255, 255], 0), 'inverted grey draws the lowest value white');

    // A region (Shift + drag) and a line (Alt + drag) on the paused image.
    await page.fill('#mark-high', '60000');
    const box = { x0: 10, y0: 20, x1: 109, y1: 69 };
    await dragOnImage(page, 'Shift', [box.x0, box.y0], [box.x1, box.y1]);
    const region = await page.evaluate(() => window.vexaViewer.region);
    const inBox = patternStatistics(sequence, alphaSize, box, 60000);
    check(region.x0 === box.x0 && region.y0 === box.y0 && region.x1 === box.x1 && region.y1 === box.y1 &&
          region.count === 100 * 50, `region x ${region.x0}-${region.x1}, y ${region.y0}-${region.y1}`);
    check(region.min === inBox.min && region.max === inBox.max && region.sum === inBox.sum &&
          near(region.mean, inBox.mean, 1e-6) && near(region.std, inBox.std, 1e-6) && region.saturated === inBox.saturated,
          `region min ${region.min} max ${region.max} mean ${region.mean.toFixed(3)} std ${region.std.toFixed(3)} ` +
          `sum ${region.sum} saturated ${region.saturated}`);
    check(await figureText(page, 'r-sum') === `${inBox.sum}`, 'region figures in the side panel');
    await dragOnImage(page, 'Alt', [0, 100], [199, 100]);
    const line = await page.evaluate(() => window.vexaViewer.profile);
    check(line.values.length === 200 && line.values.every((v, i) => v === level(i, 100)),
          'profile along y = 100 from x = 0 to 199 holds the pattern\'s values');
    const profileAt = await page.evaluate(() => window.vexaViewer.profilePosition(50));
    await page.mouse.move(profileAt.x, profileAt.y);
    await page.waitForFunction((text) => document.getElementById('profile-readout').textContent === text,
                               `x 50, y 100: ${level(50, 100)}`);
    check(true, `profile read-out under the cursor: x 50, y 100: ${level(50, 100)}`);

    // Resumed (space), the region and the profile follow each new image.
    await page.selectOption('#colour-map', { label: 'viridis' });
    await page.check('#marks');
    await page.check('input[name="window"][value="minmax"]');
    await pressKey(page, ' ');
    await page.waitForFunction((seq) => window.vexaViewer.region.sequence > seq + 2 &&
                                        window.vexaViewer.profile.sequence === window.vexaViewer.region.sequence, sequence);
    const live = await page.evaluate(() => ({ region: window.vexaViewer.region, profile: window.vexaViewer.profile }));
    const liveBox = patternStatistics(live.region.sequence, alphaSize, box, 60000);
    check(live.region.sum === liveBox.sum && live.region.saturated === liveBox.saturated &&
          live.profile.values[7] === publishedLevel(7, 100, live.region.sequence, alphaSize.width, alphaSize.height),
          `region and profile updated live (image ${live.region.sequence})`);
    await pressKey(page, ' ');
    await page.mouse.move(at.x, at.y);
    mkdirSync(outDir, { recursive: true });
    const screenshot = async (name) => {
      await page.screenshot({ path: path.join(outDir, name) });
      console.log(`screenshot: ${path.join(outDir, name)}`);
    };
    await screenshot('viewer-region-profile.png');

    // Bearings: keys 1, + and - zoom about the cursor; grid from 8x,
    // values from 24x, an overview while the image does not fit.
    await pressKey(page, '1');
    check(await figureText(page, 'zoom') === '1×', 'key 1: one to one');
    const centre = await page.evaluate(() => window.vexaViewer.pagePosition(160, 120));
    await page.mouse.move(centre.x, centre.y);
    await page.waitForFunction(() => /^x 1[56]\d, y 1[12]\d:/.test(document.getElementById('readout').textContent));
    const underCursor = (await figureText(page, 'readout')).split(':')[0];  // mouse events land on whole CSS pixels
    for (let i = 0; i < 3; ++i) await pressKey(page, '+');
    let drawn = await page.evaluate(() => window.vexaViewer.drawn);
    check(await figureText(page, 'zoom') === '8×' && drawn.grid && drawn.labels === 0 && drawn.overview &&
          await page.isVisible('#overview'), 'zoomed to 8x: grid and overview, no values yet');
    await page.mouse.move(centre.x + 1, centre.y);  // the read-out follows the mouse; 1 px is 1/8 of a pixel now
    await page.waitForFunction((text) => document.getElementById('readout').textContent.startsWith(`${text}:`), underCursor);
    check(true, `the pixel under the cursor stays under it: ${underCursor}`);
    await pressKey(page, '+');
    await pressKey(page, '+');
    drawn = await page.evaluate(() => window.vexaViewer.drawn);
    check(await figureText(page, 'zoom') === '32×' && drawn.labels > 100, `32x: ${drawn.labels} pixel values drawn`);
    await screenshot('viewer-zoomed.png');
    await pressKey(page, '-');
    check(await figureText(page, 'zoom') === '16×', 'key -: 16x');
    await pressKey(page, 'f');
    drawn = await page.evaluate(() => window.vexaViewer.drawn);
    check(!drawn.grid && !drawn.overview && await page.isHidden('#overview'), 'key f: fitted, no grid, no overview');

    // Keys: ? help, Escape closes it and clears the region, s saves, space resumes.
    await pressKey(page, '?');
    check(await page.isVisible('#help'), 'key ?: help shown');
    await screenshot('viewer-help.png');
    await pressKey(page, 'Escape');
    check(await page.isHidden('#help') && await page.evaluate(() => window.vexaViewer.region === null) &&
          await page.isHidden('#profile-box'), 'Escape: help closed, region and line cleared');
    const pausedOn = await page.evaluate(() => window.vexaViewer.shown.sequence);
    const [keyDownload] = await Promise.all([page.waitForEvent('download'), pressKey(page, 's')]);
    check(keyDownload.suggestedFilename() === `alpha_${pausedOn}.png`, `key s: saved ${keyDownload.suggestedFilename()}`);
    await pressKey(page, ' ');
    check(!(await page.evaluate(() => window.vexaViewer.paused)), 'space: resumed');

    // Figures update, and images come again after resuming.
    await page.selectOption('#colour-map', { label: 'grey' });
    await page.waitForFunction((seq) => window.vexaViewer.shown.sequence > seq + 5, sequence);
    await page.waitForFunction(() => parseFloat(document.getElementById('f-rate').textContent) > 5 &&
                                     parseFloat(document.getElementById('f-shown').textContent) > 5);
    const figures = await page.evaluate(() => ['f-rate', 'f-mbps', 'f-shown', 'f-latency', 'f-geometry']
      .map((id) => document.getElementById(id).textContent));
    check(figures[4] === '320 × 240 uint16', `figures update: ${figures.join(', ')}`);
    await screenshot('viewer-screenshot.png');

    // Switching streams.
    await page.click('#streams li:text-is("beta")');
    await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'beta');
    const beta = await page.evaluate(() => ({ ...window.vexaViewer.shown, value: window.vexaViewer.viewValue(150, 70) }));
    const betaExpected = publishedLevel(150, 70, beta.sequence, betaSize.width, betaSize.height) >> 8;
    check(beta.kind === 'uint8' && beta.width === betaSize.width && beta.value === betaExpected,
          `switched to beta: ${beta.width} x ${beta.height} ${beta.kind}, pixel (150, 70) = ${beta.value}`);
    check(await page.evaluate(() => document.getElementById('mark-high').value) === '255', 'marking limits follow the type: 255');

    // A reduced image: the read-out still gives the full-resolution value,
    // from the server, for the paused image however many frames were on their way.
    await page.click('#streams li:text-is("gamma")');
    await page.waitForFunction(() => window.vexaViewer.shown?.stream === 'gamma');
    const gamma = (await pauseNow(page)).shown;
    check(gamma.step === 2 && gamma.width === gammaSize.width, `gamma sent reduced: step ${gamma.step}`);
    await page.click('#one-to-one');  // one screen pixel per image pixel, so the mouse can point at each
    const [gx, gy] = [801, 701];  // odd: not in the reduced view
    const gammaAt = await pointOnPixel(page, [gx, gy]);
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

    // At 700 px wide the side panel folds away, the image keeps the width, and ☰ opens the panel.
    await page.setViewportSize({ width: 700, height: 800 });
    await page.waitForFunction(() => getComputedStyle(document.getElementById('side')).display === 'none');
    const narrow = await page.evaluate(() => ({ scroll: document.documentElement.scrollWidth,
                                                stage: document.getElementById('stage').getBoundingClientRect().width }));
    check(narrow.scroll <= 700 && narrow.stage >= 680, `700 px wide: no sideways scrolling, image ${narrow.stage} px wide`);
    await screenshot('viewer-narrow.png');
    await page.click('#panel-toggle');
    check(await page.isVisible('#side'), '☰ opens the side panel');
    check(pageErrors.length === 0, `no errors on the page's console${pageErrors.length ? `: ${pageErrors.join('; ')}` : ''}`);
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
