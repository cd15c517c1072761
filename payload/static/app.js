// The downloader's page: the queue, the history and the settings.

import { api, onConnection } from "./api.js";
import { $, confirmDialog, el, icon, showFormMessage, toast } from "./dom.js";
import { formatDuration, formatSize, formatTime } from "./format.js";
import { applyExtrasDefaults, extrasChoice, extrasSettings, extrasSummary, fillExtrasSettings, resetExtras, setupExtras } from "./extras.js";
import { addOrChoose, initPlaylist } from "./playlist.js";
import { initEngine, setDownloads, showEngine } from "./engine.js";

// What the server calls its job states and formats (GET /api/meta).
let STATES = {};
let FORMATS = {};
// Audio-only presets are "audio:<codec>"; jobs from before the presets say "audio".
const audioCodec = (format) => (format === "audio" ? "mp3" : String(format).startsWith("audio:") ? format.slice(6) : null);
const formatLabel = (format) =>
  FORMATS[format] || (String(format).startsWith("id:") ? `指定格式 ${format.slice(3)}` : format);
const stateOf = (name) =>
  STATES[name] || { label: name, running: false, open: false, pausable: false, resumable: false, retryable: false };

let connected = null;
onConnection((ok) => {
  if (connected === ok) return;
  connected = ok;
  $("conn").className = "conn " + (ok ? "ok" : "bad");
  $("conn-text").textContent = ok ? "服务运行中" : "服务未连接";
});

// ---- navigation ----

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
    showEngine();
  }
}

// ---- queue ----

const jobNodes = new Map();
let lastStates = new Map();

function buildJob(job) {
  const li = el("li", "card job");
  li.dataset.id = job.id;
  const iconBox = el("div", "job-icon");
  li.appendChild(iconBox);
  const main = el("div", "job-main");
  main.append(el("div", "job-title"), el("div", "job-url"));
  li.appendChild(main);
  const actions = el("div", "job-actions");
  actions.appendChild(el("span", "badge"));
  actions.append(...openButtons());
  for (const [name, label] of [["pause", "暂停"], ["resume", "继续"], ["cancel", "取消"], ["retry", "重试"], ["remove", "移除"]]) {
    const b = el("button", "btn icon" + (name === "cancel" ? " bad" : ""));
    b.type = "button";
    b.dataset.action = name;
    b.title = label;
    b.setAttribute("aria-label", label);
    b.appendChild(icon(name));
    actions.appendChild(b);
  }
  li.appendChild(actions);
  const progress = el("div", "job-progress");
  const bar = el("div", "bar");
  bar.appendChild(el("div", "bar-fill"));
  progress.append(bar, el("span", "job-percent"));
  li.appendChild(progress);
  li.appendChild(el("div", "job-meta"));
  li.appendChild(el("div", "job-error"));
  return li;
}

