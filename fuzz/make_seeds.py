#!/usr/bin/env python3
"""Writes the small valid inputs each fuzz target starts from into fuzz/seeds/<target>/.

Protocol-buffer seeds are encoded by protoc (PROTOC, else protoc on the PATH) from their text form,
so they follow the real wire format rather than our own encoder. Run it again after changing a seed
here; the regression inputs in fuzz/regressions/ are never written by it.
"""
import gzip
import os
import plistlib
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PROTO_DIR = os.path.join(HERE, "..", "DirodaZovAridozovori", "Messages", "proto")
PROTOC = os.environ.get("PROTOC") or shutil.which("protoc")
APP_ID = "1:1234567890:ios:abcdef"  # the app the config_reply target runs as


def protoc(message, proto, text):
    if not PROTOC:
        sys.exit("protoc not found (install protobuf-compiler or set PROTOC)")
    result = subprocess.run([PROTOC, "--encode=apmpb." + message, "-I", PROTO_DIR, proto],
                            input=text.encode(), capture_output=True, check=False)
    if result.returncode != 0:
        sys.exit("protoc refused %s: %s" % (message, result.stderr.decode()))
    return result.stdout


def sexp(source):
    """The text form of the entities of an S-expression program: (NAME arg...), numbers, "texts"."""
    at = 0

    def skip():
        nonlocal at
        while at < len(source) and source[at].isspace():
            at += 1
        return at < len(source)

    def entity():
        nonlocal at
        skip()
        if source[at] == "(":
            at += 1
            skip()
            start = at
            while not source[at].isspace() and source[at] != ")":
                at += 1
            text = '{ type: STATEMENT function_name: "%s"' % source[start:at]
            while skip() and source[at] != ")":
                text += " value " + entity()
            at += 1
            return text + " }"
        if source[at] == '"':
            end = source.index('"', at + 1)
            text = "{ type: STRING string_value: %s }" % source[at:end + 1]
            at = end + 1
            return text
        start = at
        while at < len(source) and not source[at].isspace() and source[at] != ")":
            at += 1
        token = source[start:at]
        if token in ("true", "false"):
            return "{ type: BOOLEAN boolean_value: %s }" % token
        return "{ type: NUMBER number_value: %s }" % token

    entities = []
    while skip():
        entities.append(entity())
    return entities


PREAMBLE = ('(41 "reg" "log") (3 "reg" (require "internal.registerCallback"))'
            ' (3 "log" (require "internal.eventLogger"))'
            ' (50 "register" (7 "rule") (reg 0 (16 (15 "rule") "fn") (15 "rule")))')


def rule(kind, body):
    return '(8 "type" "%s" "fn" (51 "" (7 "e") %s))' % (kind, body)


def program_text(rules, extra=""):
    text = "".join("instructions %s\n" % e for e in sexp(PREAMBLE + " " + extra))
    text += 'activities { activities { name: "register"'
    for r in rules:
        text += " data " + sexp(r)[0]
    return text + " } }"


EDITING_RULES = [
    rule("edit", '(2 (15 "e") "setParamValue" (7 "stage" "final")) (2 (15 "e") "setEventName" (7 "checkout_done"))'
                 ' (36 1)'),
    rule("create", '(log (0 (2 (15 "e") "getEventName" (7)) "_copy") (2 (15 "e") "getTimestamp" (7))'
                   ' (8 "value" (2 (15 "e") "getParamValue" (7 "value")) "label" 12))'),
]
LOOPING_RULES = [
    rule("edit", '(41 "i" "s") (3 "i" 0) (3 "s" "") (42 (23 (15 "i") 20) (3 "i" (0 (15 "i") 1)) false'
                 ' (46 (3 "s" (0 (15 "s") (15 "i"))))) (2 (15 "e") "setParamValue" (7 "s" (15 "s"))) (36 1)'),
]

AUDIENCES = r'''
audiences { audience_id: 1 event_filters { filter_id: 0 event_name: "level_up"
  filters { param_name: "level" number_filter { comparison_type: GREATER_THAN comparison_value: "2" } } } }
audiences { audience_id: 2 event_filters { filter_id: 1 event_name: "level_up"
  event_count_filter { comparison_type: BETWEEN min_comparison_value: "1" max_comparison_value: "10" } } }
audiences { audience_id: 3 property_filters { filter_id: 2 property_name: "tier"
  filter { string_filter { match_type: BEGINS_WITH expression: "GOL" } } } }
audiences { audience_id: 4 property_filters { filter_id: 3 property_name: "tier" dynamic: true
  filter { string_filter { match_type: IN_LIST expression_list: "Gold" expression_list: "silver" } } } }
audiences { audience_id: 5 event_filters { filter_id: 4 event_name: "level_up" sequence: true
  filters { param_name: "item" string_filter { match_type: REGEXP expression: "^g.*t$" } } } }
'''

