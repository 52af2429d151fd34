// Opens the report page of kivu-results in headless Chromium and checks what
// a person would see: the page loads without a single request beyond its
// own file, holds no script or image, shows the runs and flaky cases tables,
// the board-health table with each suspect board's row in red and its first
// tile, and the note on a tile that points at the software,
// one plot per series with as many change-point marks (dashed lines across
// the plot) and levels as the series has, and shows the store's texts that
// look like markup as plain text (or, shortened, whole in a tooltip).
//
//   node view_report.cjs NODE_MODULES PAGE.html EXPECTED.json SCREENSHOT.png
//
// Exit 0 when the page shows that, 1 otherwise (with the reasons).
'use strict';
const fs = require('fs');
const path = require('path');
const { launchChromium, failer } = require('../../../../scripts/browser/chromium.cjs');

const [nodeModules, pagePath, expectedPath, screenshotPath] = process.argv.slice(2).map((arg) => path.resolve(arg));

const fail = failer('view_report');

async function main() {
  const expected = JSON.parse(fs.readFileSync(expectedPath, 'utf8'));
  const browser = await launchChromium(nodeModules);
  try {
    const page = await browser.newPage({ viewport: { width: 1100, height: 900 } });
    const problems = [];
    const requests = [];
    page.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
    page.on('console', (message) => problems.push(`console ${message.type()}: ${message.text()}`));
    page.on('request', (request) => requests.push(request.url()));
    // Anything but the page itself is refused and reported.
    const own = `file://${pagePath}`;
    await page.route((url) => url.href !== own, (route) => {
      problems.push(`the page requested ${route.request().url()}`);
      route.abort();
    });
    await page.goto(own, { waitUntil: 'load', timeout: 30000 });
    const others = requests.filter((url) => url !== own);
    if (others.length > 0) problems.push(`requests beyond the page: ${others.join(', ')}`);

    const seen = await page.evaluate(() => {
      const box = (element) => {
        const r = element.getBoundingClientRect();
        return { x: r.x, y: r.y, width: r.width, height: r.height };
      };
      return {
        title: document.title,
        scripts: document.querySelectorAll('script').length,
        images: document.querySelectorAll('img, image, iframe, object, embed, link').length,
        handlers: [...document.querySelectorAll('*')].filter((e) => [...e.attributes].some((a) => /^on/i.test(a.name))).length,
        runRows: document.querySelectorAll('table.runs tr').length - 1,
        flakyRows: document.querySelectorAll('table.flaky tr').length - 1,
        boardRows: [...document.querySelectorAll('table.boards tr.suspect, table.boards tr.ok')].map((row) => ({
          board: row.cells[1].textContent,
          suspect: row.classList.contains('suspect'),
          colour: getComputedStyle(row.cells[1]).color,
          tiles: row.cells[8].textContent,
        })),
        software: [...document.querySelectorAll('p.software')].map((p) => p.textContent),
        text: document.body.innerText,
        tooltips: [...document.querySelectorAll('[title]')].map((e) => e.getAttribute('title')),
        plots: [...document.querySelectorAll('svg.series-plot')].map((svg) => ({
          box: box(svg),
          heading: svg.closest('section').querySelector('h3').textContent,
          points: svg.querySelectorAll('circle.point').length,
          levels: [...svg.querySelectorAll('line.level')].map(box),
          marks: [...svg.querySelectorAll('line.change-point')].map((line) => ({
            box: box(line),
            stroke: getComputedStyle(line).stroke,
            dashed: getComputedStyle(line).strokeDasharray !== 'none',
            visible: getComputedStyle(line).visibility === 'visible' && getComputedStyle(line).display !== 'none',
          })),
        })),
      };
    });
    await page.screenshot({ path: screenshotPath, fullPage: true });

    if (seen.title !== 'kivu-results report') problems.push(`the title is "${seen.title}": a script ran`);
    if (seen.scripts !== 0) problems.push(`${seen.scripts} script elements`);
    if (seen.images !== 0) problems.push(`${seen.images} elements that fetch`);
    if (seen.handlers !== 0) problems.push(`${seen.handlers} elements with event handlers`);
    if (seen.runRows < 1) problems.push('the runs table is empty or missing');
    if (seen.flakyRows < 1) problems.push('the flaky cases table is empty or missing');
    if (seen.boardRows.length !== expected.boards.length) {
      problems.push(`${seen.boardRows.length} board rows for ${expected.boards.length} boards`);
    }
    expected.boards.forEach((want, i) => {
      const row = seen.boardRows[i];
      if (!row) return;
      const red = row.colour === 'rgb(178, 24, 43)';
      if (row.board !== want.board || row.suspect !== want.suspect || red !== want.suspect) {
        problems.push(`board row ${i + 1} shows ${JSON.stringify(row)} for ${JSON.stringify(want)}`);
      }
      if (want.first_tile !== null && !row.tiles.startsWith(`${want.first_tile} `)) {
        problems.push(`board ${want.board} names tile ${row.tiles} first, not ${want.first_tile}`);
      }
    });
    for (const tile of expected.software_tiles) {
      if (!seen.software.some((text) => text.startsWith(`Tile ${tile} failed on`) && text.includes('software'))) {
        problems.push(`tile ${tile} is not named as pointing at the software`);
      }
    }
    for (const text of expected.texts) {
      // Shown, or whole in the tooltip of its shortened form (a commit).
      if (!seen.text.includes(text) && !seen.tooltips.includes(text)) {
        problems.push(`the text ${JSON.stringify(text)} is not shown as text`);
      }
    }
    if (seen.plots.length !== expected.series.length) {
      problems.push(`${seen.plots.length} plots for ${expected.series.length} series`);
    }
    seen.plots.forEach((plot, i) => {
      const want = expected.series[i];
      if (!want) return;
      const name = `plot ${i + 1} (${plot.heading})`;
      if (!plot.heading.startsWith(want.metric)) problems.push(`${name} is not of ${want.metric}`);
      if (plot.box.width < 400 || plot.box.height < 150) problems.push(`${name} is ${plot.box.width}x${plot.box.height} px`);
      if (plot.points !== want.points) problems.push(`${name} shows ${plot.points} points of ${want.points}`);
      if (plot.marks.length !== want.change_points) {
        problems.push(`${name} marks ${plot.marks.length} change points of ${want.change_points}`);
      }
      if (plot.levels.length !== want.change_points + 1) problems.push(`${name} draws ${plot.levels.length} levels`);
      for (const mark of plot.marks) {
        const inside = mark.box.x >= plot.box.x && mark.box.x <= plot.box.x + plot.box.width;
        if (!mark.visible || !mark.dashed || !inside || mark.box.height < plot.box.height / 2) {
          problems.push(`${name}: a change-point mark is not a dashed line across the plot: ${JSON.stringify(mark)}`);
        }
        if (!/rgb\((178, 24, 43|33, 102, 172)\)/.test(mark.stroke)) problems.push(`${name}: a mark is ${mark.stroke}`);
      }
      for (const level of plot.levels) {
        if (level.width < 4) problems.push(`${name}: a level ${level.width} px wide`);
      }
    });
    if (problems.length > 0) return fail(problems.join('\n'));
    const summary = seen.plots.map((plot, i) => `${expected.series[i].metric}: ${plot.marks.length}`).join(', ');
    console.log(`view_report: no request beyond the page, ${seen.runRows} runs, ${seen.flakyRows} flaky cases, ` +
                `${seen.boardRows.filter((row) => row.suspect).length} suspect of ${seen.boardRows.length} boards, ` +
                `${seen.plots.length} plots with change points ${summary}; screenshot ${screenshotPath}`);
  } finally {
    await browser.close();
  }
}

main().catch((error) => fail(error.stack || String(error)));
