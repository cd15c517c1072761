// What the server calls its job states and formats (GET /api/meta), and the
// preset controls of the add form and the settings, which every page shares.

import { api } from "./api.js";
import { $ } from "./dom.js";

let STATES = {};
let FORMATS = {};
let metaLoaded = false;

export async function loadMeta() {
  const meta = await api("GET", "/api/meta");
  STATES = meta.states;
  FORMATS = meta.formats;
  metaLoaded = true;
  $("version").textContent = `版本 ${meta.version.split("+")[0]}`;
}

export async function ensureMeta() {
  if (!metaLoaded) await loadMeta();
}

// Audio-only presets are "audio:<codec>"; jobs from before the presets say "audio".
export const audioCodec = (format) => (format === "audio" ? "mp3" : String(format).startsWith("audio:") ? format.slice(6) : null);
export const formatLabel = (format) =>
  FORMATS[format] || (String(format).startsWith("id:") ? `指定格式 ${format.slice(3)}` : format);
export const stateOf = (name) =>
  STATES[name] || { label: name, running: false, open: false, pausable: false, resumable: false, retryable: false };

// The presets as radio buttons plus, for audio, a codec list.
export function setPreset(name, codecList, format) {
  const codec = audioCodec(format);
  if (codec) $(codecList).value = codec;
  const wanted = codec ? "audio" : format;
  for (const radio of document.querySelectorAll(`input[name="${name}"]`)) radio.checked = radio.value === wanted;
  $(codecList).hidden = !codec;
}

export function presetOf(name, codecList) {
  const checked = document.querySelector(`input[name="${name}"]:checked`);
  const value = checked ? checked.value : "best";
  return value === "audio" ? `audio:${$(codecList).value}` : value;
}

export function applyDefaultFormat(format) {
  setPreset("format", "audio-codec", format);
}
