// The downloader's page: its navigation, the connection indicator and the start.
// Each page's work is in a module of its own: the queue (queue.js, adding.js,
// playlist.js), the history (history.js) and the settings (settings.js, signin.js, engine.js).

import { api, onConnection } from "./api.js";
import { $, el } from "./dom.js";
import { extrasChoice, setupExtras } from "./extras.js";
import { initPlaylist } from "./playlist.js";
import { initEngine, showEngine } from "./engine.js";
import { initAdding } from "./adding.js";
import { initIncoming } from "./incoming.js";
import { startShell } from "./shell.js";
import { initHistory, loadHistory } from "./history.js";
import { initQueue, pollJobs } from "./queue.js";
import { initSettings, applySavedDefaults, loadSettings } from "./settings.js";
import { initSignIn, loadSignIn } from "./signin.js";
import { loadMeta, presetOf } from "./presets.js";
import { showLeftovers } from "./leftovers.js";

let connected = null;
onConnection((ok) => {
  if (connected === ok) return;
  connected = ok;
  $("conn").className = "conn " + (ok ? "ok" : "bad");
  $("conn-text").textContent = ok ? "服务运行中" : "服务未连接";
});

let currentView = "queue";
function show(view) {
  currentView = view;
  for (const button of document.querySelectorAll(".nav-item")) {
    button.classList.toggle("active", button.dataset.view === view);
  }
  for (const section of document.querySelectorAll(".view")) {
    section.hidden = section.id !== "view-" + view;
  }
  if (view === "history") loadHistory();
  if (view === "settings") {
    loadSettings();
    loadSignIn();
    showEngine();
  }
}

// What went wrong with the stored data at start, told once per page load.
async function loadNotices() {
  const data = await api("GET", "/api/notices");
  const box = $("notices");
  box.replaceChildren(...data.notices.map((text) => {
    const item = el("div", "notice");
    item.setAttribute("role", "alert");
    item.append(el("strong", null, "数据提示："), el("span", null, text));
    return item;
  }));
  box.hidden = data.notices.length === 0;
  await showLeftovers(box, () => {});
}

async function start() {
  for (const button of document.querySelectorAll(".nav-item")) {
    button.addEventListener("click", () => show(button.dataset.view));
  }
  initAdding();
  setupExtras();
  initEngine();
  // A finished download changes the history.
  initQueue({ onFinished: () => currentView === "history" && loadHistory() });
  initPlaylist({ format: () => presetOf("format", "audio-codec"), choice: extrasChoice, onAdded: pollJobs });
  initHistory();
  initSettings();
  initIncoming();
  startShell();
  initSignIn();
  // The queue's first answer needs nothing of what follows.
  pollJobs();

  try {
    await loadMeta();
    await loadNotices();
    await applySavedDefaults();
  } catch (e) {
    // The connection indicator already says what is wrong; polling retries.
  }
  $("urls").focus();
}

// Module scripts run once the document is parsed.
start();
