"""Web front end for browsing recorded traces.

Reserved for a browser-based trace viewer; the terminal viewer lives in
:mod:`sarn.viewer` and is reached through ``sarn show``.
"""
