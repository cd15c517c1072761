// Building the page's nodes. Every text is set with textContent, never parsed
// as HTML, because titles and addresses come from the sites being downloaded.

export const $ = (id) => document.getElementById(id);

export function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = text;
  return node;
}

const SVG_NS = "http://www.w3.org/2000/svg";
const ICONS = {
  video: ["M4 7.5A2.5 2.5 0 0 1 6.5 5h7A2.5 2.5 0 0 1 16 7.5v9a2.5 2.5 0 0 1-2.5 2.5h-7A2.5 2.5 0 0 1 4 16.5z", "M16 10.5l4-2.5v8l-4-2.5"],
  audio: ["M9 17.5V6l10-2v11.5", "M9 17.5a2.5 2.5 0 1 1-5 0 2.5 2.5 0 0 1 5 0z", "M19 15.5a2.5 2.5 0 1 1-5 0 2.5 2.5 0 0 1 5 0z"],
  cancel: ["M6 6l12 12", "M18 6L6 18"],
  retry: ["M4 12a8 8 0 0 1 13.7-5.6L20 8.7", "M20 4v4.7h-4.7", "M20 12a8 8 0 0 1-13.7 5.6L4 15.3", "M4 20v-4.7h4.7"],
  pause: ["M9 6v12", "M15 6v12"],
  resume: ["M8 5.5v13l10.5-6.5z"],
  remove: ["M5 7h14", "M10 7V5h4v2", "M7 7l1 12h8l1-12"],
};

export function icon(name) {
  const svg = document.createElementNS(SVG_NS, "svg");
  svg.setAttribute("viewBox", "0 0 24 24");
  svg.setAttribute("aria-hidden", "true");
  for (const d of ICONS[name]) {
    const path = document.createElementNS(SVG_NS, "path");
    path.setAttribute("d", d);
    svg.appendChild(path);
  }
  return svg;
}

// A video's picture from our own origin (the server fetched it from the site); a plain frame while
// there is none or it cannot be had. Lazy: a long list fetches only the pictures scrolled into view.
export function picture(src, className) {
  const frame = el("span", `thumb ${className || ""}`.trim());
  frame.setAttribute("aria-hidden", "true");
  if (!src) {
    frame.appendChild(icon("video"));
    return frame;
  }
  const img = el("img");
  img.alt = "";
  img.loading = "lazy";
  img.decoding = "async";
  img.addEventListener("error", () => img.replaceWith(icon("video")), { once: true });
  img.src = src;
  frame.appendChild(img);
  return frame;
}

export function toast(text, kind) {
  const node = el("div", "toast" + (kind ? " " + kind : ""), text);
  $("toasts").appendChild(node);
  setTimeout(() => node.remove(), kind === "error" ? 5000 : 2800);
}

// Asks through the page's <dialog>; resolves true for the confirming button,
// false for the other one and for Escape.
export function confirmDialog(title, text, yesLabel, noLabel) {
  const dialog = $("confirm");
  $("confirm-title").textContent = title;
  $("confirm-text").textContent = text;
  $("confirm-yes").textContent = yesLabel || "确定";
  $("confirm-no").textContent = noLabel || "取消";
  dialog.returnValue = "";
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "yes"), { once: true });
    dialog.showModal();
    $("confirm-yes").focus();
  });
}

export function showFormMessage(node, kind, text, list) {
  node.className = "form-message " + kind;
  node.replaceChildren(el("div", null, text));
  if (list && list.length) {
    const ul = el("ul");
    for (const item of list) ul.appendChild(el("li", null, item));
    node.appendChild(ul);
  }
  node.hidden = false;
}

// Every button that starts a request goes through here: it is disabled and
// shows a spinner (and the working label, if given) while the request runs, so
// a second click cannot send it twice, and it comes back as it was afterwards.
// A failure goes to onError, by default a toast; the result is then undefined.
export async function busy(button, work, { label, onError } = {}) {
  const before = [...button.childNodes];
  button.disabled = true;
  button.classList.add("busy");
  button.setAttribute("aria-busy", "true");
  if (label) button.textContent = label;
  try {
    return await work();
  } catch (e) {
    (onError || ((error) => toast(error.message, "error")))(e);
    return undefined;
  } finally {
    if (label) button.replaceChildren(...before);
    button.classList.remove("busy");
    button.removeAttribute("aria-busy");
    button.disabled = false;
  }
}
