"""Loading the plugins one at a time, with a report: :func:`load_plugins`.

``PluginManager.discover_external_plugins()`` stops at the first plugin that
fails and raises its exception. :func:`load_plugins` goes on past it, and
tells what happened: which plugin failed and why, which distribution provided
each record of the tree, and which record a later plugin replaced.

A record is told apart from others by its place in the tree, (OS, series,
model, chassis type), with ``None`` for a level not given. What a plugin
provided is what changed in the tree while its module was imported.

This module is imported with ``sorvex``, and imports nothing else at that time.
"""
from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, FrozenSet, Iterable, Iterator, List, Optional, Tuple

    Key = Tuple[Any, Any, Any, Any]

__all__ = ["Conflict", "Failure", "PluginLoadError", "PluginReport", "Provider", "load_plugins", "iter_records"]

#: The environment variable that names plugins not to load: entry-point
#: names, separated by commas.
DISABLE_VARIABLE = "SORVEX_DISABLE_PLUGINS"

LEVELS = 3  # OS, series, model


def _text(value: object) -> str:
    """``str(value)``; for a value that cannot say, its repr or type."""
    try:
        return str(value)
    except Exception:
        pass
    try:
        return repr(value)
    except Exception:
        return "<unprintable " + type(value).__name__ + " object>"


def describe_error(error: BaseException) -> str:
    """``TypeName: message``, as the last line of a traceback says it."""
    message = _text(error)
    return type(error).__name__ + (": " + message if message else "")


# The records of a tree: OS -> series -> model, each node with an optional
# "data" mapping of chassis type -> {"cls": class, "path": file}. A tree edited
# by hand may hold anything; odd nodes are skipped.


def _items(node: object) -> List[Tuple[Any, Any]]:
    if not isinstance(node, dict):
        return []
    try:
        return list(dict.items(node))
    except Exception:
        return []


def _is_data(key: object) -> bool:
    return isinstance(key, str) and str.__eq__(key, "data") is True


def _is_node(value: object) -> bool:
    """A dict that holds neither of a record's keys."""
    if not isinstance(value, dict):
        return False
    try:
        return not (dict.__contains__(value, "cls") or dict.__contains__(value, "path"))
    except Exception:
        return False


def iter_records(tree: object) -> Iterator[Tuple[Tuple[Any, ...], Any, Any]]:
    """(levels, chassis type, record) for every record of ``tree``, the keys as stored.

    Records directly below the root (no OS) are included: a lookup for an OS
    that is not in the tree ends there. The root's "data" is also the node of
    an OS named "data" (the one level where the name may be registered): what
    it holds is read both ways, and its nodes are not taken for records.
    """
    pending: List[Tuple[object, Tuple[Any, ...]]] = [(tree, ())]
    while pending:
        node, levels = pending.pop()
        for key, child in _items(node):
            if _is_data(key):
                for chassis_type, record in _items(child):
                    if levels or not _is_node(record):
                        yield levels, chassis_type, record
                if not levels:
                    pending.append((child, (key,)))
            elif len(levels) < LEVELS:
                pending.append((child, levels + (key,)))


def record_key(levels: Tuple[Any, ...], chassis_type: object) -> Key:
    """The place of a record: (OS, series, model, chassis type), ``None`` for a level not given."""
    os_, series, model = (tuple(levels) + (None, None, None))[:LEVELS]
    return os_, series, model, chassis_type


def _snapshot(manager: object) -> Dict[Key, Any]:
    try:
        tree = manager.plugins  # type: ignore[attr-defined]
    except Exception:
        return {}
    return {record_key(levels, chassis): record for levels, chassis, record in iter_records(tree)}


class Provider:
    """Who provided a record: a distribution (and version) through one entry point, or sorvex itself.

    ``entry_point`` is ``None`` for sorvex's built-in plugins.
    """

    __slots__ = ("distribution", "version", "entry_point", "module")

    def __init__(self, distribution: str, version: str, entry_point: Optional[str], module: Optional[str]) -> None:
        self.distribution = distribution
        self.version = version
        self.entry_point = entry_point
        self.module = module

    @property
    def builtin(self) -> bool:
        return self.entry_point is None

    def as_dict(self) -> Dict[str, Optional[str]]:
        return {
            "distribution": self.distribution,
            "version": self.version,
            "entry_point": self.entry_point,
            "module": self.module,
        }

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Provider):
            return NotImplemented
        return (self.distribution, self.entry_point, self.module) == (other.distribution, other.entry_point, other.module)

    def __hash__(self) -> int:
        return hash((self.distribution, self.entry_point, self.module))

    def __str__(self) -> str:
        text = self.distribution + (" " + self.version if self.version else "")
        return text + (" (built-in)" if self.builtin else " (entry point '" + self.entry_point + "')")  # type: ignore[operator]

    def __repr__(self) -> str:
        return "<Provider " + str(self) + ">"