function updateJob(li, job) {
  li.className = `card job ${job.state} ${audioCodec(job.format) ? "audio" : "video"}`;
  const iconBox = li.querySelector(".job-icon");
  if (iconBox.dataset.format !== job.format) {
    iconBox.replaceChildren(icon(audioCodec(job.format) ? "audio" : "video"));
    iconBox.dataset.format = job.format;
  }
  const title = job.title || (job.files && job.files[0]) || guessName(job.url);
  li.querySelector(".job-title").textContent = title;
  li.querySelector(".job-title").title = title;
  li.querySelector(".job-url").textContent = job.url;
  const state = stateOf(job.state);
  const badge = li.querySelector(".badge");
  badge.className = "badge " + job.state;
  badge.textContent = state.label;

  li.querySelector('[data-action="pause"]').hidden = !state.pausable;
  li.querySelector('[data-action="resume"]').hidden = !state.resumable;
  li.querySelector('[data-action="cancel"]').hidden = !state.open;
  li.querySelector('[data-action="retry"]').hidden = !state.retryable;
  li.querySelector('[data-action="remove"]').hidden = state.open;
  for (const b of li.querySelectorAll(".open-action")) b.hidden = job.state !== "done";

  // A bar says nothing for a download that has not started or never got a byte.
  li.querySelector(".job-progress").hidden =
    job.state === "queued" || ((job.state === "failed" || job.state === "cancelled") && !job.downloaded);
  const bar = li.querySelector(".bar");
  const fill = li.querySelector(".bar-fill");
  const percent = li.querySelector(".job-percent");
  let fraction = job.progress;
  if (job.state === "done") fraction = 1;
  const unknown = (job.state === "downloading" && (fraction === null || fraction === undefined)) || job.state === "processing";
  const wasUnknown = bar.classList.contains("indeterminate");
  bar.classList.toggle("indeterminate", unknown);
  // Leaving the sliding bar jumps straight to the real width instead of easing from the slider's.
  fill.style.transition = wasUnknown && !unknown ? "none" : "";
  fill.style.width = unknown ? "" : `${Math.max(0, Math.min(1, fraction || 0)) * 100}%`;
  if (wasUnknown && !unknown) {
    void fill.offsetWidth;
    fill.style.transition = "";
  }
  percent.textContent = unknown || fraction === null || fraction === undefined ? "" : `${Math.floor(fraction * 100)}%`;

  const meta = [];
  meta.push(formatLabel(job.format));
  if (job.folder) meta.push(`保存到 ${job.folder}`);
  meta.push(...extrasSummary(job.extras));
  if (job.state === "queued") meta.push(job.downloaded ? "等待继续下载" : "等待下载");
  if (job.state === "paused") meta.push("已暂停，点击继续从断点接着下载");
  if (job.state === "processing") meta.push(audioCodec(job.format) ? `正在转换为 ${audioCodec(job.format).toUpperCase()}…` : "正在处理文件…");
  if (job.downloaded || job.total) {
    meta.push(job.total ? `${formatSize(job.downloaded)} / ${formatSize(job.total)}` : `已下载 ${formatSize(job.downloaded)}`);
  }
  if (job.state === "downloading" && job.waiting) meta.push("0 B/s", "等待数据…");
  else if (job.state === "downloading" && job.speed) meta.push(`${formatSize(job.speed)}/s`);
  if (job.state === "downloading" && !job.waiting && job.eta !== null && job.eta !== undefined) meta.push(`剩余 ${formatDuration(job.eta)}`);
  if (job.state === "downloading" && job.retries) meta.push(`第 ${job.retries} 次重试`);
  if (job.state === "done" && job.files && job.files.length) meta.push(`已保存为 ${job.files.join("、")}`);
  const metaNode = li.querySelector(".job-meta");
  metaNode.replaceChildren(...meta.map((m) => el("span", null, m)));

  const err = li.querySelector(".job-error");
  err.hidden = !(job.state === "failed" && job.error);
  err.textContent = job.error || "";
}

// Until the site tells the title, the last part of the address stands in.
function guessName(address) {
  try {
    const url = new URL(address);
    const last = url.pathname.split("/").filter(Boolean).pop();
    return last ? decodeURIComponent(last) : url.host;
  } catch (e) {
    return address;
  }
}

