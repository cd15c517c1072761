// Drives the downloader's page in headless Chromium: a bad address first,
// then a real one, until its download is done; then
// share text with several addresses, and the same video once more; then
// adds a playlist, which opens the chooser, and downloads the entries chosen
// by number; last, cancels a download added in a short window.
// Usage: ZORMAK_SESSION=SECRET node drive.mjs PAGE_URL VIDEO_URL DOWNLOADED_FILE PLAYLIST_URL FORMATS_URL
//        SUBTITLED_URL (it lists the formats of FORMATS_URL and picks one, and the subtitle languages of SUBTITLED_URL)
// The secret becomes the session cookie, as the shell sets it in its web view.
// Prints one JSON line with what it saw; exits 1 on any failure.
import { drive } from "./launch.mjs";
import fs from "node:fs";

const [pageUrl, videoUrl, downloaded, playlistUrl, formatsUrl, subtitledUrl] = process.argv.slice(2);

// The refused bad address (400), the repeated video (409) and the moved
// file's refusal (404) are expected; anything else is a fault.
const expected = (m) => /status of 40[09]/.test(m.text()) || /\/open$/.test(m.location().url || "");
await drive(pageUrl, 840, expected, async (page, seen, text, note) => {
  const add = async (urls) => { await page.fill("#urls", urls); await page.click("#add-button"); };
  await page.goto(pageUrl);
  await page.waitForSelector("#conn.ok");
  await page.locator("#notices").waitFor({ state: "visible" });
  seen.notice = await text("#notices");

  await add("这不是网址");
  await page.locator("#add-message").waitFor({ state: "visible" });
  seen.badAddressMessage = await text("#add-message");

  await add(videoUrl);
  const job = page.locator(".job").first();
  await job.waitFor();
  seen.firstBadge = await text(job.locator(".badge"));
  // The toast that confirms the add must leave the rows' buttons free to click: rows scroll
  // under it, so it must stay clear of the buttons' column, whatever the row's height.
  const toastBox = await page.locator(".toast").first().boundingBox();
  const buttonsBox = await job.locator(".job-actions").boundingBox();
  seen.toastCoversButtons = !!toastBox && !!buttonsBox &&
    toastBox.x < buttonsBox.x + buttonsBox.width && buttonsBox.x < toastBox.x + toastBox.width;
  seen.toastShown = !!toastBox;
  await page.waitForFunction(() => {
    const meta = document.querySelector(".job.downloading .job-meta");
    // Bytes that arrived and a speed; a loaded machine may first show a pause ("等待数据…").
    return meta && /[\d.]+ (B|KB) \/ .*\/s/.test(meta.textContent) && !/等待数据/.test(meta.textContent);
  });
  seen.progressMeta = await text(job.locator(".job-meta"));

  // Leaving the page with a download running asks first; staying keeps the page.
  const asked = new Promise((resolve) => page.once("dialog", async (dialog) => {
    resolve(dialog.type());
    await dialog.dismiss();
  }));
  await page.close({ runBeforeUnload: true });
  seen.beforeUnload = await Promise.race([asked, page.waitForTimeout(3000).then(() => "none")]);

  // Pause stops the download where it is; resume continues it.
  await job.locator('[data-action="pause"]').click();
  await page.locator(".job.paused").first().waitFor();
  await note({ pausedBadge: job.locator(".badge"), pausedMeta: job.locator(".job-meta") });
  seen.pausedButtons = await job.locator(".job-actions button:not([hidden])").evaluateAll(
    (buttons) => buttons.map((b) => b.dataset.action));
  await job.locator('[data-action="resume"]').click();
  await page.locator(".job.done").first().waitFor({ timeout: 60000 });
  await note({ doneBadge: job.locator(".badge"), doneTitle: job.locator(".job-title"), doneMeta: job.locator(".job-meta"),
    summary: "#queue-summary" });
  await page.waitForTimeout(500); // let the progress bar's transition finish

  // The finished row opens its file; the server answers once the opener has started.
  seen.openButtons = await job.locator(".open-action:not([hidden])").allTextContents();
  seen.openStatus = await answered(page, /\/api\/jobs\/\d+\/open$/, () => job.locator('[data-action="open"]').click());
  seen.jobDoubleClickStatus = await answered(page, /\/api\/jobs\/\d+\/open$/, () => job.locator(".job-title").dblclick());

  await page.click('.nav-item[data-view="history"]');
  await page.locator("#history-body tr").first().waitFor();
  seen.historyRows = await page.locator("#history-body tr").count();
  seen.historyFirst = await text("#history-body tr .h-title");

  // Double-clicking the row opens the file, the other button shows it in its folder.
  const row = page.locator("#history-body tr").first();
  seen.historyOpenStatus = await answered(page, /\/api\/history\/\d+\/open$/, () => row.locator(".h-title").dblclick());
  seen.historyRevealStatus = await answered(page, /\/api\/history\/\d+\/reveal$/,
    () => row.locator('[data-action="reveal"]').click());
  // A file moved away is not opened; the page says why and marks the row.
  fs.renameSync(downloaded, downloaded + ".moved");
  try {
    await row.locator('[data-action="open"]').click();
    await page.locator(".toast.error").first().waitFor();
    seen.missingToast = await text(".toast.error");
    await row.locator(".tag.missing").waitFor();
  } finally {
    fs.renameSync(downloaded + ".moved", downloaded);
  }

  // Clearing asks first, in the page's own dialog; "取消" keeps the history.
  await page.click("#history-clear");
  await page.locator("dialog#confirm[open]").waitFor();
  seen.confirmTitle = await text("#confirm-title");
  await page.click("#confirm-no");
  await page.locator("dialog#confirm[open]").waitFor({ state: "detached" });
  seen.historyRowsAfterNo = await page.locator("#history-body tr").count();

  await page.click('.nav-item[data-view="settings"]');
  await page.waitForFunction(() => document.getElementById("download-dir").value !== "");
  seen.downloadDir = await page.inputValue("#download-dir");
  seen.defaultSubtitles = await page.inputValue("#default-sub-mode");

  // Share text: both addresses are added, in the order pasted, under the finished one;
  // the line without an address stays in the box.
  await page.click('.nav-item[data-view="queue"]');
  const origin = new URL(videoUrl).origin;
  await add(`看看这个${origin}/gone-a.mp4，很好看 ${origin}/gone-b.mp4\n这一行没有网址`);
  await page.waitForFunction(() => document.querySelectorAll(".job").length === 3);
  seen.pastedOrder = await page.locator(".job .job-url").allTextContents();
  seen.keptLines = await page.inputValue("#urls");
  seen.pasteMessage = await text("#add-message");

  // The finished video again: the page asks, and "取消" adds nothing.
  await add(videoUrl);
  await page.locator("dialog#confirm[open]").waitFor();
  seen.duplicateQuestion = await text("#confirm-text");
  await page.click("#confirm-no");
  await page.locator("dialog#confirm[open]").waitFor({ state: "detached" });
  await page.waitForTimeout(500);
  seen.jobsAfterNo = await page.locator(".job").count();

  // A format picked in the list of a page's formats is the one downloaded.
  await page.fill("#urls", formatsUrl);
  await page.click("#probe-button");
  await page.locator("#probe-body tr").first().waitFor();
  seen.formatRows = await page.locator("#probe-body tr").evaluateAll(
    (rows) => rows.map((r) => [...r.children].slice(1).map((c) => c.textContent.trim())));
  await page.locator("#probe-body tr").nth(1).click();
  seen.pickedChecked = await page.locator('#probe-body tr.chosen input[type="radio"]').isChecked();
  await page.click("#add-button");
  const picked = page.locator(".job.done", { hasText: "指定格式 480p" });
  await picked.waitFor({ timeout: 60000 });
  seen.pickedMeta = await text(picked.locator(".job-meta"));
  seen.formatsHiddenAfterAdd = await page.locator("#probe-panel").isHidden();

  // The subtitle languages of a page, listed in the add form for choosing.
  await page.fill("#urls", subtitledUrl);
  await page.click("#sub-fetch");
  await page.locator(".sub-lang").first().waitFor();
  seen.subtitleLanguages = await page.locator(".sub-lang").evaluateAll(
    (labels) => labels.map((l) => [l.textContent.trim(), l.querySelector("input").checked]));
  seen.subtitleMode = await page.inputValue("#sub-mode");

  // A playlist added like any address (Ctrl+Enter here) opens the chooser and queues nothing yet;
  // narrowed by a range, its chosen entries are added.
  await page.click('.nav-item[data-view="queue"]');
  const jobsBeforeList = await page.locator(".job").count();
  await page.fill("#urls", playlistUrl);
  await page.press("#urls", "Control+Enter");
  const chooser = page.locator("#chooser");
  await chooser.waitFor({ state: "visible" });
  await page.waitForTimeout(500);
  seen.jobsAddedByList = (await page.locator(".job").count()) - jobsBeforeList;
  seen.boxAfterList = await page.inputValue("#urls");
  await note({ chooserTitle: "#chooser-title", chooserFolder: "#chooser-folder" });
  seen.chooserEntries = await page.locator("#chooser-entries .entry").evaluateAll(
    (rows) => rows.map((r) => r.textContent.trim()));
  await note({ chooserCountAll: "#chooser-count" });
  await page.click("#chooser-none");
  await note({ chooserCountNone: "#chooser-count" });
  seen.chooserAddDisabled = await page.locator("#chooser-add").isDisabled();
  await page.fill("#chooser-range", "3-1");
  await page.click("#chooser-apply");
  await page.locator("#chooser-message").waitFor({ state: "visible" });
  await note({ chooserBadRange: "#chooser-message" });
  await page.fill("#chooser-range", "1, 3-");
  await page.press("#chooser-range", "Enter");
  await page.locator("#chooser-message").waitFor({ state: "hidden" });
  seen.chooserChecked = await page.locator("#chooser-entries input:checked").evaluateAll(
    (boxes) => boxes.map((b) => Number(b.value)));
  await note({ chooserCountRange: "#chooser-count" });
  const doneBefore = await page.locator(".job.done").count();
  await page.click("#chooser-add");
  // Either the chooser closes, or its message says why it could not.
  await page.locator("#chooser[hidden], #chooser-message:not([hidden])").first().waitFor({ state: "attached" });
  if (await chooser.isVisible()) throw new Error("adding the chosen entries: " + (await page.locator("#chooser-message").textContent()));
  await page.waitForFunction((n) => document.querySelectorAll(".job.done").length === n, doneBefore + 2,
    { timeout: 60000 });
  // The entries' cards tell their folder and the subtitles chosen in the form.
  const entry = page.locator(".job.done").last();
  seen.entryMeta = await entry.locator(".job-meta span").allTextContents();
  // In a narrow window no text is squeezed to a few characters a line beside its row's controls.
  await page.setViewportSize({ width: 640, height: 900 });
  seen.squeezed = [];
  for (const view of ["queue", "history", "settings"]) {
    await page.click(`.nav-item[data-view="${view}"]`);
    seen.squeezed.push(...await page.evaluate(() => [...document.querySelectorAll("main *")]
      .filter((n) => n.offsetParent && !n.children.length && n.textContent.trim().length > 4
        && n.getBoundingClientRect().width < 3.5 * parseFloat(getComputedStyle(n).fontSize))
      .map((n) => n.textContent.trim())));
  }

  // In a short window, a download added below the older rows is scrolled into view; cancelling it
  // once data has arrived asks first, and "继续下载" keeps it.
  await page.setViewportSize({ width: 1180, height: 420 });
  await page.click('.nav-item[data-view="queue"]');
  await add(videoUrl + "?again");
  const last = page.locator(".job.downloading");
  await last.waitFor();
  seen.inView = await page.waitForFunction(() => {
    const box = document.querySelector(".job.downloading").getBoundingClientRect();
    return box.top >= 0 && box.bottom <= window.innerHeight;
  }, null, { timeout: 5000 }).then(() => true, () => false);
  await page.waitForFunction(() => /\d+(\.\d+)? KB \//.test(
    document.querySelector(".job.downloading .job-meta")?.textContent));
  await last.locator('[data-action="cancel"]').click();
  await page.locator("dialog#confirm[open]").waitFor();
  await note({ cancelTitle: "#confirm-title", cancelNo: "#confirm-no", cancelYes: "#confirm-yes" });
  await page.click("#confirm-no");
  await page.waitForTimeout(1500);
  seen.afterNo = await text(last.locator(".badge"));
  await last.locator('[data-action="cancel"]').click();
  await page.click("#confirm-yes");
  await page.locator(".job.cancelled").waitFor();
});

// The HTTP status of the request to urlPattern that action makes.
async function answered(page, urlPattern, action) {
  const [response] = await Promise.all([page.waitForResponse((r) => urlPattern.test(r.url())), action()]);
  return response.status();
}
