"""Metadata filters of the document store, compiled to SQL over its `fields` table.

A filter is a mapping in the operators LangChain and LlamaIndex users write
($eq, $in, $and, $or, $not, ...); `compile_filter` turns it into one
`SELECT uid ...` statement and its parameters, or raises ValueError naming the
part it cannot take.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any

_INT64 = (-(2**63), 2**63 - 1)

# Filters: how deep $and, $or and $not may nest, how many conditions one may
# hold and how many values it may bind (SQLite's default limit).
MAX_FILTER_DEPTH = 64
MAX_FILTER_CONDITIONS = 5_000
MAX_FILTER_VALUES = 32_766
_COMPOUND_TERMS = 250
# A list longer than this travels as one JSON parameter (see _member).
_LONG_LIST = 64


# ---------------------------------------------------------------------------
# Metadata filters
# ---------------------------------------------------------------------------

_COMPARISONS = {"$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}
_OPERATORS = (
    "$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin",
    "$contains", "$any", "$all", "$exists", "$empty", "$text", "$itext",
)
_ALL = "SELECT uid FROM documents"


def compile_filter(where: Mapping[str, Any]) -> tuple[str, list[Any]]:
    """A SQL query selecting the uids that match `where`, and its parameters.

    `where` is a mapping in the style both frameworks use: ``{"field": value}``
    (equality; a list means ``$in``), ``{"field": {"$op": operand, ...}}`` and
    ``{"$and": [...]}``, ``{"$or": [...]}``, ``{"$not": {...}}``, and
    ``{"$key": [...]}`` / ``{"$ref": [...]}`` (documents with these keys or
    refs); several entries in one mapping must all hold. Operators: $eq, $ne,
    $gt, $gte, $lt, $lte, $in, $nin, $contains (a list holds the value), $any,
    $all (a list holds any / all of the values), $exists (True or False),
    $empty (True: missing, null or an empty list), $text, $itext (substring,
    case-sensitive or not). A filter nested deeper than MAX_FILTER_DEPTH, with
    more than MAX_FILTER_CONDITIONS conditions or binding more than
    MAX_FILTER_VALUES values raises ValueError.
    """
    query = _Query()
    sql, params = _compile_mapping(where, query, 0)
    # The named parts come first in the text, so their parameters come first too.
    params = [value for _, part_params in query.parts for value in part_params] + params
    if len(params) > MAX_FILTER_VALUES:
        raise ValueError(
            f"the filter binds {len(params)} values, more than SQLite takes ({MAX_FILTER_VALUES});"
            " long lists travel as one value except for floats and strings holding NUL"
        )
    if query.parts:
        sql = "WITH " + ", ".join(f"where_{i}(uid) AS ({part})" for i, (part, _) in enumerate(query.parts)) + " " + sql
    return sql, params


# A piece of a filter's SQL (a SELECT of uids) with the parameters of its
# placeholders, in order.
_Sql = tuple[str, list[Any]]


class _Query:
    """The combinations of conditions in a filter, each a named part (a common
    table expression) that later ones refer to by name. Parts refer to each
    other rather than nest, so however deep a filter nests, its SQL does not:
    SQLite's parser refuses subqueries nested about ten deep."""

    def __init__(self) -> None:
        self.parts: list[_Sql] = []
        self.conditions = 0

    def part(self, sql: _Sql) -> _Sql:
        self.parts.append(sql)
        return f"SELECT uid FROM where_{len(self.parts) - 1}", []

    def condition(self, sql: _Sql) -> _Sql:
        self.conditions += 1
        if self.conditions > MAX_FILTER_CONDITIONS:
            raise ValueError(
                f"the filter holds more than {MAX_FILTER_CONDITIONS} conditions;"
                " put the values of one field into one $in"
            )
        return sql