SETTINGS = '''
settings { name: "measurement.upload.interval" value: "60000" }
settings { name: "measurement.audience.filter_result_max_count" value: "200" }
event_configs { name: "tutorial_skip" is_blocklisted: true }
consent_config { default_entries { type: AD_STORAGE mode: DENIED } delegations { type: AD_USER_DATA delegate_type: AD_STORAGE } dma_region: true }
'''


def config(body):
    return protoc("MeasurementConfig", "measurement_config.proto",
                  'version: 7\napp_id: "%s"\n%s' % (APP_ID, body))


def program_field(text):
    return "programs { %s }\n" % text


EXPERIMENT = '''
snapshots { sdk_name: "app_measurement"
  experiments { experiment_id: 4242 flags { name: "session_stitching_token_feature_enabled" bool_value: true } }
  experiments { experiment_id: 0 flags { name: "launch" int_value: 3 } flags { name: "ratio" double_value: 0.5 } } }
sdk_responses { sdk_name: "other_sdk" status: 2 snapshot { experiments { experiment_id: 7 flags { name: "f" string_value: "x" } } } }
'''


def der(tag, content):
    if len(content) < 0x80:
        return bytes([tag, len(content)]) + content
    length = len(content).to_bytes((len(content).bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(length)]) + length + content


def der_integer(value):
    content = value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big")
    return der(0x02, content)


def attribute(kind, value):
    return der(0x30, der_integer(kind) + der_integer(1) + der(0x04, value))


def receipt():
    record = der(0x31, b"".join([
        attribute(1702, der(0x0C, b"com.example.gold")),
        attribute(1703, der(0x0C, b"1000000123")),
        attribute(1704, der(0x16, b"2023-11-14T22:13:20Z")),
        attribute(1705, der(0x0C, b"1000000100")),
        attribute(1707, der_integer(1)),
        attribute(1711, der_integer(2000000042)),
        attribute(1713, der_integer(1)),
        attribute(1719, der_integer(0)),
    ]))
    return der(0x31, attribute(2, der(0x0C, b"com.example.host")) + attribute(19, der(0x0C, b"2.4.0"))
               + attribute(17, record))


BUNDLE = '''
protocol_version: 1 platform: "ios" app_id: "%s" app_version: "2.4.0" resettable_device_id: "OLD-ID"
start_timestamp_millis: 1699999990000 end_timestamp_millis: 1700000000000 device_model: "iPhone14,2"
os_version: "17.1" limited_ad_tracking: true consent_signals: "G100" redacted_fields: "x"
events { name: "_f" timestamp_millis: 1699999990000 params { name: "_c" int_value: 1 } }
events { name: "purchase" timestamp_millis: 1699999995000 previous_timestamp_millis: 1699999991000
  params { name: "value" double_value: 9.99 } params { name: "currency" string_value: "EUR" }
  params { name: "items" array_value { params { name: "item_id" string_value: "sku-1" } } } }
user_attributes { set_timestamp_millis: 1699999990000 name: "tier" string_value: "gold" }
audience_evaluation_results { audience_id: 3 }
experiment_ids: 4242 experiment_ids: 7
''' % APP_ID


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def stored_text(text):
    data = text.encode()
    return varint(len(data)) + data


def stored_parameters(parameters):
    """The stored event's parameter block: count, then name, tag and value for each."""
    out = varint(len(parameters))
    for name, value in parameters:
        out += stored_text(name)
        if isinstance(value, list):
            out += b"\x04" + varint(len(value)) + b"".join(stored_parameters(item) for item in value)
        elif isinstance(value, float):
            out += b"\x02" + struct.pack("<d", value)
        elif isinstance(value, int):
            out += b"\x01" + varint((value << 1) ^ (value >> 63))
        else:
            out += b"\x03" + stored_text(value)
    return out


