"""Failures told as they happened, against the real engine and the real server."""

import os
import re
import shutil
import signal
import socket
import tempfile
import time

import pytest

from media import MediaServer, big_file, long_audio
from support import QUIET, Payload, command_line, engine_error, wait_for


def engine_failure(url: str) -> BaseException:
    import yt_dlp
    with tempfile.TemporaryDirectory() as out, yt_dlp.YoutubeDL({
            "socket_timeout": 1, "retries": 2, "logger": QUIET, "proxy": "", "paths": {"home": out},
            "retry_sleep_functions": {"http": lambda n: 0}}) as ydl, pytest.raises(yt_dlp.utils.DownloadError) as raised:
        ydl.extract_info(url)
    return raised.value


def test_messages_and_the_reasons_kept_for_the_log(media: MediaServer) -> None:
    from downloader import errors
    from yt_dlp.postprocessor.ffmpeg import FFmpegPostProcessorError
    # Every answer promises the rest of the file and ends early: after 30,000 bytes, or 1000 before the end.
    for name, ends in (("cut.mp4", lambda start, end: start + 30_000), ("short.mp4", lambda start, end: end - 1000)):
        big_file(name, 200_000)
        media.ends[name] = ends
    # A listener whose queue is full: a connection to it is never answered.
    full = socket.create_server(("127.0.0.1", 0), backlog=0)
    waiting = [socket.socket() for _ in range(3)]
    for s in waiting:
        s.setblocking(False)
        s.connect_ex(full.getsockname())
    progress = "frame=    1 fps=0.0 q=-1.0 size=       0kB time=00:00:00.00 bitrate=N/A speed=   0x"
    try:
        cases = [  # what happened, the engine's failure, the step running, the message, the log's reason
            ("cut again and again", engine_failure(media.url("cut.mp4")), None,
             errors.TRUNCATED.format(retries=2), "Giving up after 2 retries"),
            ("shorter than promised", engine_failure(media.url("short.mp4")), None, errors.NO_DATA, "data blocks"),
            ("no byte after the headers", engine_failure(media.url("stall/clip.mp4")), None,
             errors.NO_ANSWER.format(seconds=20), "timed out"),
            ("no answer to connecting", engine_failure(f"http://127.0.0.1:{full.getsockname()[1]}/v.mp4"), None,
             "网络错误，无法连接到服务器（连接超时）", "timed out"),
            ("ffmpeg killed in a merge", engine_error(FFmpegPostProcessorError(progress), f"Postprocessing: {progress}"),
             "Merger", errors.POSTPROCESSING.format(step="合并视频和音频"), "frame="),
        ]
    finally:
        for s in [*waiting, full]:
            s.close()
    for name, exc, step, message, reason in cases:
        assert (errors.describe(exc, step), reason in errors.short_reason(exc)) == (message, True), name


def test_ffmpeg_killed_during_an_mp3_conversion(payload: Payload, media: MediaServer) -> None:
    job = payload.add(media.url(os.path.basename(long_audio())), "audio:mp3")[1]["added"][0]
    # The conversion itself, not the engine's first look at ffmpeg's version.
    for pid in wait_for(lambda: [p for p in payload.children() if ".mp3" in " ".join(command_line(p))], 20):
        os.kill(pid, signal.SIGKILL)
    job = payload.wait_job(job["id"], {"failed", "done"})
    assert job["error"] == "文件已下载，但用 ffmpeg 转换音频格式时出错，没有完成。请点击重试；如果一直失败，请检查 ffmpeg 是否完好"
    # The engine's own words stay beside it in the log (what they are depends on when ffmpeg died).
    assert re.search(r"失败：文件已下载，但用 ffmpeg 转换音频格式时出错.*（.+）\n", payload.output())


def test_download_folder_deleted_mid_download(payload: Payload, media: MediaServer) -> None:
    big_file("big.mp4", 2 << 20)
    job = payload.add(media.url("slow/big.mp4"))[1]["added"][0]
    wait_for(lambda: payload.jobs()[job["id"]]["downloaded"] > 0, 20)
    shutil.rmtree(payload.download_dir)
    gone = time.monotonic()
    job = payload.wait_job(job["id"], {"failed", "done"})
    assert time.monotonic() - gone < 3
    assert job["error"] == "下载文件夹在下载过程中被删除或移走了，下载已停止。请确认下载文件夹还在后点击重试"
    # Asked again, nothing promises the partial data that went with the folder.
    payload.command(job["id"], "retry")
    job = payload.wait_job(job["id"], {"failed", "done"})
    assert f"下载文件夹 {payload.download_dir} 不存在" in job["error"] and "已下载的部分" not in job["error"]