def _compile_mapping(where: Any, query: _Query, depth: int) -> _Sql:
    if not isinstance(where, Mapping):
        raise ValueError(f"a filter must be a mapping, not {type(where).__name__}")
    parts = []
    for key, value in where.items():
        if not isinstance(key, str):
            raise ValueError(f"filter keys must be strings, not {key!r}")
        if key in ("$and", "$or", "$not") and depth >= MAX_FILTER_DEPTH:
            raise ValueError(f"the filter nests $and, $or and $not deeper than {MAX_FILTER_DEPTH} levels (at this {key})")
        if key in ("$and", "$or"):
            parts.append(_compile_logical(key, value, query, depth + 1))
        elif key in ("$key", "$ref"):
            if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
                raise ValueError(f"{key} takes a list of strings")
            for item in value:
                _check_text(item, key)
            params: list[Any] = []
            sql = f"{_ALL} WHERE {_member(key[1:], list(value), params)}"
            parts.append(query.condition((sql, params)))
        elif key == "$not":
            inner, params = _compile_mapping(value, query, depth + 1)
            parts.append(query.part(query.condition((f"{_ALL} EXCEPT SELECT uid FROM ({inner})", params))))
        elif key.startswith("$"):
            raise ValueError(f"unknown filter operator {key!r} (use $and, $or, $not or a field name)")
        else:
            _check_text(key, "a filter field name")
            if isinstance(value, Mapping):
                if not value:
                    raise ValueError(f"the condition on {key!r} is empty")
                parts.extend(_leaf(query, key, op, operand) for op, operand in value.items())
            elif isinstance(value, (list, tuple)):
                parts.append(_leaf(query, key, "$in", value))
            else:
                parts.append(_leaf(query, key, "$eq", value))
    return _combine(parts, "INTERSECT", query, empty=_ALL)


def _leaf(query: _Query, key: str, op: Any, operand: Any) -> _Sql:
    params: list[Any] = []
    sql = _compile_condition(key, op, operand, params)
    return query.condition((sql, params))


def _compile_logical(op: str, operands: Any, query: _Query, depth: int) -> _Sql:
    if not isinstance(operands, (list, tuple)):
        raise ValueError(f"{op} takes a list of filters, not {type(operands).__name__}")
    if op == "$and":
        parts = [_compile_mapping(operand, query, depth) for operand in operands]
        return _combine(parts, "INTERSECT", query, empty=_ALL)
    # Equalities on one field, however many, become one $in: a wide $or of
    # them is one index lookup rather than a union of thousands.
    equal: dict[str, list[Any]] = {}
    others = []
    for operand in operands:
        found = _equality(operand)
        if found is None:
            others.append(operand)
        else:
            equal.setdefault(found[0], []).extend(found[1])
    parts = [_leaf(query, key, "$in", values) for key, values in equal.items()]
    parts.extend(_compile_mapping(operand, query, depth) for operand in others)
    return _combine(parts, "UNION", query, empty=f"{_ALL} WHERE 0")


def _equality(where: Any) -> tuple[str, list[Any]] | None:
    """(field, values) if `where` holds a field equal to one of the values, else None."""
    if not isinstance(where, Mapping) or len(where) != 1:
        return None
    ((key, value),) = where.items()
    if not isinstance(key, str) or key.startswith("$"):
        return None
    op = "$eq"
    if isinstance(value, Mapping):
        if len(value) != 1:
            return None
        ((op, value),) = value.items()
        if op not in ("$eq", "$in"):
            return None
    elif isinstance(value, (list, tuple)):
        op = "$in"
    # `= NULL` never holds, so an equality with None stays as it is (IS NULL).
    if op == "$eq" and value is None:
        return None
    _check_text(key, "a filter field name")
    return key, _scalars(op, key, value) if op == "$in" else [_scalar(op, key, value)]


def _combine(parts: list[_Sql], how: str, query: _Query, *, empty: str) -> _Sql:
    if not parts:
        return empty, []
    if len(parts) == 1:
        return parts[0]
    # SQLite takes at most 500 terms in one compound SELECT; INTERSECT and
    # UNION are associative, so wider ones are combined in groups.
    while len(parts) > _COMPOUND_TERMS:
        parts = [_combine(parts[start : start + _COMPOUND_TERMS], how, query, empty=empty)
                 for start in range(0, len(parts), _COMPOUND_TERMS)]
    sql = f" {how} ".join(f"SELECT uid FROM ({part})" for part, _ in parts)
    return query.part((sql, [value for _, params in parts for value in params]))


def _check_text(value: str, where: str) -> None:
    # SQLite takes UTF-8: a lone surrogate could not be bound.
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{where}: {value!r} is not valid Unicode (it holds a lone surrogate)") from None


def _scalar(op: str, key: str, value: Any) -> Any:
    if isinstance(value, str):
        _check_text(value, f"{op} on {key!r}")
        return value
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        if not _INT64[0] <= value <= _INT64[1]:
            raise ValueError(f"{op} on {key!r}: {value} is outside the 64-bit integer range")
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{op} on {key!r}: {value} is not a finite number")
        return value
    raise ValueError(f"{op} on {key!r} takes a string, number, bool or None, not {type(value).__name__}")


