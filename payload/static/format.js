// Numbers, sizes, durations and times in the page's language, through Intl.

const LOCALE = "zh-CN";
const whole = new Intl.NumberFormat(LOCALE, { maximumFractionDigits: 0, useGrouping: false });
const oneDecimal = new Intl.NumberFormat(LOCALE, { minimumFractionDigits: 1, maximumFractionDigits: 1, useGrouping: false });
const twoDigits = new Intl.NumberFormat(LOCALE, { minimumIntegerDigits: 2 });
const dateTime = new Intl.DateTimeFormat(LOCALE, {
  year: "numeric", month: "2-digit", day: "2-digit", hour: "2-digit", minute: "2-digit", hourCycle: "h23",
});
const UNITS = ["B", "KB", "MB", "GB", "TB"];

export function formatSize(bytes) {
  if (bytes === null || bytes === undefined || !Number.isFinite(bytes)) return "";
  let value = bytes;
  let i = 0;
  while (value >= 1024 && i < UNITS.length - 1) {
    value /= 1024;
    i += 1;
  }
  const number = i === 0 || value >= 100 ? whole : oneDecimal;
  return `${number.format(value)} ${UNITS[i]}`;
}

// The size a download is expected to have: "约" when the site only estimated it, nothing when unknown.
export function formatEstimate(size, approximate) {
  if (!size) return "";
  return approximate ? `约 ${formatSize(size)}` : formatSize(size);
}

export function formatDuration(seconds) {
  if (seconds === null || seconds === undefined || !Number.isFinite(seconds) || seconds < 0) return "";
  seconds = Math.round(seconds);
  const h = Math.floor(seconds / 3600);
  const m = Math.floor((seconds % 3600) / 60);
  const s = seconds % 60;
  if (h) return `${whole.format(h)} 小时 ${whole.format(m)} 分`;
  if (m) return `${whole.format(m)} 分 ${twoDigits.format(s)} 秒`;
  return `${whole.format(s)} 秒`;
}

export function formatTime(epoch) {
  return dateTime.format(new Date(epoch * 1000));
}

const relative = new Intl.RelativeTimeFormat(LOCALE, { numeric: "auto" });

// A moment in the past: relative within a day ("刚刚", "5分钟前"), else the local date and time.
export function formatSince(epoch) {
  const seconds = Math.round(Date.now() / 1000 - epoch);
  if (seconds < 0 || seconds >= 86400) return formatTime(epoch);
  if (seconds < 60) return "刚刚";
  if (seconds < 3600) return relative.format(-Math.floor(seconds / 60), "minute");
  return relative.format(-Math.floor(seconds / 3600), "hour");
}
