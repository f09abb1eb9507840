#!/usr/bin/python3
"""Interface identifiers of the generic interface instances of include/kalto/native.h.

The platform derives the IID of an instance of a parameterised interface from its type
signature: SHA-1 over the 16 bytes of a fixed namespace GUID followed by the UTF-8 signature,
the first 16 bytes of the digest read as a big-endian GUID with the version set to 5 and the
variant to RFC 4122.

  piid.py HEADER           prints every instance with its IID
  piid.py --check HEADER   fails unless the header's values are the computed ones
"""
import hashlib
import re
import sys
import uuid

NAMESPACE = uuid.UUID("11f47ad5-7b73-42c0-abae-878b1e16adee")

# Parameterised interfaces of the platform (their own, fixed identifiers).
IASYNC_OPERATION = "9fc2b0bb-e446-44e2-aa61-9cab8f636af2"
IASYNC_OPERATION_COMPLETED_HANDLER = "fcdcf02c-e5d8-4478-915a-4d90b74b83a5"
TYPED_EVENT_HANDLER = "9de1c534-6ae1-11e0-84e1-18a905bcc53f"


def piid(signature):
    digest = bytearray(hashlib.sha1(NAMESPACE.bytes + signature.encode("utf-8")).digest()[:16])
    digest[6] = (digest[6] & 0x0F) | 0x50
    digest[8] = (digest[8] & 0x3F) | 0x80
    return uuid.UUID(bytes=bytes(digest))


def pinterface(generic, *arguments):
    return "pinterface({%s};%s)" % (generic, ";".join(arguments))


def runtime_class(name, default_iid):
    return "rc(%s;{%s})" % (name, default_iid)


def header_iids(text):
    """KALTO_IID_<name>_VALUE macros: {0xDATA1, 0xDATA2, 0xDATA3, {8 bytes}}."""
    found = {}
    pattern = re.compile(
        r"#define KALTO_IID_(\w+)_VALUE\s*\\?\s*\{\s*0x([0-9A-Fa-f]{8})[uU]?,\s*0x([0-9A-Fa-f]{4}),\s*"
        r"0x([0-9A-Fa-f]{4}),\s*\{([^}]*)\}\s*\}")
    for match in pattern.finditer(text):
        tail = "".join("%02x" % int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]{2})", match.group(5)))
        if len(tail) != 16:
            raise SystemExit("KALTO_IID_%s_VALUE: Data4 must have 8 bytes" % match.group(1))
        found[match.group(1)] = uuid.UUID(match.group(2) + match.group(3) + match.group(4) + tail)
    return found


def instances(ours):
    """(header name, signature) of every generic instance the header uses."""
    boolean = "b1"
    recorder = runtime_class("Kalto.Native.NativeRecorder", ours["INativeRecorder"])
    progress = runtime_class("Kalto.Native.RecordingProgress", ours["IRecordingProgress"])
    bitmap = runtime_class("Kalto.Native.SoftwareBitmap", ours["ISoftwareBitmap"])
    operation = pinterface(IASYNC_OPERATION, boolean)
    handler = lambda argument: pinterface(TYPED_EVENT_HANDLER, recorder, argument)
    return [
        ("IAsyncOperationBoolean", operation),
        ("IAsyncOperationCompletedHandlerBoolean", pinterface(IASYNC_OPERATION_COMPLETED_HANDLER, boolean)),
        ("ITypedEventHandlerNativeRecorderObject", handler("cinterface(IInspectable)")),
        ("ITypedEventHandlerNativeRecorderString", handler("string")),
        ("ITypedEventHandlerNativeRecorderRecordingProgress", handler(progress)),
        ("ITypedEventHandlerNativeRecorderBoolean", handler(boolean)),
        ("ITypedEventHandlerNativeRecorderSoftwareBitmap", handler(bitmap)),
    ]


def as_macro(value):
    b = value.bytes
    return "{0x%sU, 0x%s, 0x%s, {%s}}" % (
        b[0:4].hex().upper(), b[4:6].hex().upper(), b[6:8].hex().upper(),
        ", ".join("0x%02X" % x for x in b[8:]))


def main(argv):
    # The platform's own value for IAsyncOperation<Boolean>: the rule above must reproduce it.
    if str(piid(pinterface(IASYNC_OPERATION, "b1"))) != "cdb5efb3-5788-509d-9be1-71ccb8a3362a":
        raise SystemExit("the derivation does not reproduce IAsyncOperation<Boolean>")
    check = "--check" in argv
    paths = [a for a in argv if a != "--check"]
    if len(paths) != 1:
        raise SystemExit(__doc__)
    with open(paths[0], encoding="utf-8") as f:
        declared = header_iids(f.read())
    ours = {name: str(value) for name, value in declared.items()}
    failures = 0
    for name, signature in instances(ours):
        value = piid(signature)
        if check:
            if declared.get(name) != value:
                print("KALTO_IID_%s: header has %s, the signature gives {%s}\n  %s"
                      % (name, declared.get(name), value, signature))
                failures += 1
        else:
            print("%s {%s}\n  %s\n  %s" % (name, value, as_macro(value), signature))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
