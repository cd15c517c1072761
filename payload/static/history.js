// The history page: finished downloads, searchable, each with its file's actions.

import { api } from "./api.js";
import { $, busy, confirmDialog, el, icon, toast } from "./dom.js";
import { formatSize, formatTime } from "./format.js";
import { openButtons, openDownload, openOnDoubleClick } from "./opening.js";
import { formatLabel } from "./presets.js";

let historyEntries = [];
// The totals of the whole history and of the search, as the server counts them.
let historyTotals = { count: 0, size: 0, matched: 0, next_offset: 0 };
let historySearch = null;

// The first page, or with more the next one; the search runs on the server, over every row.
export async function loadHistory(more) {
  try {
    const query = $("history-search").value.trim();
    const offset = more === true ? historyTotals.next_offset : 0;
    const data = await api("GET", `/api/history?offset=${offset}&q=${encodeURIComponent(query)}`);
    historyEntries = more === true ? historyEntries.concat(data.entries) : data.entries;
    historyTotals = data;
    renderHistory();
  } catch (e) {
    toast(e.message, "error");
  }
}

function searchHistory() {
  clearTimeout(historySearch);
  historySearch = setTimeout(() => loadHistory(false), 250);
}

function renderHistory() {
  const query = $("history-search").value.trim();
  const entries = historyEntries;
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
    tdFormat.appendChild(el("span", "tag", h.got || formatLabel(h.format)));
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
    for (const r of h.related) body.appendChild(relatedRow(r));
  }
  const empty = entries.length === 0;
  $("history-table").hidden = empty;
  $("history-empty").hidden = !empty;
  $("history-empty-text").textContent = query && historyTotals.count ? "没有符合条件的记录" : "还没有完成的下载";
  $("history-summary").textContent = historyTotals.count
    ? `共 ${historyTotals.count} 个文件，${formatSize(historyTotals.size)}` + (query ? `，找到 ${historyTotals.matched} 个` : "")
    : "已完成的下载";
  $("history-more").hidden = historyTotals.next_offset >= historyTotals.matched;
  $("history-clear").disabled = historyTotals.count === 0;
}

// What a file written beside a video is, by its name's ending.
function kindOf(name) {
  const ext = name.split(".").pop().toLowerCase();
  if (["jpg", "jpeg", "png", "webp"].includes(ext)) return "封面";
  if (["json", "description", "txt", "nfo"].includes(ext)) return "信息";
  return "字幕";
}

// A subtitle, cover or metadata file of the video above: its kind, name, size and its own open buttons.
function relatedRow(r) {
  const tr = el("tr", "related");
  tr.dataset.id = r.id;
  const name = el("td");
  const line = el("div", "related-name");
  const file = el("span", "h-file", r.name);
  file.title = r.path;
  line.append(el("span", "tag", kindOf(r.name)), file);
  if (!r.exists) line.appendChild(el("span", "tag missing", "文件已移走"));
  name.appendChild(line);
  const actions = el("td", "h-actions");
  actions.append(...openButtons());
  tr.append(name, el("td"), el("td", "num", formatSize(r.size)), el("td"), actions);
  return tr;
}

async function historyAction(event) {
  const button = event.target.closest("button");
  if (!button) return;
  const id = button.closest("tr").dataset.id;
  if (button.dataset.action) {
    await openDownload(`/api/history/${id}`, button.dataset.action, button, loadHistory);
    return;
  }
  // The record of a video goes with the records of its subtitles and cover.
  const entry = historyEntries.find((h) => String(h.id) === id);
  const ids = entry ? [entry.id, ...entry.related.map((r) => r.id)] : [id];
  await busy(button, async () => {
    for (const each of ids) await api("DELETE", `/api/history/${each}`);
    await loadHistory();
  });
}

async function clearHistory() {
  if (!(await confirmDialog("清空历史记录？", "只会删除记录，已下载的文件仍保留在下载文件夹中。", "清空"))) return;
  const button = $("history-clear");
  await busy(button, async () => {
    await api("POST", "/api/history/clear", {});
    await loadHistory();
    toast("历史记录已清空");
  });
  // An empty history has nothing to clear.
  button.disabled = historyTotals.count === 0;
}

export function initHistory() {
  $("history-body").addEventListener("click", historyAction);
  openOnDoubleClick($("history-body"), "tr", "/api/history", loadHistory);
  $("history-search").addEventListener("input", searchHistory);
  $("history-more").addEventListener("click", () => loadHistory(true));
  $("history-clear").addEventListener("click", clearHistory);
}
