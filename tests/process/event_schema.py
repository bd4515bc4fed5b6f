"""Checks every line picferry writes against docs/events.schema.json."""

import json
import os

import jsonschema

_SCHEMA_PATH = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "events.schema.json")
with open(_SCHEMA_PATH, encoding="utf-8") as schema_file:
    _SCHEMA = json.load(schema_file)
jsonschema.Draft202012Validator.check_schema(_SCHEMA)
_EVENT = jsonschema.Draft202012Validator(_SCHEMA)


def validate_output(stdout):
    """Raises unless stdout is lines of schema-valid events, each ending in one 0x0A."""
    if stdout and not stdout.endswith(b"\n"):
        raise AssertionError("output does not end with a line feed: %r" % stdout[-80:])
    for line in stdout.splitlines():
        if line.endswith(b"\r"):
            raise AssertionError("carriage return in %r" % line)
        _EVENT.validate(json.loads(line.decode("utf-8")))
