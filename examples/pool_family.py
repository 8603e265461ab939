"""Hands work to child processes: a multiprocessing pool, a process pool
executor and a Python subprocess. `sarn run` records each child's work as a
trace of its own, linked to this program's."""

import multiprocessing
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor


def word_length(word):
    return len(word)


def longest(words):
    return max(words, key=word_length)


def main():
    words = ["pear", "fig", "quince"]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        print(pool.map(word_length, words))
    with ProcessPoolExecutor(1) as executor:
        print(executor.submit(longest, words).result())
    subprocess.run([sys.executable, "-c", "import pool_family; print(pool_family.word_length('medlar'))"],
                   check=True, cwd=sys.path[0])


if __name__ == "__main__":
    main()
