"""Entry points of installed distributions, for when pkg_resources is missing."""


def iter_entry_points(group):
    """Yield the entry points of ``group`` (placeholder: none yet)."""
    return iter(())
