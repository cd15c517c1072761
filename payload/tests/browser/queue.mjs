// Drives the queue in headless Chromium: a download added below a screenful of older rows is
// scrolled into view, and cancelling it once data has arrived asks first; "继续下载" keeps it.
// Usage: ZORMAK_SESSION=SECRET node queue.mjs PAGE_URL SLOW_VIDEO_URL
// Prints one JSON line with what it saw; exits 1 on any failure.
import { drive } from "./launch.mjs";

const [pageUrl, slowVideoUrl] = process.argv.slice(2);

// The older rows' failed downloads are the only errors the page may log.
await drive(pageUrl, 600, (m) => /status of 40\d/.test(m.text()), async (page, seen) => {
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
});
