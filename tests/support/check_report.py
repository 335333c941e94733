#!/usr/bin/env python3
"""Validates kvtapefw's JSON outputs (the run report, the drive list, the
history's lines) against their schemas in docs/ with a validator that is not
ours (python3-jsonschema). Usage: check_report.py SCHEMA FILE...
A FILE whose name ends in .jsonl is checked line by line."""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
validator = jsonschema.Draft202012Validator(schema, format_checker=jsonschema.FormatChecker())
failed = False
for path in sys.argv[2:]:
    with open(path, encoding="utf-8") as file:
        if path.endswith(".jsonl"):
            documents = [(number, json.loads(line)) for number, line in enumerate(file, 1) if line.strip()]
        else:
            documents = [(None, json.load(file))]
    for number, document in documents:
        where = path if number is None else "%s:%d" % (path, number)
        for error in validator.iter_errors(document):
            print("%s: %s at /%s" % (where, error.message, "/".join(str(p) for p in error.absolute_path)))
            failed = True
sys.exit(1 if failed else 0)