function renderJobs(jobs) {
  const list = $("jobs");
  const seen = new Set();
  // Oldest on top: the queue starts downloads in this order, so the next to start is the first waiting row.
  const ordered = [...jobs].sort((a, b) => a.id - b.id);
  let previous = null;
  for (const job of ordered) {
    seen.add(job.id);
    let li = jobNodes.get(job.id);
    if (!li) {
      li = buildJob(job);
      jobNodes.set(job.id, li);
    }
    updateJob(li, job);
    const wanted = previous ? previous.nextSibling : list.firstChild;
    if (wanted !== li) list.insertBefore(li, wanted);
    previous = li;
  }
  for (const [id, li] of jobNodes) {
    if (!seen.has(id)) {
      li.remove();
      jobNodes.delete(id);
    }
  }
  $("jobs-empty").hidden = jobs.length > 0;

  const count = (s) => jobs.filter((j) => j.state === s).length;
  const running = jobs.filter((j) => stateOf(j.state).running).length;
  const queued = count("queued");
  const paused = count("paused");
  const done = count("done");
  const failed = count("failed");
  const parts = [];
  if (running) parts.push(`正在下载 ${running} 个`);
  if (queued) parts.push(`排队 ${queued} 个`);
  if (paused) parts.push(`暂停 ${paused} 个`);
  if (done) parts.push(`已完成 ${done} 个`);
  if (failed) parts.push(`失败 ${failed} 个`);
  $("queue-summary").textContent = parts.length ? parts.join(" · ") : "粘贴视频网址，开始下载";
  const nav = $("nav-active");
  nav.hidden = running + queued === 0;
  nav.textContent = String(running + queued);
  $("clear-finished").disabled = !jobs.some((j) => !stateOf(j.state).open);

  // A finished download changes the history.
  let finishedNow = false;
  const states = new Map();
  for (const job of jobs) {
    states.set(job.id, job.state);
    const before = lastStates.get(job.id);
    if (job.state === "done" && lastStates.has(job.id) && before !== "done") {
      finishedNow = true;
      toast(`下载完成：${job.title || job.url}`);
      notifyDesktop("下载完成", job.title || job.url);
    } else if (job.state === "failed" && lastStates.has(job.id) && before !== "failed") {
      notifyDesktop("下载失败", `${job.title || job.url}\n${job.error || ""}`.trim());
    }
  }
  lastStates = states;
  pendingWork = running + queued;
  setDownloads(running + queued);
  if (finishedNow && currentView === "history") loadHistory();
  return running + queued > 0;
}

// A desktop notification for an ending download, when the user is looking
// elsewhere; in the window the toast says it.
function notifyDesktop(title, body) {
  if (!("Notification" in window) || document.hasFocus()) return;
  if (Notification.permission !== "granted") return;
  const note = new Notification(title, {body, tag: `zormak-${title}-${body}`});
  note.onclick = () => {
    window.focus();
    note.close();
  };
}

// Engines let a page ask only while handling the user's click or key, so the
// first download the user adds asks. The window grants it without a question;
// a browser asks once.
function askForNotifications() {
  if ("Notification" in window && Notification.permission === "default") {
    Notification.requestPermission().catch(() => {});
  }
}

// Downloads that closing the page would interrupt; the browser (or the
// window) asks before leaving while there are any.
let pendingWork = 0;
window.addEventListener("beforeunload", (event) => {
  if (!pendingWork) return;
  event.preventDefault();
  // Older engines show the dialog only when returnValue is set.
  event.returnValue = "";
});

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
}

let metaLoaded = false;
async function loadMeta() {
  const meta = await api("GET", "/api/meta");
  STATES = meta.states;
  FORMATS = meta.formats;
  metaLoaded = true;
  $("version").textContent = `版本 ${meta.version.split("+")[0]}`;
}

let pollTimer = null;
async function pollJobs() {
  clearTimeout(pollTimer);
  let busy = false;
  try {
    if (!metaLoaded) await loadMeta();
    const data = await api("GET", "/api/jobs");
    busy = renderJobs(data.jobs);
    // At start an old engine is brought up to date first; downloads wait for it meanwhile.
    const updating = $("engine-updating");
    updating.hidden = !data.engine_update;
    updating.textContent = data.engine_update || "";
    busy = busy || Boolean(data.engine_update);
  } catch (e) {
    busy = false;
  }
  pollTimer = setTimeout(pollJobs, busy ? 700 : 2000);
}

