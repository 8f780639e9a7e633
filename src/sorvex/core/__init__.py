"""Core of sorvex: the native plugin manager and the library's errors."""
