"""Tests of the Talvo plugin.

Plugin discovery leaves test code alone. Importing this package fails on
purpose, so that a discovery that wrongly tried to import it breaks at once
instead of quietly loading test modules into the library.
"""
raise ImportError("test code must not be imported by plugin discovery")
