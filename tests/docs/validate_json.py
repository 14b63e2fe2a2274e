#!/usr/bin/python3
"""Validates every JSON document the suites collected (see
tests/support/json_documents.h) against the published schema, and checks what
a schema cannot say: the keys come in the documented order, no key appears
twice, and no NaN/Infinity token is used. Fails when nothing was collected.

Usage: validate_json.py SCHEMA FOLDER   (Debian's /usr/bin/python3 with python3-jsonschema)
"""
import json
import pathlib
import sys

import jsonschema


def main(schema_path, folder):
    schema = json.loads(pathlib.Path(schema_path).read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    orders = [list(schema["$defs"][kind]["properties"]) for kind in ("device", "process")]

    files = sorted(pathlib.Path(folder).glob("*.json"))
    if not files:
        print(f"no JSON documents were collected in {folder}: did the suites run?", file=sys.stderr)
        return 1
    failures, devices = [], 0
    for path in files:
        problems = []

        def pairs(items, problems=problems):
            keys = [key for key, _ in items]
            if len(set(keys)) != len(keys):
                problems.append(f"duplicate keys in {keys}")
            for order in orders:
                if set(keys) == set(order) and keys != order:
                    problems.append(f"keys out of order: {keys}")
            return dict(items)

        def constant(name):
            raise ValueError(f"{name} is not JSON")

        try:
            document = json.loads(path.read_bytes().decode("utf-8"), object_pairs_hook=pairs,
                                  parse_constant=constant)
        except ValueError as error:  # also UnicodeDecodeError
            failures.append(f"{path.name}: not a JSON document: {error}")
            continue
        problems += [f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}"
                     for e in validator.iter_errors(document)]
        failures += [f"{path.name}: {problem}" for problem in problems]
        devices += len(document) if isinstance(document, list) else 0
    for failure in failures[:50]:
        print(failure, file=sys.stderr)
    print(f"{len(files)} JSON documents ({devices} device objects) checked against {schema_path}: "
          f"{len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
