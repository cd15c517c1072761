"""Turns the raw results of bench/run.sh into bench/results/summary.json, the
start-up chart bench/results/startup.svg and the figures section of
bench/REPORT.md (between its figure markers).

Usage: report.py RESULTS_DIR REPORT_MD
"""
import datetime
import json
import os
import platform
import re
import sys

BEGIN, END = "<!-- figures:begin -->", "<!-- figures:end -->"


def stats(values):
    v = sorted(x for x in values if x is not None)
    if not v:
        return None
    return {"median": v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2,
            "min": v[0], "max": v[-1], "n": len(v)}


def fmt(s, unit, digits=1):
    if not s:
        return "n/a"
    f = "%%.%df" % digits
    return (f + " %s (min " + f + ", max " + f + ")") % (s["median"], unit, s["min"], s["max"])


def ratio(a, b):
    return a["median"] / b["median"] if a and b and b["median"] else None


def goal(value, limit, below=True):
    if value is None:
        return "not measured"
    ok = value <= limit if below else value >= limit
    return "met" if ok else "**not met**"


def machine():
    def read(path):
        try:
            with open(path) as f:
                return f.read()
        except OSError:
            return ""
    cpu = re.search(r"model name\s*:\s*(.*)", read("/proc/cpuinfo"))
    mem = re.search(r"MemTotal:\s*(\d+)", read("/proc/meminfo"))
    return {
        "cpu": cpu.group(1).strip() if cpu else platform.processor(),
        "cores": os.cpu_count(),
        "memory_gib": round(int(mem.group(1)) / 1048576, 1) if mem else None,
        "kernel": platform.release(),
        "debian": read("/etc/debian_version").strip(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


# The start-up timeline: (label, mark) in the order of a start.
STEPS = [
    ("main()", "shell:main"),
    ("renderer chosen", "shell:renderer"),
    ("server spawned", "shell:spawned"),
    ("window", "shell:window"),
    ("web view", "shell:web-view"),
    ("starting page asked", "shell:load-html"),
    ("launch sequence done", "shell:activate"),
    ("Python running", "server:python"),
    ("announced", "server:announce"),
    ("URL asked", "shell:load-request:served"),
    ("starting page shown", "shell:load-finished:start-page"),
    ("first frame", "shell:first-frame"),
    ("GET / served", "server:request:root"),
    ("page committed", "shell:load-committed:served"),
    ("page loaded", "shell:load-finished:served"),
]
COLOURS = ["#444", "#c90", "#888", "#4a78b5", "#6aa84f", "#b5894a", "#9b59b6", "#aaa", "#e69138", "#cc0000",
           "#3d85c6", "#76a5af", "#38761d", "#674ea7", "#000"]


def timeline(runs, name):
    marks = {}
    for r in runs:
        if r["contender"] == name and r["ok"]:
            for k, v in r["marks_ms"].items():
                marks.setdefault(k, []).append(v)
    return {k: stats(v) for k, v in marks.items()}


def svg(lines, path):
    names = [n for n, _ in lines]
    end = max((s["median"] for _, t in lines for s in t.values() if s), default=1)
    scale = 760 / (end * 1.05)
    h = 40 + 46 * len(names) + 24 * ((len(STEPS) + 2) // 3) + 20
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="960" height="%d" font-family="sans-serif" font-size="12">' % h,
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="10" y="20" font-size="14">Start-up timeline: medians in ms after exec</text>']
    x0 = 150
    for ms in range(0, int(end * 1.05) + 1, 100):
        x = x0 + ms * scale
        out.append('<line x1="%.1f" y1="30" x2="%.1f" y2="%d" stroke="#eee"/>' % (x, x, 30 + 46 * len(names)))
        out.append('<text x="%.1f" y="%d" text-anchor="middle" fill="#666">%d</text>' % (x, 44 + 46 * len(names), ms))
    for i, (name, t) in enumerate(lines):
        y = 40 + 46 * i
        out.append('<text x="10" y="%d">%s</text>' % (y + 18, name))
        done = t.get("shell:load-finished:served") or t.get("server:announce")
        if done:
            out.append('<rect x="%d" y="%d" width="%.1f" height="8" fill="#ddd"/>' % (x0, y + 10, done["median"] * scale))
        for j, (label, key) in enumerate(STEPS):
            s = t.get(key)
            if s:
                x = x0 + s["median"] * scale
                out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-width="3"><title>%s %.0f ms</title></line>'
                           % (x, y + 2, x, y + 26, COLOURS[j], label, s["median"]))
    ly = 60 + 46 * len(names)
    for j, (label, _) in enumerate(STEPS):
        x, y = 10 + 310 * (j % 3), ly + 24 * (j // 3)
        out.append('<rect x="%d" y="%d" width="12" height="12" fill="%s"/>' % (x, y, COLOURS[j]))
        out.append('<text x="%d" y="%d">%s</text>' % (x + 18, y + 11, label))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def same_application(runs):
    """What each page contender's server answered, and whether all agree.

    The sign-in address (the baselines') and the readiness check (zormak's)
    are how each gets in, not the application, and are left out."""
    answers = {}
    for r in runs:
        if r["contender"] in ("floor", "zormak", "pywebview") and r["ok"]:
            seen = {p: c for p, c in r.get("answered", {}).items() if p not in ("/signin", "/api/status")}
            answers.setdefault(r["contender"], []).append(seen)
    every = [a for runs_ in answers.values() for a in runs_]
    if not every:
        return None, "not recorded"
    paths = sorted(set().union(*every))
    alike = all(a == every[0] for a in every) and every[0].get("/") == 200
    return alike, "%d addresses (%s), %s" % (
        len(paths), ", ".join("`%s` %s" % (p, every[0].get(p, "-")) for p in paths),
        "answered alike in every run of every contender" if alike else "**answered differently between runs**")


def startup(st, kind, summary, rows, goals, text, results):
    runs = st["runs"]
    names = ("server", "floor", "zormak", "pywebview")
    lines = [(n, timeline(runs, n)) for n in names]
    t = dict(lines)
    busy = " with %d CPU hogs" % st["hogs"] if st.get("hogs") else ""
    where = "%s, load %.2f before, %.2f after" % ("busy" + busy if busy else "idle",
                                                  st["load_before"][0], st["load_after"][0]) \
        if "load_before" in st else ""
    chart = "startup%s.svg" % ("-" + kind if kind else "")
    svg([(n if n != "server" else "server alone", tl) for n, tl in lines], os.path.join(results, chart))
    loaded = {n: t[n].get("shell:load-finished:served") for n in names[1:]}
    frame = {n: t[n].get("shell:first-frame") for n in names[1:]}
    announce = {n: t[n].get("server:announce") for n in t}
    rf, rp = ratio(loaded["zormak"], loaded["floor"]), ratio(loaded["zormak"], loaded["pywebview"])
    ff, fp = ratio(frame["zormak"], frame["floor"]), ratio(frame["zormak"], frame["pywebview"])
    alike, how = same_application(runs)
    renderer = next((r["renderer"] for r in runs if r.get("renderer")), None)
    summary["startup" + ("_" + kind if kind else "")] = {
        "where": where, "timelines_ms": t, "zormak_over_floor": rf, "zormak_over_pywebview": rp,
        "first_frame_over_floor": ff, "first_frame_over_pywebview": fp, "same_application": alike,
        "renderer_log": renderer}
    rounds = st["rounds"]
    rows.append("| **Start-up%s** (%d rounds; %s) | | | |" % (busy, rounds, where))
    for what, values, over_floor, over_py in (("exec → served page loaded", loaded, rf, rp),
                                              ("exec → first frame of the window", frame, ff, fp)):
        rows.append("| %s | zormak %s | floor %s | **%.2f** |"
                    % (what, fmt(values["zormak"], "ms", 0), fmt(values["floor"], "ms", 0), over_floor or 0))
        rows.append("| %s | zormak %s | pywebview %s | **%.2f** |"
                    % (what, fmt(values["zormak"], "ms", 0), fmt(values["pywebview"], "ms", 0), over_py or 0))
    rows.append("| Server alone, exec → announcement | %s | zormak: exec → announcement %s | %.2f |"
                % (fmt(announce["server"], "ms", 0), fmt(announce["zormak"], "ms", 0),
                   ratio(announce["zormak"], announce["server"]) or 0))
    rows.append("| Same application in every contender | %s | | |" % how)
    goals.append("| Start-up%s ≤ 1.00 of pywebview | %.2f | %s |" % (busy, rp or 0, goal(rp, 1.00)))
    goals.append("| Start-up%s ≤ 1.05 of the floor | %.2f | %s |" % (busy, rf or 0, goal(rf, 1.05)))
    goals.append("| Baselines load the same application%s | %s | %s |"
                 % (busy, "yes" if alike else "no", "met" if alike else "**not met**"))

    text.append("### Start-up timeline%s (medians, ms after exec; min–max)\n" % busy)
    if renderer and not kind:
        text.append("zormak's log: `%s`\n" % renderer)
    text.append("| Step | server alone | floor | zormak | pywebview |")
    text.append("|---|---|---|---|---|")
    for label, key in STEPS:
        cells = []
        for n in names:
            s = t[n].get(key)
            cells.append("%.0f (%.0f–%.0f)" % (s["median"], s["min"], s["max"]) if s else "")
        if any(cells):
            text.append("| %s | %s |" % (label, " | ".join(cells)))
    text.append("\n![Start-up timeline%s](results/%s)\n" % (busy, chart))
    if kind:
        return  # stop and memory: from the idle run only

    stops = {n: stats([r["stop_ms"] for r in runs if r["contender"] == n and r["ok"]]) for n in names[1:]}
    summary["stop_ms"] = stops
    rows.append("| Stop, SIGTERM → shell exited (real payload) | zormak %s | floor %s | %.2f |"
                % (fmt(stops["zormak"], "ms"), fmt(stops["floor"], "ms"), ratio(stops["zormak"], stops["floor"]) or 0))
    goals.append("| Stop < 150 ms | %.0f ms | %s |" % (stops["zormak"]["median"], goal(stops["zormak"]["median"], 150)))

    mem = {}
    for n in ("zormak", "pywebview", "floor"):
        rs = [r["memory"] for r in runs if r["contender"] == n and r["ok"]]
        mem[n] = {k: stats([x[k] / 1024 for x in rs]) for k in ("rss_kb", "tree_rss_kb", "tree_pss_kb")}
        mem[n]["processes"] = rs[0]["tree_processes"] if rs else 0
    summary["memory_mib"] = mem
    rows.append("| Memory of the shell process (RSS, page shown + %.0f s) | zormak %s | pywebview %s | %.2f |"
                % (st["settle_s"], fmt(mem["zormak"]["rss_kb"], "MiB", 0), fmt(mem["pywebview"]["rss_kb"], "MiB", 0),
                   ratio(mem["zormak"]["rss_kb"], mem["pywebview"]["rss_kb"]) or 0))
    for k, label in (("tree_rss_kb", "RSS, summed"), ("tree_pss_kb", "PSS, summed")):
        rows.append("| Memory of the whole process tree (%s) | zormak %s (%d processes) | pywebview %s (%d processes) | %.2f |"
                    % (label, fmt(mem["zormak"][k], "MiB", 0), mem["zormak"]["processes"],
                       fmt(mem["pywebview"][k], "MiB", 0), mem["pywebview"]["processes"],
                       ratio(mem["zormak"][k], mem["pywebview"][k]) or 0))
    rows.append("| Memory of the floor, for reference | shell %s | tree PSS %s | |"
                % (fmt(mem["floor"]["rss_kb"], "MiB", 0), fmt(mem["floor"]["tree_pss_kb"], "MiB", 0)))
    rpss = ratio(mem["zormak"]["tree_pss_kb"], mem["pywebview"]["tree_pss_kb"])
    goals.append("| Tree PSS at load ≤ 1.00 of pywebview | %.2f | %s |" % (rpss or 0, goal(rpss, 1.00)))


def load(results, name):
    try:
        with open(os.path.join(results, name)) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def main():
    results, report = sys.argv[1], sys.argv[2]
    m = machine()
    summary = {"machine": m}
    rows, goals, text = [], [], []

    inst = load(results, "install.json")
    if inst:
        p, c = stats(inst["prepare"]), stats(inst["cp"])
        r = ratio(p, c)
        summary["install"] = {"prepare_s": p, "cp_s": c, "ratio": r}
        rows.append("| First-start install, %d files, %.1f MB (%d rounds) | runtime preparation %s | `cp -a` %s | **%.2f** |"
                    % (inst["files"], inst["bytes"] / 1e6, p["n"], fmt(p, "s", 3), fmt(c, "s", 3), r))
        goals.append("| Install ≤ 0.80 of `cp -a` | %.2f | %s |" % (r, goal(r, 0.80)))

    st = load(results, "startup.json")
    if st:
        startup(st, "", summary, rows, goals, text, results)
    busy = load(results, "startup-hogs.json")
    if busy:
        startup(busy, "busy", summary, rows, goals, text, results)

    rd = load(results, "readiness.json")
    if rd:
        s = stats(rd["latency_ms"])
        summary["readiness_ms"] = s
        rows.append("| Readiness, announcement written → onReady on the main thread (%d runs) | %s | | |" % (s["n"], fmt(s, "ms", 2)))
        goals.append("| Readiness < 2 ms (median) | %.2f ms | %s |" % (s["median"], goal(s["median"], 2.0)))

    for mode in ("lines", "noline"):
        o = load(results, "output-%s.json" % mode)
        if o:
            a, c = stats(o["controller"]), stats(o["cat"])
            summary["output_" + mode] = {"controller_s": a, "cat_s": c, "ratio": ratio(a, c),
                                         "peak_rss_kb": o["peak_rss_kb"], "rss_before_kb": o["rss_before_kb"]}
            what = "text lines" if mode == "lines" else "no line feed"
            rows.append("| Output %.2f GB (%s) through the controller into the log, %d rounds | %s (%.0f MB/s) | `cat` into a file %s | %.2f |"
                        % (o["bytes"] / 1e9, what, a["n"], fmt(a, "s", 2), o["bytes"] / 1e6 / a["median"], fmt(c, "s", 2), ratio(a, c)))
            rows.append("| Peak RSS of the controller's process during that (%s) | %.1f MiB (%.1f MiB before) | | |"
                        % (what, o["peak_rss_kb"] / 1024, o["rss_before_kb"] / 1024))

    dl = load(results, "download.json")
    if dl:
        def times(case, name):
            return stats([r["s"] for r in dl[case]["runs"] if r["contender"] == name])

        def at_once(name):
            return max(r["in_flight"] for r in dl["hls"]["runs"] if r["contender"] == name)

        h = dl["hls"]
        hp, he = times("hls", "payload"), times("hls", "engine")
        rh = ratio(hp, he)
        files = dl.get("files") or [dl["file"]]

        def file_times(case, name):
            return stats([r["s"] for r in case["runs"] if r["contender"] == name])

        summary["download"] = {
            "engine_version": dl["engine_version"],
            "hls": {"fragments": h["fragments"], "latency_s": h["latency_s"], "payload_s": hp, "engine_s": he,
                    "ratio": rh, "payload_in_flight": at_once("payload"), "engine_in_flight": at_once("engine")},
            "files": []}
        rows.append("| Download of an HLS stream of %d fragments, %.0f ms latency per request (%d rounds) | payload %s (%d at once) "
                    "| engine's command line %s (%d at once) | **%.2f** |"
                    % (h["fragments"], h["latency_s"] * 1000, hp["n"], fmt(hp, "s", 2), at_once("payload"),
                       fmt(he, "s", 2), at_once("engine"), rh))
        for case in files:
            fp, fc, fe = (file_times(case, n) for n in ("payload", "curl", "engine"))
            mb = case["bytes"] / 1e6
            summary["download"]["files"].append({"bytes": case["bytes"], "payload_s": fp, "curl_s": fc, "engine_s": fe,
                                                 "over_curl": ratio(fp, fc), "over_engine": ratio(fp, fe)})
            rows.append("| Download of a file of %.0f MB on loopback (%d rounds) | payload %s (%.0f MB/s) | `curl -o` %s | **%.2f** |"
                        % (mb, fp["n"], fmt(fp, "s", 2), mb / fp["median"], fmt(fc, "s", 2), ratio(fp, fc)))
            rows.append("| Download of a file of %.0f MB on loopback | payload %s | engine's command line %s | **%.2f** |"
                        % (mb, fmt(fp, "s", 2), fmt(fe, "s", 2), ratio(fp, fe)))
            limit = 1.1 if case["bytes"] >= 800e6 else 1.2
            goals.append("| %.0f MB file ≤ %.1f of `curl` | %.2f | %s |" % (mb, limit, ratio(fp, fc) or 0, goal(ratio(fp, fc), limit)))
        goals.append("| HLS download ≤ 0.50 of the engine's command line | %.2f | %s |" % (rh, goal(rh, 0.50)))

    hi = load(results, "history.json")
    if hi:
        summary["history"] = {"rows": hi["rows"], "downloads": hi["downloads"], "asks": {}}
        for ask in hi["asks"]:
            s = stats(ask["ms"])
            summary["history"]["asks"][ask["name"]] = s
            rows.append("| History of %d downloads (%d rows), `%s`: %s (%d rounds) | %s | | |"
                        % (hi["downloads"], hi["rows"], ask["path"], ask["name"], s["n"], fmt(s, "ms", 1)))
            goals.append("| History of %d rows, %s ≤ 150 ms | %.1f ms | %s |"
                         % (hi["rows"], ask["name"], s["median"], goal(s["median"], 150)))

    pm = load(results, "payload-memory.json")
    if pm:
        summary["payload_memory"] = pm["moments"]
        text.append("### The payload's processes (PSS, MiB; RSS in brackets)\n")
        text.append("| Moment | server | ready download process | each running download's process | total PSS |")
        text.append("|---|---|---|---|---|")
        for moment in pm["moments"]:
            def cell(role):
                ps = [p for p in moment["processes"] if p["role"] == role]
                return ", ".join("%d (%d)" % (p["pss_kb"] // 1024, p["rss_kb"] // 1024) for p in ps) or "none"
            total = sum(p["pss_kb"] for p in moment["processes"]) // 1024
            text.append("| %s (%.0f s in) | %s | %s | %s | %d |"
                        % (moment["moment"], moment["at_s"], cell("server"), cell("ready"), cell("download"), total))
        text.append("")

    with open(os.path.join(results, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)

    body = [BEGIN,
            "_Generated by `bench/run.sh` on %s. Machine: %s, %d cores, %s GiB memory, Linux %s, Debian %s._\n"
            % (m["date"], m["cpu"], m["cores"], m["memory_gib"], m["kernel"], m["debian"]),
            "| Measurement | A | B | A / B (medians) |", "|---|---|---|---|"] + rows + \
           ["", "### Goals\n", "| Goal | Measured | |", "|---|---|---|"] + goals + [""] + text + [END]
    with open(report) as f:
        doc = f.read()
    if BEGIN in doc and END in doc:
        doc = doc[:doc.index(BEGIN)] + "\n".join(body) + doc[doc.index(END) + len(END):]
    else:
        doc += "\n" + "\n".join(body) + "\n"
    with open(report, "w") as f:
        f.write(doc)


if __name__ == "__main__":
    main()