async function addJobs(event) {
  event.preventDefault();
  askForNotifications();
  const textarea = $("urls");
  const message = $("add-message");
  const text = textarea.value.trim();
  if (!text) {
    showFormMessage(message, "error", "请先粘贴至少一个视频网址");
    textarea.focus();
    return;
  }
  const format = chosenFormat();
  const button = $("add-button");
  button.disabled = true;
  try {
    // The server finds the addresses in the text; it answers with the lines it could not use.
    let data;
    try {
      data = await firstAdd(text, format);
    } catch (e) {
      if (!e.data || !e.data.duplicates || !e.data.duplicates.length) throw e;
      data = e.data;
    }
    if (data === null) {
      // A playlist: the chooser adds its entries, with the subtitle choices still in the form.
      textarea.value = "";
      message.hidden = true;
      return;
    }
    let added = data.added.length;
    textarea.value = data.unusable.join("\n");
    if (data.duplicates.length && (await confirmDialog("重复的视频", duplicateQuestion(data.duplicates), "再下载一次"))) {
      const again = await api("POST", "/api/jobs", { urls: data.duplicates.map((d) => d.url).join("\n"), format, ...extrasChoice(), force: true });
      added += again.added.length;
    }
    if (data.errors.length) {
      showFormMessage(message, "error", `已添加 ${added} 个下载，以下内容无法识别：`, data.errors);
      textarea.focus();
    } else {
      message.hidden = true;
      if (added) toast(added === 1 ? "已加入下载队列" : `已加入 ${added} 个下载`);
    }
    clearProbe();
    resetExtras();
    pollJobs();
  } catch (e) {
    const errors = e.data && e.data.errors;
    if (e.data && e.data.unusable) textarea.value = e.data.unusable.join("\n");
    if (errors && errors.length > 1) showFormMessage(message, "error", "没有可以下载的网址：", errors);
    else showFormMessage(message, "error", e.message);
  } finally {
    button.disabled = false;
  }
}

// One address, without a format picked from the list, is listed first, so that a
// playlist opens the chooser instead of becoming one job. Several addresses go
// straight to the queue, where the server refuses a whole playlist and says so.
async function firstAdd(text, format) {
  const lines = text.split("\n").filter((line) => line.trim());
  const starts = text.match(/https?:\/\/|www\./gi) || [];
  if (!pickedFormat && lines.length === 1 && starts.length === 1) {
    // A slow site takes a while to answer; the user should know why nothing happens yet.
    const slow = setTimeout(() => showFormMessage($("add-message"), "ok", "正在读取这个网址，看它是单个视频还是播放列表…"), 800);
    try {
      return await addOrChoose(text, { format, ...extrasChoice() });
    } catch (e) {
      if (e.data && e.data.duplicates && e.data.duplicates.length) throw e;
      // Listing failed, say on a slow site: the queue tries the address and tells what happened.
    } finally {
      clearTimeout(slow);
    }
  }
  return api("POST", "/api/jobs", { urls: text, format, ...extrasChoice() });
}

// The question before fetching again what is already queued or was downloaded.
function duplicateQuestion(duplicates) {
  const describe = (d) => (d.where === "history" ? `${d.title}，${formatTime(d.finished_at)} 下载` : `${d.title}，在下载队列中`);
  if (duplicates.length === 1) {
    const d = duplicates[0];
    return d.where === "history"
      ? `这个视频已经下载过（${describe(d)}），还要再下载一次吗？`
      : `这个视频已经在下载队列中（${d.title}），还要再下载一次吗？`;
  }
  return `${duplicates.length} 个视频已经在下载队列中或已经下载过（${duplicates.map(describe).join("；")}），还要再下载一次吗？`;
}

async function jobAction(event) {
  const button = event.target.closest("button[data-action]");
  if (!button) return;
  const li = button.closest(".job");
  const id = li.dataset.id;
  button.disabled = true;
  try {
    if (button.dataset.action === "remove") await api("DELETE", `/api/jobs/${id}`);
    else await api("POST", `/api/jobs/${id}/${button.dataset.action}`, {});
    await pollJobs();
  } catch (e) {
    toast(e.message, "error");
  } finally {
    button.disabled = false;
  }
}

// ---- opening what was downloaded ----

// "打开" and "在文件夹中显示" for a finished download. The request names only
// the job or the history row; the server opens the file it saved itself.
function openButtons() {
  return [["open", "打开"], ["reveal", "在文件夹中显示"]].map(([action, label]) => {
    const b = el("button", "btn small open-action", label);
    b.type = "button";
    b.dataset.action = action;
    // Only media and subtitles are handed to the desktop's programs.
    if (action === "open") b.title = "视频、音频和字幕文件直接打开；其他文件在文件夹中显示";
    return b;
  });
}