def stored_event(name, timestamp, origin, public, previous, parameters):
    """An event as a record keeps it: name and timestamp, then the body a raw-event row stores."""
    body = bytes([1, 1 if public else 0]) + stored_text(origin) + struct.pack("<d", previous)
    return stored_text(name) + struct.pack("<d", timestamp) + body + stored_parameters(parameters)


PREFERENCES = {
    "name": "gorilla", "count": 3, "ratio": 0.25, "on": True, "blob": b"\x00\x01\xff",
    "list": [1, "two", {"k": 3.5}], "empty": {},
}


def vendor_bits(on):
    """A vendor bit string reaching vendor 755 (index 754), its bit on or off."""
    return "10" * 377 + ("1" if on else "0") + "01"


TCF_HOST = {
    "IABTCF_EnableAdvertiserConsentMode": 1, "IABTCF_gdprApplies": 1, "IABTCF_CmpSdkID": 300,
    "IABTCF_PolicyVersion": 4, "IABTCF_PurposeConsents": "1111111111", "IABTCF_PurposeLegitimateInterests": "0100001",
    "IABTCF_VendorConsents": vendor_bits(True), "IABTCF_VendorLegitimateInterests": vendor_bits(False),
    "IABTCF_PublisherRestrictions1": "2" * 760, "IABTCF_PublisherRestrictions7": "0" * 754 + "1",
    "IABTCF_PurposeOneTreatment": 1, "IABTCF_PublisherCC": "CH",
}
TCF_SUITE = {
    "DIRODA_ANALYTICS_TCF_DATA_ENABLED": True, "IABTCF_EnableAdvertiserConsentMode": 1, "IABTCF_gdprApplies": 1,
    "IABTCF_CmpSdkID": 300, "IABTCF_PolicyVersion": 2, "IABTCF_PurposeConsents": "1010",
    "IABTCF_VendorConsents": vendor_bits(False), "IABTCF_PublisherRestrictions": ["", "1", "", "", "", "", "2"],
    "tcf_StringRepresentation": "isTCFDataEnabled=1,cmpSDKID=300",
}


RESULT_DATA = '''
status: 15 results: 5
dynamic_filter_timestamps { filter_id: 2 timestamp: 1699999990 }
dynamic_filter_timestamps { filter_id: 3 timestamp: 1699999000 }
sequence_filter_timestamps { filter_id: 1 eval_timestamps: 1699999980 eval_timestamps: 1699999990 }
'''

SNAPSHOT = '''
sdk_name: "app_measurement"
experiments { experiment_id: 4242 flags { name: "session_stitching_token_feature_enabled" bool_value: true } }
experiments { experiment_id: 0 flags { name: "launch" int_value: 3 } flags { name: "ratio" double_value: 0.5 } }
experiments { experiment_id: 7 flags { name: "f" string_value: "x" } flags { name: "f" int_value: 2 } }
'''

PERSISTED = {"/diroda/measurement/" + key: value for key, value in {
    "session_number": 12, "session_timeout": 1800.0, "last_engagement_end": 1699999900.5,
    "midnight_offset": -3600.0, "load_timestamp": 1699990000.25, "first_open_time": 1699990000000,
    "previous_first_open_count": 1, "unmatched_first_open_without_idfa": True,
    "ad_campaign_info_buffer": b"\x0a\x04news", "is_search_ad_campaign": False, "search_ad_number_of_retries": 2,
    "search_ad_last_attempt_timestamp": 1699999000.0, "deep_link_retrieval_complete": True,
    "deep_link_retry_count": 1, "config_version": 10000, "config_last_modified": "Tue, 14 Nov 2023 22:13:20 GMT",
    "config_etag": "\"abc123\"", "measurement_enabled_state": 1, "allow_personalized_ads": True,
    "previous_consent_signals": "G111", "app_id_from_dmp": APP_ID, "app_instance_id": "f1e2d3c4b5a6",
    "hashed_idfa": "9f86d081884c7d65", "diversion_key": "d-key", "should_set_lair": False, "app_version": "2.4.0",
    "os_version": "14.1", "last_monitor_sample_time": 1699999000.0, "last_backoff_time": 0.0,
    "last_upload_success_time": 1699999500.0, "last_upload_failure_time": 1699999400.0,
    "default_event_parameters": {"plan": "gold", "level": 3}, "zoredode_feature_rollouts": "r1",
}.items()}

