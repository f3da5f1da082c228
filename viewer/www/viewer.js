// The vexatools viewer page: talks to vexatoolsViewer over one WebSocket,
// draws the newest image of the chosen stream with a contrast window and a
// colour map, marks saturated and floor pixels, zooms and pans (with a
// pixel grid, pixel values and an overview when zoomed in), shows the raw
// value under the cursor, a histogram, figures, a region's statistics and
// a line's profile.
'use strict';

(() => {
  // Pixel kinds as the server codes them in each frame, with the range of
  // values each can hold (read as signed where `signed` is given).
  const KINDS = [
    { name: 'uint8', array: Uint8Array, range: [0, 255], integer: true,
      signed: Int8Array, signedRange: [-128, 127] },
    { name: 'uint16', array: Uint16Array, range: [0, 65535], integer: true,
      signed: Int16Array, signedRange: [-32768, 32767] },
    { name: 'int32', array: Int32Array, range: [-(2 ** 31), 2 ** 31 - 1], integer: true },
    { name: 'uint32', array: Uint32Array, range: [0, 2 ** 32 - 1], integer: true },
    { name: 'float32', array: Float32Array, range: [-3.4028234663852886e38, 3.4028234663852886e38] },
    { name: 'float64', array: Float64Array, range: [-Number.MAX_VALUE, Number.MAX_VALUE] },
    // Shown as doubles: the largest value reads as 2^63.
    { name: 'int64', array: BigInt64Array, range: [-(2 ** 63), 2 ** 63], integer: true },
  ];
  const HISTOGRAM_BINS = 256;
  const PERCENTILE_BINS = 4096;
  const HISTOGRAM_SAMPLES = 1 << 17;
  const MIN_ZOOM = 0.01;
  const MAX_ZOOM = 64;
  const GRID_FROM = 8;     // screen pixels per drawn pixel from which the grid is drawn
  const VALUES_FROM = 24;  // ... and each pixel's value
  const OVERVIEW_SIZE = 160;
  const PROFILE_HEIGHT = 120;

  // Colour ImageData pixels as one little-endian 32-bit word: A B G R.
  const packed = (r, g, b) => (0xff000000 | (b << 16) | (g << 8) | r) >>> 0;
  const unpacked = (colour) => [colour & 0xff, (colour >>> 8) & 0xff, (colour >>> 16) & 0xff];
  const SATURATED = packed(255, 0, 0);
  const FLOOR = packed(0, 0, 255);

  // Colour maps: colours evenly spread from the window's low to its high
  // end, joined by straight lines. Viridis and magma are perceptually
  // uniform; the diverging map puts zero in the middle (white) for signed data.
  const COLOUR_MAPS = [
    { name: 'grey', anchors: ['#000000', '#ffffff'] },
    { name: 'inverted grey', anchors: ['#ffffff', '#000000'] },
    { name: 'viridis', anchors: ['#440154', '#482878', '#3e4989', '#31688e', '#26828e',
                                 '#1f9e89', '#35b779', '#6ece58', '#b5de2b', '#fde725'] },
    { name: 'magma', anchors: ['#000004', '#180f3d', '#440f76', '#721f81', '#9e2f7f',
                               '#cd4071', '#f1605d', '#fd9668', '#feca8d', '#fcfdbf'] },
    { name: 'diverging', anchors: ['#7b3294', '#c2a5cf', '#f7f7f7', '#a6dba0', '#008837'], centred: true },
  ];

  // The map's 256 colours, level 0 at the window's low end.
  function colourTable(anchors) {
    const rgb = anchors.map((hex) => [1, 3, 5].map((at) => parseInt(hex.slice(at, at + 2), 16)));
    const table = new Uint32Array(256);
    for (let level = 0; level < 256; ++level) {
      const at = (level / 255) * (rgb.length - 1);
      const i = Math.min(rgb.length - 2, Math.floor(at));
      const f = at - i;
      const [r, g, b] = [0, 1, 2].map((c) => Math.round(rgb[i][c] + (rgb[i + 1][c] - rgb[i][c]) * f));
      table[level] = packed(r, g, b);
    }
    return table;
  }
  for (const map of COLOUR_MAPS) map.table = colourTable(map.anchors);

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
    pointer: null,     // canvas coordinates of the mouse, for zooming by key
    drag: null,        // what the mouse is dragging: the image, a region or a line
    pixelAsked: false, // one pixel question at a time
    shownCount: 0,
    shownTimes: [],
    skipped: 0,        // images that never reached the page while it was live
    lastArrived: null, // sequence of the last frame that arrived live
    window: { low: 0, high: 1 },
    mapIndex: 0,
    marks: { kind: '', low: 0, high: 0 },  // limits of saturation and floor marking
    region: null,      // rectangle in full-resolution pixels, corners included
    regionFigures: null,
    line: null,        // profile line from (x0, y0) to (x1, y1)
    profile: null,     // { points, values, sequence } along the line
    profileAt: null,   // index of the profile point under the mouse
    figures: null,
    figuresCount: 0,
    drawn: { zoom: 1, grid: false, labels: 0, overview: false },
    drawMs: 0,         // time to draw a frame, smoothed
    imageData: null,   // reused from frame to frame
    colourTable: null, // colour of each 8- or 16-bit value, and what it was made for
    colourTableKey: '',
    profileWidth: 0,   // the profile plot's width in canvas pixels, 0 until measured
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

  // How the page reads a frame's pixels: the kind's name, range and whether
  // it holds integers, signed where the "signed pixels" box asks for it.
  function readingOf(frame) {
    const kind = frame.kind;
    if ($('signed').checked && kind.signed) return { name: kind.name.slice(1), range: kind.signedRange, integer: true };
    return { name: kind.name, range: kind.range, integer: Boolean(kind.integer) };
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
    // Paused, the view stays as it is, also for frames already on their way;
    // only a stream chosen while paused shows its first image.
    if (state.paused && state.frame) return;
    const frame = readFrame(buffer);
    if (!frame || frame.stream !== state.stream) return;
    const last = state.lastArrived;
    if (last !== null && frame.sequence > last + 1) state.skipped += frame.sequence - last - 1;
    state.lastArrived = frame.sequence;
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
      if (message.stream === state.stream) {
        state.figuresCount++;
        showFigures(message);
      }
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
    state.lastArrived = null;
    state.view = { scale: 1, x: 0, y: 0, fitted: false };  // a new stream's image starts fitted
    clearShapes();
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

  // ---- Statistics -------------------------------------------------------------

  // Smallest and largest finite values, their sum and count, and a
  // histogram over them of at most about HISTOGRAM_SAMPLES evenly spread
  // pixels (enough for the percentile windows, and cheap enough for every frame).
  function statistics(values, bins) {
    let min = Infinity;
    let max = -Infinity;
    let sum = 0;
    let count = 0;
    for (let i = 0; i < values.length; ++i) {
      const v = values[i];
      if (!(v > -Infinity && v < Infinity)) continue;  // NaN and infinities
      if (v < min) min = v;
      if (v > max) max = v;
      sum += v;
      ++count;
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
    return { min, max, mean: count ? sum / count : NaN, counts };
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

  // statistics() for 8- and 16-bit pixels, exact and in one pass: every
  // pixel counted by value (kept as `byValue` for the marked counts).
  function smallIntegerStatistics(values, table, bins) {
    const byValue = new Uint32Array(table.size);
    for (let i = 0; i < values.length; ++i) byValue[values[i] + table.offset]++;
    let low = 0;
    while (low < table.size - 1 && byValue[low] === 0) ++low;
    let high = table.size - 1;
    while (high > low && byValue[high] === 0) --high;
    const counts = new Uint32Array(bins);
    const scale = high > low ? bins / (high - low) : 0;
    let sum = 0;
    for (let k = low; k <= high; ++k) {
      counts[Math.min(bins - 1, Math.floor((k - low) * scale))] += byValue[k];
      sum += (k - table.offset) * byValue[k];
    }
    return { min: low - table.offset, max: high - table.offset, mean: values.length ? sum / values.length : NaN,
             counts, byValue, offset: table.offset };
  }

  // How many pixels of the frame lie at or above the high limit and at or below the low one.
  function markedCounts(frame, marks) {
    let above = 0;
    let below = 0;
    const { byValue, offset } = frame.stats;
    if (byValue) {
      for (let k = 0; k < byValue.length; ++k) {
        if (k - offset >= marks.high) above += byValue[k];
        if (k - offset <= marks.low) below += byValue[k];
      }
    } else {
      for (const v of frame.values) {
        if (v >= marks.high) ++above;
        if (v <= marks.low) ++below;
      }
    }
    return { above, below };
  }

  // Min, max, mean, standard deviation, sum and saturated count of the
  // region's finite pixels (of the pixels sent, for a reduced frame).
  function regionStatistics(frame, region, high) {
    const step = frame.step;
    const x0 = Math.ceil(region.x0 / step);
    const x1 = Math.min(frame.viewWidth - 1, Math.floor(region.x1 / step));
    const y0 = Math.ceil(region.y0 / step);
    const y1 = Math.min(frame.viewHeight - 1, Math.floor(region.y1 / step));
    const values = frame.values;
    let count = 0;
    let min = Infinity;
    let max = -Infinity;
    let sum = 0;
    let saturated = 0;
    // Sums about the first value keep the variance accurate for large values.
    let shift = 0;
    let shiftedSum = 0;
    let shiftedSquares = 0;
    for (let y = y0; y <= y1; ++y) {
      for (let i = y * frame.viewWidth + x0, end = y * frame.viewWidth + x1; i <= end; ++i) {
        const v = values[i];
        if (!(v > -Infinity && v < Infinity)) continue;
        if (count === 0) shift = v;
        ++count;
        if (v < min) min = v;
        if (v > max) max = v;
        sum += v;
        const d = v - shift;
        shiftedSum += d;
        shiftedSquares += d * d;
        if (v >= high) ++saturated;
      }
    }
    if (count === 0) return { count, sequence: frame.sequence };
    const variance = Math.max(0, (shiftedSquares - (shiftedSum * shiftedSum) / count) / count);
    return { count, min, max, mean: sum / count, std: Math.sqrt(variance), sum, saturated, sequence: frame.sequence };
  }

  // The values along the line, one per full-resolution pixel on its longer axis.
  function profileAlong(frame, line) {
    const n = Math.max(Math.abs(line.x1 - line.x0), Math.abs(line.y1 - line.y0)) + 1;
    const points = [];
    const values = new Float64Array(n);
    for (let i = 0; i < n; ++i) {
      const t = n > 1 ? i / (n - 1) : 0;
      const x = Math.round(line.x0 + (line.x1 - line.x0) * t);
      const y = Math.round(line.y0 + (line.y1 - line.y0) * t);
      points.push([x, y]);
      values[i] = Number(frame.values[Math.floor(y / frame.step) * frame.viewWidth + Math.floor(x / frame.step)]);
    }
    return { points, values, sequence: frame.sequence };
  }

  // ---- Colours ------------------------------------------------------------------

  function chooseWindow(frame) {
    const mode = document.querySelector('input[name="window"]:checked').value;
    const table = smallIntegerTable(frame.values);
    const stats = table ? smallIntegerStatistics(frame.values, table, PERCENTILE_BINS) : statistics(frame.values, PERCENTILE_BINS);
    frame.stats = stats;
    if (mode === 'manual') return { low: Number($('low').value), high: Number($('high').value) };
    let range = { low: stats.min, high: stats.max };
    if (mode === 'p1') range = { low: percentile(stats, 0.01), high: percentile(stats, 0.99) };
    if (mode === 'p01') range = { low: percentile(stats, 0.001), high: percentile(stats, 0.999) };
    // Integer pixels get an integer window, wide enough to hold the percentiles.
    if (frame.reading.integer) range = { low: Math.floor(range.low), high: Math.ceil(range.high) };
    return range;
  }

  // The window, map and marks that turn values into colours. A centred
  // map's window is made symmetric about zero.
  function paintOf(range) {
    const map = COLOUR_MAPS[state.mapIndex];
    let { low, high } = range;
    if (map.centred) {
      high = Math.max(Math.abs(low), Math.abs(high));
      low = -high;
    }
    return { low, high, table: map.table, marks: $('marks').checked ? state.marks : null };
  }

  // Level 0..255 of `value` in the window low..high; NaN gives 0.
  function levelOf(value, low, high) {
    if (!(high > low)) return value >= high ? 255 : 0;
    const level = Math.round(((value - low) * 255) / (high - low));
    return level > 255 ? 255 : level > 0 ? level : 0;
  }

  function colourOf(value, paint) {
    if (paint.marks && value >= paint.marks.high) return SATURATED;
    if (paint.marks && value <= paint.marks.low) return FLOOR;
    return paint.table[levelOf(value, paint.low, paint.high)];
  }

  const cssColour = (colour) => `rgb(${unpacked(colour).join(',')})`;

  // ---- Drawing -------------------------------------------------------------

  function showPendingFrame() {
    state.drawScheduled = false;
    const frame = state.pendingFrame;
    if (!frame) return;
    state.pendingFrame = null;
    const begin = performance.now();
    frame.values = frameValues(frame);
    frame.reading = readingOf(frame);
    const previous = state.frame;
    state.frame = frame;
    if (!previous || previous.width !== frame.width || previous.height !== frame.height) {
      state.view = { scale: 1, x: 0, y: 0, fitted: false };  // a view of the old size means nothing now
      if (previous) clearShapes();
    }
    // Said before drawing, so that the viewer sends the next frame meanwhile.
    send(`shown ${frame.sequence}`);
    render(frame);
    countShown(frame);
    updateReadout();
    state.drawMs = 0.9 * state.drawMs + 0.1 * (performance.now() - begin);
  }

  // The marking limits start at the range of the pixels' type, and start
  // again there when the type changes.
  function syncMarkLimits(frame) {
    const reading = frame.reading;
    if (state.marks.kind === reading.name) return;
    state.marks = { kind: reading.name, low: reading.range[0], high: reading.range[1] };
    for (const [id, value] of [['mark-low', reading.range[0]], ['mark-high', reading.range[1]]]) {
      $(id).value = String(value);
      $(id).step = reading.integer ? '1' : 'any';
    }
  }

  // Low and high are typed in manual mode only; otherwise they show the window.
  function syncWindowInputs(range, reading) {
    const manual = document.querySelector('input[name="window"]:checked').value === 'manual';
    for (const [id, value] of [['low', range.low], ['high', range.high]]) {
      const input = $(id);
      const step = reading.integer ? '1' : 'any';
      if (input.disabled !== !manual) input.disabled = !manual;
      if (input.step !== step) input.step = step;
      if (!manual && input.value !== String(value)) input.value = String(value);
    }
  }

  function render(frame) {
    const range = chooseWindow(frame);
    state.window = range;
    syncMarkLimits(frame);
    syncWindowInputs(range, frame.reading);
    const paint = paintOf(range);
    if (offscreen.width !== frame.viewWidth || offscreen.height !== frame.viewHeight) {
      offscreen.width = frame.viewWidth;
      offscreen.height = frame.viewHeight;
    }
    if (!state.imageData || state.imageData.width !== frame.viewWidth || state.imageData.height !== frame.viewHeight)
      state.imageData = offscreenContext.createImageData(frame.viewWidth, frame.viewHeight);
    const rgba = new Uint32Array(state.imageData.data.buffer);
    const values = frame.values;
    const small = smallIntegerTable(values);
    if (small) {
      // One colour per possible value, then one look-up per pixel.
      const colours = smallColourTable(small, paint);
      const offset = small.offset;
      for (let i = 0; i < values.length; ++i) rgba[i] = colours[values[i] + offset];
    } else {
      for (let i = 0; i < values.length; ++i) rgba[i] = colourOf(values[i], paint);
    }
    frame.marked = markedCounts(frame, state.marks);
    offscreenContext.putImageData(state.imageData, 0, 0);
    draw();  // first: it measures the canvas, before this frame's figures change the page
    updateShapes();
    drawHistogram(frame, range, paint);
    showImageFigures(frame);
    $('window-range').textContent = `${format(range.low)} – ${format(range.high)}`;
  }

  // The colour of every 8- or 16-bit value; made again only when the window,
  // the map or the marks change, not for every frame.
  function smallColourTable(small, paint) {
    const marks = paint.marks ? `${paint.marks.low}/${paint.marks.high}` : 'none';
    const key = `${small.offset}/${small.size}/${paint.low}/${paint.high}/${state.mapIndex}/${marks}`;
    if (state.colourTableKey !== key) {
      const colours = new Uint32Array(small.size);
      for (let i = 0; i < small.size; ++i) colours[i] = colourOf(i - small.offset, paint);
      state.colourTable = colours;
      state.colourTableKey = key;
    }
    return state.colourTable;
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
    if (frame) {
      if (!state.view.fitted && !state.view.userMoved) fitView(frame);
      const { scale, x, y } = state.view;
      const cell = scale * frame.step;  // screen pixels per drawn pixel
      // Smoothing costs time on every frame; it is worth it only when shrinking much.
      context.imageSmoothingEnabled = cell < 0.5;
      context.drawImage(offscreen, 0, 0, frame.viewWidth, frame.viewHeight, x, y,
                        frame.viewWidth * cell, frame.viewHeight * cell);
      state.drawn = { zoom: scale, grid: cell >= GRID_FROM, labels: 0, overview: false };
      if (cell >= GRID_FROM) drawGrid(frame, cell);
      if (cell >= VALUES_FROM) state.drawn.labels = drawValues(frame, cell);
      drawShapes();
      state.drawn.overview = drawOverview(frame);
    } else {
      $('overview').hidden = true;
    }
    $('zoom').textContent = frame ? `${Number(state.view.scale.toPrecision(2))}×` : '–';
  }

  // The drawn pixels inside the canvas: columns x0..x1, rows y0..y1.
  function visibleCells(frame, cell) {
    const { x, y } = state.view;
    return {
      x0: Math.max(0, Math.floor(-x / cell)),
      x1: Math.min(frame.viewWidth - 1, Math.floor((canvas.width - x) / cell)),
      y0: Math.max(0, Math.floor(-y / cell)),
      y1: Math.min(frame.viewHeight - 1, Math.floor((canvas.height - y) / cell)),
    };
  }

  function drawGrid(frame, cell) {
    const { x0, x1, y0, y1 } = visibleCells(frame, cell);
    const { x, y } = state.view;
    context.strokeStyle = 'rgba(128, 128, 128, 0.7)';
    context.lineWidth = 1;
    context.beginPath();
    for (let i = x0; i <= x1 + 1; ++i) {
      const at = Math.round(x + i * cell) + 0.5;
      context.moveTo(at, y + y0 * cell);
      context.lineTo(at, y + (y1 + 1) * cell);
    }
    for (let j = y0; j <= y1 + 1; ++j) {
      const at = Math.round(y + j * cell) + 0.5;
      context.moveTo(x + x0 * cell, at);
      context.lineTo(x + (x1 + 1) * cell, at);
    }
    context.stroke();
  }

  // Each visible pixel's raw value on it, dark on light colours and light on dark.
  function drawValues(frame, cell) {
    const { x0, x1, y0, y1 } = visibleCells(frame, cell);
    const { x, y } = state.view;
    const rgba = new Uint32Array(state.imageData.data.buffer);
    context.font = `${Math.min(14 * devicePixelRatio, Math.floor(cell / 3.2))}px ui-monospace, monospace`;
    context.textAlign = 'center';
    context.textBaseline = 'middle';
    let labels = 0;
    for (let j = y0; j <= y1; ++j) {
      for (let i = x0; i <= x1; ++i) {
        const index = j * frame.viewWidth + i;
        const [r, g, b] = unpacked(rgba[index]);
        context.fillStyle = 0.299 * r + 0.587 * g + 0.114 * b > 128 ? '#000' : '#fff';
        context.fillText(format(frame.values[index]), x + (i + 0.5) * cell, y + (j + 0.5) * cell, cell - 2);
        ++labels;
      }
    }
    return labels;
  }

  // A small picture of the whole image with the part on screen outlined,
  // while only part of the image is on screen.
  function drawOverview(frame) {
    const box = $('overview');
    const { scale, x, y } = state.view;
    const left = -x / scale;
    const top = -y / scale;
    const right = (canvas.width - x) / scale;
    const bottom = (canvas.height - y) / scale;
    box.hidden = left <= 0 && top <= 0 && right >= frame.width && bottom >= frame.height;
    if (box.hidden) return false;
    const size = OVERVIEW_SIZE * devicePixelRatio;
    const k = Math.min(size / frame.width, size / frame.height);
    const width = Math.max(1, Math.round(frame.width * k));
    const height = Math.max(1, Math.round(frame.height * k));
    if (box.width !== width || box.height !== height) {
      box.width = width;
      box.height = height;
      box.style.width = `${width / devicePixelRatio}px`;
      box.style.height = `${height / devicePixelRatio}px`;
    }
    const overview = box.getContext('2d');
    overview.imageSmoothingEnabled = true;
    overview.drawImage(offscreen, 0, 0, frame.viewWidth, frame.viewHeight, 0, 0, width, height);
    const clampX = (v) => Math.max(0, Math.min(frame.width, v)) * k;
    const clampY = (v) => Math.max(0, Math.min(frame.height, v)) * k;
    overview.strokeStyle = '#fc6';
    overview.lineWidth = Math.max(1, devicePixelRatio);
    overview.strokeRect(clampX(left) + 0.5, clampY(top) + 0.5,
                        Math.max(1, clampX(right) - clampX(left) - 1), Math.max(1, clampY(bottom) - clampY(top) - 1));
    return true;
  }

  // Canvas position of full-resolution image coordinates.
  const canvasPoint = (x, y) => ({ x: state.view.x + x * state.view.scale, y: state.view.y + y * state.view.scale });

  function drawShapes() {
    context.lineWidth = Math.max(1, devicePixelRatio);
    const region = state.region;
    if (region) {
      const a = canvasPoint(region.x0, region.y0);
      const b = canvasPoint(region.x1 + 1, region.y1 + 1);
      context.strokeStyle = '#0ff';
      context.strokeRect(a.x, a.y, b.x - a.x, b.y - a.y);
    }
    const line = state.line;
    if (line) {
      const a = canvasPoint(line.x0 + 0.5, line.y0 + 0.5);
      const b = canvasPoint(line.x1 + 0.5, line.y1 + 0.5);
      context.strokeStyle = '#ff0';
      context.beginPath();
      context.moveTo(a.x, a.y);
      context.lineTo(b.x, b.y);
      context.stroke();
      if (state.profile && state.profileAt !== null) {
        const [px, py] = state.profile.points[state.profileAt];
        const at = canvasPoint(px + 0.5, py + 0.5);
        context.beginPath();
        context.arc(at.x, at.y, 4 * devicePixelRatio, 0, 2 * Math.PI);
        context.stroke();
      }
    }
  }

  // The histogram of the frame's values (log scale) in the colours they are
  // drawn in, with the window's edges, and the colour bar under it on the same axis.
  function drawHistogram(frame, range, paint) {
    const histogram = $('histogram');
    const h = histogram.getContext('2d');
    const stats = frame.stats;
    const counts = new Float64Array(HISTOGRAM_BINS);
    const group = PERCENTILE_BINS / HISTOGRAM_BINS;
    for (let i = 0; i < PERCENTILE_BINS; ++i) counts[Math.floor(i / group)] += stats.counts[i];
    const peak = Math.max(1, ...counts);
    const binValue = (i) => stats.min + ((i + 0.5) * (stats.max - stats.min)) / HISTOGRAM_BINS;
    h.fillStyle = '#111';
    h.fillRect(0, 0, histogram.width, histogram.height);
    const scale = histogram.height / Math.log1p(peak);
    for (let i = 0; i < HISTOGRAM_BINS; ++i) {
      const bar = Math.log1p(counts[i]) * scale;
      h.fillStyle = cssColour(colourOf(binValue(i), paint));
      h.fillRect(i, histogram.height - bar, 1, bar);
    }
    h.fillStyle = '#fc6';
    for (const edge of [range.low, range.high]) {
      const at = stats.max > stats.min ? ((edge - stats.min) / (stats.max - stats.min)) * HISTOGRAM_BINS : 0;
      h.fillRect(Math.max(0, Math.min(HISTOGRAM_BINS - 1, at)), 0, 1, histogram.height);
    }

    const bar = $('colour-bar');
    const b = bar.getContext('2d');
    const strip = b.createImageData(HISTOGRAM_BINS, bar.height);
    const pixels = new Uint32Array(strip.data.buffer);
    for (let i = 0; i < HISTOGRAM_BINS; ++i) {
      const colour = colourOf(binValue(i), paint);
      for (let row = 0; row < bar.height; ++row) pixels[row * HISTOGRAM_BINS + i] = colour;
    }
    b.putImageData(strip, 0, 0);
    const middle = (stats.min + stats.max) / 2;
    $('histogram-low').textContent = format(stats.min);
    $('histogram-middle').textContent = format(frame.reading.integer ? Math.round(middle) : middle);
    $('histogram-high').textContent = format(stats.max);
  }

  // ---- Regions and profiles ------------------------------------------------

  function clearShapes() {
    state.region = state.regionFigures = null;
    state.line = state.profile = state.profileAt = null;
    updateShapes();
  }

  // The region's figures and the line's profile for the frame shown.
  function updateShapes() {
    const frame = state.frame;
    state.regionFigures = frame && state.region ? regionStatistics(frame, state.region, state.marks.high) : null;
    state.profile = frame && state.line ? profileAlong(frame, state.line) : null;
    showRegionFigures();
    const hadProfile = !$('profile-box').hidden;
    $('profile-box').hidden = !state.profile;
    if (hadProfile !== Boolean(state.profile)) {
      state.profileWidth = 0;
      // The image's room changed. While a line is drawn the image stays
      // where it is, not jumping under the mouse; a fitted one fits again after.
      if (state.drag && !state.view.userMoved) {
        state.view.userMoved = true;
        state.view.refitAfterDrag = true;
      }
      draw();
    }
    drawProfile();
  }

  function showRegionFigures() {
    const region = state.region;
    const figures = state.regionFigures;
    $('region-section').hidden = !region;
    if (!region || !figures) return;
    const text = (id, value) => ($(id).textContent = value);
    text('r-box', `x ${region.x0}–${region.x1}, y ${region.y0}–${region.y1}: ` +
                  `${region.x1 - region.x0 + 1} × ${region.y1 - region.y0 + 1}`);
    if (figures.count === 0) {
      for (const id of ['r-range', 'r-mean', 'r-std', 'r-sum', 'r-saturated']) text(id, '–');
      return;
    }
    text('r-range', `${format(figures.min)} / ${format(figures.max)}`);
    text('r-mean', format(figures.mean));
    text('r-std', format(figures.std));
    text('r-sum', format(figures.sum));
    text('r-saturated', `${figures.saturated}`);
  }

  // The plot's area in canvas pixels: room for the value labels on the left.
  function profileArea(plot) {
    const margin = 4 * devicePixelRatio;
    return { left: 64 * devicePixelRatio, right: plot.width - margin, top: margin, bottom: plot.height - margin };
  }

  function drawProfile() {
    const profile = state.profile;
    if (!profile) return;
    const plot = $('profile');
    // Measured when the plot appears or the window changes, not for every frame.
    if (!state.profileWidth) state.profileWidth = Math.max(1, Math.round(plot.getBoundingClientRect().width * devicePixelRatio));
    const width = state.profileWidth;
    const height = Math.round(PROFILE_HEIGHT * devicePixelRatio);
    if (plot.width !== width || plot.height !== height) {
      plot.width = width;
      plot.height = height;
    }
    const p = plot.getContext('2d');
    p.fillStyle = '#111';
    p.fillRect(0, 0, width, height);
    let min = Infinity;
    let max = -Infinity;
    for (const v of profile.values) {
      if (v < min) min = v;
      if (v > max) max = v;
    }
    if (!(min <= max)) return;  // nothing finite
    const area = profileArea(plot);
    const n = profile.values.length;
    const xOf = (i) => area.left + (n > 1 ? (i / (n - 1)) * (area.right - area.left) : 0);
    const yOf = (v) => area.bottom - (max > min ? ((v - min) / (max - min)) * (area.bottom - area.top) : 0);
    p.fillStyle = '#aab';
    p.font = `${11 * devicePixelRatio}px ui-monospace, monospace`;
    p.textBaseline = 'top';
    p.fillText(format(max), 4, area.top, area.left - 8);
    p.textBaseline = 'bottom';
    p.fillText(format(min), 4, area.bottom, area.left - 8);
    p.strokeStyle = '#ff0';
    p.lineWidth = Math.max(1, devicePixelRatio);
    p.beginPath();
    for (let i = 0; i < n; ++i) {
      const v = profile.values[i];
      if (!(v >= min && v <= max)) continue;
      if (i === 0) p.moveTo(xOf(i), yOf(v));
      else p.lineTo(xOf(i), yOf(v));
    }
    p.stroke();
    if (state.profileAt !== null && state.profileAt < n) {
      p.fillStyle = '#fc6';
      p.fillRect(Math.round(xOf(state.profileAt)), area.top, 1, area.bottom - area.top);
    }
  }

  function showProfileReadout() {
    const profile = state.profile;
    const at = state.profileAt;
    if (!profile || at === null || at >= profile.values.length) {
      $('profile-readout').textContent = '';
      return;
    }
    const [x, y] = profile.points[at];
    $('profile-readout').textContent = `x ${x}, y ${y}: ${format(profile.values[at])}`;
  }

  // ---- Figures and read-out -------------------------------------------------

  function format(value) {
    if (typeof value !== 'number') return String(value);
    if (Number.isInteger(value)) return String(value);
    return Math.abs(value) >= 1e5 || (Math.abs(value) < 1e-3 && value !== 0) ? value.toExponential(4) : value.toFixed(3);
  }

  // Nanoseconds since 1970 as "YYYY-MM-DD HH:MM:SS.uuuuuu" in UTC.
  function formatTime(ns) {
    if (ns === 0n) return '–';
    const iso = new Date(Number(ns / 1000000n)).toISOString();
    const micro = String((ns / 1000n) % 1000000n).padStart(6, '0');
    return `${iso.slice(0, 10)} ${iso.slice(11, 19)}.${micro}`;
  }

  function countText(count, total) {
    return count === 0 || !total ? `${count}` : `${count} (${Number(((100 * count) / total).toPrecision(2))} %)`;
  }

  // Figures of the frame shown: geometry, sequence, values, marked pixels.
  function showImageFigures(frame) {
    const text = (id, value) => ($(id).textContent = value);
    text('f-geometry', `${frame.width} × ${frame.height} ${frame.reading.name}`);
    text('f-sequence', `${frame.sequence}`);
    text('f-published', formatTime(frame.publishTimeNs));
    text('f-values', `${format(frame.stats.min)} / ${format(frame.stats.mean)} / ${format(frame.stats.max)}`);
    const total = frame.viewWidth * frame.viewHeight;
    text('f-saturated', countText(frame.marked.above, total));
    text('f-floor', countText(frame.marked.below, total));
    text('f-step', frame.step > 1 ? `every ${frame.step}th pixel` : 'no');
    $('signed-choice').hidden = !frame.kind.signed;
  }

  function countShown(frame) {
    const now = performance.now();
    state.shownCount++;
    state.shownTimes.push(now);
    while (state.shownTimes.length && now - state.shownTimes[0] > 2000) state.shownTimes.shift();
    const latencyMs = Date.now() - Number(frame.publishTimeNs / 1000000n);
    $('f-page-latency').textContent = `${latencyMs.toFixed(0)} ms`;
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
      for (const id of ['f-rate', 'f-mbps', 'f-gaps', 'f-restarts', 'f-latency', 'f-shown', 'f-geometry', 'f-sequence',
                        'f-page-latency', 'f-step', 'f-published', 'f-values', 'f-saturated', 'f-floor'])
        text(id, '–');
      text('stream-problem', '');
      return;
    }
    text('f-rate', figures.imagesPerSecond.toFixed(1));
    text('f-mbps', figures.megabytesPerSecond.toFixed(1));
    text('f-gaps', `${figures.gaps} (${figures.missed})`);
    text('f-restarts', `${figures.restarts}`);
    text('f-latency', figures.latencyMs === null ? '–' : `${figures.latencyMs.toFixed(1)} ms`);
    text('f-shown', state.paused ? 'paused'
      : `${shownPerSecond().toFixed(1)}${state.skipped ? `, ${state.skipped} skipped` : ''}`);
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

  // ---- Commands: buttons and keys ---------------------------------------------

  function setPaused(paused) {
    state.paused = paused;
    state.pendingFrame = null;  // a frame that arrived but is not drawn yet stays undrawn
    state.lastArrived = null;   // images published while paused are not skipped ones
    send(paused ? 'pause' : 'resume');
    $('pause').textContent = paused ? 'Resume' : 'Pause';
    $('paused-note').hidden = !paused;
    state.shownTimes = [];
    if (state.figures) showFigures(state.figures);
  }

  function fit() {
    state.view.userMoved = false;
    state.view.fitted = false;
    state.view.refitAfterDrag = false;
    draw();
  }

  function oneToOne() {
    const frame = state.frame;
    if (!frame) return;
    state.view = {
      scale: 1,
      x: Math.round((canvas.width - frame.width) / 2),
      y: Math.round((canvas.height - frame.height) / 2),
      fitted: true,
      userMoved: true,
    };
    draw();
  }

  // Zooms to `scale` keeping the image point at canvas position (px, py) in place.
  function zoomAbout(px, py, scale) {
    scale = Math.min(MAX_ZOOM, Math.max(MIN_ZOOM, scale));
    state.view.x = px - ((px - state.view.x) * scale) / state.view.scale;
    state.view.y = py - ((py - state.view.y) * scale) / state.view.scale;
    state.view.scale = scale;
    state.view.userMoved = true;
    draw();
  }

  // Zoom by key: about the mouse when it is over the image, else about the middle.
  function zoomBy(factor) {
    const at = state.pointer || { px: canvas.width / 2, py: canvas.height / 2 };
    zoomAbout(at.px, at.py, state.view.scale * factor);
  }

  function setColourMap(index) {
    state.mapIndex = index;
    $('colour-map').value = String(index);
    redrawShown();
  }

  function save() {
    if (state.frame) send(`png ${state.frame.sequence}`);
  }

  const toggleHelp = () => ($('help').hidden = !$('help').hidden);

  function closeHelpAndClearShapes() {
    $('help').hidden = true;
    clearShapes();
    draw();
  }

  // Draws the frame shown again after a setting changed.
  function redrawShown() {
    if (!state.frame) return;
    state.frame.values = frameValues(state.frame);
    state.frame.reading = readingOf(state.frame);
    render(state.frame);
    updateReadout();
  }

  const KEYS = {
    ' ': () => setPaused(!state.paused),
    f: fit,
    1: oneToOne,
    '+': () => zoomBy(2),
    '=': () => zoomBy(2),  // + without Shift on many keyboards
    '-': () => zoomBy(0.5),
    c: () => setColourMap((state.mapIndex + 1) % COLOUR_MAPS.length),
    s: save,
    '?': toggleHelp,
    Escape: closeHelpAndClearShapes,
  };

  window.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    // Typing in a box or choosing in a list keeps its keys, except Escape.
    if (event.target.matches('input[type="number"], input[type="text"], select') && event.key !== 'Escape') return;
    const action = KEYS[event.key];
    if (!action) return;
    event.preventDefault();  // also keeps a focused button from taking space as a click
    action();
  });

  $('pause').onclick = () => setPaused(!state.paused);
  $('fit').onclick = fit;
  $('one-to-one').onclick = oneToOne;
  $('save').onclick = save;
  $('help-button').onclick = toggleHelp;
  $('clear-region').onclick = () => {
    state.region = null;
    updateShapes();
    draw();
  };
  $('clear-line').onclick = () => {
    state.line = null;
    state.profileAt = null;
    updateShapes();
    draw();
  };
  $('panel-toggle').onclick = () => {
    document.body.classList.toggle('panel-open');
    state.profileWidth = 0;
    draw();
    drawProfile();
  };

  COLOUR_MAPS.forEach((map, index) => $('colour-map').add(new Option(map.name, String(index))));
  $('colour-map').addEventListener('input', () => setColourMap(Number($('colour-map').value)));
  for (const input of document.querySelectorAll('input[name="window"], #low, #high, #signed, #marks'))
    input.addEventListener('input', redrawShown);
  for (const [id, end] of [['mark-low', 0], ['mark-high', 1]]) {
    $(id).addEventListener('input', () => {
      const value = $(id).value === '' ? NaN : Number($(id).value);
      const limit = Number.isFinite(value) ? value : state.frame ? state.frame.reading.range[end] : NaN;
      state.marks[end === 0 ? 'low' : 'high'] = limit;
      redrawShown();
    });
  }
  window.addEventListener('resize', () => {
    state.profileWidth = 0;
    draw();
    drawProfile();
  });

  // ---- Mouse -------------------------------------------------------------------

  function imagePoint(event) {
    const rect = canvas.getBoundingClientRect();
    const px = (event.clientX - rect.left) * devicePixelRatio;
    const py = (event.clientY - rect.top) * devicePixelRatio;
    return { px, py, x: Math.floor((px - state.view.x) / state.view.scale), y: Math.floor((py - state.view.y) / state.view.scale) };
  }

  // Moves the dragged region's or line's far end to `to`, inside the image.
  function dragShapeTo(drag, to) {
    const frame = state.frame;
    if (!frame) return;
    const inX = (v) => Math.max(0, Math.min(frame.width - 1, v));
    const inY = (v) => Math.max(0, Math.min(frame.height - 1, v));
    const [x0, y0, x1, y1] = [inX(drag.from.x), inY(drag.from.y), inX(to.x), inY(to.y)];
    if (drag.kind === 'region') {
      state.region = { x0: Math.min(x0, x1), y0: Math.min(y0, y1), x1: Math.max(x0, x1), y1: Math.max(y0, y1) };
    } else {
      state.line = { x0, y0, x1, y1 };
      state.profileAt = null;
    }
    updateShapes();
    draw();
  }

  canvas.addEventListener('mousedown', (event) => {
    if (event.button !== 0) return;
    event.preventDefault();  // no text selection while dragging
    const point = imagePoint(event);
    let drag;
    if (event.shiftKey) drag = { kind: 'region', from: point };
    else if (event.altKey || event.ctrlKey) drag = { kind: 'line', from: point };
    else drag = { kind: 'move', x: event.clientX, y: event.clientY, viewX: state.view.x, viewY: state.view.y };
    state.drag = drag;
    if (drag.kind !== 'move') dragShapeTo(drag, point);
  });
  window.addEventListener('mouseup', () => {
    state.drag = null;
    if (state.view.refitAfterDrag) fit();
  });
  canvas.addEventListener('mousemove', (event) => {
    const point = imagePoint(event);
    const drag = state.drag;
    if (drag?.kind === 'move') {
      state.view.x = drag.viewX + (event.clientX - drag.x) * devicePixelRatio;
      state.view.y = drag.viewY + (event.clientY - drag.y) * devicePixelRatio;
      state.view.userMoved = true;
      draw();
    } else if (drag) {
      dragShapeTo(drag, point);
    }
    state.pointer = { px: point.px, py: point.py };
    state.cursor = { x: point.x, y: point.y };
    updateReadout();
  });
  canvas.addEventListener('mouseleave', () => {
    state.cursor = state.pointer = null;
    updateReadout();
  });
  canvas.addEventListener('wheel', (event) => {
    event.preventDefault();
    const point = imagePoint(event);
    zoomAbout(point.px, point.py, state.view.scale * Math.exp(-event.deltaY * 0.002));
  }, { passive: false });

  // The profile point under the mouse: its position and value, marked on the line too.
  $('profile').addEventListener('mousemove', (event) => {
    const profile = state.profile;
    if (!profile) return;
    const plot = $('profile');
    const area = profileArea(plot);
    const px = (event.clientX - plot.getBoundingClientRect().left) * devicePixelRatio;
    const n = profile.values.length;
    const fraction = (px - area.left) / (area.right - area.left);
    state.profileAt = Math.max(0, Math.min(n - 1, Math.round(fraction * (n - 1))));
    showProfileReadout();
    drawProfile();
    draw();
  });
  $('profile').addEventListener('mouseleave', () => {
    state.profileAt = null;
    showProfileReadout();
    drawProfile();
    draw();
  });

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
    get figuresCount() { return state.figuresCount; },
    get drawMs() { return state.drawMs; },
    get drawn() { return { ...state.drawn }; },
    get colourMap() { return COLOUR_MAPS[state.mapIndex].name; },
    get region() { return state.region && { ...state.region, ...state.regionFigures }; },
    get profile() { return state.profile && { points: state.profile.points, values: [...state.profile.values], sequence: state.profile.sequence }; },
    // Raw value at view coordinates of the frame shown.
    viewValue(x, y) {
      const f = state.frame;
      const v = f.values[y * f.viewWidth + x];
      return typeof v === 'bigint' ? v.toString() : v;
    },
    // Colour drawn for view coordinates of the frame shown: [r, g, b]; grey() its red part.
    colour(x, y) { return [...offscreenContext.getImageData(x, y, 1, 1).data.slice(0, 3)]; },
    grey(x, y) { return offscreenContext.getImageData(x, y, 1, 1).data[0]; },
    // A checksum of everything the image canvas shows.
    canvasDigest() {
      const words = new Uint32Array(context.getImageData(0, 0, canvas.width, canvas.height).data.buffer);
      let digest = 0;
      for (let i = 0; i < words.length; ++i) digest = (Math.imul(digest, 31) + words[i]) >>> 0;
      return digest;
    },
    // Canvas position (CSS pixels, from the page's top left) of full-resolution pixel (x, y).
    pagePosition(x, y) {
      const rect = canvas.getBoundingClientRect();
      return {
        x: rect.left + (state.view.x + (x + 0.5) * state.view.scale) / devicePixelRatio,
        y: rect.top + (state.view.y + (y + 0.5) * state.view.scale) / devicePixelRatio,
      };
    },
    // Page position of profile point `i` in the plot.
    profilePosition(i) {
      const plot = $('profile');
      const rect = plot.getBoundingClientRect();
      const area = profileArea(plot);
      const n = state.profile.values.length;
      return { x: rect.left + (area.left + (i / (n - 1)) * (area.right - area.left)) / devicePixelRatio,
               y: rect.top + rect.height / 2 };
    },
    // Region and profile line as Shift- and Alt-drag set them (full-resolution pixels; null clears).
    setRegion(region) {
      state.region = region;
      updateShapes();
      draw();
    },
    setLine(line) {
      state.line = line;
      state.profileAt = null;
      updateShapes();
      draw();
    },
    watch,
  };

  connect();
})();
