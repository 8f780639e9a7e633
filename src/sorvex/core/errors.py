"""Exceptions raised by sorvex."""

__all__ = ["ConnectionInfraError"]


class ConnectionInfraError(Exception):
    """A device description is invalid, or no plugin is registered for it."""
