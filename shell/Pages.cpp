#include "Pages.h"

#include "ZormakError.h"

namespace zormak::pages {

const std::string_view kMainTitle = "ZORMAK · 多平台视频下载器";
const std::string_view kFailureTitle = "ZORMAK · 启动失败";
const std::string_view kStoppedTitle = "ZORMAK · 服务已停止";
const std::string_view kLoadFailureTitle = "ZORMAK · 界面没能打开";

const std::string_view kRestartURI = "zormak:restart-server";

const std::string_view kStartingPage =
    R"(<!doctype html>
<html><head><meta charset="utf-8"><style>
:root{color-scheme: light;}
html,body{height:100%; margin:0;}
body{display:flex; align-items:center; justify-content:center; background:#f7f7fb; font:15px/1.6 -apple-system,"PingFang SC","Helvetica Neue",sans-serif; color:#3c3c46;}
.box{text-align:center;}
.spin{width:34px; height:34px; margin:0 auto 18px; border:3px solid #e2e2ee; border-top-color:#6b5ce7; border-radius:50%; animation:s .9s linear infinite;}
@keyframes s{to { transform:rotate(360deg); }}
.sub{color:#8b8b99; font-size:13px; margin-top:6px;}
</style></head><body><div class="box"><div class="spin"></div><div><b>ZORMAK</b> 正在启动…</div><div class="sub">首次运行需要准备运行环境，可能要几秒钟</div></div></body></html>)";

namespace {

// The card that every page about a problem is drawn as, up to its heading;
// the start failure's page is exactly this card.
constexpr std::string_view kCardStart =
    R"(<!doctype html>
<html><head><meta charset="utf-8"><style>
:root{color-scheme: light;}
html,body{height:100%; margin:0;}
body{display:flex; align-items:center; justify-content:center; background:#f7f7fb; font:14px/1.7 -apple-system,"PingFang SC","Helvetica Neue",sans-serif; color:#3c3c46; padding:40px;}
.card{max-width:620px; background:#fff; border-radius:14px; padding:28px 30px; box-shadow:0 2px 20px rgba(20,20,50,.08);}
h1{font-size:17px; margin:0 0 14px; color:#c0392b;}
p{margin:0; word-break:break-all;}
.tip{margin-top:18px; color:#8b8b99; font-size:13px;}
</style></head><body><div class="card"><h1>)";

std::string cardHead(std::string_view heading) {
  std::string head(kCardStart);
  head += heading;
  head += "</h1><p>";
  return head;
}

std::string tip(std::string_view text) {
  return "<div class=\"tip\">" + std::string(text) + "</div></div></body></html>";
}

std::string card(std::string_view heading, std::string_view message, std::string_view tail) {
  std::string page = cardHead(heading);
  page += escapeMessage(message);
  page += tail;
  return page;
}

}  // namespace

const std::string kErrorPageHead = cardHead("ZORMAK 没能启动");
const std::string kErrorPageTail =
    "</p>" + tip("可以先试试重启应用；如果一直失败，把上面日志文件里的内容发出来。");

std::string escapeMessage(std::string_view message) {
  // One pass gives the same result as the four whole-text replacements in
  // order: no replacement's output is ever seen by a later one except "<br>",
  // which is produced last.
  std::string out;
  out.reserve(message.size());
  for (char c : message) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\n':
        out += "<br>";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// A bundle that lacks part of itself fails the same way after every restart.
bool restartHelps(std::string_view message) {
  return message.find(kReinstallAdvice) == std::string_view::npos;
}

const std::string kReinstallTail =
    "</p>" + tip("如果重新安装后仍然失败，把上面日志文件里的内容发出来。");

}  // namespace

std::string errorPage(std::string_view message) {
  return card("ZORMAK 没能启动", message, restartHelps(message) ? kErrorPageTail : kReinstallTail);
}

std::string stoppedPage(std::string_view message) {
  // The button asks for an address that only the shell answers, so the page
  // needs nothing from the engine but a navigation request.
  static const std::string tail =
      "</p><button type=\"button\" autofocus style=\"margin-top:20px; font:inherit; "
      "padding:7px 18px; border:0; border-radius:8px; background:#6b5ce7; color:#fff;\" "
      "onclick=\"location.href='" +
      std::string(kRestartURI) + "'\">重新启动服务</button>" +
      tip("重新启动后界面回到原来的地址；已下载完的文件不受影响，没有下载完的会从中断处继续。"
          "也可以在“显示”菜单里选“重新载入”。如果服务一再停止，把上面日志文件里的内容发出来。");
  return card("ZORMAK 的服务已停止", message, tail);
}

std::string loadFailurePage(std::string_view message) {
  static const std::string tail =
      "</p>" +
      tip("在“显示”菜单里选“重新载入”再试一次；如果一直失败，把上面日志文件里的内容发出来。");
  return card("ZORMAK 的界面没能打开", message, tail);
}

std::string errorPage(std::string_view message, std::string_view logPath, bool logExists) {
  if (logPath.empty() || message.find(logPath) != std::string_view::npos)
    return errorPage(message);
  // The tail piece with another tip in place of the one pointing above.
  static constexpr std::string_view kTipAbove =
      "可以先试试重启应用；如果一直失败，把上面日志文件里的内容发出来。";
  const std::size_t tip = kErrorPageTail.find(kTipAbove);
  std::string page(kErrorPageHead);
  page += escapeMessage(message);
  page += kErrorPageTail.substr(0, tip);
  const bool restart = restartHelps(message);
  if (logExists) {
    page += restart ? "可以先试试重启应用；如果一直失败，把日志文件 "
                    : "如果重新安装后仍然失败，把日志文件 ";
    page += escapeMessage(logPath);
    page += " 里的内容发出来。";
  } else {
    page += "日志文件本应写在 ";
    page += escapeMessage(logPath);
    page += restart
                ? "，但没能写出来。可以先试试重启应用；如果一直失败，看看这个文件夹是否可以写入。"
                : "，但没能写出来。请重新安装 ZORMAK；如果仍然失败，看看这个文件夹是否可以写入。";
  }
  page += kErrorPageTail.substr(tip + kTipAbove.size());
  return page;
}

}  // namespace zormak::pages