# The values of another kind than each reader takes: numbers as texts, texts as numbers.
PERSISTED_OTHER_KINDS = {"/diroda/measurement/" + key: value for key, value in {
    "session_number": "12", "session_timeout": "1800", "midnight_offset": True, "first_open_time": 1.7e12,
    "config_etag": 7, "measurement_enabled_state": 2.9, "allow_personalized_ads": "YES",
    "ad_campaign_info_buffer": "news", "default_event_parameters": ["plan"],
}.items()}


def counts(*values):
    """A stored_counts input: a kind byte a column, then what the kind takes (see the target)."""
    out = b""
    for kind, value in values:
        if kind == "int":
            out += bytes([1]) + struct.pack(">q", value)
        elif kind == "real":
            out += bytes([3]) + struct.pack(">d", value)
        else:
            text = value.encode()
            out += bytes([4, len(text)]) + text
    return out


METADATA = '''
protocol_version: 1 platform: "ios" app_id: "com.example.app" app_version: "2.4.0" os_version: "17.1"
device_model: "iPhone14,2" limited_ad_tracking: true consent_signals: "G100"
user_attributes { set_timestamp_millis: 1699999990000 name: "tier" string_value: "gold" }
user_attributes { set_timestamp_millis: 1699999991000 name: "_ltv_EUR" int_value: 9990000 }
'''


