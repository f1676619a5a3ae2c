"""What the payments ask of their database, through one interface: the
statements the ORM says, compiled once (here), and what each database says
its own way (its module: `postgresql`, `mysql`, `sqlite`), as Django keeps
a backend's differences in its operations and features."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from functools import partial
from typing import Any, Protocol, cast

from django.db import connections
from django.db.backends.base.base import BaseDatabaseWrapper
from django.db.models import Field, Model, Q
from django.db.models.expressions import ExpressionWrapper, Value
from django.db.models.fields import BooleanField
from django.db.models.functions import Coalesce
from django.utils import timezone

from ..models import Callback, Payment, PaymentEvent
from ..transitions import PAID_STAGES
from . import compiled
from .compiled import Param, Statement, kept


@dataclass(frozen=True)
class CallbackRow:
    """A callback's row as it is stored: `marked` holds what it did (the
    Callback fields in MARKED, in that order; processed_at is set when it is
    written), None when nothing yet."""
    digest: str
    body: bytes
    signature: str
    marked: tuple[object, ...] | None


# The columns of what a callback did, the outcome last.
MARKED = ("processed_at", "signature_ok", "order_id", "status", "payment_id", "outcome")


class Claims(Protocol):
    """Where once() keeps its claims: each change committed at once, apart
    from the delivery's transaction."""

    def claim(self, event: PaymentEvent, key: str) -> str | None:
        """None when claimed now; else the state of the claim found."""

    def finish(self, event: PaymentEvent, key: str) -> None: ...

    def release(self, event: PaymentEvent, key: str) -> None: ...

    def interrupt(self, event: PaymentEvent, key: str) -> None: ...


