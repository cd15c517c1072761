// Partial downloads found at start that no job owns: offered back to resume from
// their recorded address, or to delete on request.
import { api } from "./api.js";
import { confirmDialog, el, toast } from "./dom.js";

export async function showLeftovers(box, onChange) {
  const data = await api("GET", "/api/leftovers");
  box.querySelector(".leftovers")?.remove();
  if (!data.notice) {
    box.hidden = box.children.length === 0;
    return;
  }
  const item = el("div", "notice leftovers");
  item.setAttribute("role", "alert");
  const ids = data.leftovers.map((x) => x.id);
  const act = async (what) => {
    try {
      const answer = await api("POST", `/api/leftovers/${what}`, { ids });
      if (what === "resume") toast(`已重新加入 ${answer.added.length} 个下载`);
    } catch (e) {
      toast(e.message, "error");
    }
    await showLeftovers(box, onChange);
    onChange();
  };
  const resume = el("button", "btn small", "继续下载");
  resume.hidden = !data.leftovers.some((x) => x.url);
  resume.addEventListener("click", () => act("resume"));
  const remove = el("button", "btn small danger", "删除");
  remove.addEventListener("click", async () => {
    if (await confirmDialog("删除未完成的下载？", "这些下载已下载的部分会被删除，无法恢复。", "删除")) act("delete");
  });
  item.append(el("strong", null, "未完成的下载："), el("span", null, data.notice), " ", resume, " ", remove);
  box.append(item);
  box.hidden = false;
}