class Failure:
    """A plugin that failed to load: which, and the exception (with its traceback)."""

    __slots__ = ("provider", "error")

    def __init__(self, provider: Optional[Provider], error: BaseException) -> None:
        self.provider = provider
        self.error = error

    @property
    def entry_point(self) -> Optional[str]:
        return None if self.provider is None else self.provider.entry_point

    @property
    def distribution(self) -> Optional[str]:
        return None if self.provider is None else self.provider.distribution

    @property
    def version(self) -> Optional[str]:
        return None if self.provider is None else self.provider.version

    @property
    def module(self) -> Optional[str]:
        return None if self.provider is None else self.provider.module

    def __str__(self) -> str:
        provider = self.provider
        if provider is None:
            return "external plugin discovery failed: " + describe_error(self.error)
        if provider.builtin:
            if provider.module is None:
                return "built-in plugin discovery failed: " + describe_error(self.error)
            what = "built-in plugin module '" + provider.module + "'"
        else:
            what = "external plugin '" + _text(provider.entry_point) + "' from distribution '" + provider.distribution + "'"
            if provider.version:
                what += " " + provider.version
            what += " (module " + _text(provider.module) + ")"
        return what + " failed to load: " + describe_error(self.error)

    def __repr__(self) -> str:
        return "<Failure " + str(self) + ">"


class Conflict:
    """A record that a later plugin replaced: where, and both providers and classes."""

    __slots__ = ("key", "replaced", "replaced_class", "by", "cls")

    def __init__(self, key: Key, replaced: Provider, replaced_class: Any, by: Provider, cls: Any) -> None:
        self.key = key
        self.replaced = replaced
        self.replaced_class = replaced_class
        self.by = by
        self.cls = cls

    def __str__(self) -> str:
        return where(self.key) + ": " + str(self.replaced) + " replaced by " + str(self.by)

    def __repr__(self) -> str:
        return "<Conflict " + str(self) + ">"


def where(key: Key) -> str:
    """``os/series/model`` and the chassis type of a record's place, as text."""
    levels = "/".join(_text(level) for level in key[:LEVELS] if level is not None) or "the root"
    return levels + ", " + _text(key[LEVELS])


class PluginReport:
    """What :func:`load_plugins` did.

    - ``loaded``: the providers that loaded, in order (the built-in plugins first);
    - ``failures``: one :class:`Failure` per plugin that failed;
    - ``providers``: the provider of each record, by its place
      ``(os, series, model, chassis_type)`` (see :meth:`provider`);
    - ``conflicts``: each record a later plugin replaced (:class:`Conflict`);
    - ``disabled``: the entry points skipped, as providers;
    - ``skip``: the entry-point names asked to be skipped (argument and
      ``SORVEX_DISABLE_PLUGINS``), found or not.
    """

    def __init__(self, skip: FrozenSet[str] = frozenset()) -> None:
        self.loaded: List[Provider] = []
        self.failures: List[Failure] = []
        self.providers: Dict[Key, Provider] = {}
        self.conflicts: List[Conflict] = []
        self.disabled: List[Provider] = []
        self.skip = skip

    @property
    def ok(self) -> bool:
        """True when no plugin failed."""
        return not self.failures

    def provider(
        self, os: object, series: object = None, model: object = None, chassis_type: object = "single_rp"
    ) -> Optional[Provider]:
        """The provider of the record registered at exactly that place, or ``None``."""
        return self.providers.get((os, series, model, chassis_type))

    def __repr__(self) -> str:
        return "<PluginReport: %d loaded, %d failed, %d conflicts, %d disabled>" % (
            len(self.loaded), len(self.failures), len(self.conflicts), len(self.disabled)
        )  # fmt: skip


class PluginLoadError(Exception):
    """A plugin failed to load and the caller asked to stop there (``strict``).

    ``str()`` is the one line that says which plugin and why; ``failure`` is
    the :class:`Failure`, ``report`` what had been done until then, and the
    plugin's own exception is ``__cause__``.
    """

    def __init__(self, failure: Failure, report: PluginReport) -> None:
        super().__init__(str(failure))
        self.failure = failure
        self.report = report


class _ImportWatch:
    """Stands in for ``importlib`` in the manager's module; remembers a failing import."""

    def __init__(self, importlib: Any) -> None:
        self.importlib = importlib
        self.failed: Optional[str] = None

    def import_module(self, name: str, *args: Any, **kwargs: Any) -> Any:
        try:
            return self.importlib.import_module(name, *args, **kwargs)
        except BaseException:
            self.failed = _text(name)
            raise

    def __getattr__(self, name: str) -> Any:
        return getattr(self.importlib, name)


def _attribute(value: object, name: str) -> Optional[str]:
    try:
        found = getattr(value, name, None)
    except Exception:
        return None
    return None if found is None else _text(found)


def entry_point_provider(entry_point: Any) -> Provider:
    """The provider an entry point stands for; any attribute may be missing or fail."""
    try:
        dist = getattr(entry_point, "dist", None)
    except Exception:
        dist = None
    distribution = _attribute(dist, "project_name") if dist is not None else None
    version = _attribute(dist, "version") if dist is not None else None
    return Provider(
        distribution or "?", version or "", _attribute(entry_point, "name") or "?", _attribute(entry_point, "module_name")
    )