class Operations:
    vendor = ""
    # A writing transaction holds the whole database (SQLite): nothing else
    # writes meanwhile, not even another connection of the process.
    one_write_lock = False

    def __init__(self, alias: str):
        self.alias = alias

    @property
    def connection(self) -> BaseDatabaseWrapper:
        return connections[self.alias]

    def table(self, model: type[Model]) -> str:
        return self.connection.ops.quote_name(model._meta.db_table)

    def column(self, model: type[Model], name: str) -> str:
        return self.connection.ops.quote_name(cast(str, _field(model, name).column))

    # Rows, through statements compiled once.

    def locked_payment(self, order_id: str) -> Payment | None:
        """The payment of the service's order, its row locked until the
        transaction ends."""
        found = _payment_by_order_id(self.alias).instances(self.alias, {"order_id": order_id})
        return cast(Payment, found[0][0]) if found else None

    def save(self, instance: Model, names: Sequence[str]) -> None:
        """save(update_fields=names) as one UPDATE: an auto_now field named is
        set as save sets it."""
        _save(self.alias, type(instance), tuple(names)).execute(self.alias, self._saved_values(instance, names))

    def save_paid(self, payment: Payment, names: Sequence[str], lock_key: int) -> str | None:
        """Saves a payment moving to paid under its reference's lock (key
        `lock_key`, held to the commit), and returns the order id of another
        payment of the reference that was paid, if any."""
        self.lock_references([lock_key])
        self.save(payment, names)
        return self.other_paid_order(payment)

    def _saved_values(self, instance: Model, names: Sequence[str]) -> dict[str, object]:
        meta = instance._meta
        values: dict[str, object] = {name: cast("Field[Any, Any]", meta.get_field(name)).pre_save(instance, False)
                                     for name in names}
        values["pk"] = instance.pk
        return values

    def update(self, model: type[Model], pks: Sequence[Any], values: dict[str, object]) -> None:
        """filter(pk__in=pks).update(**values), with plain values."""
        _update(self.alias, model, tuple(values), len(pks)).execute(
            self.alias, {**values, **{f"pk{number}": pk for number, pk in enumerate(pks)}})

    def insert_ignoring_conflicts(self, objects: Sequence[Model]) -> int:
        """bulk_create(objects, ignore_conflicts=True): a row that a unique
        constraint refuses is left out. The objects get no primary key.
        Returns how many rows were written."""
        if not objects:
            return 0
        model = type(objects[0])
        fields = [field for field in model._meta.concrete_fields if not field.primary_key]
        size = max(1, self.connection.ops.bulk_batch_size(fields, objects))
        written = 0
        for start in range(0, len(objects), size):
            batch = objects[start:start + size]
            values = {f"{field.attname}{number}": field.pre_save(instance, True)
                      for number, instance in enumerate(batch) for field in fields}
            written += _insert(self.alias, model, len(batch)).execute(self.alias, values)
        return written

    def other_paid_order(self, payment: Payment) -> str | None:
        """The order id of the first other payment for the same shop
        reference whose money was taken."""
        found = _other_paid(self.alias).rows(self.alias, {"reference": payment.reference, "pk": payment.pk})
        return None if not found else str(found[0][0])

    def locked_events(self, payment_ids: Sequence[int]) -> list[PaymentEvent]:
        """The payments' undelivered events, locked without waiting, and each
        payment read with them but not locked: a callback may hold it."""
        found = _locked_events(self.alias, len(payment_ids)).instances(
            self.alias, {f"payment{number}": pk for number, pk in enumerate(payment_ids)})
        events = []
        for event, payment in found:
            cast(PaymentEvent, event).payment = cast(Payment, payment)
            events.append(cast(PaymentEvent, event))
        return events

    def undelivered(self, payment_ids: Sequence[int]) -> list[tuple[int, int]]:
        """(event, payment) of the payments' events not yet delivered, found
        through payment_id's index alone and picked here."""
        found = _events_of(self.alias, len(payment_ids)).rows(
            self.alias, {f"payment{number}": pk for number, pk in enumerate(payment_ids)})
        return [(int(cast(int, pk)), int(cast(int, payment))) for pk, payment, delivered_at in found
                if delivered_at is None]

    def claims_file(self) -> Claims | None:
        """Where once()'s claims are kept apart from the database, when a
        connection of their own cannot commit them during a delivery (SQLite);
        None: in the database (EffectClaim)."""
        return None

    # What each database says its own way.

    def store_callback(self, row: CallbackRow, settled: Sequence[str]) -> str:
        """Writes the callback's row, or counts a delivery again of it and
        replaces what it did unless its outcome is one of `settled`; the
        outcome the row then holds."""
        raise NotImplementedError

    def lock_references(self, keys: Sequence[int]) -> None:
        """Holds each reference key until the transaction ends, in the order
        given."""
        raise NotImplementedError

    def lock_not_available(self, error: Exception) -> bool:
        """Whether a database error says a row was held by another
        transaction (NOWAIT, a lock wait that ran out)."""
        return False

    @contextmanager
    def lock_waits_at_most(self, seconds: float) -> Iterator[None]:
        """Bounds the lock waits of the statements run inside, in the open
        transaction."""
        yield


def _field(model: type[Model], name: str) -> Field[Any, Any]:
    return cast("Field[Any, Any]", model._meta.get_field(name))


def _pk(model: type[Model]) -> Field[Any, Any]:
    pk = model._meta.pk
    assert pk is not None  # a concrete model's
    return pk


@kept
def _payment_by_order_id(alias: str) -> Statement:
    return compiled.select(alias, Payment.objects.filter(
        order_id=Param("order_id", _field(Payment, "order_id"))).select_for_update())


@kept
def _save(alias: str, model: type[Model], names: tuple[str, ...]) -> Statement:
    return compiled.update(alias, model._default_manager.filter(pk=Param("pk", _pk(model))), names)


@kept
def _update(alias: str, model: type[Model], names: tuple[str, ...], count: int) -> Statement:
    pk = _pk(model)
    return compiled.update(alias, model._default_manager.filter(
        pk__in=[Param(f"pk{number}", pk) for number in range(count)]), names)


