// The queue page's list: one card per job, brought up to date by polling the
// server, with each job's buttons, the summary line and desktop notifications.

import { api } from "./api.js";
import { $, busy, confirmDialog, el, icon, toast } from "./dom.js";
import { formatDuration, formatSize } from "./format.js";
import { extrasSummary } from "./extras.js";
import { setDownloads } from "./engine.js";
import { openButtons, openDownload, openOnDoubleClick } from "./opening.js";
import { audioCodec, ensureMeta, formatLabel, stateOf } from "./presets.js";
import { signInChoices } from "./signin.js";

const jobNodes = new Map();
const RESTORE_KEY = "zormak.queue-size";
let lastStates = new Map();
// The last look at each job, and the jobs just added, to be scrolled into view once drawn.
let lastJobs = new Map();
const toReveal = new Set();

// Called with the jobs an add created: they may be below older rows, out of sight.
export function revealJobs(ids) {
  for (const id of ids) toReveal.add(id);
}
// Called when a download has just finished.
let onFinished = () => {};

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
  // A preset the source could not meet says what was saved instead.
  meta.push(job.got || formatLabel(job.format));
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
  // Made again only when the message changes, so a button is never replaced under the pointer.
  if (err.dataset.text !== (job.error || "")) {
    err.dataset.text = job.error || "";
    const choices = signInChoices(job.error);
    err.replaceChildren(el("span", null, job.error || ""), ...(choices ? [choices] : []));
  }
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
  for (const id of toReveal) {
    const li = jobNodes.get(id);
    if (!li) continue;
    toReveal.delete(id);
    li.scrollIntoView({ block: "nearest", behavior: "smooth" });
  }
  lastJobs = new Map(jobs.map((j) => [j.id, j]));
  for (const [id, li] of jobNodes) {
    if (!seen.has(id)) {
      li.remove();
      jobNodes.delete(id);
    }
  }
  $("jobs-empty").hidden = jobs.length > 0;
  $("jobs-loading").hidden = true;
  // The next start says how many jobs it is restoring until its first answer comes.
  localStorage.setItem(RESTORE_KEY, String(jobs.length));

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
  if (finishedNow) onFinished();
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
export function askForNotifications() {
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

let pollTimer = null;
export async function pollJobs() {
  clearTimeout(pollTimer);
  let busyQueue = false;
  try {
    await ensureMeta();
    const data = await api("GET", "/api/jobs");
    busyQueue = renderJobs(data.jobs);
    // At start an old engine is brought up to date first; downloads wait for it meanwhile.
    const updating = $("engine-updating");
    updating.hidden = !data.engine_update;
    updating.textContent = data.engine_update || "";
    busyQueue = busyQueue || Boolean(data.engine_update);
  } catch (e) {
    busyQueue = false;
  }
  pollTimer = setTimeout(pollJobs, busyQueue ? 700 : 2000);
}

async function jobAction(event) {
  const button = event.target.closest("button[data-action]");
  if (!button) return;
  const id = button.closest(".job").dataset.id;
  const action = button.dataset.action;
  // The server may have shown the file in its folder instead, and says why.
  if (action === "open" || action === "reveal") return openDownload(`/api/jobs/${id}`, action, button);
  // Cancelling throws away what has arrived: with data, it asks first.
  const job = lastJobs.get(Number(id));
  if (action === "cancel" && job && job.downloaded > 0) {
    const what = job.title || guessName(job.url);
    const yes = await confirmDialog("取消这个下载？", `“${what}”已下载 ${formatSize(job.downloaded)}，取消后已下载的部分会被删除。` +
      (stateOf(job.state).pausable ? "只想稍后再继续的话，请点击“暂停”。" : ""), "取消下载", "继续下载");
    if (!yes) return;
  }
  await busy(button, async () => {
    if (button.dataset.action === "remove") await api("DELETE", `/api/jobs/${id}`);
    else await api("POST", `/api/jobs/${id}/${button.dataset.action}`, {});
    await pollJobs();
  });
}

// The addresses in the queue, as last drawn.
export function queuedAddresses() {
  return new Set([...jobNodes.values()].map((li) => li.querySelector(".job-url").textContent));
}

// Until the first answer the queue is neither empty nor known.
function showRestoring() {
  const count = Number(localStorage.getItem(RESTORE_KEY)) || 0;
  $("jobs-empty").hidden = true;
  const loading = $("jobs-loading");
  loading.textContent = count > 0 ? `正在恢复 ${count} 个下载…` : "正在载入下载队列…";
  loading.hidden = false;
}

export function initQueue(given) {
  showRestoring();
  onFinished = given.onFinished;
  $("jobs").addEventListener("click", jobAction);
  openOnDoubleClick($("jobs"), ".job.done", "/api/jobs");
  $("clear-finished").addEventListener("click", async () => {
    const button = $("clear-finished");
    await busy(button, async () => {
      await api("POST", "/api/jobs/clear", {});
      await pollJobs();
    });
    // Only finished jobs can be cleared; the list just drawn says whether any are left.
    button.disabled = ![...lastStates.values()].some((s) => !stateOf(s).open);
  });
}
