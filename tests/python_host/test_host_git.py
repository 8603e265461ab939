"""The commit of the repository the current directory belongs to."""

import os
import shutil
import subprocess

import pytest

from sarn import git

has_git = shutil.which("git") is not None
needs_git = pytest.mark.skipif(not has_git, reason="the git program is not installed")


def run_git(folder, *args):
    env = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.invalid",
               GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.invalid")
    env.pop("GIT_DIR", None)
    done = subprocess.run(["git", *args], cwd=str(folder), env=env, check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return done.stdout.decode().strip()


@pytest.fixture
def repo(tmp_path):
    folder = tmp_path / "repo"
    folder.mkdir()
    run_git(folder, "init", "-q")
    run_git(folder, "config", "commit.gpgsign", "false")
    (folder / "a.txt").write_text("a")
    run_git(folder, "add", "a.txt")
    run_git(folder, "commit", "-q", "-m", "first")
    return folder


@needs_git
def test_head_of_a_branch_from_a_subfolder(repo):
    sub = repo / "deep" / "er"
    sub.mkdir(parents=True)
    assert git.find_commit_sha(str(sub)) == run_git(repo, "rev-parse", "HEAD")


@needs_git
def test_packed_refs(repo):
    head = run_git(repo, "rev-parse", "HEAD")
    run_git(repo, "pack-refs", "--all", "--prune")
    assert not any((repo / ".git" / "refs" / "heads").iterdir())
    assert git.find_commit_sha(str(repo)) == head


@needs_git
def test_detached_head(repo):
    first = run_git(repo, "rev-parse", "HEAD")
    (repo / "b.txt").write_text("b")
    run_git(repo, "add", "b.txt")
    run_git(repo, "commit", "-q", "-m", "second")
    run_git(repo, "checkout", "-q", first)
    assert git.find_commit_sha(str(repo)) == first


@needs_git
def test_linked_worktree(repo, tmp_path):
    (repo / "b.txt").write_text("b")
    run_git(repo, "add", "b.txt")
    run_git(repo, "commit", "-q", "-m", "second")
    run_git(repo, "branch", "other", "HEAD~1")
    run_git(repo, "worktree", "add", "-q", str(tmp_path / "wt"), "other")
    assert git.find_commit_sha(str(tmp_path / "wt")) == run_git(repo, "rev-parse", "other")
    assert git.find_commit_sha(str(repo)) == run_git(repo, "rev-parse", "HEAD")


@needs_git
def test_unborn_branch_is_none(tmp_path):
    run_git(tmp_path, "init", "-q")
    assert git.find_commit_sha(str(tmp_path)) is None


@pytest.mark.parametrize(
    "make",
    [
        lambda root: None,
        lambda root: (root / ".git").write_text("not a gitdir line"),
        lambda root: (root / ".git").write_text("gitdir: does/not/exist"),
        lambda root: ((root / ".git").mkdir(), (root / ".git" / "HEAD").write_text("ref: refs/heads/../../escape")),
        lambda root: ((root / ".git").mkdir(), (root / ".git" / "HEAD").write_text("garbage")),
        lambda root: ((root / ".git").mkdir(),),
    ],
    ids=["no repository", "bad .git file", "missing gitdir", "escaping ref", "garbage HEAD", "no HEAD"],
)
def test_no_commit_gives_none(tmp_path, make):
    root = tmp_path / "project"
    root.mkdir()
    make(root)
    assert git.find_commit_sha(str(root)) is None


def test_hand_made_repository_without_git_program(tmp_path):
    sha = "ab" * 20
    dot_git = tmp_path / ".git"
    (dot_git / "refs" / "heads").mkdir(parents=True)
    (dot_git / "HEAD").write_text("ref: refs/heads/main\n")
    (dot_git / "packed-refs").write_text("# pack-refs with: peeled\n%s refs/heads/main\n^%s\n" % (sha, "cd" * 20))
    assert git.find_commit_sha(str(tmp_path)) == sha
    (dot_git / "refs" / "heads" / "main").write_text("ef" * 20 + "\n")
    assert git.find_commit_sha(str(tmp_path)) == "ef" * 20


def test_missing_current_directory_gives_none(tmp_path, monkeypatch):
    def gone():
        raise FileNotFoundError("gone")

    monkeypatch.setattr(os, "getcwd", gone)
    assert git.find_commit_sha() is None


def test_module_value_is_a_sha_or_none():
    assert git.COMMIT_SHA is None or (isinstance(git.COMMIT_SHA, str) and len(git.COMMIT_SHA) in (40, 64))
