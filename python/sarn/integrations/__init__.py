"""Integrations that record one trace per unit of work of a framework.

The pytest integration (one trace per test) lives in :mod:`sarn.pytest_plugin`
and its test boundaries in :mod:`sarn.plugins`; framework integrations that
record one trace per web request belong in this package.
"""
