// The download engine's panel in the settings: its version and age, the update
// channel, checking for an update or importing the release's files from disk,
// going back one version, and the JavaScript runtime the engine needs for some sites.

import { api } from "./api.js";
import { $, busy, confirmDialog, showFormMessage } from "./dom.js";
import { formatSince } from "./format.js";

// The last status the server sent (GET /api/engine), and how many downloads the queue has going.
let status = null;
let downloads = 0;
let pollTimer = null;
// Whether the check the server runs is of files the user imported.
let importing = false;

export function initEngine() {
  $("engine-check").addEventListener("click", checkForUpdate);
  $("engine-import").addEventListener("click", () => $("engine-import-files").click());
  $("engine-import-files").addEventListener("change", importFiles);
  $("engine-rollback").addEventListener("click", rollBack);
  $("engine-runtime-fetch").addEventListener("click", fetchRuntime);
  $("engine-channel").addEventListener("change", saveChannel);
}

// Called when the settings view opens.
export function showEngine() {
  refresh();
}

// Called after each look at the queue: an update is never checked while downloads run.
export function setDownloads(count) {
  if (count === downloads) return;
  downloads = count;
  if (status) render();
}

async function refresh() {
  try {
    apply(await api("GET", "/api/engine"));
  } catch (e) {
    showError(e.message);
  }
}

function apply(next) {
  status = next;
  render();
  // A check, a fetch or the search for a runtime (after each engine switch) runs on the
  // server: look again until it has ended.
  clearTimeout(pollTimer);
  if (!status.checking) importing = false;
  const searching = Boolean(status.runtime && status.runtime.searching);
  if (status.checking || status.runtime_fetching || searching) pollTimer = setTimeout(refresh, 1000);
}

function render() {
  $("engine-summary").textContent = status.summary;
  $("engine-origin").textContent = (status.bundled ? "随下载器附带的版本" : "更新后的版本") +
    (status.previous ? `；上一个版本 ${status.previous} 仍然保留，可以回退到它` : "") + "。";
  $("engine-rollback").hidden = !status.previous;
  $("engine-channel").value = status.channel;

  $("engine-last-check").textContent = status.last_check === null || status.last_check === undefined
    ? "还没有检查过更新。下载器每天最多自动检查一次，有下载进行时不检查。"
    : `上次检查：${formatSince(status.last_check)}`;
  const result = $("engine-result");
  if (status.checking) {
    result.className = "engine-result";
    result.textContent = importing ? "正在验证导入的文件…" : "正在检查更新…";
  } else {
    // An import has a result without a check of the release server.
    result.className = "engine-result " + (status.last_ok ? "ok" : "bad");
    result.textContent = status.last_result || "";
  }
  result.hidden = !result.textContent;

  const check = $("engine-check");
  // While checking, the button's own label and the result line say so.
  const why = !status.checking && downloads ? "有下载正在进行，下载结束后才能检查。" : "";
  check.disabled = Boolean(why) || Boolean(status.checking);
  check.textContent = status.checking ? "正在检查…" : "检查更新";
  $("engine-import").disabled = check.disabled;
  $("engine-check-why").textContent = why;
  $("engine-check-why").hidden = !why;

  const runtime = status.runtime || {};
  const line = $("engine-runtime");
  line.textContent = runtime.text || "";
  line.className = "setting-desc" + (runtime.ok ? "" : " missing");
  // What the last fetch of deno came to, in the colour of where it left the runtime.
  const fetched = $("engine-runtime-result");
  fetched.textContent = status.runtime_fetching ? "" : status.runtime_result || "";
  fetched.className = "engine-result " + (runtime.ok ? "ok" : "bad");
  fetched.hidden = !fetched.textContent;
  const fetch = $("engine-runtime-fetch");
  // Offered whenever no runtime the engine takes was found, not while that is still being found out.
  fetch.hidden = (Boolean(runtime.ok) || Boolean(runtime.searching)) && !status.runtime_fetching;
  fetch.disabled = Boolean(status.runtime_fetching);
  fetch.textContent = status.runtime_fetching ? "正在获取 deno…" : "获取 deno";
}

// A refused action leaves the panel as the server describes it.
async function act(path, button) {
  $("engine-message").hidden = true;
  let done = false;
  await busy(button, async () => {
    apply(await api("POST", path, {}));
    done = true;
  }, { onError: (e) => {
    showError(e.message);
    refresh();
  } });
  // The server's status, not the request's end, decides what the buttons offer now.
  if (status) render();
  return done;
}

function showError(text) {
  showFormMessage($("engine-message"), "error", text);
}

async function checkForUpdate() {
  await act("/api/engine/check", $("engine-check"));
}

// The engine file and its signed checksum list, fetched elsewhere, go to the server base64-encoded;
// it checks them as it checks a download and names what is missing or misnamed.
async function importFiles() {
  const input = $("engine-import-files");
  const chosen = Array.from(input.files || []);
  // Choosing the same files again must fire another change.
  input.value = "";
  if (!chosen.length) return;
  $("engine-message").hidden = true;
  await busy($("engine-import"), async () => {
    const files = await Promise.all(chosen.map(readBase64));
    importing = true;
    apply(await api("POST", "/api/engine/import", { files }));
  }, { onError: (e) => {
    importing = false;
    showError(e.message);
    refresh();
  } });
  if (status) render();
}

function readBase64(file) {
  return new Promise((resolve, reject) => {
    const reader = new FileReader();
    reader.onload = () => {
      const url = String(reader.result);
      const comma = url.indexOf(",");
      resolve({ name: file.name, data: comma < 0 ? "" : url.slice(comma + 1) });
    };
    reader.onerror = () => reject(new Error(`无法读取文件 ${file.name}`));
    reader.readAsDataURL(file);
  });
}

async function rollBack() {
  if (!status || !status.previous) return;
  const yes = await confirmDialog("回退到上一个版本？",
    `新的下载将改用下载引擎 ${status.previous}，不再使用现在的 ${status.version}。` +
    "正在进行的下载继续使用原来的引擎。以后可以再检查更新。", "回退");
  if (!yes) return;
  const previous = status.previous;
  if (await act("/api/engine/rollback", $("engine-rollback"))) {
    showFormMessage($("engine-message"), "ok", `已回退到下载引擎 ${previous}`);
  }
}

async function fetchRuntime() {
  await act("/api/engine/runtime", $("engine-runtime-fetch"));
}

async function saveChannel() {
  const select = $("engine-channel");
  const chosen = select.value;
  select.disabled = true;
  $("engine-message").hidden = true;
  try {
    const saved = await api("POST", "/api/settings", { engine_channel: chosen });
    if (status) status.channel = saved.engine_channel;
    showFormMessage($("engine-message"), "ok",
      chosen === "nightly" ? "已改用每日构建版，下次检查更新时生效" : "已改用稳定版，下次检查更新时生效");
  } catch (e) {
    // What the server still has stays selected.
    if (status) select.value = status.channel;
    showError(e.message);
  } finally {
    select.disabled = false;
  }
}