@kept
def _other_paid(alias: str) -> Statement:
    return compiled.select(alias, Payment.objects.filter(
        reference=Param("reference", _field(Payment, "reference")),
        status__in=[status.value for status in PAID_STAGES]).exclude(
        pk=Param("pk", _pk(Payment))).order_by("created_at").values_list("order_id")[:1])


_insert = kept(compiled.insert_ignoring_conflicts)


def _waiting(payment_ids: int) -> Q:
    """The events of the payments given (payment0, payment1...) not yet
    delivered, found through payment_id's index alone: delivered_at's keeps
    an entry for every event delivered since the last vacuum, as a NULL."""
    payment = _field(PaymentEvent, "payment")
    return Q(Coalesce(ExpressionWrapper(Q(delivered_at=None), output_field=BooleanField()), Value(False)),
             payment__id__in=[Param(f"payment{number}", payment) for number in range(payment_ids)])


@kept
def _locked_events(alias: str, payment_ids: int) -> Statement:
    events = PaymentEvent.objects.filter(_waiting(payment_ids)).select_related("payment").order_by("id")
    if connections[alias].features.has_select_for_update:
        events = events.select_for_update(nowait=True, of=("self",))
    return compiled.select(alias, events, related=[Payment])


@kept
def _events_of(alias: str, payment_ids: int) -> Statement:
    return compiled.select(alias, PaymentEvent.objects.filter(payment__id__in=[
        Param(f"payment{number}", _field(PaymentEvent, "payment")) for number in range(payment_ids)])
        .values_list("id", "payment_id", "delivered_at"))


def callback_columns(operations: Operations) -> tuple[str, list[str]]:
    """The Callback table and the columns of MARKED, quoted."""
    return operations.table(Callback), [operations.column(Callback, name) for name in MARKED]


def upsert_returning_outcome(operations: Operations, row: CallbackRow, settled: Sequence[str]) -> str:
    """store_callback in one statement where the database has ON CONFLICT
    and RETURNING (PostgreSQL, SQLite 3.35+)."""
    table, marked = callback_columns(operations)
    column = partial(operations.column, Callback)
    outcome, deliveries = column("outcome"), column("deliveries")
    insert, values = _callback_insert(operations, row, "%s")
    kept = [f"{name} = CASE WHEN {table}.{outcome} IN ({_placeholders(settled)}) THEN {table}.{name} "
            f"ELSE EXCLUDED.{name} END" for name in marked]
    with operations.connection.cursor() as cursor:
        cursor.execute(insert + f"ON CONFLICT ({column('digest')}) DO UPDATE SET " +
                       ", ".join([f"{deliveries} = {table}.{deliveries} + 1", *(kept if row.marked else [])]) +
                       f" RETURNING {outcome}", [*values, *(list(settled) * len(marked) if row.marked else [])])
        return str(cursor.fetchone()[0])


def _callback_insert(operations: Operations, row: CallbackRow, body: str) -> tuple[str, list[Any]]:
    """The INSERT of a callback's row, `body` the body's placeholder, and its
    values."""
    table, marked = callback_columns(operations)
    column = partial(operations.column, Callback)
    now = operations.connection.ops.adapt_datetimefield_value(timezone.now())
    what = row.marked if row.marked is not None else (None, None, "", "", None, Callback.UNPROCESSED)
    if row.marked is not None:
        what = (now, *row.marked[1:])
    names = [column(name) for name in ("digest", "body", "signature", "deliveries", "received_at")]
    return (f"INSERT INTO {table} ({', '.join([*names, *marked])}) VALUES (%s, {body}, %s, 1, %s, "
            f"{_placeholders(marked)}) ", [row.digest, row.body, row.signature, now, *what])


def _placeholders(values: Sequence[object]) -> str:
    return ", ".join(["%s"] * len(values))