def builtin_provider(module: Optional[str] = None) -> Provider:
    import sorvex

    return Provider("sorvex", sorvex.__version__, None, module)


def disabled_names(skip: Iterable[str] = ()) -> FrozenSet[str]:
    """The names in ``skip`` and in ``SORVEX_DISABLE_PLUGINS``, blanks around them dropped."""
    names = [str(name) for name in skip] + os.environ.get(DISABLE_VARIABLE, "").split(",")
    return frozenset(name.strip() for name in names if name.strip())


class Loader:
    """Loads plugins one at a time into the shared manager, telling its report what each did."""

    def __init__(self, report: PluginReport, strict: bool = False) -> None:
        self.report = report
        self.strict = strict

    def _fail(self, provider: Optional[Provider], error: BaseException) -> None:
        failure = Failure(provider, error)
        self.report.failures.append(failure)
        if self.strict:
            raise PluginLoadError(failure, self.report) from error

    def track(self, provider: Provider, load: Callable[[], Any]) -> bool:
        """Runs ``load`` and credits ``provider`` with the records it added or replaced; False if it failed."""
        import sorvex

        before = _snapshot(sorvex.__plugin_manager__)
        try:
            load()
            error = None
        except Exception as raised:
            error = raised
        self._credit(provider, before, _snapshot(sorvex.__plugin_manager__))
        if error is None:
            self.report.loaded.append(provider)
            return True
        self._fail(provider, error)
        return False

    def _credit(self, provider: Provider, before: Dict[Key, Any], after: Dict[Key, Any]) -> None:
        providers = self.report.providers
        for key in before.keys() - after.keys():
            providers.pop(key, None)
        for key, record in after.items():
            old = before.get(key)
            if old is record:
                continue
            previous = providers.get(key)
            if previous is not None and previous != provider:
                self.report.conflicts.append(Conflict(key, previous, _class_of(old), provider, _class_of(record)))
            providers[key] = provider

    def builtin(self) -> None:
        """The built-in plugins, in one go: ``PluginManager.discover_builtin_plugins()``."""
        from sorvex.core import pluginmanager as native

        watch = _ImportWatch(native.importlib)
        native.importlib = watch  # type: ignore[assignment]
        try:
            loaded = self.track(builtin_provider(), native.PluginManager.discover_builtin_plugins)
        finally:
            native.importlib = watch.importlib
        if not loaded:
            self.report.failures[-1].provider = builtin_provider(watch.failed)

    def entry_points(self) -> List[Any]:
        """The entry points of the plugin group, read as discovery reads them; a failure is reported."""
        from sorvex.core import pluginmanager as native

        try:
            return list(native.iter_entry_points(group=native.ENTRYPOINT_GROUP))
        except Exception as error:
            self._fail(None, error)
            return []

    def external(self, entry_point: Any) -> bool:
        """One entry point: the manager's debug record, then load it; False if it failed."""
        from sorvex.core import pluginmanager as native

        provider = entry_point_provider(entry_point)

        def load() -> None:
            native.log.debug("Loading external plugin " + _text(entry_point.name) + " from " + _text(entry_point.module_name))
            entry_point.load()

        return self.track(provider, load)

    def credit_earlier_records(self) -> None:
        """Records already there before: credited to a loaded plugin by the module of their class."""
        import sorvex

        loaded = [provider for provider in self.report.loaded if provider.module]
        for key, record in _snapshot(sorvex.__plugin_manager__).items():
            if key in self.report.providers:
                continue
            module = _attribute(_class_of(record), "__module__") or ""
            if module.startswith("sorvex.plugins."):
                self.report.providers[key] = builtin_provider()
                continue
            for provider in loaded:
                if module == provider.module or module.startswith(provider.module + "."):  # type: ignore[operator]
                    self.report.providers[key] = provider
                    break


def _class_of(record: object) -> Any:
    if isinstance(record, dict):
        try:
            return dict.get(record, "cls")
        except Exception:
            return None
    return None


def load_plugins(skip: Iterable[str] = (), strict: bool = False, builtin: bool = True) -> PluginReport:
    """Load the built-in, then the external plugins into the shared manager; return a report.

    Unlike ``PluginManager.discover_external_plugins()``, a plugin that fails
    does not stop the others: each external plugin (entry point) is loaded on
    its own, and the failure goes into the report. The entry points are read
    by the manager's own ``iter_entry_points``, in its order, and each is
    announced with the same debug record before it is loaded.

    ``skip``: entry-point names not to load; the comma-separated names of the
    environment variable ``SORVEX_DISABLE_PLUGINS`` are added to them.
    ``strict``: raise :class:`PluginLoadError` at the first failure instead.
    ``builtin``: False leaves the built-in plugins out.
    """
    report = PluginReport(disabled_names(skip))
    loader = Loader(report, strict)
    if builtin:
        loader.builtin()
    for entry_point in loader.entry_points():
        if _attribute(entry_point, "name") in report.skip:
            report.disabled.append(entry_point_provider(entry_point))
            continue
        loader.external(entry_point)
    loader.credit_earlier_records()
    return report

