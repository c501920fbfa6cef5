#!/usr/bin/python3
"""The message schema against the plugin: every sample is valid under both forms of the schema
(draft 2020-12 and draft-7) with a real validator, the draft-7 form is the one derived from the
2020-12 form, and for each message of the table the schema's verdict (valid or not) equals the
verdict of `skyloom-publish --check` (nothing dropped or something dropped), run with the
settings that read the most of a message.

usage: schema_agreement.py SKYLOOM_PUBLISH SOURCE_DIR      (the test)
       schema_agreement.py --write SOURCE_DIR               (rewrites the draft-7 form)
"""
import copy
import json
import pathlib
import subprocess
import sys
import tempfile

import jsonschema

DRAFT7_ID = "https://skyloom.invalid/schemas/ai-engine-message.draft-07.schema.json"
CHECK_SETTINGS = ["showCounter=true", "enableMetadata=true", "skipNullFaceObject=false",
                  "skipNullPlateObject=false"]
CAMERA = "8f120e8a-2ced-c84a-aa40-59a59f563488"


def draft7_form(schema):
    """The same rules in draft-7 words: prefixItems becomes the array form of items."""
    def convert(node):
        if isinstance(node, dict):
            out = {}
            for key, value in node.items():
                if key == "prefixItems":
                    out["items"] = convert(value)
                else:
                    out[key] = convert(value)
            return out
        if isinstance(node, list):
            return [convert(value) for value in node]
        return node
    result = convert(copy.deepcopy(schema))
    result["$schema"] = "http://json-schema.org/draft-07/schema#"
    result["$id"] = DRAFT7_ID
    return result


def draft7_text(schema):
    return json.dumps(draft7_form(schema), indent=4, ensure_ascii=False) + "\n"


# Envelope: the camera's id first, then the body. Each row: name, body after the id.
ALARM = '"caption":"C","description":"D","source":"crowd"'
BOX = '"bbox":{"x0":0.1,"y0":0.1,"x1":0.3,"y1":0.4}'


def alarm_object(members):
    return ('{"src_uuid":"%s",%s,"event":{"object_list":[{"class":"car",%s,%s}]}}'
            % (CAMERA, ALARM, BOX, members))


def annotation(members):
    return ('{"src_uuid":"%s","meta":{"metadata":{"annotations":[{"class":"car",%s}]}}}'
            % (CAMERA, members))


def counter(value):
    return ('{"src_uuid":"%s",%s,"event":{"counter":%s,"object_list":[]}}'
            % (CAMERA, ALARM, value))


def top(members):
    return '{"src_uuid":"%s",%s}' % (CAMERA, members)


# name, message, valid (what both the schema and the check must say)
TABLE = [
    ("tid 7", alarm_object('"tid":7'), True),
    ("tid 7.0", alarm_object('"tid":7.0'), True),
    ("tid 7.5", alarm_object('"tid":7.5'), False),
    ("tid true", alarm_object('"tid":true'), False),
    ('tid "7"', alarm_object('"tid":"7"'), False),
    ("tid int32 max", alarm_object('"tid":2147483647'), True),
    ("tid int32 min", alarm_object('"tid":-2147483648'), True),
    ("tid 3000000000", alarm_object('"tid":3000000000'), False),
    ("tid -2147483649", alarm_object('"tid":-2147483649'), False),
    ("no tid", alarm_object('"score":1'), False),
    ("lp_text without lp_group_str", alarm_object('"tid":1,"lp_text":"AB12"'), True),
    ("lp_text null, group a number", alarm_object('"tid":1,"lp_text":null,"lp_group_str":5'),
     True),
    ("lp_text with a number group", alarm_object('"tid":1,"lp_text":"AB","lp_group_str":5'),
     False),
    ("lp_text a number", alarm_object('"tid":1,"lp_text":5'), False),
    ("box 1e39", alarm_object('"tid":1,"bbox":{"x0":1e39,"y0":0,"x1":1,"y1":1}'), False),
    ("box corner missing", alarm_object('"tid":1,"bbox":{"x0":0,"y0":0,"x1":1}'), False),
    ("score null", alarm_object('"tid":1,"score":null'), True),
    # A frame time of any form: at worst the message has no engine time, and is converted.
    ("engine times malformed", '{"src_uuid":"%s","timestamp":"soon",%s,"event":{"vid_ts_us":true,'
     '"object_list":[]},"meta":{"timestamp":[1],"metadata":{"annotations":[]}}}' % (CAMERA, ALARM),
     True),
    ("engine times well formed", '{"src_uuid":"%s","timestamp":"1718269960123456",%s,"event":{'
     '"vid_ts_us":1718269960123456,"object_list":[]},"meta":{"timestamp":1718269954.482113,'
     '"metadata":{"annotations":[]}}}' % (CAMERA, ALARM), True),
    ("track_id 7.0", annotation('"track_id":7.0,"bbox":[0.1,0.1,0.2,0.2]'), True),
    ("track_id 7.5", annotation('"track_id":7.5,"bbox":[0.1,0.1,0.2,0.2]'), False),
    ("track_id 3000000000", annotation('"track_id":3000000000,"bbox":[0.1,0.1,0.2,0.2]'), False),
    ("face true", annotation('"track_id":1,"face":true,"bbox":[0.1,0.1,0.2,0.2]'), True),
    ("annotation score null", annotation('"track_id":1,"score":null,"bbox":[0,0,1,1]'), True),
    ("box of three", annotation('"track_id":1,"bbox":[0.1,0.1,0.2]'), False),
    ("box of five", annotation('"track_id":1,"bbox":[0.1,0.1,0.2,0.2,"x"]'), True),
    ("box as an object", annotation('"track_id":1,"bbox":{"0":0,"1":0,"2":1,"3":1}'), True),
    ("box a text", annotation('"track_id":1,"bbox":"0 0 1 1"'), False),
    ("class missing", annotation('"track_id":1,"bbox":[0,0,1,1]').replace('"class":"car",', ''),
     False),
    ("counter 5", counter('{"value":[5]}'), True),
    ("counter 12.9", counter('{"value":[12.9]}'), True),
    ("counter 3e9", counter('{"value":[3e9]}'), False),
    ("counter 2147483647.5", counter('{"value":[2147483647.5]}'), True),
    ("counter -2147483649", counter('{"value":[-2147483649]}'), False),
    ("counter true", counter('{"value":[true]}'), False),
    ("counter empty list", counter('{"value":[]}'), True),
    ("counter first null", counter('{"value":[null, "x"]}'), True),
    ("counter second a text", counter('{"value":[1, "x"]}'), True),
    ("counter null", counter('null'), False),
    ("counter value null", counter('{"value":null}'), False),
    ("counter a list", counter('[5]'), False),
    ("counter-only alarm without object_list",
     top(ALARM + ',"event":{"counter":{"value":[5]}}'), False),
    ("alarm without caption", top('"description":"D","source":"s","event":{"object_list":[]}'),
     False),
    ("alarm with a null source",
     top('"caption":"C","description":"D","source":null,"event":{"object_list":[]}'), False),
    ("alarm caption a number",
     top('"caption":1,"description":"D","source":"s","event":{"object_list":[]}'), False),
    ("detections with a numeric caption",
     top('"caption":1,"meta":{"metadata":{"annotations":[]}}'), True),
    ("meta timestamp a text",
     top('"meta":{"timestamp":"1718269971.4","metadata":{"annotations":[]}}'), True),
    ("top-level timestamp an object", top('"timestamp":{},"meta":{"metadata":{"annotations":[]}}'),
     True),
    ("meta without metadata", top('"meta":{"source":"rtsp://x"}'), False),
    ("annotations an object", top('"meta":{"metadata":{"annotations":{}}}'), False),
    ("neither event nor meta", top('"caption":"C"'), False),
    ("event a list", top(ALARM + ',"event":[]'), False),
]


