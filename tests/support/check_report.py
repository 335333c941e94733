#!/usr/bin/env python3
"""Validates run reports against docs/run-report.schema.json with a validator
that is not ours (python3-jsonschema). Usage: check_report.py SCHEMA REPORT..."""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
validator = jsonschema.Draft202012Validator(schema, format_checker=jsonschema.FormatChecker())
failed = False
for path in sys.argv[2:]:
    for error in validator.iter_errors(json.load(open(path, encoding="utf-8"))):
        print("%s: %s at /%s" % (path, error.message, "/".join(str(p) for p in error.absolute_path)))
        failed = True
sys.exit(1 if failed else 0)
