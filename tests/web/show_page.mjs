// Opens the web remote's login link in headless Chromium (/usr/bin/chromium)
// and prints the line-state banner and the volume once the page is connected;
// scripts/test-windows points it at brennmarkd.exe under Wine.
//   node show_page.mjs http://127.0.0.1:PORT/login?token=T
import {chromium} from 'playwright-core';

const browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox']});
try {
  const page = await browser.newPage({viewport: {width: 390, height: 844}});
  await page.goto(process.argv[2]);
  await page.getByRole('status').filter({hasText: 'Connected'}).waitFor({timeout: 20000});
  await page.locator('#volume-text').filter({hasText: 'dB'}).waitFor({timeout: 5000});
  console.log(await page.locator('#banner').textContent());
  console.log(`volume ${await page.locator('#volume-text').textContent()}`);
} finally {
  await browser.close();
}
