"""Statements the ORM says, compiled by Django's own compiler once per
database alias, model, shape and USE_TZ, and kept: building a queryset and
compiling it again on every callback took longer than the database took to
run the statement. A statement is compiled with a `Param` wherever a call's
value goes; each call's values are prepared by their fields as the ORM
prepares them, and rows read are turned into instances through the
converters the compiler chose, so that a row is exactly what the ORM would
give. No model signal is sent."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from functools import lru_cache, wraps
from typing import Any, cast

from django.conf import settings
from django.db import connections
from django.db.models import Expression, Field, Model, QuerySet
from django.db.models.constants import OnConflict
from django.db.models.sql import InsertQuery, UpdateQuery


@dataclass(frozen=True)
class _Slot:
    """Where a value goes among a compiled statement's parameters."""
    name: str
    field: Field[Any, Any]
    saved: bool  # prepared as a value saved (an UPDATE's or INSERT's), else as a lookup's


class Param(Expression):
    """A call's value `name` in a statement, of the type of `field`."""

    def __init__(self, name: str, field: Field[Any, Any], *, saved: bool = False):
        super().__init__(output_field=field)
        self.name, self.saved = name, saved

    def as_sql(self, compiler: Any, connection: Any) -> Any:
        return "%s", [_Slot(self.name, self.output_field, self.saved)]


@dataclass(frozen=True)
class Statement:
    sql: str
    params: tuple[object, ...]  # constants, and _Slot where a call's value goes
    model: type[Model] | None = None  # a SELECT's: the models whose fields its rows hold, in order
    related: tuple[type[Model], ...] = ()
    # A SELECT's converters: (position, converters, expression).
    converters: tuple[tuple[int, tuple[Callable[..., Any], ...], Any], ...] = ()

    def parameters(self, alias: str, values: dict[str, object]) -> list[Any]:
        connection = connections[alias]
        prepared = []
        for param in self.params:
            if isinstance(param, _Slot):
                value = values[param.name]
                prepared.append(param.field.get_db_prep_save(value, connection) if param.saved else
                                param.field.get_db_prep_value(value, connection, prepared=False))
            else:
                prepared.append(param)
        return prepared

    def execute(self, alias: str, values: dict[str, object], *, suffix: str = "",
                suffix_params: Sequence[Any] = ()) -> int:
        """Runs it; the rows it changed."""
        with connections[alias].cursor() as cursor:
            cursor.execute(self.sql + suffix, [*self.parameters(alias, values), *suffix_params])
            return int(cursor.rowcount)

    def rows(self, alias: str, values: dict[str, object]) -> list[list[object]]:
        """A SELECT's rows, each value converted as the ORM converts it."""
        connection = connections[alias]
        with connection.cursor() as cursor:
            cursor.execute(self.sql, self.parameters(alias, values))
            found = cursor.fetchall()
        converted = []
        for row in found:
            values_read = list(row)
            for position, converters, expression in self.converters:
                for convert in converters:
                    values_read[position] = convert(values_read[position], expression, connection)
            converted.append(values_read)
        return converted

    def instances(self, alias: str, values: dict[str, object]) -> list[tuple[Model, ...]]:
        """A SELECT's rows, each as an instance of its model and of each
        related one it reads."""
        models = (cast(type[Model], self.model), *self.related)
        fields = [[field.attname for field in model._meta.concrete_fields] for model in models]
        result = []
        for row in self.rows(alias, values):
            instances, start = [], 0
            for model, names in zip(models, fields, strict=True):
                instances.append(model.from_db(alias, names, row[start:start + len(names)]))
                start += len(names)
            result.append(tuple(instances))
        return result


def kept(build: Callable[..., Statement]) -> Callable[..., Statement]:
    """`build(alias, *args)`, compiled on its first call for an alias, its
    arguments and USE_TZ (the converters a backend gives depend on it), and
    kept. Compile a locking SELECT within a transaction: Django refuses to
    compile one outside."""
    @lru_cache(maxsize=256)
    def compiled(use_tz: bool, *args: Any) -> Statement:
        return build(*args)

    @wraps(build)
    def statement(*args: Any) -> Statement:
        return compiled(settings.USE_TZ, *args)
    return statement


def select(alias: str, queryset: QuerySet[Any], related: Iterable[type[Model]] = ()) -> Statement:
    """The queryset's SELECT; with `related`, the models select_related
    adds, their fields after the model's, in that order."""
    compiler = queryset.query.get_compiler(alias)
    sql, params = compiler.as_sql()
    columns = [column for column, _, _ in compiler.select]
    converters = compiler.get_converters(columns)
    return Statement(sql, tuple(params), queryset.model, tuple(related),
                     tuple((position, tuple(found), expression)
                           for position, (found, expression) in sorted(converters.items())))


def update(alias: str, queryset: QuerySet[Any], names: Iterable[str]) -> Statement:
    """queryset.update(name=value, ...) for the fields named, their values
    given at each call under their names."""
    query = cast(UpdateQuery, queryset.query.chain(UpdateQuery))
    meta = queryset.model._meta
    query.add_update_values({name: Param(name, cast("Field[Any, Any]", meta.get_field(name)), saved=True)
                             for name in names})
    sql, params = query.get_compiler(alias).as_sql()
    return Statement(sql, tuple(params))


def insert_ignoring_conflicts(alias: str, model: type[Model], rows: int) -> Statement:
    """bulk_create(ignore_conflicts=True) of `rows` rows of every field but
    the primary key, their values given as `field.attname` + row number."""
    fields = [field for field in model._meta.concrete_fields if not field.primary_key]
    # raw: the values are Params, taken as they are; what pre_save gives is prepared at each call.
    query = InsertQuery(model, on_conflict=OnConflict.IGNORE)
    placeholders = []
    for row in range(rows):
        instance = model()
        for field in fields:
            setattr(instance, field.attname, Param(f"{field.attname}{row}", field, saved=True))
        placeholders.append(instance)
    query.insert_values(fields, placeholders, raw=True)
    ((sql, params),) = query.get_compiler(alias).as_sql()
    return Statement(sql, tuple(params))
