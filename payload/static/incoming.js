// Addresses that come to the page from outside it: handed over by a launch
// (the command line, a zormak: address a browser opened), dropped onto the
// window, or copied before the window got the focus. They only ever fill the
// add box or make an offer: nothing starts without the user's click.

import { $, el, showFormMessage } from "./dom.js";
import { queuedAddresses } from "./queue.js";
import { onShell, postToShell } from "./shell.js";

const CLIPBOARD_KEY = "zormak.clipboard-offer";

export function clipboardOfferOn() {
  return localStorage.getItem(CLIPBOARD_KEY) !== "off";
}

export function setClipboardOffer(on) {
  localStorage.setItem(CLIPBOARD_KEY, on ? "on" : "off");
  postToShell(on ? "clipboard:on" : "clipboard:off");
  if (!on) $("clipboard-offer").hidden = true;
}

function fillAddBox(urls, told) {
  const box = $("urls");
  const present = new Set(box.value.split("\n").map((line) => line.trim()).filter(Boolean));
  const added = urls.filter((url) => !present.has(url));
  box.value = [...present, ...added].join("\n");
  showFormMessage($("add-message"), "ok", told);
  box.scrollIntoView({ block: "center" });
  $("add-button").focus();
}

function received(detail) {
  const urls = detail.urls || [];
  if (!urls.length) {
    showFormMessage($("add-message"), "error", "拖进来的内容里没有视频网址");
    return;
  }
  const from = detail.source === "drop" ? "拖入了" : "收到";
  fillAddBox(urls, `${from} ${urls.length} 个网址，已放进上面的输入框。确认后点击“开始下载”。`);
}

function offer(detail) {
  if (!clipboardOfferOn() || queuedAddresses().has(detail.url)) return;
  const box = $("clipboard-offer");
  box.replaceChildren(
    el("span", "offer-text", "下载剪贴板中的链接？"),
    el("span", "offer-url", detail.url),
    button("下载", "btn primary small", () => {
      box.hidden = true;
      $("urls").value = detail.url;
      $("add-form").requestSubmit();
    }),
    button("忽略", "btn ghost small", () => { box.hidden = true; }),
  );
  box.hidden = false;
}

function button(text, className, onClick) {
  const node = el("button", className, text);
  node.type = "button";
  node.addEventListener("click", onClick);
  return node;
}

export function initIncoming() {
  onShell("links", received);
  onShell("clipboard", offer);
  postToShell(clipboardOfferOn() ? "clipboard:on" : "clipboard:off");
}
