"""Fixtures of the host package tests."""

import pytest

from host_support import DocumentBuilder


@pytest.fixture
def builder():
    return DocumentBuilder()


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "store" / "traces.sqlite3")
