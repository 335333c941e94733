#!/usr/bin/env python3
"""Makes tests/support/signing_fixtures.h: TEST KEYS ONLY, made afresh with
the openssl command each time this runs, for the catalogue signature tests.

The keys, catalogues and signatures are written into a header rather than
into files the tests would look up at run time, so that the same table runs
natively and in the Windows test program under Wine. The private keys are
thrown away, except one kept on purpose as a key file the program must
refuse. Run it again only when the fixtures must change; commit the header.
"""
import hashlib
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True, check=True).stdout


def firmware_image(version, hw_config, size=1000):
    # As test_support::firmware_image builds it.
    image = "KV firmware image\nFWVERSION=" + version + "\n"
    if hw_config:
        image += "HWCONF=" + hw_config + "\n"
    while len(image) < size:
        image += chr(ord("a") + len(image) % 26)
    return image.encode()


def c_text(data):
    out = '"'
    after_escape = False  # a hex digit right after \xNN would extend it
    for byte in data:
        c = chr(byte)
        if after_escape and c in "0123456789abcdefABCDEF":
            out += '" "'
        after_escape = False
        if c == "\n":
            out += '\\n"\n    "'
        elif c == '"' or c == "\\":
            out += "\\" + c
        elif 32 <= byte < 127:
            out += c
        else:
            out += "\\x%02x" % byte
            after_escape = True
    return out + '"'


def main():
    work = tempfile.mkdtemp()

    def key(name, *genkey):
        private = os.path.join(work, name + ".pem")
        openssl("genpkey", *genkey, "-out", private)
        return private

    def public(private, *options):
        return openssl("pkey", "-in", private, "-pubout", *options)

    def sign(private, data):
        path = os.path.join(work, "data")
        with open(path, "wb") as f:
            f.write(data)
        return openssl("dgst", "-sha256", "-sign", private, path)

    p256 = ("-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-pkeyopt", "ec_param_enc:named_curve")
    signer = key("signer", *p256)
    other = key("other", *p256)
    p384 = key("p384", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384")
    signer_public = public(signer)
    signer_der = openssl("pkey", "-pubin", "-outform", "DER", data=signer_public)

    image = firmware_image("2.10", "0x00a4")
    checked = ("$ signed test catalogue\n0x00a4|A4.BIN|2.10|sha256:%s\n" % hashlib.sha256(image).hexdigest()).encode()
    unchecked = b"$ signed test catalogue\n0x00a4|A4.BIN|2.10\n"

    def headed(*header):
        # A catalogue with header lines ("$serial 5", "$expires 2020-01-01").
        lines = "".join(line + "\n" for line in header)
        return checked.replace(b"\n", b"\n" + lines.encode(), 1)

    serial_5 = headed("$serial 5", "$expires 2999-12-31")
    serial_3 = headed("$serial 3")
    expired = headed("$serial 9", "$expires 2020-01-01")
    unreadable_serial = headed("$serial five")

    fixtures = [
        ("signer_public_key", signer_public),
        ("other_public_key", public(other)),
        ("signer_private_key", open(signer, "rb").read()),
        ("p384_public_key", public(p384)),
        ("compressed_public_key", openssl("ec", "-in", signer, "-pubout", "-conv_form", "compressed")),
        ("checked_catalogue", checked),
        ("checked_signature", sign(signer, checked)),
        ("checked_signature_by_other", sign(other, checked)),
        ("unchecked_catalogue", unchecked),
        ("unchecked_signature", sign(signer, unchecked)),
        ("serial_5_catalogue", serial_5),
        ("serial_5_signature", sign(signer, serial_5)),
        ("serial_3_catalogue", serial_3),
        ("serial_3_signature", sign(signer, serial_3)),
        ("expired_catalogue", expired),
        ("expired_signature", sign(signer, expired)),
        ("unreadable_serial_catalogue", unreadable_serial),
        ("unreadable_serial_signature", sign(signer, unreadable_serial)),
    ]
    lines = [
        "// Made by tests/support/make_signing_fixtures.py with the openssl command:",
        "// TEST KEYS ONLY. Never trust them on a host with real drives.",
        "#pragma once",
        "",
        "#include <string>",
        "",
        "namespace test_support::signing {",
        "",
        "// The image the catalogues name (firmware_image(\"2.10\", \"0x00a4\")).",
        'constexpr const char image_version[] = "2.10";',
        'constexpr const char image_hw_config[] = "0x00a4";',
        "// SHA-256 of the signer's SubjectPublicKeyInfo DER.",
        'constexpr const char signer_fingerprint[] = "%s";' % hashlib.sha256(signer_der).hexdigest(),
    ]
    for name, data in fixtures:
        lines += ["", "const std::string %s(" % name, "    %s," % c_text(data), "    %d);" % len(data)]
    lines += ["", "}  // namespace test_support::signing", ""]
    with open(os.path.join(here, "signing_fixtures.h"), "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    sys.exit(main())
