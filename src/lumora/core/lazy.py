"""Deferred imports.

lazy_import() hands out a stand-in for a module, or for one attribute of a
module, that performs the import the first time it is really used. The native
store binds orjson, the logger, the settings and the package version this way
so that importing it stays cheap and free of import cycles with the host
package.

This module must itself stay light: it imports nothing of lumora and no
third-party package.
"""

from __future__ import annotations

import importlib
import threading
from typing import Any

__all__ = ["LazyObject", "lazy_import"]

_UNRESOLVED: Any = object()


def _target(obj: object) -> object:
    """obj itself, or what it stands for when it is a LazyObject."""
    return obj._lazy_resolve() if isinstance(obj, LazyObject) else obj


class LazyObject:
    """Stands for `module` (or `module.attribute`) and imports it on first use.

    The resolved object is cached in the proxy; names bound to the proxy keep
    pointing at the proxy. Special methods that Python looks up on the type
    (call, str, repr, format, comparisons, truth, hashing, containers, a few
    operators) are forwarded explicitly; everything else goes through
    __getattr__.
    """

    __slots__ = ("_lazy_module", "_lazy_attribute", "_lazy_target", "_lazy_lock", "__weakref__")

    _lazy_module: str
    _lazy_attribute: str | None
    _lazy_target: Any
    _lazy_lock: threading.RLock

    def __init__(self, module: str, attribute: str | None = None) -> None:
        object.__setattr__(self, "_lazy_module", module)
        object.__setattr__(self, "_lazy_attribute", attribute)
        object.__setattr__(self, "_lazy_target", _UNRESOLVED)
        # Reentrant: the imported module may itself touch this proxy while it
        # initialises, on the same thread.
        object.__setattr__(self, "_lazy_lock", threading.RLock())

    def _lazy_resolve(self) -> Any:
        target = self._lazy_target
        if target is not _UNRESOLVED:
            return target
        with self._lazy_lock:
            target = self._lazy_target
            if target is _UNRESOLVED:
                target = self._lazy_load()
                object.__setattr__(self, "_lazy_target", target)
        return target

    def _lazy_load(self) -> Any:
        module = importlib.import_module(self._lazy_module)
        name = self._lazy_attribute
        if name is None:
            return module
        try:
            return getattr(module, name)
        except AttributeError:
            pass
        # As `from module import name` does: the name may be a submodule.
        full_name = f"{self._lazy_module}.{name}"
        try:
            return importlib.import_module(full_name)
        except ModuleNotFoundError as exc:
            if exc.name != full_name:
                raise
        raise ImportError(
            f"cannot import name {name!r} from {self._lazy_module!r}",
            name=self._lazy_module,
        )

    @property
    def _lazy_resolved(self) -> bool:
        """Whether the import has happened (inspection without resolving)."""
        return self._lazy_target is not _UNRESOLVED

    # Attribute access.

    def __getattr__(self, name: str) -> Any:
        return getattr(self._lazy_resolve(), name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name in _OWN_SLOTS:
            raise AttributeError(f"{name!r} of a lazy object cannot be set")
        setattr(self._lazy_resolve(), name, value)

    def __delattr__(self, name: str) -> None:
        if name in _OWN_SLOTS:
            raise AttributeError(f"{name!r} of a lazy object cannot be deleted")
        delattr(self._lazy_resolve(), name)

    def __dir__(self) -> list[str]:
        return dir(self._lazy_resolve())

    # isinstance() consults __class__, so a proxy for a str passes as a str.
    @property  # type: ignore[misc]
    def __class__(self) -> type:
        return type(self._lazy_resolve())

    # Calling and text.

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._lazy_resolve()(*args, **kwargs)

    def __str__(self) -> str:
        return str(self._lazy_resolve())

    def __repr__(self) -> str:
        return repr(self._lazy_resolve())

    def __format__(self, format_spec: str) -> str:
        return format(self._lazy_resolve(), format_spec)

    def __bytes__(self) -> bytes:
        return bytes(self._lazy_resolve())

    def __fspath__(self) -> Any:
        return self._lazy_resolve().__fspath__()

    # Comparison, truth and hashing.

    def __eq__(self, other: object) -> bool:
        return bool(self._lazy_resolve() == _target(other))

    def __ne__(self, other: object) -> bool:
        return bool(self._lazy_resolve() != _target(other))

    def __lt__(self, other: object) -> Any:
        return self._lazy_resolve() < _target(other)

    def __le__(self, other: object) -> Any:
        return self._lazy_resolve() <= _target(other)

    def __gt__(self, other: object) -> Any:
        return self._lazy_resolve() > _target(other)

    def __ge__(self, other: object) -> Any:
        return self._lazy_resolve() >= _target(other)

    def __bool__(self) -> bool:
        return bool(self._lazy_resolve())

    def __hash__(self) -> int:
        return hash(self._lazy_resolve())

    # Containers.

    def __len__(self) -> int:
        return len(self._lazy_resolve())

    def __iter__(self) -> Any:
        return iter(self._lazy_resolve())

    def __contains__(self, item: object) -> bool:
        return item in self._lazy_resolve()

    def __getitem__(self, key: Any) -> Any:
        return self._lazy_resolve()[key]

    # Operators that make sense for the text and number values proxied here.

    def __add__(self, other: Any) -> Any:
        return self._lazy_resolve() + _target(other)

    def __radd__(self, other: Any) -> Any:
        return _target(other) + self._lazy_resolve()

    def __mod__(self, other: Any) -> Any:
        return self._lazy_resolve() % _target(other)

    def __truediv__(self, other: Any) -> Any:
        return self._lazy_resolve() / _target(other)

    def __rtruediv__(self, other: Any) -> Any:
        return _target(other) / self._lazy_resolve()


# The proxy's own state: never forwarded to the target, never settable.
_OWN_SLOTS = frozenset(LazyObject.__slots__) - {"__weakref__"}


def lazy_import(module: str, attribute: str | None = None) -> Any:
    """Return a stand-in for `module`, or for `module.attribute`.

    Nothing is imported here; the import happens on the stand-in's first use
    (attribute access, call, str(), comparison, ...) and its result is kept.
    An import error is raised at that use and the next use tries again.
    """
    return LazyObject(module, attribute)
