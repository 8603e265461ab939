"""Three asyncio tasks whose awaits interleave on one event loop."""

import asyncio


async def fetch(name, delay):
    await asyncio.sleep(delay)
    return name.upper()


async def worker(name, delays):
    results = []
    for delay in delays:
        results.append(await fetch(name, delay))
    return results


async def main():
    checker = asyncio.create_task(worker("c", [0.005, 0.005]), name="checker")
    return await asyncio.gather(worker("a", [0.01, 0.03]), worker("b", [0.02]), checker)


if __name__ == "__main__":
    print(asyncio.run(main()))
