// What both drives share: headless Chromium with the session cookie the shell sets in its web view, a
// page that notes each page error and each console error not expected, and one JSON line of what was seen.
// steps(page, seen, text, note) gets text(at), the trimmed text of the first element at a selector or
// locator, and note(fields), which sets each key of fields in seen to the text at its value.
// drive() exits 1 when anything went wrong.
import { chromium } from "playwright-core";

export async function drive(pageUrl, height, expected, steps) {
  const problems = [];
  const seen = {};
  const browser = await chromium.launch({
    executablePath: process.env.ZORMAK_CHROMIUM || "/usr/bin/chromium",
    headless: true,
    // Root (CI) cannot use Chromium's sandbox; the page is our own.
    args: ["--no-sandbox", "--disable-gpu", "--lang=zh-CN"],
  });
  try {
    const context = await browser.newContext({ viewport: { width: 1180, height }, locale: "zh-CN" });
    await context.addCookies([{
      name: "zormak_session", value: process.env.ZORMAK_SESSION, url: pageUrl, httpOnly: true, sameSite: "Strict",
    }]);
    const page = await context.newPage();
    page.on("pageerror", (e) => problems.push("page error: " + e.message));
    page.on("console", (m) => {
      if (m.type() === "error" && !expected(m)) problems.push("console: " + m.text());
    });
    page.setDefaultTimeout(20000);
    const text = async (at) => (await (typeof at === "string" ? page.locator(at) : at).first().textContent()).trim();
    const note = async (fields) => { for (const [key, at] of Object.entries(fields)) seen[key] = await text(at); };
    await steps(page, seen, text, note);
  } catch (e) {
    problems.push(String(e && e.message ? e.message : e));
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify({ seen, problems }));
  process.exit(problems.length ? 1 : 0);
}
