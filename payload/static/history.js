// The history page: finished downloads, searchable, each with its file's actions.

import { api } from "./api.js";
import { $, busy, confirmDialog, el, icon, toast } from "./dom.js";
import { formatSize, formatTime } from "./format.js";
import { openButtons, openDownload, openOnDoubleClick } from "./opening.js";
import { formatLabel } from "./presets.js";

let historyEntries = [];

export async function loadHistory() {
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
  button.disabled = historyEntries.length === 0;
}

export function initHistory() {
  $("history-body").addEventListener("click", historyAction);
  openOnDoubleClick($("history-body"), "tr", "/api/history", loadHistory);
  $("history-search").addEventListener("input", renderHistory);
  $("history-clear").addEventListener("click", clearHistory);
}
