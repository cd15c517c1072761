// The settings page's form: the download folder, the default preset, how many
// downloads run at once, the network and the subtitle, cover and metadata defaults.

import { api } from "./api.js";
import { $, busy, showFormMessage, toast } from "./dom.js";
import { applyExtrasDefaults, extrasSettings, fillExtrasSettings } from "./extras.js";
import { applyDefaultFormat, presetOf, setPreset } from "./presets.js";
import { clipboardOfferOn, setClipboardOffer } from "./incoming.js";
import { inShell, onShell, postToShell } from "./shell.js";

let savedSettings = null;

function fillSettings(values) {
  $("download-dir").value = values.download_dir;
  setPreset("default_format", "default-audio-codec", values.format);
  $("concurrency").value = String(values.concurrency);
  fillNetwork(values);
  fillExtrasSettings(values);
}

export async function loadSettings() {
  try {
    savedSettings = await api("GET", "/api/settings");
    fillSettings(savedSettings);
    $("settings-message").hidden = true;
  } catch (e) {
    toast(e.message, "error");
  }
}

// At start the add form takes the saved defaults; a failure leaves the form's own.
export async function applySavedDefaults() {
  savedSettings = await api("GET", "/api/settings");
  applyDefaultFormat(savedSettings.format);
  applyExtrasDefaults(savedSettings);
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
  await busy($("settings-save"), async () => {
    savedSettings = await api("POST", "/api/settings", values);
    fillSettings(savedSettings);
    applyDefaultFormat(savedSettings.format);
    applyExtrasDefaults(savedSettings);
    showFormMessage(message, "ok", "设置已保存");
  }, { onError: (e) => showFormMessage(message, "error", e.message) });
}

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

// The folder comes from the desktop's dialog, through the shell; the page only asks.
function initFolderPicker() {
  const pick = $("download-dir-pick");
  pick.hidden = !inShell;
  pick.addEventListener("click", () => {
    pick.disabled = true;
    postToShell("pick-folder");
  });
  onShell("folder", (answer) => {
    pick.disabled = false;
    if (answer.path) {
      $("download-dir").value = answer.path;
      showFormMessage($("settings-message"), "ok", "已选择文件夹，点击“保存设置”生效");
    } else if (answer.error) {
      showFormMessage($("settings-message"), "error", answer.error);
    }
  });
}

export function initSettings() {
  initFolderPicker();
  $("clipboard-setting").hidden = !inShell;
  $("clipboard-offer-on").checked = clipboardOfferOn();
  $("clipboard-offer-on").addEventListener("change", (e) => setClipboardOffer(e.target.checked));
  $("settings-form").addEventListener("submit", saveSettings);
  $("settings-reset").addEventListener("click", () => {
    if (savedSettings) fillSettings(savedSettings);
    $("settings-message").hidden = true;
  });
}
