"""The commit that the recorded program runs from.

``COMMIT_SHA`` holds the commit that ``HEAD`` names in the git repository the
current directory belongs to, computed once when this module is imported, or
``None`` when there is no such commit (no repository, an unborn branch, an
unreadable or unusual repository). Trace documents carry it as
"current_commit_sha".

The repository is read directly from its files, without starting ``git``:
``.git`` as a folder or as a ``gitdir:`` file (worktrees and submodules), the
``commondir`` of a linked worktree, ``HEAD`` (symbolic or detached), loose refs
and ``packed-refs``. Only a repository that keeps its refs in the reftable
format is asked through the ``git`` program, with a short time limit. Nothing
here raises.
"""

from __future__ import annotations

import os
import re
import subprocess
from typing import Optional, Tuple

__all__ = ["COMMIT_SHA", "find_commit_sha"]

_SHA = re.compile(r"\A(?:[0-9a-f]{40}|[0-9a-f]{64})\Z")
_MAX_SYMREF_DEPTH = 5
_GIT_TIMEOUT_SECONDS = 2.0


def _read_text(path: str) -> Optional[str]:
    try:
        with open(path, "r", encoding="utf-8", errors="replace") as handle:
            return handle.read()
    except (OSError, ValueError):
        return None


def _find_git_dirs(start: str) -> Optional[Tuple[str, str, str]]:
    """Return (work tree, git dir, common dir) for the repository holding ``start``."""
    current = os.path.abspath(start)
    while True:
        dot_git = os.path.join(current, ".git")
        if os.path.isdir(dot_git):
            git_dir = dot_git
        elif os.path.isfile(dot_git):
            text = _read_text(dot_git) or ""
            first = text.strip().splitlines()[0] if text.strip() else ""
            if not first.startswith("gitdir:"):
                return None
            target = first[len("gitdir:"):].strip()
            git_dir = os.path.normpath(os.path.join(current, target))
            if not os.path.isdir(git_dir):
                return None
        else:
            parent = os.path.dirname(current)
            if parent == current:
                return None
            current = parent
            continue
        common_dir = git_dir
        common_text = _read_text(os.path.join(git_dir, "commondir"))
        if common_text and common_text.strip():
            common_dir = os.path.normpath(os.path.join(git_dir, common_text.strip()))
        return current, git_dir, common_dir


def _packed_ref(common_dir: str, ref: str) -> Optional[str]:
    text = _read_text(os.path.join(common_dir, "packed-refs"))
    if not text:
        return None
    for line in text.splitlines():
        if not line or line[0] in "#^":
            continue
        sha, _, name = line.partition(" ")
        if name.strip() == ref:
            return sha.strip()
    return None


def _resolve_ref(git_dir: str, common_dir: str, ref: str) -> Optional[str]:
    for _ in range(_MAX_SYMREF_DEPTH):
        if ".." in ref.split("/"):
            return None
        value = None
        for base in (git_dir, common_dir):
            text = _read_text(os.path.join(base, *ref.split("/")))
            if text is not None and text.strip():
                value = text.strip()
                break
        if value is None:
            value = _packed_ref(common_dir, ref)
            if value is None:
                return None
        if value.startswith("ref:"):
            ref = value[len("ref:"):].strip()
            continue
        return value.lower() if _SHA.match(value.lower()) else None
    return None


def _uses_reftable(common_dir: str) -> bool:
    text = _read_text(os.path.join(common_dir, "config")) or ""
    return re.search(r"(?im)^\s*refstorage\s*=\s*reftable\s*$", text) is not None


def _ask_git(work_tree: str) -> Optional[str]:
    try:
        done = subprocess.run(
            ["git", "rev-parse", "--verify", "-q", "HEAD"],
            cwd=work_tree,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            stdin=subprocess.DEVNULL,
            timeout=_GIT_TIMEOUT_SECONDS,
            check=False,
        )
    except (OSError, subprocess.SubprocessError, ValueError):
        return None
    value = done.stdout.decode("ascii", "replace").strip().lower()
    return value if done.returncode == 0 and _SHA.match(value) else None


def find_commit_sha(start: Optional[str] = None) -> Optional[str]:
    """The commit ``HEAD`` names in the repository holding ``start`` (default: the
    current directory), as lower-case hex, or None. Never raises."""
    try:
        if start is None:
            start = os.getcwd()
        dirs = _find_git_dirs(start)
        if dirs is None:
            return None
        work_tree, git_dir, common_dir = dirs
        head = _read_text(os.path.join(git_dir, "HEAD"))
        if head is None:
            return None
        head = head.strip()
        if _uses_reftable(common_dir):
            return _ask_git(work_tree)
        if head.startswith("ref:"):
            return _resolve_ref(git_dir, common_dir, head[len("ref:"):].strip())
        return head.lower() if _SHA.match(head.lower()) else None
    except Exception:
        return None


COMMIT_SHA: Optional[str] = find_commit_sha()
