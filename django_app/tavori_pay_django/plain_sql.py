"""Rows read and written with plain SQL, for the statements every callback
and its delivery run: built once per database and model from the model's
own fields, where building each through the ORM took longer than the
database took to run it. Values go through the fields' own conversions both
ways, as the ORM's would, and no model signal is sent."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from functools import cache
from typing import Any, cast

from django.conf import settings
from django.db import connections
from django.db.backends.base.base import BaseDatabaseWrapper
from django.db.models import Field, Model
from django.db.models.constants import OnConflict


class Shape:
    """A model's columns on one database, and what makes each value read
    back the field's."""

    def __init__(self, alias: str, model: type[Model]):
        connection, meta = connections[alias], model._meta
        self.model, self.alias = model, alias
        self.table = connection.ops.quote_name(meta.db_table)
        self.fields: list[Field[Any, Any]] = list(meta.concrete_fields)
        self.attnames = [field.attname for field in self.fields]
        self.quoted = [_column(connection, field) for field in self.fields]
        self.converters: list[tuple[int, list[Callable[..., Any]], object]] = []
        for position, field in enumerate(self.fields):
            column = field.get_col(meta.db_table)
            found = connection.ops.get_db_converters(column) + column.get_db_converters(connection)
            if found:
                self.converters.append((position, found, column))

    def columns(self, prefix: str = "") -> str:
        return ", ".join(prefix + column for column in self.quoted)

    def instance(self, row: Sequence[object], connection: BaseDatabaseWrapper) -> Model:
        values = list(row)
        for position, converters, column in self.converters:
            for convert in converters:
                values[position] = convert(values[position], column, connection)
        return self.model.from_db(self.alias, self.attnames, values)


def shape(alias: str, model: type[Model]) -> Shape:
    return _shape(alias, model, settings.USE_TZ)


@cache
def _shape(alias: str, model: type[Model], use_tz: bool) -> Shape:
    """Keyed by USE_TZ too: the converters a backend gives depend on it."""
    return Shape(alias, model)


def placeholders(count: int) -> str:
    return ", ".join(["%s"] * count)


def select[M: Model](model: type[M], alias: str, where: str, params: Sequence[Any], *,
                     lock: bool = False) -> list[M]:
    """The model's rows that `where` (SQL on its plain column names) picks,
    locked until the transaction ends when `lock` and the database locks
    rows."""
    connection, found = connections[alias], shape(alias, model)
    sql = f"SELECT {found.columns()} FROM {found.table} WHERE {where}"
    if lock and connection.features.has_select_for_update:
        sql += " FOR UPDATE"
    with connection.cursor() as cursor:
        cursor.execute(sql, params)
        return [found.instance(row, connection) for row in cursor.fetchall()]  # type: ignore[misc]


def save(instance: Model, alias: str, names: Iterable[str],
         returning: tuple[str, list[Any]] | None = None) -> None:
    """save(update_fields=names) as one UPDATE: an auto_now field named is
    set as save would. `returning`: SQL and its parameters, evaluated by the
    statement (PostgreSQL's RETURNING), for what it does."""
    connection = connections[alias]
    fields = _fields(type(instance), names)
    values = [field.get_db_prep_save(field.pre_save(instance, False), connection) for field in fields]
    also, params = (f" RETURNING {returning[0]}", returning[1]) if returning else ("", [])
    with connection.cursor() as cursor:
        cursor.execute(f"UPDATE {shape(alias, type(instance)).table} SET {_assignments(connection, fields)} "
                       f"WHERE {_column(connection, instance._meta.pk)} = %s{also}", [*values, instance.pk, *params])


def update(model: type[Model], alias: str, pks: Sequence[Any], values: dict[str, object]) -> None:
    """filter(pk__in=pks).update(**values), with plain values."""
    connection = connections[alias]
    fields = _fields(model, values)
    prepared = [field.get_db_prep_save(value, connection) for field, value in zip(fields, values.values(), strict=True)]
    with connection.cursor() as cursor:
        cursor.execute(f"UPDATE {shape(alias, model).table} SET {_assignments(connection, fields)} "
                       f"WHERE {_column(connection, model._meta.pk)} IN ({placeholders(len(pks))})",
                       [*prepared, *pks])


def insert_ignoring_conflicts(objects: Sequence[Model], alias: str) -> int:
    """bulk_create(objects, ignore_conflicts=True): a row that a unique
    constraint refuses is left out. The objects get no primary key. Returns
    how many rows were written."""
    if not objects:
        return 0
    connection, model = connections[alias], type(objects[0])
    fields = [field for field in shape(alias, model).fields if not field.primary_key]
    head = (f"{connection.ops.insert_statement(on_conflict=OnConflict.IGNORE)} {shape(alias, model).table} "
            f"({', '.join(_column(connection, field) for field in fields)}) VALUES ")
    tail = connection.ops.on_conflict_suffix_sql(fields, OnConflict.IGNORE, None, None)
    row = f"({placeholders(len(fields))})"
    size = max(1, connection.ops.bulk_batch_size(fields, objects))
    written = 0
    with connection.cursor() as cursor:
        for start in range(0, len(objects), size):
            batch = objects[start:start + size]
            cursor.execute(head + ", ".join([row] * len(batch)) + (" " + tail if tail else ""),
                           [field.get_db_prep_save(field.pre_save(instance, True), connection)
                            for instance in batch for field in fields])
            written += cursor.rowcount
    return written


def _fields(model: type[Model], names: Iterable[str]) -> list[Field[Any, Any]]:
    return [cast("Field[Any, Any]", model._meta.get_field(name)) for name in names]


def _column(connection: BaseDatabaseWrapper, field: Field[Any, Any] | None) -> str:
    return connection.ops.quote_name(cast(str, cast("Field[Any, Any]", field).column))


def _assignments(connection: BaseDatabaseWrapper, fields: list[Field[Any, Any]]) -> str:
    return ", ".join(f"{_column(connection, field)} = %s" for field in fields)
