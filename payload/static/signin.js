// Signing in to sites: the sites the sign-in window holds a sign-in for, the
// browser whose sign-ins the engine reads, and the two ways in offered beside
// a download that failed for want of a sign-in.

import { api } from "./api.js";
import { $, busy, el, toast } from "./dom.js";

// The shell's handler; absent when the page is open in an ordinary browser.
const shell = () => window.webkit?.messageHandlers?.zormakSignIn;
// The end of the server's message for a failure that wants a sign-in.
const ADVICE = "从浏览器读取登录状态”，然后重试。";

export function openSignInWindow() {
  const handler = shell();
  if (handler) handler.postMessage({ action: "open" });
}

async function signOut(button, site) {
  await busy(button, async () => {
    await shell().postMessage({ action: "signOut", site });
    await loadSignIn();
    toast(site ? `已退出 ${site} 的登录` : "已退出所有网站的登录");
  }, { onError: (e) => toast(e.message, "error") });
}

function showSites(sites) {
  $("signin-sites").replaceChildren(...sites.map((site) => {
    const item = el("li", "signin-site");
    const out = el("button", "btn ghost small", "退出登录");
    out.type = "button";
    out.addEventListener("click", () => signOut(out, site));
    item.append(el("span", null, `已登录：${site}`), out);
    return item;
  }));
  $("signin-none").hidden = sites.length > 0;
  $("signin-out-all").hidden = sites.length === 0;
}

function showBrowsers(profiles, chosen) {
  const select = $("cookies-browser");
  const options = [["", "不使用"], ...profiles.map((p) => [p.id, `${p.browser}（${p.profile}）`])];
  if (chosen && !profiles.some((p) => p.id === chosen)) options.push([chosen, "已选择的浏览器资料（现在找不到）"]);
  select.replaceChildren(...options.map(([value, label]) => {
    const option = el("option", null, label);
    option.value = value;
    return option;
  }));
  select.value = chosen || "";
}

export async function loadSignIn() {
  try {
    const [signin, browsers, settings] = await Promise.all([
      api("GET", "/api/signin"), api("GET", "/api/browsers"), api("GET", "/api/settings")]);
    $("signin-window").hidden = !(signin.window && shell());
    showSites(signin.sites);
    showBrowsers(browsers.profiles, settings.cookies_browser);
  } catch (e) {
    toast(e.message, "error");
  }
}

async function chooseBrowser() {
  const select = $("cookies-browser");
  try {
    await api("POST", "/api/settings", { cookies_browser: select.value });
    toast(select.value ? "下载时将读取这个浏览器的登录状态" : "不再读取浏览器的登录状态");
  } catch (e) {
    toast(e.message, "error");
    loadSignIn();
  }
}

function showBrowserSetting() {
  document.querySelector('.nav-item[data-view="settings"]').click();
  $("cookies-browser").focus();
}

// The two ways in, for a failure whose message says the site wants a sign-in; null otherwise.
export function signInChoices(message) {
  if (!message || !message.endsWith(ADVICE)) return null;
  const box = el("div", "signin-choices");
  if (shell()) {
    const open = el("button", "btn small", "登录网站…");
    open.type = "button";
    open.addEventListener("click", openSignInWindow);
    box.append(open);
  }
  const browser = el("button", "btn ghost small", "从浏览器读取登录状态");
  browser.type = "button";
  browser.addEventListener("click", showBrowserSetting);
  box.append(browser);
  return box;
}

export function initSignIn() {
  $("signin-open").addEventListener("click", openSignInWindow);
  $("signin-out-all").addEventListener("click", () => signOut($("signin-out-all"), ""));
  $("cookies-browser").addEventListener("change", chooseBrowser);
  // Back from the sign-in window, the list shows what was signed in there.
  window.addEventListener("focus", () => {
    if (!$("view-settings").hidden) loadSignIn();
  });
}
