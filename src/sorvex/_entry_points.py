"""Entry points of the installed distributions, read through importlib.metadata.

The plugin manager binds :func:`iter_entry_points` from here when
``pkg_resources`` cannot be imported (setuptools 82 and newer ship none, and
a fresh virtual environment may have no setuptools at all). It answers the
way ``pkg_resources.iter_entry_points`` does, as far as discovery and the
``sorvex`` command use it.

This module is imported with ``sorvex`` and must stay cheap:
``importlib.metadata`` costs about as much as ``sorvex`` itself, so it is
imported on the first call only.
"""
from __future__ import annotations

# typing costs milliseconds on the interpreters that do not import it at
# startup; the annotations only need it for type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import ModuleType
    from typing import Any, Iterable, Iterator, List, Optional, Set, Tuple

__all__ = ["Distribution", "EntryPoint", "iter_entry_points"]


class Distribution:
    """The distribution an entry point comes from.

    ``project_name`` is spelled as ``pkg_resources`` spells it: every run of
    characters other than letters, digits and ``.`` becomes ``-``.
    """

    __slots__ = ("project_name", "version")

    def __init__(self, project_name: str, version: str) -> None:
        self.project_name = project_name
        self.version = version

    @property
    def key(self) -> str:
        """The project name in lower case."""
        return self.project_name.lower()

    def __str__(self) -> str:
        return f"{self.project_name} {self.version}"

    def __repr__(self) -> str:
        return f"<Distribution {self}>"


class EntryPoint:
    """One entry point: ``name = module_name:attrs [extras]`` of a group."""

    __slots__ = ("name", "group", "value", "module_name", "attrs", "extras", "dist")

    def __init__(self, name: str, group: str, value: str, dist: Distribution) -> None:
        self.name = name
        self.group = group
        self.value = value
        self.module_name, self.attrs, self.extras = _parse_value(value)
        self.dist = dist

    def load(self, require: bool = True) -> Any:
        """Import the module and return the object the attribute path names.

        ``require`` is accepted for the call shape of ``pkg_resources`` and
        ignored: the requirements of the distribution are not checked.
        """
        return self.resolve()

    def resolve(self) -> Any:
        """Import the module and follow ``attrs`` from it.

        A missing attribute raises :class:`ImportError`, as a missing module
        does.
        """
        import importlib

        found: Any = importlib.import_module(self.module_name)
        try:
            for attribute in self.attrs:
                found = getattr(found, attribute)
        except AttributeError as error:
            raise ImportError(str(error)) from error
        return found

    def __str__(self) -> str:
        text = f"{self.name} = {self.module_name}"
        if self.attrs:
            text += ":" + ".".join(self.attrs)
        if self.extras:
            text += " [" + ",".join(self.extras) + "]"
        return text

    def __repr__(self) -> str:
        return f"<EntryPoint {str(self)!r} from {self.dist}>"


def _parse_value(value: str) -> Tuple[str, Tuple[str, ...], Tuple[str, ...]]:
    # "package.module:object.attribute [extra, ...]"
    reference, _, extras = value.partition("[")
    module_name, _, attrs = reference.partition(":")
    attr_path = tuple(part.strip() for part in attrs.split(".")) if attrs.strip() else ()
    extra_names = tuple(part.strip() for part in extras.replace("]", "").split(",") if part.strip())
    return module_name.strip(), attr_path, extra_names


def _metadata_module() -> ModuleType:
    try:
        import importlib.metadata as metadata
    except ImportError:  # Python 3.7: the backport, when installed
        import importlib_metadata as metadata  # type: ignore[import-not-found,no-redef]
    return metadata


def _name_and_version(distribution: Any) -> Tuple[str, str]:
    """Name and version from the metadata; for broken metadata, the name of its directory."""
    try:
        metadata = distribution.metadata
        name, version = metadata["Name"], metadata["Version"]
    except Exception:
        name = version = None
    if not isinstance(version, str):
        version = ""
    if isinstance(name, str) and name.strip():
        return name.strip(), version
    import os.path

    directory = os.path.basename(str(getattr(distribution, "_path", "")))
    for suffix in (".dist-info", ".egg-info"):
        if directory.endswith(suffix):
            directory = directory[: -len(suffix)]
    return directory.partition("-")[0], version


def iter_entry_points(group: str, name: Optional[str] = None) -> Iterator[EntryPoint]:
    """Yield the entry points of ``group`` (only those called ``name``, if given).

    The order is stable: by distribution name (normalised, as in
    ``sorvex-plugin-mirel``), then by entry-point name. A distribution that
    is installed twice on ``sys.path`` counts once, the first one found.
    """
    import re

    found: List[Tuple[str, str, int, EntryPoint]] = []
    seen: Set[str] = set()
    for distribution in _metadata_module().distributions():
        project_name, version = _name_and_version(distribution)
        normalised = re.sub(r"[-_.]+", "-", project_name).lower()
        if normalised in seen:
            continue
        if normalised:
            seen.add(normalised)
        entry_points: Iterable[Any] = distribution.entry_points
        dist: Optional[Distribution] = None
        for entry_point in entry_points:
            if entry_point.group != group or (name is not None and entry_point.name != name):
                continue
            if dist is None:
                dist = Distribution(re.sub(r"[^A-Za-z0-9.]+", "-", project_name), version)
            found.append(
                (normalised, entry_point.name, len(found), EntryPoint(entry_point.name, group, entry_point.value, dist))
            )
    found.sort(key=lambda item: item[:3])
    return iter([item[3] for item in found])

