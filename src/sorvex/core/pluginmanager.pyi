"""
Module:
    sorvex.core.pluginmanager

Description:
    This module provides
    1. Methods for identifying and loading plugin implementations
    2. Methods for validating and accessing platform implementation
"""
import importlib as importlib
import os as os
import pkgutil as pkgutil
from collections.abc import Iterator
from inspect import getfile as getfile
from typing import Any, Protocol

from sorvex import log as log
from sorvex.plugins import supported_chassis as supported_chassis, supported_os as supported_os

from .errors import ConnectionInfraError as ConnectionInfraError

class _EntryPoint(Protocol):
    # What external discovery reads from an entry point.
    @property
    def name(self) -> str: ...
    @property
    def module_name(self) -> str: ...
    def load(self) -> Any: ...

# sorvex._entry_points.iter_entry_points, always.
def iter_entry_points(group: str, name: str | None = None) -> Iterator[_EntryPoint]: ...

ENTRYPOINT_GROUP: str

class PluginManager:
    """
    Loads all plugin implementation,
    provides API's for accessing plugins
    """

    # The plugin tree: OS -> series -> model, each node with an optional
    # "data" entry mapping a chassis type to {"cls": class, "path": file}.
    _plugins: dict[Any, Any]
    chassis_type_list: list[str]
    supported_os: list[str]
    def __init__(self) -> None: ...
    @property
    def plugins(self) -> dict[Any, Any]: ...
    @plugins.setter
    def plugins(self, value: object) -> None: ...
    def validate_model(self, os: str | None, series: str | None, model: str | None) -> None: ...
    def validate_series(self, os: str | None, series: str | None) -> None: ...
    def validate_os(self, os: str | None) -> None: ...
    def validate_chassis_type(self, chassis_type: str | None) -> None: ...
    def validate_arguments(
        self, os: str | None, series: str | None, model: str | None, chassis_type: str | None
    ) -> None: ...
    def get_plugin(
        self,
        os: str | None = None,
        series: str | None = None,
        model: str | None = None,
        chassis_type: str | None = "single_rp",
    ) -> type[Any]: ...
    def unregister_plugin(
        self,
        os: str | None = None,
        series: str | None = None,
        model: str | None = None,
        chassis_type: str | None = None,
    ) -> None: ...
    def register_plugin(
        self,
        cls: type[Any],
        os: str | None = None,
        series: str | None = None,
        model: str | None = None,
        chassis_type: str | None = "single_rp",
    ) -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: object, output: str = "plugin") -> str: ...
    def __repr__(self) -> str: ...
