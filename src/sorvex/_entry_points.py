"""Entry points of the installed distributions: sorvex's own reader.

The plugin manager binds :func:`iter_entry_points` from here, always: which
plugins load, and in what order, never depends on whether some other package
(an old setuptools with ``pkg_resources``, say) happens to be installed.

What it reads, and how:

- For each plain directory on ``sys.path``, the names of its
  ``*.dist-info`` and ``*.egg-info`` directories give the distributions
  (``name-version.dist-info``: the name ends at the first ``-``). Only their
  ``entry_points.txt`` files are read; the metadata file (``METADATA`` or
  ``PKG-INFO``) of a distribution is read only when its name or version is
  asked for, which discovery does only for distributions that have the group.
- Anything else, zip files and ``*.egg`` entries on ``sys.path`` and the
  finders on ``sys.meta_path`` that provide distributions of their own, is
  handed to ``importlib.metadata`` (on 3.7, the ``importlib_metadata``
  backport), in the same order in which ``importlib.metadata`` consults them.
- A distribution name (compared normalised: case, ``-``, ``_`` and ``.``
  ignored) counts once: the first one found wins, as in
  ``importlib.metadata.entry_points()``.
- No declared dependency of a distribution is checked (``importlib.metadata``
  checks none either).

The order of the result is stable and does not depend on the file system:
by distribution name (normalised, as in ``sorvex-plugin-mirel``), then by
entry-point name, then as written in the file.

This module is imported with ``sorvex`` and must stay cheap: it imports
nothing beyond what the interpreter has loaded at start-up, and
``importlib.metadata`` only when something has to be handed to it.
"""
from __future__ import annotations

import os
import sys

# typing costs milliseconds on the interpreters that do not import it at
# startup; the annotations only need it for type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import ModuleType
    from typing import Any, Iterable, Iterator, List, Optional, Set, Tuple

    Found = Tuple[str, str, int, "EntryPoint"]

__all__ = ["Distribution", "EntryPoint", "iter_entry_points"]

_INFO_SUFFIXES = (".dist-info", ".egg-info")


def normalise(name: str) -> str:
    """A distribution name as compared: lower case, each run of ``-``, ``_``, ``.`` one ``-``."""
    text = name.lower().replace("_", "-").replace(".", "-")
    while "--" in text:
        text = text.replace("--", "-")
    return text


def _read_text(path: str) -> Optional[str]:
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except (OSError, UnicodeDecodeError, ValueError):
        return None


class Distribution:
    """The distribution an entry point comes from.

    ``project_name`` is spelled as ``pkg_resources`` spells it: every run of
    characters other than letters, digits and ``.`` becomes ``-``. For a
    distribution that sorvex read itself, the name and the version are read
    from its metadata on first use; unreadable metadata gives the name of its
    directory and an empty version.
    """

    __slots__ = ("_path", "_name", "_version")

    def __init__(self, project_name: Optional[str] = None, version: Optional[str] = None, path: str = "") -> None:
        self._path = path
        self._name = project_name
        self._version = version

    def _read_metadata(self) -> None:
        name = version = None
        filename = "METADATA" if self._path.lower().endswith(".dist-info") else "PKG-INFO"
        text = _read_text(os.path.join(self._path, filename)) or ""
        for line in text.splitlines():
            if not line.strip():
                break  # the end of the headers
            field, colon, value = line.partition(":")
            field = field.strip().lower()
            if colon and field == "name" and name is None:
                name = value.strip()
            elif colon and field == "version" and version is None:
                version = value.strip()
        if not name:
            directory = os.path.basename(self._path)
            name = directory.rpartition(".")[0].partition("-")[0]
        if self._name is None:
            import re

            self._name = re.sub(r"[^A-Za-z0-9.]+", "-", name)
        if self._version is None:
            self._version = version or ""

    @property
    def project_name(self) -> str:
        """The name of the distribution."""
        if self._name is None:
            self._read_metadata()
        return self._name  # type: ignore[return-value]

    @property
    def version(self) -> str:
        """Its version ("" when its metadata has none)."""
        if self._version is None:
            self._read_metadata()
        return self._version  # type: ignore[return-value]

    @property
    def key(self) -> str:
        """The project name in lower case."""
        return self.project_name.lower()

    @property
    def location(self) -> str:
        """The metadata directory it was read from ("" when another finder provided it)."""
        return self._path

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