async function openDownload(base, action) {
  try {
    const answer = await api("POST", `${base}/${action}`, {});
    if (answer && answer.message) toast(answer.message);
  } catch (e) {
    toast(e.message, "error");
    // A file found missing shows as such in the history at once.
    if (base.startsWith("/api/history/")) loadHistory();
  }
}

// Double-clicking a finished row opens its file; its buttons keep their own meaning.
function openOnDoubleClick(list, rowSelector, base) {
  list.addEventListener("dblclick", (event) => {
    if (event.target.closest("button, input, a")) return;
    const row = event.target.closest(rowSelector);
    if (!row) return;
    // The double click also selected a word of the row's text.
    window.getSelection().removeAllRanges();
    openDownload(`${base}/${row.dataset.id}`, "open");
  });
}

// ---- history ----

let historyEntries = [];

async function loadHistory() {
  try {
    const data = await api("GET", "/api/history");
    historyEntries = data.entries;
    renderHistory();
  } catch (e) {
    toast(e.message, "error");
  }
}

function renderHistory() {
  const query = $("history-search").value.trim().toLowerCase();
  const entries = historyEntries.filter((h) => !query || h.title.toLowerCase().includes(query) || h.name.toLowerCase().includes(query));
  const body = $("history-body");
  body.replaceChildren();
  for (const h of entries) {
    const tr = el("tr");
    tr.dataset.id = h.id;
    const tdTitle = el("td");
    const title = el("div", "h-title", h.title);
    title.title = h.url;
    const file = el("div", "h-file", h.path);
    file.title = h.path;
    tdTitle.append(title, file);
    const tdFormat = el("td");
    tdFormat.appendChild(el("span", "tag", formatLabel(h.format)));
    const tdSize = el("td", "num", formatSize(h.size));
    const tdTime = el("td", "num", formatTime(h.finished_at));
    if (!h.exists) {
      const missing = el("span", "tag missing", "文件已移走");
      tdTitle.appendChild(missing);
    }
    const tdActions = el("td", "h-actions");
    tdActions.append(...openButtons());
    const del = el("button", "btn icon bad");
    del.type = "button";
    del.title = "删除这条记录";
    del.setAttribute("aria-label", "删除这条记录");
    del.appendChild(icon("remove"));
    tdActions.appendChild(del);
    tr.append(tdTitle, tdFormat, tdSize, tdTime, tdActions);
    body.appendChild(tr);
  }
  const empty = entries.length === 0;
  $("history-table").hidden = empty;
  $("history-empty").hidden = !empty;
  $("history-empty-text").textContent = query && historyEntries.length ? "没有符合条件的记录" : "还没有完成的下载";
  const total = historyEntries.reduce((sum, h) => sum + (h.size || 0), 0);
  $("history-summary").textContent = historyEntries.length
    ? `共 ${historyEntries.length} 个文件，${formatSize(total)}`
    : "已完成的下载";
  $("history-clear").disabled = historyEntries.length === 0;
}

async function historyAction(event) {
  const button = event.target.closest("button");
  if (!button) return;
  const id = button.closest("tr").dataset.id;
  if (button.dataset.action) {
    await openDownload(`/api/history/${id}`, button.dataset.action);
    return;
  }
  try {
    await api("DELETE", `/api/history/${id}`);
    await loadHistory();
  } catch (e) {
    toast(e.message, "error");
  }
}

async function clearHistory() {
  if (!(await confirmDialog("清空历史记录？", "只会删除记录，已下载的文件仍保留在下载文件夹中。", "清空"))) return;
  try {
    await api("POST", "/api/history/clear", {});
    await loadHistory();
    toast("历史记录已清空");
  } catch (e) {
    toast(e.message, "error");
  }
}

// ---- settings ----

let savedSettings = null;

function fillSettings(values) {
  $("download-dir").value = values.download_dir;
  setPreset("default_format", "default-audio-codec", values.format);
  $("concurrency").value = String(values.concurrency);
  fillNetwork(values);
  fillExtrasSettings(values);
}

async function loadSettings() {
  try {
    savedSettings = await api("GET", "/api/settings");
    fillSettings(savedSettings);
    $("settings-message").hidden = true;
  } catch (e) {
    toast(e.message, "error");
  }
}

