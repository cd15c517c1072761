// "打开" and "在文件夹中显示" for a finished download, in the queue and in the
// history. The request names only the job or the history row; the server opens
// the file it saved itself.

import { api } from "./api.js";
import { busy, el, toast } from "./dom.js";

export function openButtons() {
  return [["open", "打开"], ["reveal", "在文件夹中显示"]].map(([action, label]) => {
    const b = el("button", "btn small open-action", label);
    b.type = "button";
    b.dataset.action = action;
    // Only media and subtitles are handed to the desktop's programs.
    if (action === "open") b.title = "视频、音频和字幕文件直接打开；其他文件在文件夹中显示";
    return b;
  });
}

// onFailed runs after a refusal, so that a file found missing shows as such at once.
export async function openDownload(base, action, button, onFailed) {
  const request = async () => {
    const answer = await api("POST", `${base}/${action}`, {});
    if (answer && answer.message) toast(answer.message);
  };
  const onError = (e) => {
    toast(e.message, "error");
    if (onFailed) onFailed();
  };
  if (button) await busy(button, request, { onError });
  else {
    try {
      await request();
    } catch (e) {
      onError(e);
    }
  }
}

// Double-clicking a finished row opens its file; its buttons keep their own meaning.
export function openOnDoubleClick(list, rowSelector, base, onFailed) {
  list.addEventListener("dblclick", (event) => {
    if (event.target.closest("button, input, a")) return;
    const row = event.target.closest(rowSelector);
    if (!row) return;
    // The double click also selected a word of the row's text.
    window.getSelection().removeAllRanges();
    openDownload(`${base}/${row.dataset.id}`, "open", null, onFailed);
  });
}
