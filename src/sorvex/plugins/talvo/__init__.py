"""Connections to devices running Talvo, a network operating system.

``connection`` holds the connection classes shared by every Talvo device;
each series with a behaviour of its own has a sub-package (``t5``).
"""
