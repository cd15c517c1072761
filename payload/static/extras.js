// Subtitles, cover and metadata: the choice in the add form and its defaults in the settings.

import { api } from "./api.js";
import { $, busy, el, showFormMessage } from "./dom.js";

// The languages listed for the address in the box; null until the user asks.
let listedFor = null;

export function setupExtras() {
  $("sub-fetch").addEventListener("click", fetchLanguages);
  // Another address has other subtitles: the list no longer applies.
  $("urls").addEventListener("input", () => {
    if (listedFor !== null && firstAddress() !== listedFor) clearLanguages();
  });
}

function firstAddress() {
  return $("urls").value.trim().split(/\s+/)[0] || "";
}

function clearLanguages() {
  listedFor = null;
  $("sub-langs").replaceChildren();
  $("sub-langs").hidden = true;
}

async function fetchLanguages() {
  const address = firstAddress();
  const message = $("add-message");
  if (!address) {
    showFormMessage(message, "error", "请先粘贴一个视频网址，再获取字幕语言");
    return;
  }
  await busy($("sub-fetch"), async () => {
    const data = await api("POST", "/api/subtitles", { url: address });
    message.hidden = true;
    showLanguages(address, data.languages);
  }, { label: "正在获取…", onError: (e) => {
    clearLanguages();
    showFormMessage(message, "error", e.message);
  } });
}

function showLanguages(address, languages) {
  listedFor = address;
  const box = $("sub-langs");
  if (!languages.length) {
    box.replaceChildren(el("span", "muted", "这个视频没有可下载的字幕"));
    box.hidden = false;
    return;
  }
  // The languages the settings prefer are ticked to start with.
  const preferred = new Set(defaults.subtitle_langs || []);
  let ticked = 0;
  const items = languages.map((lang) => {
    const label = el("label", "sub-lang");
    const box = el("input");
    box.type = "checkbox";
    box.value = lang.code;
    box.checked = preferred.has(lang.code);
    if (box.checked) ticked++;
    label.append(box, el("span", null, lang.name));
    if (lang.name !== lang.code) label.appendChild(el("span", "code", lang.code));
    if (lang.automatic) label.appendChild(el("span", "tag", "自动字幕"));
    return label;
  });
  if (!ticked) items[0].querySelector("input").checked = true;
  box.replaceChildren(...items);
  box.hidden = false;
  // Asking for the list means wanting subtitles.
  if ($("sub-mode").value === "off") $("sub-mode").value = defaults.subtitles !== "off" ? defaults.subtitles : "beside";
}

// What the add form sends with the addresses.
export function extrasChoice() {
  const choice = {
    subtitles: $("sub-mode").value,
    embed_thumbnail: $("embed-thumbnail").checked,
    embed_metadata: $("embed-metadata").checked,
  };
  if (listedFor !== null) {
    choice.subtitle_langs = [...document.querySelectorAll("#sub-langs input:checked")].map((b) => b.value);
    // Every language unticked: no subtitles, rather than the settings' languages.
    if (!choice.subtitle_langs.length) choice.subtitles = "off";
  }
  return choice;
}

let defaults = {};

// The settings' defaults, put into the add form.
export function applyExtrasDefaults(values) {
  defaults = values;
  $("sub-mode").value = values.subtitles;
  $("embed-thumbnail").checked = values.embed_thumbnail;
  $("embed-metadata").checked = values.embed_metadata;
  clearLanguages();
}

export function resetExtras() {
  applyExtrasDefaults(defaults);
}

export function fillExtrasSettings(values) {
  $("default-sub-mode").value = values.subtitles;
  $("default-sub-langs").value = values.subtitle_langs.join(", ");
  $("default-embed-thumbnail").checked = values.embed_thumbnail;
  $("default-embed-metadata").checked = values.embed_metadata;
}

export function extrasSettings() {
  return {
    subtitles: $("default-sub-mode").value,
    subtitle_langs: $("default-sub-langs").value,
    embed_thumbnail: $("default-embed-thumbnail").checked,
    embed_metadata: $("default-embed-metadata").checked,
  };
}

// What a queued job will add besides the video, for its card; nothing when it adds nothing.
export function extrasSummary(extras) {
  if (!extras) return [];
  const parts = [];
  if (extras.subtitles === "beside" || extras.subtitles === "embed") {
    const how = extras.subtitles === "embed" ? "字幕嵌入视频" : "字幕另存为文件";
    const langs = extras.subtitle_langs || [];
    parts.push(langs.length ? `${how}（${langs.join("、")}）` : how);
  }
  if (extras.embed_thumbnail) parts.push("嵌入封面");
  if (extras.embed_metadata) parts.push("嵌入元数据");
  return parts;
}