def seeds():
    editing = program_text(EDITING_RULES)
    return {
        "config_reply": {
            "settings.pb": config(SETTINGS),
            "audiences.pb": config(SETTINGS + AUDIENCES),
            "program.pb": config(SETTINGS + program_field(editing)),
        },
        "program": {
            "edit_and_create.pb": protoc("Program", "program.proto", editing),
            "loop.pb": protoc("Program", "program.proto", program_text(LOOPING_RULES)),
        },
        "experiment_reply": {
            "plain.pb": protoc("ExperimentResponse", "experiment.proto", EXPERIMENT),
            "gzip.pb.gz": gzip.compress(protoc("ExperimentResponse", "experiment.proto", EXPERIMENT), mtime=0),
        },
        "deep_link_reply": {
            "link.json": b'{"deeplink": "myapp://products/7?utm_source=news&utm_campaign=spring&zclid=abc",'
                         b' "timestamp": 1700000000}',
        },
        "search_ad_reply": {
            "attributed.json": b'{"attribution": true, "campaignId": 1234567, "adId": 42, "keywordId": "12323222"}',
            "not_attributed.json": b'{"attribution": false}',
        },
        "store_receipt": {"receipt.der": receipt()},
        "property_list": {
            "binary.plist": plistlib.dumps(PREFERENCES, fmt=plistlib.FMT_BINARY),
            "xml.plist": plistlib.dumps(PREFERENCES, fmt=plistlib.FMT_XML),
        },
        "opened_url": {
            "campaign.txt": b"myapp://open?utm_source=news&utm_medium=email&utm_campaign=spring%20sale&zclid=abc"
                            b"&zbraid=z1&zad_flag=1#top",
            "plain.txt": b"https://example.com/path?q=1",
        },
        "queued_bundle": {
            "bundle.pb": protoc("MeasurementBundle", "upload.proto", BUNDLE),
            "no_events.pb": protoc("MeasurementBundle", "upload.proto", 'app_id: "%s" platform: "ios"' % APP_ID),
        },
        "stored_event": {
            "purchase.bin": stored_event("purchase", 1700000000.0, "app", True, 1699999990.0, [
                ("value", 9.99), ("currency", "EUR"), ("quantity", -3),
                ("items", [[("item_id", "sku-1"), ("price", 4.5)], [("item_id", "sku-2")]])]),
            "session_start.bin": stored_event("_s", 1700000001.0, "auto", False, 0.0, [("_sid", 1700000001)]),
        },
        "tcf_preferences": {
            "granted.plist": plistlib.dumps({"host": TCF_HOST}, fmt=plistlib.FMT_BINARY),
            "changed.plist": plistlib.dumps({"host": TCF_HOST, "suite": TCF_SUITE}, fmt=plistlib.FMT_XML),
        },
        "program_file": {
            "edit_and_create.txt": editing.encode(),
            "loop.txt": program_text(LOOPING_RULES).encode(),
            "event.json": b'{"name": "level_up", "timestamp": 1700000001, "params": {"level": 4, "ratio": 0.5,'
                          b' "character": "wizard", "items": [{"item_id": "sku-1", "price": 4.5}, {"n": -2}]}}',
        },
        "stored_audience_result": {
            "result.pb": protoc("ResultData", "audience.proto", RESULT_DATA),
            "status_only.pb": protoc("ResultData", "audience.proto", "status: 3 status: 1 results: 1"),
        },
        "experiment_snapshot": {
            "snapshot.pb": protoc("Snapshot", "experiment.proto", SNAPSHOT),
            # Cut short inside its first experiment: no row of these bytes reads.
            "torn.pb": protoc("Snapshot", "experiment.proto", SNAPSHOT)[:24],
        },
        "persisted_config": {
            "values.plist": plistlib.dumps(PERSISTED, fmt=plistlib.FMT_BINARY),
            "other_kinds.plist": plistlib.dumps(PERSISTED_OTHER_KINDS, fmt=plistlib.FMT_XML),
        },
        "transaction_date": {
            "utc.txt": b"2023-11-14T22:13:20Z\n2023-11-14T22:13:20Z\n2023-11-13T22:13:20Z\n",
            "offsets.txt": b"2024-02-29T13:05:09+01:00\n2024-02-29T12:05:09Z\n0001-01-01T00:00:00-0530\n"
                           b"9999-12-31T23:59:59Z\n",
            "same_second_twice.txt": b"2023-11-14T22:13:20Z\n2023-11-14T22:13:20Z\n2023-11-14T23:13:20+01:00\n",
            "no_such_day.txt": b"2023-02-29T10:00:00Z\n2023-02-29T10:00:00Z\n2023-03-01T10:00:00Z\n",
        },
        "stored_counts": {
            # An event's aggregates, then the install's daily counters, bundle indexes and span.
            "ordinary.bin": counts(("int", 5), ("int", 1), ("int", 2), ("real", 1699999940.0), ("real", 1699996400.0),
                                   ("int", 19675), ("int", 0), ("int", 0), ("int", 0),
                                   ("int", 19675), ("int", 1), ("int", 9), ("int", 7), ("int", 0), ("int", 2), ("int", 0),
                                   ("int", 40), ("int", 12), ("real", 1699992800.0), ("real", 1699996400.0)),
            "texts.bin": counts(("text", "12"), ("text", "abc"), ("int", -4), ("text", "1e5"), ("real", -1.5),
                                ("text", ""), ("int", 100), ("text", "7"), ("int", 1),
                                ("int", 19674), ("text", "x"), ("int", -3), ("text", "0x10"), ("real", 2.5),
                                ("int", 1), ("int", 1), ("text", "40"), ("real", 12.75), ("text", "later"), ("int", 0)),
        },
        "config_settings": {
            # One text a setting, in the order of the settings' table (66 of them); the rest keep
            # their defaults.
            "typical.txt": "\n".join(["3600000", "100", "1", "86400000", "0", "25", "15000", "-900"][i % 8]
                                     for i in range(66)).encode(),
            "edges.txt": "\n".join([" 12 ", "1.5", "+.5", "-0", "9223372036854775807", "9223372036854775808", "1e5",
                                    "1,5", "", "0x10", "NaN", "007", "-9223372036854775808", "1" + "0" * 30,
                                    "2.", "-.25"][i % 16] for i in range(40)).encode(),
        },
        "installation_id_file": {
            "valid.txt": b"AbCdEfGhIjKlMnOpQrStU_",
            "line_break.txt": b"AbCdEfGhIjKlMnOpQrStU_\n",
            "torn.txt": b"AbCdEfGhIj",
        },
        "stored_metadata": {
            "metadata.pb": protoc("MeasurementBundle", "upload.proto", METADATA),
            "holding_an_event.pb": protoc("MeasurementBundle", "upload.proto",
                                          METADATA + 'events { name: "level_up" timestamp_millis: 1699999000000 }'),
            # Cut short inside its first user property: it does not decode.
            "torn.pb": protoc("MeasurementBundle", "upload.proto", METADATA)[:90],
        },
        "http_reply": {
            "validators.txt": b"HTTP/1.1 200 OK\r\nContent-Type: application/x-protobuf\r\n"
                              b"Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nETag: \"abc123\"\r\n"
                              b"Content-Length: 42\r\n\r\n",
            "redirect.txt": b"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nETag: \"old\"\r\n\r\n"
                            b"HTTP/1.1 200 OK\r\netag: \"new\"\r\n\r\n",
        },
    }


def main():
    for target, files in seeds().items():
        directory = os.path.join(HERE, "seeds", target)
        os.makedirs(directory, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
