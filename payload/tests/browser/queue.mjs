// Drives the queue in headless Chromium: a download added below a screenful of older rows is
// scrolled into view, and cancelling it once data has arrived asks first; "继续下载" keeps it.
// Usage: ZORMAK_SESSION=SECRET node queue.mjs PAGE_URL SLOW_VIDEO_URL
// Prints one JSON line with what it saw; exits 1 on any failure.
import { chromium } from "playwright-core";

const [pageUrl, slowVideoUrl] = process.argv.slice(2);
const problems = [];
const seen = {};

const browser = await chromium.launch({
  executablePath: process.env.ZORMAK_CHROMIUM || "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--lang=zh-CN"],
});
try {
  const context = await browser.newContext({ viewport: { width: 1000, height: 600 }, locale: "zh-CN" });
  await context.addCookies([{
    name: "zormak_session", value: process.env.ZORMAK_SESSION, url: pageUrl, httpOnly: true, sameSite: "Strict",
  }]);
  const page = await context.newPage();
  page.on("pageerror", (e) => problems.push("page error: " + e.message));
  page.setDefaultTimeout(20000);
  await page.goto(pageUrl);
  await page.locator(".job.failed").first().waitFor();
  await page.fill("#urls", slowVideoUrl);
  await page.click("#add-button");
  const job = page.locator(".job.downloading");
  await job.waitFor();
  // The smooth scroll takes a moment.
  await page.waitForFunction(() => {
    const box = document.querySelector(".job.downloading").getBoundingClientRect();
    return box.top >= 0 && box.bottom <= window.innerHeight;
  }, null, { timeout: 5000 }).then(() => { seen.inView = true; }, () => { seen.inView = false; });
  await page.waitForFunction(() => /\d+(\.\d+)? KB \//.test(document.querySelector(".job.downloading .job-meta").textContent));
  await job.locator('[data-action="cancel"]').click();
  await page.locator("dialog#confirm[open]").waitFor();
  seen.question = [await page.locator("#confirm-title").textContent(), await page.locator("#confirm-no").textContent(),
    await page.locator("#confirm-yes").textContent()];
  await page.click("#confirm-no");
  await page.waitForTimeout(1500);
  seen.afterNo = (await page.locator(".job").last().locator(".badge").textContent()).trim();
  await job.locator('[data-action="cancel"]').click();
  await page.click("#confirm-yes");
  await page.locator(".job.cancelled").waitFor();
  seen.afterYes = "cancelled";
} catch (e) {
  problems.push(String(e && e.stack || e));
} finally {
  await browser.close();
}
console.log(JSON.stringify({ problems, seen }));
process.exit(problems.length ? 1 : 0);
