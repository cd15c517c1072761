// The window's shell, when the page is shown in it: the page posts it plain
// words ("ready", "pick-folder", "clipboard:on"/"clipboard:off") and gets
// its answers as "zormak-shell" events. In a browser there is no shell and
// none of this is offered.

const handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.zormak;
const listeners = new Map();

export const inShell = Boolean(handler);

export function postToShell(word) {
  if (handler) handler.postMessage(word);
}

// Calls fn with the detail of every shell event of this kind.
export function onShell(kind, fn) {
  listeners.set(kind, fn);
}

// Once every module has said what it listens for: the shell keeps what it
// has for the page (addresses a launch handed over) until then.
export function startShell() {
  if (!handler) return;
  window.addEventListener("zormak-shell", (event) => {
    const detail = event.detail || {};
    const fn = listeners.get(detail.kind);
    if (fn) fn(detail);
  });
  postToShell("ready");
}
