"""The version of the sarn package.

This is the single place the version is written; the build metadata and the
trace documents (their "meta" -> "version" entry) both read it from here.
"""

__version__ = "0.1.0"