def parse_entry_points(text: str, group: str) -> Iterator[Tuple[str, str]]:
    """(name, value) of each entry point of ``group`` in the text of an ``entry_points.txt``.

    Blank lines and comments (``#`` or ``;``) are skipped, and so is a line
    without ``=``.
    """
    section = None
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;":
            continue
        if line[0] == "[" and line[-1] == "]":
            section = line.strip("[]")
            continue
        if section == group:
            name, equals, value = line.partition("=")
            if equals:
                yield name.strip(), value.strip()


def _metadata_module() -> ModuleType:
    try:
        import importlib.metadata as metadata
    except ImportError:  # Python 3.7: the backport
        import importlib_metadata as metadata  # type: ignore[import-not-found,no-redef]
    return metadata


class _Scan:
    """One search for the entry points of a group: what was found, and the names seen."""

    def __init__(self, group: str, name: Optional[str]) -> None:
        self.group = group
        self.name = name
        self.seen: Set[str] = set()
        self.found: List[Found] = []

    def add(self, key: str, text: str, dist: Any) -> None:
        """Adds the entry points of the group in ``text``, of the distribution ``dist``.

        ``dist`` is the metadata directory, or a :class:`Distribution`.
        """
        for name, value in parse_entry_points(text, self.group):
            if self.name is None or name == self.name:
                if not isinstance(dist, Distribution):
                    dist = Distribution(path=dist)
                self.found.append((key, name, len(self.found), EntryPoint(name, self.group, value, dist)))

    def directory(self, entry: str) -> bool:
        """Reads a plain directory of ``sys.path``; False when it is not one."""
        try:
            children = os.listdir(entry or ".")
        except NotADirectoryError:
            return False
        except (OSError, ValueError):  # missing, unreadable: nothing there
            return True
        group = self.group
        for child in children:
            low = child.lower()
            if not low.endswith(_INFO_SUFFIXES):
                continue
            key = normalise(low.rpartition(".")[0].partition("-")[0])
            if key in self.seen:
                continue
            self.seen.add(key)
            info = os.path.join(entry, child)
            text = _read_text(os.path.join(info, "entry_points.txt"))
            if text is not None and group in text:
                self.add(key, text, info)
        return True

    def distributions(self, distributions: Iterable[Any]) -> None:
        """Reads the distributions that importlib.metadata found."""
        for distribution in distributions:
            try:
                metadata = distribution.metadata
                name, version = metadata["Name"], metadata["Version"]
            except Exception:
                continue  # no usable metadata: importlib.metadata skips it too
            key = getattr(distribution, "_normalized_name", None)
            key = normalise(key if isinstance(key, str) else name if isinstance(name, str) else "")
            if key in self.seen:
                continue
            self.seen.add(key)
            text = distribution.read_text("entry_points.txt")
            if text and self.group in text:
                import re

                project_name = re.sub(r"[^A-Za-z0-9.]+", "-", str(name))
                self.add(key, text, Distribution(project_name, version if isinstance(version, str) else ""))

    def path(self) -> None:
        """Every entry of ``sys.path``, in order: what importlib.metadata's path finder reads."""
        for entry in list(sys.path):
            if not isinstance(entry, str):
                continue
            if entry.lower().endswith(".egg") or not self.directory(entry):
                metadata = _metadata_module()
                finder = metadata.MetadataPathFinder()
                self.distributions(finder.find_distributions(metadata.DistributionFinder.Context(path=[entry])))

    def everything(self) -> List[EntryPoint]:
        """The finders of ``sys.meta_path`` in order: the path finder's part read here, others' handed over."""
        path_finders = (_path_finder(),)
        for finder in list(sys.meta_path):
            if finder in path_finders:
                self.path()
                continue
            cls = type(finder)
            if cls.__name__ == "MetadataPathFinder" and cls.__module__.partition(".")[0] == "importlib_metadata":
                continue  # the backport's stand-in for the path finder on 3.7: read above
            find = getattr(finder, "find_distributions", None)
            if find is not None:
                self.distributions(find(_metadata_module().DistributionFinder.Context()))
        self.found.sort(key=lambda item: item[:3])
        return [item[3] for item in self.found]


def _path_finder() -> Any:
    import importlib.machinery  # loaded already, by pkgutil, which the manager imports

    return importlib.machinery.PathFinder


def iter_entry_points(group: str, name: Optional[str] = None) -> Iterator[EntryPoint]:
    """Yield the entry points of ``group`` (only those called ``name``, if given).

    All are read before the first is yielded. The order: by distribution name
    (normalised, as in ``sorvex-plugin-mirel``), then by entry-point name,
    then as written. A distribution that is installed twice counts once, the
    first one found on ``sys.path``.
    """
    return iter(_Scan(group, name).everything())
