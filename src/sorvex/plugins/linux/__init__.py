"""Connections to hosts running Linux, reached through a login shell."""
