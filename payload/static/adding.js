// The add form of the queue page: pasting addresses, the question about
// duplicates, and the list of formats of one address.

import { api } from "./api.js";
import { $, busy, confirmDialog, el, picture, showFormMessage, toast } from "./dom.js";
import { formatDuration, formatEstimate, formatTime } from "./format.js";
import { extrasChoice, resetExtras } from "./extras.js";
import { addOrChoose } from "./playlist.js";
import { askForNotifications, pollJobs, revealJobs } from "./queue.js";
import { presetOf } from "./presets.js";

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
  await busy($("add-button"), async () => {
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
    revealJobs(data.added.map((j) => j.id));
    textarea.value = data.unusable.join("\n");
    if (data.duplicates.length && (await confirmDialog("重复的视频", duplicateQuestion(data.duplicates), "再下载一次"))) {
      const again = await api("POST", "/api/jobs", { urls: data.duplicates.map((d) => d.url).join("\n"), format, ...extrasChoice(), force: true });
      added += again.added.length;
      revealJobs(again.added.map((j) => j.id));
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
  }, { onError: (e) => {
    const errors = e.data && e.data.errors;
    if (e.data && e.data.unusable) textarea.value = e.data.unusable.join("\n");
    if (errors && errors.length > 1) showFormMessage(message, "error", "没有可以下载的网址：", errors);
    else showFormMessage(message, "error", e.message);
  } });
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
  message.hidden = true;
  await busy($("probe-button"), async () => {
    const data = await api("POST", "/api/probe", { url: lines[0] });
    showProbe(data);
    probedUrl = lines[0];
  }, { label: "正在解析…", onError: (e) => {
    clearProbe();
    showFormMessage(message, "error", e.message);
  } });
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
    const size = formatEstimate(f.size, f.approximate);
    tr.append(cell, el("td", null, resolution), el("td", null, f.fps ? `${f.fps} fps` : "—"),
      el("td", null, codecText(f.vcodec, "无")), el("td", null, codecText(f.acodec, "无声音")),
      el("td", null, f.ext || "—"), el("td", null, size), el("td", "muted", f.id));
    body.appendChild(tr);
  }
  probed = data;
  $("probe-picture").replaceChildren(picture(data.thumbnail));
  $("probe-title").textContent = data.title || "这个网址";
  $("probe-title").title = data.title || "";
  $("probe-count").textContent = data.formats.length
    ? `${data.formats.length} 个格式，点选一个即按它下载`
    : "网站没有列出可选的格式，请使用上面的预设";
  showProbeMeta(data);
  $("probe-panel").hidden = false;
}

// The length, and the size of what would be downloaded: the picked format's, else the engine's own choice.
let probed = null;

function showProbeMeta(chosen) {
  const parts = [formatDuration(probed.duration), formatEstimate(chosen.size, chosen.approximate)];
  $("probe-meta").textContent = parts.filter(Boolean).join(" · ");
}

function pickFormat(event) {
  const tr = event.target.closest("tr[data-id]");
  if (!tr) return;
  pickedFormat = tr.dataset.id;
  showProbeMeta(probed.formats.find((f) => f.id === pickedFormat) || probed);
  for (const row of $("probe-body").children) {
    row.classList.toggle("chosen", row === tr);
    row.querySelector("input").checked = row === tr;
  }
}


export function initAdding() {
  $("add-form").addEventListener("submit", addJobs);
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
}
