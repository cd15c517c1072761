"""Speed and time left follow a monotonic clock, whatever the wall clock does."""

import pytest

from downloader.download_process import Rate


@pytest.mark.parametrize("jump", [3 * 86400.0, -86400.0])
def test_steady_rate_through_clock_jumps(jump: float) -> None:
    from yt_dlp.downloader.common import FileDownloader
    # 3 MB/s; the wall clock jumps three days forward, or a day back, half way.
    now = [100.0]
    rate = Rate(lambda: now[0])
    wall_start = wall = 1_700_000_000.0
    speed = eta = None
    for step in range(1, 60):
        now[0] += 0.1
        wall += 0.1 + (jump if step == 30 else 0.0)
        speed, eta = rate.update(step * 300_000, 100_000_000)
    # What the engine itself reports from the wall clock is far off, or nothing.
    engine = FileDownloader.calc_speed(wall_start, wall, 59 * 300_000)
    assert not (engine and abs(engine - 3_000_000) / 3_000_000 < 0.2), engine
    assert speed is not None and eta is not None
    assert abs(speed - 3_000_000) / 3_000_000 < 0.2 and abs(eta - (100_000_000 - 59 * 300_000) / 3_000_000) < 1.0


def test_edges() -> None:
    now = [0.0]
    rate = Rate(lambda: now[0])
    # (clock step, downloaded, total, speed, eta)
    for step, done, total, speed, eta in ((0.0, 0, None, None, None), (0.1, 100, None, None, None),
                                          (0.4, 500, 1000, 1000.0, 0.5), (0.5, 500, 1000, 500.0, 1.0),
                                          # A second file of the download starts from zero: no rate yet.
                                          (0.1, 10, 2000, None, None)):
        now[0] += step
        assert rate.update(done, total) == (speed, eta), (step, done)
    # A burst that arrives in less time shows its speed at once.
    now[0] += 0.05
    assert abs((rate.update(400_010, None)[0] or 0) - 8_000_000) <= 1
