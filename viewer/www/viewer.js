// The vexatools viewer page: talks to vexatoolsViewer over one WebSocket,
// draws the newest image of the chosen stream with contrast windowing, zoom
// and pan, shows the raw value under the cursor, a histogram and figures.
'use strict';

(() => {
  // Pixel kinds as the server codes them in each frame.
  const KINDS = [
    { name: 'uint8', array: Uint8Array, signed: Int8Array },
    { name: 'uint16', array: Uint16Array, signed: Int16Array },
    { name: 'int32', array: Int32Array },
    { name: 'uint32', array: Uint32Array },
    { name: 'float32', array: Float32Array },
    { name: 'float64', array: Float64Array },
    { name: 'int64', array: BigInt64Array },
  ];
  const HISTOGRAM_BINS = 256;
  const PERCENTILE_BINS = 4096;
  const HISTOGRAM_SAMPLES = 1 << 17;

  const $ = (id) => document.getElementById(id);
  const canvas = $('image');
  const context = canvas.getContext('2d');
  const offscreen = document.createElement('canvas');
  const offscreenContext = offscreen.getContext('2d', { willReadFrequently: true });

  const state = {
    socket: null,
    stream: '',        // the stream asked for
    firstStream: '',   // suggested by the server or the address
    streams: [],
    paused: false,
    frame: null,       // the frame shown: header fields and its pixel values
    pendingFrame: null,
    drawScheduled: false,
    view: { scale: 1, x: 0, y: 0, fitted: false },
    cursor: null,      // full-resolution coordinates under the mouse
    pixelAsked: false, // one pixel question at a time
    shownCount: 0,
    shownTimes: [],
    skipped: 0,
    window: { low: 0, high: 1 },
    figures: null,
    drawMs: 0,         // time to draw a frame, smoothed
    imageData: null,   // reused from frame to frame
  };

  // ---- Messages from the server ---------------------------------------

  function readFrame(buffer) {
    const data = new DataView(buffer);
    const headerSize = data.getUint16(4, true);
    const kindCode = data.getUint8(6);
    const bytesPerPixel = data.getUint8(7);
    const nameSize = data.getUint32(44, true);
    const kind = KINDS[kindCode];
    if (!kind || 48 + nameSize > headerSize) return null;
    const frame = {
      sequence: Number(data.getBigUint64(8, true)),
      publishTimeNs: data.getBigUint64(16, true),
      width: data.getUint32(24, true),
      height: data.getUint32(28, true),
      step: data.getUint32(32, true),
      viewWidth: data.getUint32(36, true),
      viewHeight: data.getUint32(40, true),
      stream: new TextDecoder().decode(new Uint8Array(buffer, 48, nameSize)),
      kindCode, kind, bytesPerPixel, buffer, headerSize,
    };
    if (headerSize + frame.viewWidth * frame.viewHeight * bytesPerPixel > buffer.byteLength) return null;
    return frame;
  }

  // The pixel values of a frame as numbers, read as the page is set to read them.
  function frameValues(frame) {
    const count = frame.viewWidth * frame.viewHeight;
    const signed = $('signed').checked && frame.kind.signed;
    const values = new (signed ? frame.kind.signed : frame.kind.array)(frame.buffer, frame.headerSize, count);
    return values instanceof BigInt64Array ? Float64Array.from(values, Number) : values;
  }

  // A pixel's raw little-endian bytes as a number of the frame's kind.
  function valueOfBytes(bytes, kindCode) {
    const data = new DataView(bytes.buffer, bytes.byteOffset, 8);
    const signed = $('signed').checked;
    switch (KINDS[kindCode].name) {
      case 'uint8': return signed ? data.getInt8(0) : data.getUint8(0);
      case 'uint16': return signed ? data.getInt16(0, true) : data.getUint16(0, true);
      case 'int32': return data.getInt32(0, true);
      case 'uint32': return data.getUint32(0, true);
      case 'float32': return data.getFloat32(0, true);
      case 'float64': return data.getFloat64(0, true);
      case 'int64': return data.getBigInt64(0, true).toString();
    }
    return NaN;
  }

  function onBinary(buffer) {
    const magic = new TextDecoder().decode(new Uint8Array(buffer, 0, 4));
    if (magic === 'VXF1') return onFrame(buffer);
    const data = new DataView(buffer);
    if (magic === 'VXP1') {
      state.pixelAsked = false;
      const x = data.getUint32(8, true);
      const y = data.getUint32(12, true);
      const value = valueOfBytes(new Uint8Array(buffer, 24, 8), data.getUint8(4));
      showReadout(x, y, value);
      askPixelIfNeeded();
    } else if (magic === 'VXN1') {
      const sequence = Number(data.getBigUint64(8, true));
      const blob = new Blob([new Uint8Array(buffer, 16)], { type: 'image/png' });
      const link = document.createElement('a');
      link.href = URL.createObjectURL(blob);
      link.download = `${state.stream.replace(/[^A-Za-z0-9.-]/g, '_')}_${sequence}.png`;
      document.body.appendChild(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    }
  }

  function onFrame(buffer) {
    const frame = readFrame(buffer);
    if (!frame || frame.stream !== state.stream) return;
    const previous = state.pendingFrame || state.frame;
    if (previous && frame.sequence > previous.sequence + 1) state.skipped += frame.sequence - previous.sequence - 1;
    state.pendingFrame = frame;
    if (!state.drawScheduled) {
      state.drawScheduled = true;
      requestAnimationFrame(showPendingFrame);
    }
  }

  function onText(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    if (message.type === 'hello') {
      state.firstStream = new URLSearchParams(location.search).get('stream') || message.stream || '';
      if (state.stream) watch(state.stream, true);
      else if (state.firstStream) watch(state.firstStream);
    } else if (message.type === 'streams') {
      state.streams = message.streams;
      $('streams-problem').textContent = message.problem;
      if (!state.stream && state.streams.length > 0) watch(state.streams[0]);
      showStreams();
    } else if (message.type === 'figures') {
      if (message.stream === state.stream) showFigures(message);
    } else if (message.type === 'error') {
      state.pixelAsked = false;
      console.warn('viewer:', message.message);
    }
  }

  // ---- Asking the server ------------------------------------------------

  function send(text) {
    if (state.socket && state.socket.readyState === WebSocket.OPEN) state.socket.send(text);
  }

  function watch(stream, again = false) {
    if (stream === state.stream && !again) return;
    state.stream = stream;
    state.frame = state.pendingFrame = null;
    state.figures = null;
    state.skipped = 0;
    state.view.fitted = false;
    send(`watch ${stream}`);
    if (state.paused) send('pause');
    $('stream-name').textContent = stream;
    showStreams();
    showFigures(null);
  }

  function askPixelIfNeeded() {
    const frame = state.frame;
    const cursor = state.cursor;
    if (!frame || !cursor || state.pixelAsked) return;
    if (cursor.x < 0 || cursor.y < 0 || cursor.x >= frame.width || cursor.y >= frame.height) return;
    if (cursor.asked === frame.sequence) return;
    cursor.asked = frame.sequence;
    state.pixelAsked = true;
    send(`pixel ${frame.sequence} ${cursor.x} ${cursor.y}`);
  }

  function connect() {
    const socket = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      $('connection').textContent = 'connected';
      $('connection').className = 'status live';
    };
    socket.onmessage = (event) => (typeof event.data === 'string' ? onText(event.data) : onBinary(event.data));
    socket.onclose = () => {
      $('connection').textContent = 'disconnected, trying again…';
      $('connection').className = 'status down';
      state.pixelAsked = false;
      setTimeout(connect, 1000);
    };
    state.socket = socket;
  }

  // ---- Drawing -------------------------------------------------------------

  function showPendingFrame() {
    state.drawScheduled = false;
    const frame = state.pendingFrame;
    if (!frame) return;
    state.pendingFrame = null;
    const begin = performance.now();
    frame.values = frameValues(frame);
    const previous = state.frame;
    state.frame = frame;
    if (!previous || previous.width !== frame.width || previous.height !== frame.height) state.view.fitted = false;
    render(frame);
    countShown(frame);
    updateReadout();
    state.drawMs = 0.9 * state.drawMs + 0.1 * (performance.now() - begin);
  }

  // Smallest and largest finite values, and a histogram over them of at
  // most about HISTOGRAM_SAMPLES evenly spread pixels (enough for the
  // percentile windows, and cheap enough for every frame).
  function statistics(values, bins) {
    let min = Infinity;
    let max = -Infinity;
    for (let i = 0; i < values.length; ++i) {
      const v = values[i];
      if (!(v > -Infinity && v < Infinity)) continue;  // NaN and infinities
      if (v < min) min = v;
      if (v > max) max = v;
    }
    if (min > max) min = max = 0;
    const counts = new Uint32Array(bins);
    const scale = max > min ? bins / (max - min) : 0;
    const stride = Math.max(1, Math.floor(values.length / HISTOGRAM_SAMPLES)) | 1;  // odd: no beat with the row length
    for (let i = 0; i < values.length; i += stride) {
      const v = values[i];
      if (!(v >= min && v <= max)) continue;
      counts[Math.min(bins - 1, Math.floor((v - min) * scale))]++;
    }
    return { min, max, counts };
  }

  function percentile(stats, fraction) {
    let total = 0;
    for (const c of stats.counts) total += c;
    const wanted = fraction * total;
    let seen = 0;
    for (let i = 0; i < stats.counts.length; ++i) {
      seen += stats.counts[i];
      if (seen >= wanted) return stats.min + ((i + (fraction < 0.5 ? 0 : 1)) * (stats.max - stats.min)) / stats.counts.length;
    }
    return stats.max;
  }

  // 8- and 16-bit pixels: offset that makes every value a table index, and the table size.
  function smallIntegerTable(values) {
    if (values instanceof Uint8Array) return { offset: 0, size: 256 };
    if (values instanceof Int8Array) return { offset: 128, size: 256 };
    if (values instanceof Uint16Array) return { offset: 0, size: 65536 };
    if (values instanceof Int16Array) return { offset: 32768, size: 65536 };
    return null;
  }

  // statistics() for 8- and 16-bit pixels, exact and in one pass: every pixel counted by value.
  function smallIntegerStatistics(values, table, bins) {
    const byValue = new Uint32Array(table.size);
    for (let i = 0; i < values.length; ++i) byValue[values[i] + table.offset]++;
    let low = 0;
    while (low < table.size - 1 && byValue[low] === 0) ++low;
    let high = table.size - 1;
    while (high > low && byValue[high] === 0) --high;
    const counts = new Uint32Array(bins);
    const scale = high > low ? bins / (high - low) : 0;
    for (let k = low; k <= high; ++k) counts[Math.min(bins - 1, Math.floor((k - low) * scale))] += byValue[k];
    return { min: low - table.offset, max: high - table.offset, counts };
  }

  function chooseWindow(frame) {
    const mode = document.querySelector('input[name="window"]:checked').value;
    const table = smallIntegerTable(frame.values);
    const stats = table ? smallIntegerStatistics(frame.values, table, PERCENTILE_BINS) : statistics(frame.values, PERCENTILE_BINS);
    frame.stats = stats;
    if (mode === 'manual') return { low: Number($('low').value), high: Number($('high').value) };
    if (mode === 'p1') return { low: percentile(stats, 0.01), high: percentile(stats, 0.99) };
    if (mode === 'p01') return { low: percentile(stats, 0.001), high: percentile(stats, 0.999) };
    return { low: stats.min, high: stats.max };
  }

  // Grey level 0..255 of `value` in the window.
  function greyOf(value, low, high) {
    if (!(high > low)) return value >= high ? 255 : 0;
    const g = Math.round(((value - low) * 255) / (high - low));
    return g < 0 ? 0 : g > 255 ? 255 : g;
  }

  function render(frame) {
    const range = chooseWindow(frame);
    state.window = range;
    if (offscreen.width !== frame.viewWidth || offscreen.height !== frame.viewHeight) {
      offscreen.width = frame.viewWidth;
      offscreen.height = frame.viewHeight;
    }
    if (!state.imageData || state.imageData.width !== frame.viewWidth || state.imageData.height !== frame.viewHeight)
      state.imageData = offscreenContext.createImageData(frame.viewWidth, frame.viewHeight);
    const image = state.imageData;
    const rgba = new Uint32Array(image.data.buffer);
    const values = frame.values;
    const opaque = 0xff000000;
    const small = smallIntegerTable(values);
    if (small) {
      // One colour per possible value, then one look-up per pixel.
      const { offset, size } = small;
      const colours = new Uint32Array(size);
      for (let i = 0; i < size; ++i) {
        const g = greyOf(i - offset, range.low, range.high);
        colours[i] = opaque | (g << 16) | (g << 8) | g;
      }
      for (let i = 0; i < values.length; ++i) rgba[i] = colours[values[i] + offset];
    } else {
      for (let i = 0; i < values.length; ++i) {
        const g = greyOf(values[i], range.low, range.high);
        rgba[i] = opaque | (g << 16) | (g << 8) | g;
      }
    }
    offscreenContext.putImageData(image, 0, 0);
    draw();
    drawHistogram(frame, range);
    $('window-range').textContent = `${format(range.low)} – ${format(range.high)}`;
  }

  function fitView(frame) {
    const scale = Math.min(canvas.width / frame.width, canvas.height / frame.height);
    state.view = {
      scale,
      x: (canvas.width - frame.width * scale) / 2,
      y: (canvas.height - frame.height * scale) / 2,
      fitted: true,
    };
  }

  function draw() {
    const rect = canvas.getBoundingClientRect();
    const width = Math.max(1, Math.round(rect.width * devicePixelRatio));
    const height = Math.max(1, Math.round(rect.height * devicePixelRatio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
      state.view.fitted = false;
    }
    context.fillStyle = '#000';
    context.fillRect(0, 0, canvas.width, canvas.height);
    const frame = state.frame;
    if (!frame) return;
    if (!state.view.fitted && !state.view.userMoved) fitView(frame);
    const { scale, x, y } = state.view;
    // Smoothing costs time on every frame; it is worth it only when shrinking much.
    context.imageSmoothingEnabled = scale * frame.step < 0.5;
    context.drawImage(offscreen, 0, 0, frame.viewWidth, frame.viewHeight, x, y,
                      frame.viewWidth * frame.step * scale, frame.viewHeight * frame.step * scale);
  }

  // The histogram of the frame's values (log scale) with the window's edges.
  function drawHistogram(frame, range) {
    const histogram = $('histogram');
    const h = histogram.getContext('2d');
    const stats = frame.stats;
    const counts = new Float64Array(HISTOGRAM_BINS);
    const group = PERCENTILE_BINS / HISTOGRAM_BINS;
    for (let i = 0; i < PERCENTILE_BINS; ++i) counts[Math.floor(i / group)] += stats.counts[i];
    const peak = Math.max(1, ...counts);
    h.fillStyle = '#111';
    h.fillRect(0, 0, histogram.width, histogram.height);
    h.fillStyle = '#8ab';
    const scale = histogram.height / Math.log1p(peak);
    for (let i = 0; i < HISTOGRAM_BINS; ++i) {
      const bar = Math.log1p(counts[i]) * scale;
      h.fillRect(i, histogram.height - bar, 1, bar);
    }
    h.fillStyle = '#fc6';
    for (const edge of [range.low, range.high]) {
      const at = stats.max > stats.min ? ((edge - stats.min) / (stats.max - stats.min)) * HISTOGRAM_BINS : 0;
      h.fillRect(Math.max(0, Math.min(HISTOGRAM_BINS - 1, at)), 0, 1, histogram.height);
    }
  }

  // ---- Figures and read-out -------------------------------------------------

  function format(value) {
    if (typeof value !== 'number') return String(value);
    if (Number.isInteger(value)) return String(value);
    return Math.abs(value) >= 1e5 || (Math.abs(value) < 1e-3 && value !== 0) ? value.toExponential(4) : value.toFixed(3);
  }

  function countShown(frame) {
    const now = performance.now();
    state.shownCount++;
    state.shownTimes.push(now);
    while (state.shownTimes.length && now - state.shownTimes[0] > 2000) state.shownTimes.shift();
    const latencyMs = Date.now() - Number(frame.publishTimeNs / 1000000n);
    $('f-sequence').textContent = `${frame.sequence}`;
    $('f-page-latency').textContent = `${latencyMs.toFixed(0)} ms`;
    $('f-step').textContent = frame.step > 1 ? `every ${frame.step}th pixel` : 'no';
    const kindName = $('signed').checked && frame.kind.signed ? frame.kind.name.slice(1) : frame.kind.name;
    $('f-geometry').textContent = `${frame.width} × ${frame.height} ${kindName}`;
    $('signed-choice').hidden = !frame.kind.signed;
  }

  function shownPerSecond() {
    const times = state.shownTimes;
    if (times.length < 2) return 0;
    return ((times.length - 1) * 1000) / (times[times.length - 1] - times[0]);
  }

  function showFigures(figures) {
    state.figures = figures;
    const text = (id, value) => ($(id).textContent = value);
    if (!figures) {
      for (const id of ['f-rate', 'f-mbps', 'f-gaps', 'f-restarts', 'f-latency', 'f-shown', 'f-geometry', 'f-sequence', 'f-page-latency', 'f-step'])
        text(id, '–');
      text('stream-problem', '');
      return;
    }
    text('f-rate', figures.imagesPerSecond.toFixed(1));
    text('f-mbps', figures.megabytesPerSecond.toFixed(1));
    text('f-gaps', `${figures.gaps} (${figures.missed})`);
    text('f-restarts', `${figures.restarts}`);
    text('f-latency', figures.latencyMs === null ? '–' : `${figures.latencyMs.toFixed(1)} ms`);
    text('f-shown', `${shownPerSecond().toFixed(1)}${state.skipped ? `, ${state.skipped} skipped` : ''}`);
    text('stream-problem', figures.problem);
    if (!state.frame && figures.width) text('f-geometry', `${figures.width} × ${figures.height} ${figures.pixelType}`);
  }

  function showStreams() {
    const list = $('streams');
    list.replaceChildren();
    const names = state.streams.includes(state.stream) || !state.stream ? state.streams : [state.stream, ...state.streams];
    for (const name of names) {
      const item = document.createElement('li');
      item.textContent = name;
      if (name === state.stream) item.className = 'current';
      if (!state.streams.includes(name)) item.title = 'not registered at the broker now';
      item.onclick = () => watch(name);
      list.appendChild(item);
    }
  }

  function showReadout(x, y, value) {
    $('readout').textContent = `x ${x}, y ${y}: ${format(value)}`;
  }

  function updateReadout() {
    const frame = state.frame;
    const cursor = state.cursor;
    if (!frame || !cursor || cursor.x < 0 || cursor.y < 0 || cursor.x >= frame.width || cursor.y >= frame.height) {
      $('readout').textContent = 'x –, y –: –';
      return;
    }
    if (frame.step === 1) {
      showReadout(cursor.x, cursor.y, frame.values[cursor.y * frame.width + cursor.x]);
    } else {
      askPixelIfNeeded();  // the view holds every n-th pixel only: the server has the true one
    }
  }

  // ---- Mouse, buttons ---------------------------------------------------------

  function imagePoint(event) {
    const rect = canvas.getBoundingClientRect();
    const px = (event.clientX - rect.left) * devicePixelRatio;
    const py = (event.clientY - rect.top) * devicePixelRatio;
    return { px, py, x: Math.floor((px - state.view.x) / state.view.scale), y: Math.floor((py - state.view.y) / state.view.scale) };
  }

  let drag = null;
  canvas.addEventListener('mousedown', (event) => {
    drag = { x: event.clientX, y: event.clientY, viewX: state.view.x, viewY: state.view.y };
  });
  window.addEventListener('mouseup', () => (drag = null));
  canvas.addEventListener('mousemove', (event) => {
    if (drag) {
      state.view.x = drag.viewX + (event.clientX - drag.x) * devicePixelRatio;
      state.view.y = drag.viewY + (event.clientY - drag.y) * devicePixelRatio;
      state.view.userMoved = true;
      draw();
    }
    const point = imagePoint(event);
    state.cursor = { x: point.x, y: point.y };
    updateReadout();
  });
  canvas.addEventListener('mouseleave', () => {
    state.cursor = null;
    updateReadout();
  });
  canvas.addEventListener('wheel', (event) => {
    event.preventDefault();
    const point = imagePoint(event);
    const factor = Math.exp(-event.deltaY * 0.002);
    const scale = Math.min(64, Math.max(0.01, state.view.scale * factor));
    // Zoom about the point under the cursor.
    state.view.x = point.px - ((point.px - state.view.x) * scale) / state.view.scale;
    state.view.y = point.py - ((point.py - state.view.y) * scale) / state.view.scale;
    state.view.scale = scale;
    state.view.userMoved = true;
    draw();
  }, { passive: false });

  $('fit').onclick = () => {
    state.view.userMoved = false;
    state.view.fitted = false;
    draw();
  };
  $('one-to-one').onclick = () => {
    const frame = state.frame;
    if (!frame) return;
    state.view = {
      scale: 1,
      x: (canvas.width - frame.width) / 2,
      y: (canvas.height - frame.height) / 2,
      fitted: true,
      userMoved: true,
    };
    draw();
  };
  $('pause').onclick = () => {
    state.paused = !state.paused;
    send(state.paused ? 'pause' : 'resume');
    $('pause').textContent = state.paused ? 'Resume' : 'Pause';
  };
  $('save').onclick = () => {
    if (state.frame) send(`png ${state.frame.sequence}`);
  };
  const redrawShown = () => {
    if (!state.frame) return;
    state.frame.values = frameValues(state.frame);
    render(state.frame);
    countShown(state.frame);
    updateReadout();
  };
  for (const input of document.querySelectorAll('input[name="window"], #low, #high, #signed'))
    input.addEventListener('input', redrawShown);
  window.addEventListener('resize', draw);

  // Figures that change without a message: shown/s.
  setInterval(() => {
    if (state.figures) showFigures(state.figures);
  }, 1000);

  // For tests and the console: what is on screen, in numbers.
  window.vexaViewer = {
    get shown() {
      const f = state.frame;
      return f && { stream: f.stream, sequence: f.sequence, width: f.width, height: f.height, step: f.step, kind: f.kind.name };
    },
    get window() { return { ...state.window }; },
    get paused() { return state.paused; },
    get streams() { return [...state.streams]; },
    get shownCount() { return state.shownCount; },
    get drawMs() { return state.drawMs; },
    // Raw value at view coordinates of the frame shown.
    viewValue(x, y) {
      const f = state.frame;
      const v = f.values[y * f.viewWidth + x];
      return typeof v === 'bigint' ? v.toString() : v;
    },
    // Grey level drawn for view coordinates of the frame shown.
    grey(x, y) { return offscreenContext.getImageData(x, y, 1, 1).data[0]; },
    // Canvas position (CSS pixels, from the page's top left) of full-resolution pixel (x, y).
    pagePosition(x, y) {
      const rect = canvas.getBoundingClientRect();
      return {
        x: rect.left + (state.view.x + (x + 0.5) * state.view.scale) / devicePixelRatio,
        y: rect.top + (state.view.y + (y + 0.5) * state.view.scale) / devicePixelRatio,
      };
    },
    watch,
  };

  connect();
})();
