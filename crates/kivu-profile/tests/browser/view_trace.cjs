// Opens a trace of kivu-profile in the offline viewer (speedscope) in
// headless Chromium, the way its command line opens a file, and checks what
// a person would see: the trace's tiles, one track each, with a tile's steps
// side by side on one row rather than nested in one another, and no error.
//
//   node view_trace.cjs NODE_MODULES TRACE.json SCREENSHOT.png WORK_DIR
//
// Exit 0 when the page shows that, 1 otherwise (with the reason).
'use strict';
const fs = require('fs');
const path = require('path');
const { launchChromium, failer } = require('../../../../scripts/browser/chromium.cjs');

const [nodeModules, tracePath, screenshotPath, workDir] = process.argv.slice(2).map((arg) => path.resolve(arg));
const viewer = path.join(nodeModules, 'speedscope', 'dist', 'release', 'index.html');

const fail = failer('view_trace');

// The trace's tile tracks (thread_name metadata) and the steps of each.
function traceTiles(trace) {
  const names = new Map();
  const steps = new Map();
  for (const event of trace.traceEvents) {
    if (event.ph === 'M' && event.name === 'thread_name') names.set(event.tid, event.args.name);
    if (event.ph === 'X') steps.set(event.tid, (steps.get(event.tid) || 0) + 1);
  }
  return { names, steps };
}

// The operations (event names) of the tile on track `tid`.
function tileOperations(trace, tid) {
  const names = new Set();
  for (const event of trace.traceEvents) if (event.ph === 'X' && event.tid === tid) names.add(event.name);
  return names;
}

// How many lines of the Sandwich view's text name the frame `name`: the
// frame's name alone, or followed by its args (speedscope names a frame
// "name {args}").
function sandwichRows(text, name) {
  return text.split('\n').filter((line) => {
    const cell = line.split('\t').map((part) => part.trim()).find((part) => part === name || part.startsWith(`${name} {`));
    return cell !== undefined;
  }).length;
}

// Rows of the screenshot, below the overview at the top, that hold coloured
// pixels (the viewer's frames; text, rulers and grid lines are grey).
// Returns the first and last such row and the coloured share of the first.
async function colouredRows(page, png) {
  return page.evaluate(async (base64) => {
    const image = new Image();
    image.src = `data:image/png;base64,${base64}`;
    await image.decode();
    const canvas = document.createElement('canvas');
    canvas.width = image.width;
    canvas.height = image.height;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const { data, width, height } = context.getImageData(0, 0, image.width, image.height);
    const rows = [];
    for (let y = 0; y < height; ++y) {
      let coloured = 0;
      for (let x = 0; x < width; ++x) {
        const i = (y * width + x) * 4;
        const r = data[i], g = data[i + 1], b = data[i + 2];
        if (Math.max(r, g, b) - Math.min(r, g, b) > 24) ++coloured;
      }
      rows.push(coloured / width);
    }
    return { rows, width, height };
  }, png.toString('base64'));
}

async function main() {
  const trace = JSON.parse(fs.readFileSync(tracePath, 'utf8'));
  const { names, steps } = traceTiles(trace);
  const firstTid = Math.min(...steps.keys());
  if (!names.has(firstTid) || steps.get(firstTid) < 2) return fail(`${tracePath} has no tile with two steps`);

  // What speedscope's command line does: the profile goes into a script the
  // page loads from a local file, so nothing is served or fetched.
  const script = path.join(workDir, 'profile.js');
  fs.writeFileSync(script, `speedscope.loadFileFromBase64(${JSON.stringify(path.basename(tracePath))}, ` +
                               `${JSON.stringify(fs.readFileSync(tracePath).toString('base64'))})`);

  const browser = await launchChromium(nodeModules);
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
    const problems = [];
    page.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
    page.on('console', (message) => {
      // speedscope warns when an event ends while a later one is open: the
      // nesting that overlapping times cause.
      if (message.type() === 'error' || /Tried to end|still open/.test(message.text())) {
        problems.push(`console ${message.type()}: ${message.text()}`);
      }
    });
    // Nothing but local files: the viewer must work offline.
    await page.route(/^(?!file:|data:)/, (route) => {
      problems.push(`the page requested ${route.request().url()}`);
      route.abort();
    });
    await page.goto(`file://${viewer}#localProfilePath=${script}`);

    // The toolbar names the track on view: "<process> (pid 1), tile 0 (tid 1) (1/N)".
    const title = `${names.get(firstTid)} (tid ${firstTid}) (1/${steps.size})`;
    await page.getByText(title, { exact: false }).first().waitFor({ timeout: 30000 });
    // The flame chart is drawn on the frames after that: screenshots are
    // taken until two in a row show the same frames (the drawing is done),
    // for 30 s at most.
    let png = null;
    let rows = null;
    let height = 0;
    let previous = null;
    for (const deadline = Date.now() + 30000; Date.now() < deadline;) {
      png = await page.screenshot();
      ({ rows, height } = await colouredRows(page, png));
      const drawn = rows.some((share, y) => y > height / 5 && share > 0.01);
      const signature = rows.map((share) => share.toFixed(3)).join(',');
      if (drawn && signature === previous) break;
      previous = signature;
    }
    fs.writeFileSync(screenshotPath, png);

    const body = await page.evaluate(() => document.body.innerText);
    if (/error|unrecognized|went wrong/i.test(body)) problems.push(`the page shows an error: ${body.slice(0, 300)}`);

    // The screenshot: one row of frames in the flame chart (steps side by
    // side), spanning the width (the whole tile from first step to last).
    const chart = rows.map((share, y) => ({ share, y })).filter(({ share, y }) => y > height / 5 && share > 0.01);
    if (chart.length === 0) {
      problems.push('the flame chart shows no frames');
    } else {
      const top = chart[0].y;
      const bottom = chart[chart.length - 1].y;
      console.log(`flame chart frames from y=${top} to y=${bottom}, first row ${(chart[0].share * 100).toFixed(0)}% filled`);
      if (bottom - top > 24) problems.push(`tile ${firstTid - 1}'s steps are drawn ${bottom - top + 1} px deep: nested, not side by side`);
      if (chart[0].share < 0.9) problems.push(`the steps fill only ${(chart[0].share * 100).toFixed(0)}% of the row`);
    }
    // The Sandwich view lists one row per frame of the tile on view: one
    // per operation of that tile, however many samples each has, when a
    // frame is an operation and not a sample.
    const operations = tileOperations(trace, firstTid);
    await page.getByText(/Sandwich/).first().click();
    const firstOperation = [...operations][0];
    await page.getByText(firstOperation, { exact: false }).first().waitFor({ timeout: 30000 });
    const sandwich = await page.evaluate(() => document.body.innerText);
    const listed = [...operations].map((name) => ({ name, rows: sandwichRows(sandwich, name) }));
    console.log(`sandwich: ${listed.map(({ name, rows }) => `${name} x${rows}`).join(', ')}`);
    for (const { name, rows } of listed) {
      if (rows !== 1) problems.push(`the Sandwich view lists ${rows} rows for the operation ${name}, not one`);
    }
    await page.screenshot({ path: screenshotPath.replace(/\.png$/, '-sandwich.png') });

    if (problems.length > 0) return fail(problems.join('\n'));
    console.log(`view_trace: ${steps.size} tile tracks, "${title}" on view, its ${steps.get(firstTid)} steps side by side, ` +
                `${operations.size} operations one row each in the Sandwich view; screenshot ${screenshotPath}`);
  } finally {
    await browser.close();
  }
}

main().catch((error) => fail(error.stack || String(error)));
