// Drives the download engine's panel in the settings in headless Chromium: goes
// back to the previous engine through the confirmation dialog, checks for an
// update against an update server that cannot be reached, asks for deno, imports
// release files without their signature, changes the channel, and watches the check button while a download runs; last, it
// damages the previous engine and asks to go back to it, which the server refuses.
// Usage: ZORMAK_SESSION=SECRET node engine.mjs PAGE_URL SLOW_VIDEO_URL PREVIOUS_ENGINE_FILE
// Prints one JSON line with what it saw; exits 1 on any failure.
import { drive } from "./launch.mjs";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

const [pageUrl, slowVideoUrl, previousEngineFile] = process.argv.slice(2);

// The refused import (400) and the refused rollback at the end (409) are expected; anything else is a fault.
await drive(pageUrl, 900, (m) => /status of (400|409)/.test(m.text()), async (page, seen, text, note) => {
  await page.goto(pageUrl);
  await page.waitForSelector("#conn.ok");
  await page.click('.nav-item[data-view="settings"]');
  await page.waitForFunction(() => document.getElementById("engine-origin").textContent.trim() !== "");
  await note({ summaryBefore: "#engine-summary", originBefore: "#engine-origin" });
  seen.channelBefore = await page.inputValue("#engine-channel");
  // The server asks the engine which runtimes it takes once it has started: wait for its answer.
  await page.waitForFunction(() => !document.getElementById("engine-runtime").textContent.includes("正在查找"));
  await note({ runtime: "#engine-runtime", lastCheckBefore: "#engine-last-check" });
  seen.runtimeButton = await page.locator("#engine-runtime-fetch").isVisible();

  // Going back asks first, naming both versions; "取消" changes nothing.
  await page.click("#engine-rollback");
  await page.locator("dialog#confirm[open]").waitFor();
  seen.rollbackQuestion = [await text("#confirm-title"), await text("#confirm-text")];
  await page.click("#confirm-no");
  await page.locator("dialog#confirm[open]").waitFor({ state: "detached" });
  seen.summaryAfterNo = await text("#engine-summary");
  await page.click("#engine-rollback");
  await page.click("#confirm-yes");
  await page.locator("#engine-message.ok").waitFor();
  await note({ rollbackMessage: "#engine-message", summaryAfterRollback: "#engine-summary",
    originAfterRollback: "#engine-origin" });

  // The update server cannot be reached: the result says so in the error colour, and the page still works.
  await page.click("#engine-check");
  await page.waitForFunction(() => {
    const result = document.getElementById("engine-result");
    return result.classList.contains("bad") && result.textContent.trim() !== "";
  }, null, { timeout: 60000 });
  await note({ checkResult: "#engine-result", lastCheckAfter: "#engine-last-check" });
  seen.checkResultColour = await page.locator("#engine-result").evaluate((node) => getComputedStyle(node).color);
  seen.errorColour = await page.evaluate(() => {
    const probe = document.createElement("span");
    probe.style.color = "var(--bad)";
    document.body.appendChild(probe);
    const colour = getComputedStyle(probe).color;
    probe.remove();
    return colour;
  });
  seen.checkEnabledAfter = await page.locator("#engine-check").isEnabled();
  seen.resultLive = await page.locator("#engine-result").getAttribute("aria-live");

  // deno cannot be fetched either; the runtime line says what is missing.
  if (seen.runtimeButton) {
    await page.click("#engine-runtime-fetch");
    await page.waitForFunction(() => {
      const button = document.getElementById("engine-runtime-fetch");
      return !button.disabled && document.getElementById("engine-runtime-result").textContent.trim() !== "";
    }, null, { timeout: 60000 });
    seen.runtimeResult = await text("#engine-runtime-result");
  }

  // Release files chosen for import without their signature: the page names what is missing.
  const chosen = fs.mkdtempSync(path.join(os.tmpdir(), "zormak-import-"));
  for (const name of ["yt-dlp", "SHA2-256SUMS"]) fs.writeFileSync(path.join(chosen, name), "x");
  seen.importButton = await text("#engine-import");
  await page.setInputFiles("#engine-import-files", ["yt-dlp", "SHA2-256SUMS"].map((n) => path.join(chosen, n)));
  await page.locator("#engine-message.error").waitFor();
  seen.importRefusal = await text("#engine-message");
  fs.rmSync(chosen, { recursive: true });

  // The channel is saved as soon as it is chosen.
  await page.selectOption("#engine-channel", "nightly");
  await page.waitForFunction(() => document.getElementById("engine-message").textContent.includes("每日构建版"));
  seen.channelMessage = await text("#engine-message");

  // While a download runs the check waits, and the page says why.
  await page.click('.nav-item[data-view="queue"]');
  await page.fill("#urls", slowVideoUrl);
  await page.click("#add-button");
  await page.locator(".job.downloading").first().waitFor();
  await page.click('.nav-item[data-view="settings"]');
  await page.waitForFunction(() => document.getElementById("engine-check").disabled);
  seen.checkWhyDuringDownload = await text("#engine-check-why");
  seen.checkDescribedBy = await page.locator("#engine-check").getAttribute("aria-describedby");
  await page.click('.nav-item[data-view="queue"]');
  await page.locator('.job [data-action="cancel"]').first().click();
  await page.locator(".job.cancelled").first().waitFor();
  await page.click('.nav-item[data-view="settings"]');
  await page.waitForFunction(() => !document.getElementById("engine-check").disabled);
  seen.checkWhyAfterDownload = await page.locator("#engine-check-why").isVisible();

  // The page still offers the previous engine, whose file is now damaged: the refusal shows in the panel.
  fs.rmSync(previousEngineFile);
  await page.click("#engine-rollback");
  await page.click("#confirm-yes");
  await page.locator("#engine-message.error").waitFor();
  seen.refusal = await text("#engine-message");
  await page.locator("#engine-rollback").waitFor({ state: "hidden" });
  seen.originAfterRefusal = await text("#engine-origin");
});