async function saveSettings(event) {
  event.preventDefault();
  const values = {
    download_dir: $("download-dir").value,
    format: presetOf("default_format", "default-audio-codec"),
    concurrency: Number($("concurrency").value),
    ...networkValues(),
    ...extrasSettings(),
  };
  const message = $("settings-message");
  $("settings-save").disabled = true;
  try {
    savedSettings = await api("POST", "/api/settings", values);
    fillSettings(savedSettings);
    applyDefaultFormat(savedSettings.format);
    applyExtrasDefaults(savedSettings);
    showFormMessage(message, "ok", "设置已保存");
  } catch (e) {
    showFormMessage(message, "error", e.message);
  } finally {
    $("settings-save").disabled = false;
  }
}

function applyDefaultFormat(format) {
  setPreset("format", "audio-codec", format);
}

// The presets as radio buttons plus, for audio, a codec list.
function setPreset(name, codecList, format) {
  const codec = audioCodec(format);
  if (codec) $(codecList).value = codec;
  const wanted = codec ? "audio" : format;
  for (const radio of document.querySelectorAll(`input[name="${name}"]`)) radio.checked = radio.value === wanted;
  $(codecList).hidden = !codec;
}

function presetOf(name, codecList) {
  const checked = document.querySelector(`input[name="${name}"]:checked`);
  const value = checked ? checked.value : "best";
  return value === "audio" ? `audio:${$(codecList).value}` : value;
}

// ---- network settings ----

function fillNetwork(values) {
  const rate = values.rate_limit;
  const mega = rate && rate % 1048576 === 0;
  $("rate-unit").value = mega ? "1048576" : "1024";
  $("rate-limit").value = rate ? String(rate / (mega ? 1048576 : 1024)) : "";
  $("proxy").value = values.proxy || "";
  $("cookies-file").value = values.cookies_file || "";
  $("fragments").value = String(values.fragments);
}

function networkValues() {
  const rate = $("rate-limit").value.trim();
  return {
    // The server checks the range; a value the field could not read goes as it is, to be refused in words.
    rate_limit: $("rate-limit").validity.badInput ? "?" : rate === "" ? null
      : Number.isFinite(Number(rate)) ? Math.round(Number(rate) * Number($("rate-unit").value)) : rate,
    proxy: $("proxy").value,
    cookies_file: $("cookies-file").value,
    fragments: $("fragments").value.trim(),
  };
}

// ---- formats of one address ----

// The format picked from the list, or null while a preset applies; it belongs to the address it was listed for.
let pickedFormat = null;
let probedUrl = null;

function chosenFormat() {
  return pickedFormat ? `id:${pickedFormat}` : presetOf("format", "audio-codec");
}

function clearProbe() {
  pickedFormat = null;
  probedUrl = null;
  $("probe-panel").hidden = true;
  $("probe-body").replaceChildren();
}

async function probeFormats() {
  const message = $("add-message");
  const lines = $("urls").value.trim().split(/\s+/).filter(Boolean);
  if (lines.length !== 1) {
    showFormMessage(message, "error", lines.length ? "解析一次只能看一个网址，请只留下一个" : "请先粘贴一个视频网址，再点击解析");
    return;
  }
  const button = $("probe-button");
  button.disabled = true;
  button.textContent = "正在解析…";
  message.hidden = true;
  try {
    const data = await api("POST", "/api/probe", { url: lines[0] });
    showProbe(data);
    probedUrl = lines[0];
  } catch (e) {
    clearProbe();
    showFormMessage(message, "error", e.message);
  } finally {
    button.disabled = false;
    button.textContent = "解析";
  }
}

function codecText(codec, none) {
  if (codec === "none") return none;
  return codec ? codec.split(".")[0] : "未知";
}

