"""What telling asyncio tasks apart costs: a program without asyncio and an
asyncio one, recorded with ``record_tasks`` on and off (and not recorded).

    python benchmarks/asyncio_tasks.py [--rounds 7]

Each round runs every mode once, in this process, in a rotating order; the medians are
printed with the extra time of ``record_tasks`` over the same recording
without it.
"""
from __future__ import annotations

import argparse
import asyncio
import statistics
import tempfile
import time
from typing import Callable, Dict, List

import sarn


def step(value: int) -> int:
    return value + 1


def plain() -> None:
    total = 0
    for value in range(100_000):
        total = step(total)


async def worker(steps: int) -> int:
    total = 0
    for _ in range(steps):
        total = step(total)
        await asyncio.sleep(0)
    return total


async def many_tasks() -> None:
    await asyncio.gather(*(worker(50) for _ in range(200)))


def with_asyncio() -> None:
    asyncio.run(many_tasks())


def timed(workload: Callable[[], None], mode: str, folder: str) -> float:
    start = time.perf_counter()
    if mode == "not recorded":
        workload()
    else:
        with sarn.record(db_path=folder + "/db.sqlite3", config={"record_tasks": mode == "tasks on"}, save=False):
            workload()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    rounds = parser.parse_args().rounds
    modes = ("not recorded", "tasks off", "tasks on")
    with tempfile.TemporaryDirectory() as folder:
        for name, workload in (("no asyncio (100,000 calls)", plain),
                               ("asyncio (200 tasks x 50 awaits)", with_asyncio)):
            times: Dict[str, List[float]] = {mode: [] for mode in modes}
            timed(workload, "tasks on", folder)  # warm-up
            for number in range(rounds):
                # Each mode takes each place in the round in turn: what one
                # recording leaves behind (memory to reuse) weighs on all alike.
                for mode in modes[number % 3:] + modes[:number % 3]:
                    times[mode].append(timed(workload, mode, folder))
            medians = {mode: statistics.median(values) for mode, values in times.items()}
            extra = medians["tasks on"] / medians["tasks off"] - 1.0
            print("%s: %s; record_tasks adds %+.1f%%" % (
                name, ", ".join("%s %.1f ms" % (mode, medians[mode] * 1000) for mode in modes), extra * 100))


if __name__ == "__main__":
    main()
