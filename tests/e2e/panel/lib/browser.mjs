// Debian's chromium, headless, driven by puppeteer-core. A missing browser is an error, never a
// reason to skip: the panel is only proven in a real one.
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

export function chromium_path() {
  const candidates = process.env.CHAIR_CHROMIUM ? [process.env.CHAIR_CHROMIUM] :
      (process.env.PATH || '').split(':').flatMap((dir) => ['chromium', 'chromium-browser'].map((n) => path.join(dir, n)));
  const found = candidates.find((file) => {
    try {
      fs.accessSync(file, fs.constants.X_OK);
      return true;
    } catch {
      return false;
    }
  });
  if (!found) throw new Error('chromium not found (apt-get install chromium, or set CHAIR_CHROMIUM)');
  return found;
}

export async function launch_browser(user_data_dir, downloads_dir) {
  const browser = await puppeteer.launch({
    executablePath: chromium_path(),
    headless: true,
    userDataDir: user_data_dir,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-dev-shm-usage', '--lang=en-US',
    ],
    timeout: 30000,
  });
  if (downloads_dir) {
    const session = await browser.target().createCDPSession();
    await session.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: downloads_dir});
  }
  return browser;
}

// Keeps what the page says on its console, what it throws, and every request it makes.
export function watch_page(page) {
  const seen = {errors: [], requests: []};
  page.on('console', (m) => {
    if (m.type() === 'error') seen.errors.push(`console: ${m.text()}`);
  });
  page.on('pageerror', (e) => seen.errors.push(`page error: ${e.message}`));
  page.on('request', (r) => seen.requests.push(r.url()));
  page.on('requestfailed', (r) => {
    // An event stream that the page closes itself is "aborted"; that is not a fault.
    if (!/ERR_ABORTED/.test(r.failure()?.errorText || '')) seen.errors.push(`request failed: ${r.url()} ${r.failure()?.errorText}`);
  });
  return seen;
}