def _scalars(op: str, key: str, values: Any) -> list[Any]:
    if not isinstance(values, (list, tuple, set, frozenset)):
        raise ValueError(f"{op} on {key!r} takes a list, not {type(values).__name__}")
    return [_scalar(op, key, value) for value in values]


def _type_guard(op: str, key: str, value: Any) -> str:
    # SQLite orders every number before every string; a comparison only
    # matches values of its operand's kind, as in Python.
    if isinstance(value, str):
        return "typeof(value) = 'text'"
    if isinstance(value, (int, float)):
        return "typeof(value) IN ('integer', 'real')"
    raise ValueError(f"{op} on {key!r} takes a string or a number, not {type(value).__name__}")


def _member(column: str, values: list[Any], params: list[Any]) -> str:
    """SQL that holds where `column` equals one of `values`."""
    if len(values) <= _LONG_LIST:
        params.extend(values)
        return f"{column} IN ({', '.join('?' * len(values))})"
    # One JSON parameter however long the list, so no list meets SQLite's
    # limit on parameters. JSON carries None, bools, integers and text
    # exactly; floats (parsed by SQLite) and text holding NUL (cut at it by
    # json_each) are bound one by one.
    exact = [v for v in values if not isinstance(v, float) and not (isinstance(v, str) and "\x00" in v)]
    other = [v for v in values if isinstance(v, float) or (isinstance(v, str) and "\x00" in v)]
    params.append(json.dumps(exact, ensure_ascii=False))
    sql = f"{column} IN (SELECT value FROM json_each(?))"
    if other:
        params.extend(other)
        sql = f"({sql} OR {column} IN ({', '.join('?' * len(other))}))"
    return sql


def _compile_condition(key: str, op: Any, operand: Any, params: list[Any]) -> str:
    scalar_rows = "SELECT uid FROM fields WHERE key = ? AND in_list = 0"
    list_rows = "SELECT uid FROM fields WHERE key = ? AND in_list = 1"
    if op in ("$eq", "$ne"):
        value = _scalar(op, key, operand)
        params.append(key)
        if value is None:
            matches = f"{scalar_rows} AND value IS NULL"
        else:
            params.append(value)
            matches = f"{scalar_rows} AND value = ?"
        return matches if op == "$eq" else f"{_ALL} EXCEPT {matches}"
    if op in _COMPARISONS:
        value = _scalar(op, key, operand)
        guard = _type_guard(op, key, value)
        params.extend([key, value])
        return f"{scalar_rows} AND value {_COMPARISONS[op]} ? AND {guard}"
    if op in ("$in", "$nin"):
        values = _scalars(op, key, operand)
        params.append(key)
        matches = f"{scalar_rows} AND {_member('value', values, params)}"
        return matches if op == "$in" else f"{_ALL} EXCEPT {matches}"
    if op == "$contains":
        value = _scalar(op, key, operand)
        params.extend([key, value])
        return f"{list_rows} AND value = ?"
    if op in ("$any", "$all"):
        values = _scalars(op, key, operand)
        if op == "$all" and not values:
            return _ALL  # every document holds all of no values
        params.append(key)
        matches = f"{list_rows} AND {_member('value', values, params)}"
        if op == "$any":
            return matches
        params.append(len(set(values)))
        return f"{matches} GROUP BY uid HAVING count(DISTINCT value) = ?"
    if op == "$exists":
        if not isinstance(operand, bool):
            raise ValueError(f"$exists on {key!r} takes True or False")
        params.append(key)
        present = "SELECT documents.uid FROM documents, json_each(documents.metadata) AS field WHERE field.key = ?"
        return present if operand else f"{_ALL} EXCEPT {present}"
    if op == "$empty":
        if operand is not True:
            raise ValueError(f"$empty on {key!r} takes True")
        params.append(key)
        return (
            f"{_ALL} EXCEPT SELECT documents.uid FROM documents, json_each(documents.metadata) AS field"
            " WHERE field.key = ? AND field.type != 'null'"
            " AND NOT (field.type = 'array' AND json_array_length(field.value) = 0)"
        )
    if op in ("$text", "$itext"):
        if not isinstance(operand, str):
            raise ValueError(f"{op} on {key!r} takes a string")
        _check_text(operand, f"{op} on {key!r}")
        params.extend([key, operand])
        if op == "$text":
            return f"{scalar_rows} AND typeof(value) = 'text' AND instr(value, ?) > 0"
        return f"{scalar_rows} AND typeof(value) = 'text' AND instr(lower(value), lower(?)) > 0"
    raise ValueError(f"unknown filter operator {op!r} on {key!r}; known: {', '.join(_OPERATORS)}")


