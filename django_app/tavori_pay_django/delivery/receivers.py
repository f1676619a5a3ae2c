"""Which receivers a payment event is for, the same in every process.

A receiver is connected to `payment_status_changed` or `payment_needs_review`
while Django loads its apps: in an AppConfig.ready(), or a module one
imports. Every process that loads Django (a web worker, a manage.py command,
a task worker) then has the same receivers, and an event records them by
name when it is written. A receiver connected later, from a module only the
URLconf or a view imports, would be connected in some processes and not
others: it is refused, with an error saying where to connect it.

A receiver's name is its `dispatch_uid` when it was connected with one,
else its dotted path (module and qualified name). A receiver with no such
path (a lambda, a partial, a function made inside another) and no uid, or
two receivers under one name, cannot be told apart across processes and
restarts: they are refused too, and `manage.py check` names them."""

from __future__ import annotations

import logging
import threading
import weakref
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from types import MethodType
from typing import Any, cast

from asgiref.sync import async_to_sync
from django.apps import apps
from django.dispatch import Signal

from .. import conf

logger = logging.getLogger("tavori_pay_django")

CONNECT_HINT = ("connect it in your AppConfig.ready(), or in a module ready() imports, so that every process "
                "(web workers, manage.py commands, task workers) has it")
NAME_HINT = ("connect it with dispatch_uid=\"...\" (a name that stays the same across processes and restarts), "
             "or make it a function defined at a module's top level")


@dataclass(frozen=True)
class Refused:
    """A connected receiver that is never called, and why."""
    receiver: str
    problem: str
    hint: str


@dataclass(frozen=True)
class Receivers:
    """A signal's receivers in this process: the callable of each name, and
    the connected receivers refused."""
    named: dict[str, Callable[..., object]] = field(default_factory=dict)
    refused: tuple[Refused, ...] = ()


class PaymentSignal(Signal):
    """A signal whose receivers must be connected while Django loads its apps."""

    def __init__(self) -> None:
        super().__init__()
        self._late: set[object] = set()  # lookup keys of receivers connected after loading
        self._late_lock = threading.Lock()

    def connect(self, receiver: Callable[..., Any], sender: object = None, weak: bool = True,
                dispatch_uid: str | None = None) -> None:
        key = _lookup_key(receiver, sender, dispatch_uid)
        with self.lock:
            connected_already = any(entry[0] == key for entry in self.receivers)
        super().connect(receiver, sender, weak, dispatch_uid)
        if apps.ready and not connected_already and not conf.running_tests():
            with self._late_lock:
                self._late.add(key)
            logger.error("payment receiver %s was connected after Django loaded its apps, so it is never called: "
                         "%s", _description(receiver, dispatch_uid), CONNECT_HINT)

    def disconnect(self, receiver: Callable[..., Any] | None = None, sender: object = None,
                   dispatch_uid: str | None = None) -> bool:
        with self._late_lock:
            self._late.discard(_lookup_key(receiver, sender, dispatch_uid))
        return super().disconnect(receiver, sender, dispatch_uid)

    def receivers_for_payments(self, sender: type) -> Receivers:
        """The receivers of payment events in this process, by name."""
        named: dict[str, Callable[..., object]] = {}
        refused: list[Refused] = []
        counts: dict[str, int] = {}
        live = _live(self, sender)
        for _, receiver, uid, _is_async in live:
            name = uid or _dotted_path(receiver)
            if name:
                counts[name] = counts.get(name, 0) + 1
        with self._late_lock:
            late = set(self._late)
        for key, receiver, uid, is_async in live:
            description = _description(receiver, uid)
            name = uid or _dotted_path(receiver)
            if key in late:
                refused.append(Refused(description, "was connected after Django loaded its apps", CONNECT_HINT))
            elif name is None:
                refused.append(Refused(description, "has no name that is the same in every process", NAME_HINT))
            elif counts[name] > 1:
                refused.append(Refused(description, f"shares the name {name} with another receiver", NAME_HINT))
            else:
                named[name] = async_to_sync(cast(Callable[..., Awaitable[object]], receiver)) if is_async else receiver
        return Receivers(named, tuple(refused))


def _live(signal: Signal, sender: type) -> list[tuple[object, Callable[..., object], str | None, bool]]:
    """The signal's live receivers for `sender`: lookup key, receiver, its
    dispatch_uid (None without one) and whether it is async. Read from
    Signal.receivers, Django's own list of (lookup key, reference, [sender
    reference, from Django 6.0,] is async), since Django exposes no
    receiver's uid; test_receivers covers it on every tested Django."""
    wanted = {id(None), id(sender)}
    found = []
    with signal.lock:
        entries = list(signal.receivers)
    for entry in entries:
        lookup_key, reference, is_async = entry[0], entry[1], entry[-1]
        receiver_key, sender_key = lookup_key
        if sender_key not in wanted:
            continue
        receiver = reference() if isinstance(reference, weakref.ReferenceType) else reference
        if receiver is None:
            continue
        uid = receiver_key if isinstance(receiver_key, str) else None
        found.append((lookup_key, receiver, uid, bool(is_async)))
    return found


def _lookup_key(receiver: Callable[..., Any] | None, sender: object, dispatch_uid: str | None) -> object:
    """The key Signal.connect files the receiver under (Django's _make_id)."""
    if dispatch_uid:
        return (dispatch_uid, id(sender))
    if isinstance(receiver, MethodType):
        return ((id(receiver.__self__), id(receiver.__func__)), id(sender))
    return (id(receiver), id(sender))


def _dotted_path(receiver: object) -> str | None:
    """module.qualname of a function or method defined at a module's top
    level (or in a class there); None for anything else."""
    target = getattr(receiver, "__func__", receiver)
    module, qualname = getattr(target, "__module__", None), getattr(target, "__qualname__", None)
    if not isinstance(module, str) or not isinstance(qualname, str) or "<" in qualname:
        return None
    return f"{module}.{qualname}"


def _description(receiver: object, uid: str | None) -> str:
    if uid:
        return uid
    target = getattr(receiver, "__func__", receiver)
    module = getattr(target, "__module__", None) or type(target).__module__
    qualname = getattr(target, "__qualname__", None) or type(target).__qualname__
    return f"{module}.{qualname}"