function showProbe(data) {
  pickedFormat = null;
  const body = $("probe-body");
  body.replaceChildren();
  for (const f of data.formats) {
    const tr = el("tr");
    tr.dataset.id = f.id;
    const pick = el("input");
    pick.type = "radio";
    pick.name = "picked";
    pick.value = f.id;
    pick.setAttribute("aria-label", `选择格式 ${f.id}`);
    const cell = el("td");
    cell.appendChild(pick);
    const audioOnly = f.vcodec === "none";
    const resolution = audioOnly ? "仅音频" : f.width && f.height ? `${f.width}×${f.height}` : f.height ? `${f.height}p` : "未知";
    const size = f.size ? (f.approximate ? `约 ${formatSize(f.size)}` : formatSize(f.size)) : "未知";
    tr.append(cell, el("td", null, resolution), el("td", null, f.fps ? `${f.fps} fps` : "—"),
      el("td", null, codecText(f.vcodec, "无")), el("td", null, codecText(f.acodec, "无声音")),
      el("td", null, f.ext || "—"), el("td", null, size), el("td", "muted", f.id));
    body.appendChild(tr);
  }
  $("probe-title").textContent = data.formats.length
    ? `${data.title || "这个网址"}：${data.formats.length} 个格式，点选一个即按它下载`
    : `${data.title || "这个网址"}：网站没有列出可选的格式，请使用上面的预设`;
  $("probe-panel").hidden = false;
}

function pickFormat(event) {
  const tr = event.target.closest("tr[data-id]");
  if (!tr) return;
  pickedFormat = tr.dataset.id;
  for (const row of $("probe-body").children) {
    row.classList.toggle("chosen", row === tr);
    row.querySelector("input").checked = row === tr;
  }
}

// ---- start ----

async function start() {
  for (const button of document.querySelectorAll(".nav-item")) {
    button.addEventListener("click", () => show(button.dataset.view));
  }
  $("add-form").addEventListener("submit", addJobs);
  setupExtras();
  initEngine();
  $("urls").addEventListener("keydown", (e) => {
    if (e.key === "Enter" && (e.ctrlKey || e.metaKey)) addJobs(e);
  });
  let engineWarmed = false;
  $("urls").addEventListener("input", () => {
    // The server imports its engine only when it is needed; an address on its way is the first sign.
    if (!engineWarmed) {
      engineWarmed = true;
      api("POST", "/api/engine/warm", {}).catch(() => {});
    }
    $("add-message").hidden = true;
    // Another address makes the listed formats meaningless.
    if (probedUrl !== null && $("urls").value.trim() !== probedUrl) clearProbe();
  });
  $("jobs").addEventListener("click", jobAction);
  initPlaylist({ format: () => presetOf("format", "audio-codec"), choice: extrasChoice, onAdded: pollJobs });
  $("clear-finished").addEventListener("click", async () => {
    try {
      await api("POST", "/api/jobs/clear", {});
      await pollJobs();
    } catch (e) {
      toast(e.message, "error");
    }
  });
  $("history-body").addEventListener("click", historyAction);
  openOnDoubleClick($("jobs"), ".job.done", "/api/jobs");
  openOnDoubleClick($("history-body"), "tr", "/api/history");
  $("history-search").addEventListener("input", renderHistory);
  $("history-clear").addEventListener("click", clearHistory);
  $("settings-form").addEventListener("submit", saveSettings);
  $("probe-button").addEventListener("click", probeFormats);
  $("probe-body").addEventListener("click", pickFormat);
  $("probe-clear").addEventListener("click", clearProbe);
  for (const [name, list] of [["format", "audio-codec"], ["default_format", "default-audio-codec"]]) {
    for (const radio of document.querySelectorAll(`input[name="${name}"]`)) {
      radio.addEventListener("change", () => {
        $(list).hidden = radio.value !== "audio";
        // Choosing a preset again means the preset, not the format picked from the list.
        if (name === "format") clearProbe();
      });
    }
  }
  $("settings-reset").addEventListener("click", () => {
    if (savedSettings) fillSettings(savedSettings);
    $("settings-message").hidden = true;
  });

  try {
    await loadMeta();
    await loadNotices();
    savedSettings = await api("GET", "/api/settings");
    applyDefaultFormat(savedSettings.format);
    applyExtrasDefaults(savedSettings);
  } catch (e) {
    // The connection indicator already says what is wrong; polling retries.
  }
  pollJobs();
  $("urls").focus();
}

// Module scripts run once the document is parsed.
start();
