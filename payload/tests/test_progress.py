"""What the queue tells while a download waits for data or retries a broken connection."""

import os
import time

from media import MediaServer, big_file
from support import Payload, same_file, wait_for

SIZE = 2 * 1024 * 1024


def test_stalled_download_shows_waiting_not_its_last_speed(module_payload: Payload, module_media: MediaServer) -> None:
    server, media = module_payload, module_media
    big_file("stall.mp4", SIZE)
    media.hold["stall.mp4"] = SIZE // 2
    job_id = server.add(media.url("stall.mp4"))[1]["added"][0]["id"]
    moving = wait_for(lambda: (j := server.jobs()[job_id])["downloaded"] >= SIZE // 2 and j,
                      20, message="the bytes before the stall")
    # Right after the last bytes the speed is still the real one.
    assert not moving["waiting"] and (moving["speed"] or 0) > 0, moving
    time.sleep(3.5)
    job = server.jobs()[job_id]
    assert (job["state"], job["waiting"], job["speed"], job["eta"]) == ("downloading", True, 0, None)
    # Bytes again: no longer waiting, and the file arrives whole.
    media.released.set()
    assert server.wait_job(job_id, {"done", "failed"})["state"] == "done"
    assert not server.jobs()[job_id]["waiting"]


def test_retries_of_a_broken_connection_are_counted(module_payload: Payload, module_media: MediaServer) -> None:
    server, media = module_payload, module_media
    path = big_file("retry.mp4", SIZE)
    media.cut["retry.mp4"] = SIZE // 2
    # The server breaks off and then answers "unavailable" until the test lets it recover.
    media.refusal = 503
    job_id = server.add(media.url("retry.mp4"))[1]["added"][0]["id"]
    job = wait_for(lambda: (j := server.jobs()[job_id])["retries"] >= 2 and j, 20, message="the second retry")
    assert job["state"] == "downloading"
    del media.cut["retry.mp4"]
    job = server.wait_job(job_id, {"done", "failed"})
    assert job["state"] == "done", job["error"]
    assert same_file(os.path.join(server.download_dir, "retry.mp4"), path)
    for n in (1, 2):
        assert f"[下载 #{job_id}] 连接中断，第 {n} 次重试" in server.output()