def schema_verdicts(validator, messages):
    return [validator.is_valid(json.loads(text)) for text in messages]


def check_verdicts(publish, messages):
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as file:
        for text in messages:
            file.write(text + "\n")
        path = file.name
    command = [publish, "--check", "--json", "--quiet"]
    for setting in CHECK_SETTINGS:
        command += ["--set", setting]
    finished = subprocess.run(command + ["--", path], capture_output=True, text=True,
                              check=False)
    pathlib.Path(path).unlink()
    lines = [json.loads(line) for line in finished.stdout.splitlines()]
    if len(lines) != len(messages):
        sys.exit("skyloom-publish --check gave %d results for %d messages: %s"
                 % (len(lines), len(messages), finished.stderr))
    return [line["verdict"] == "ok" for line in lines], lines


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--write":
        source = pathlib.Path(sys.argv[2])
        schema = json.loads((source / "docs/message.schema.json").read_text())
        (source / "docs/message.draft-07.schema.json").write_text(draft7_text(schema))
        return 0
    publish, source = sys.argv[1], pathlib.Path(sys.argv[2])
    schema = json.loads((source / "docs/message.schema.json").read_text())
    draft7_path = source / "docs/message.draft-07.schema.json"
    failures = []
    if draft7_path.read_text() != draft7_text(schema):
        failures.append("%s is not the draft-7 form of message.schema.json (run %s --write %s)"
                        % (draft7_path, sys.argv[0], source))
    draft7 = json.loads(draft7_path.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    jsonschema.Draft7Validator.check_schema(draft7)
    validators = {"2020-12": jsonschema.Draft202012Validator(schema),
                  "draft-7": jsonschema.Draft7Validator(draft7)}

    for sample in sorted((source / "samples/messages").glob("*.json")):
        message = json.loads(sample.read_text())
        for name, validator in validators.items():
            for error in validator.iter_errors(message):
                failures.append("%s (%s): %s at %s" % (sample.name, name, error.message,
                                                      list(error.absolute_path)))

    messages = [row[1] for row in TABLE]
    checked, lines = check_verdicts(publish, messages)
    for name, validator in validators.items():
        verdicts = schema_verdicts(validator, messages)
        for row, by_schema, by_check, line in zip(TABLE, verdicts, checked, lines):
            if by_schema != row[2] or by_check != row[2]:
                failures.append("%s: expected %s, schema (%s) says %s, --check says %s %s"
                                % (row[0], row[2], name, by_schema, by_check, line["drops"]))
    for failure in failures:
        print(failure)
    print("%d samples, %d table rows, %d failures"
          % (len(list((source / "samples/messages").glob("*.json"))), len(TABLE), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
