// The history page: finished downloads, searchable, each with its file's actions.

import { api } from "./api.js";
import { $, busy, confirmDialog, el, icon, toast } from "./dom.js";
import { formatSize, formatTime } from "./format.js";
import { openButtons, openDownload, openOnDoubleClick } from "./opening.js";
import { formatLabel } from "./presets.js";

let historyEntries = [];
// The totals of the whole history and of the search, as the server counts them.
let historyTotals = { count: 0, size: 0, matched: 0 };
let historySearch = null;

// The first page, or with more the next one; the search runs on the server, over every row.
export async function loadHistory(more) {
  try {
    const query = $("history-search").value.trim();
    const offset = more === true ? historyEntries.length : 0;
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
  }
  const empty = entries.length === 0;
  $("history-table").hidden = empty;
  $("history-empty").hidden = !empty;
  $("history-empty-text").textContent = query && historyTotals.count ? "没有符合条件的记录" : "还没有完成的下载";
  $("history-summary").textContent = historyTotals.count
    ? `共 ${historyTotals.count} 个文件，${formatSize(historyTotals.size)}` + (query ? `，找到 ${historyTotals.matched} 个` : "")
    : "已完成的下载";
  $("history-more").hidden = historyEntries.length >= historyTotals.matched;
  $("history-clear").disabled = historyTotals.count === 0;
}

async function historyAction(event) {
  const button = event.target.closest("button");
  if (!button) return;
  const id = button.closest("tr").dataset.id;
  if (button.dataset.action) {
    await openDownload(`/api/history/${id}`, button.dataset.action, button, loadHistory);
    return;
  }
  await busy(button, async () => {
    await api("DELETE", `/api/history/${id}`);
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
