// The chooser for a playlist or a page with several videos: the server lists
// the entries, the user picks them by checkbox or by number, and each chosen
// entry becomes a job that saves into the playlist's folder.

import { api } from "./api.js";
import { $, busy, el, icon, picture, showFormMessage, toast } from "./dom.js";
import { formatDuration, formatEstimate } from "./format.js";

let listing = null;
let options = null;

const boxes = () => [...$("chooser-entries").querySelectorAll('input[type="checkbox"]')];
const chosen = () => boxes().filter((b) => b.checked).map((b) => Number(b.value));

function updateCount() {
  const count = chosen().length;
  const total = listing ? listing.entries.length : 0;
  $("chooser-count").textContent = `已选 ${count} / ${total} 个`;
  $("chooser-add").disabled = count === 0;
  $("chooser-add").textContent = count ? `下载选中的 ${count} 个视频` : "请选择要下载的视频";
}

function render(data) {
  listing = data;
  $("chooser-title").textContent = data.title ? `播放列表：${data.title}` : "播放列表";
  $("chooser-folder").textContent = `共 ${data.entries.length} 个视频，保存到下载文件夹中的“${data.folder}”文件夹`;
  const items = data.entries.map((entry) => {
    const li = el("li", "entry");
    const label = el("label");
    const box = el("input");
    box.type = "checkbox";
    box.value = String(entry.index);
    box.checked = true;
    const title = entry.title || entry.url;
    const name = el("span", "entry-title", title);
    name.title = entry.url;
    label.append(box, el("span", "entry-index", String(entry.index)), picture(entry.thumbnail, "small"), name,
      el("span", "entry-size", formatEstimate(entry.size, entry.approximate)),
      el("span", "entry-duration", entry.duration === null ? "" : formatDuration(entry.duration)));
    li.appendChild(label);
    return li;
  });
  $("chooser-entries").replaceChildren(...items);
  $("chooser-range").value = "";
  $("chooser-message").hidden = true;
  $("chooser").hidden = false;
  updateCount();
}

function close() {
  listing = null;
  $("chooser").hidden = true;
  $("chooser-entries").replaceChildren();
}

async function list() {
  const message = $("add-message");
  const words = $("urls").value.split(/\s+/).filter(Boolean);
  if (words.length !== 1) {
    showFormMessage(message, "error", words.length ? "“列出”一次只能用于一个网址" : "请先粘贴播放列表或合集页面的网址");
    $("urls").focus();
    return;
  }
  await busy($("list-button"), async () => {
    const data = await api("POST", "/api/playlist", { url: words[0], format: options.format(), ...options.choice() });
    message.hidden = true;
    $("urls").value = "";
    if (data.playlist) {
      render(data);
    } else {
      // A single video needs no choosing: it is in the queue already.
      toast("这个网址只有一个视频，已加入下载队列");
      options.onAdded();
    }
  }, { label: "正在列出…", onError: (e) => showFormMessage(message, "error", e.message) });
}

// Adds one address by listing it first: a list opens the chooser and adds
// nothing yet, a single video the server queues at once. Gives the add's
// answer, or null when the chooser opened.
export async function addOrChoose(text, body) {
  const data = await api("POST", "/api/playlist", { url: text, ...body });
  if (!data.playlist) return data;
  render(data);
  return null;
}

async function applyRange() {
  if (!listing) return;
  const message = $("chooser-message");
  await busy($("chooser-apply"), async () => {
    const data = await api("POST", "/api/playlist/select", { id: listing.id, range: $("chooser-range").value });
    const wanted = new Set(data.indices);
    for (const box of boxes()) box.checked = wanted.has(Number(box.value));
    message.hidden = true;
  }, { onError: (e) => showFormMessage(message, "error", e.message) });
  updateCount();
}

async function addChosen() {
  if (!listing) return;
  const message = $("chooser-message");
  await busy($("chooser-add"), async () => {
    const data = await api("POST", "/api/playlist/add", { id: listing.id, indices: chosen(), format: options.format(), ...options.choice() });
    if (data.errors.length) {
      showFormMessage(message, "error", `已添加 ${data.added.length} 个下载，以下视频无法添加：`, data.errors);
    } else {
      toast(`已加入 ${data.added.length} 个下载，保存到“${data.folder}”文件夹`);
      close();
    }
    options.onAdded();
  }, { onError: (e) => showFormMessage(message, "error", e.message) });
  // The button's label and state follow the ticked boxes.
  if (listing) updateCount();
}

// format() gives the add form's chosen format, choice() its subtitle, cover and metadata
// choices; onAdded() refreshes the queue.
export function initPlaylist(given) {
  options = given;
  $("chooser-close").appendChild(icon("cancel"));
  $("list-button").addEventListener("click", list);
  $("chooser-close").addEventListener("click", close);
  $("chooser-all").addEventListener("click", () => {
    for (const box of boxes()) box.checked = true;
    updateCount();
  });
  $("chooser-none").addEventListener("click", () => {
    for (const box of boxes()) box.checked = false;
    updateCount();
  });
  $("chooser-apply").addEventListener("click", applyRange);
  $("chooser-range").addEventListener("keydown", (e) => {
    if (e.key === "Enter") {
      e.preventDefault();
      applyRange();
    }
  });
  $("chooser-entries").addEventListener("change", updateCount);
  $("chooser-add").addEventListener("click", addChosen);
}
