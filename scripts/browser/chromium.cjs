// What the page tests in headless Chromium share (required by
// crates/*/tests/browser/*.cjs): starting the browser from the npm packages
// of scripts/browser, and failing the test with a reason.
'use strict';
const path = require('path');

// Headless Chromium (KIVU_CHROMIUM, or /usr/bin/chromium) driven through the
// playwright-core in `nodeModules`, with nothing that reaches the network on
// its own (updates, sync, QUIC).
function launchChromium(nodeModules) {
  const { chromium } = require(path.join(nodeModules, 'playwright-core'));
  return chromium.launch({
    executablePath: process.env.KIVU_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
    timeout: 60000,
  });
}

// A function that reports `message` as the failure of the test `name` and
// makes node exit 1 once the page is closed.
function failer(name) {
  return (message) => {
    console.error(`${name}: ${message}`);
    process.exitCode = 1;
  };
}

module.exports = { launchChromium, failer };
