"""The parsers that importers use, reading vCard 3.0 and 4.0 files of the converter.

    importers.py vobject FILE    each card through python3-vobject (Radicale's and khard's parser)
    importers.py evolution FILE  each card through Evolution's EVCard (libebook-contacts)
    importers.py radicale FILE   a real Radicale server on 127.0.0.1 with a private storage folder:
                                 an address book collection made (MKCOL), every card PUT into it,
                                 the collection read back (GET) and parsed by vobject; the server
                                 is stopped before the script ends

Prints a JSON list, one object per card, in the form every reader of the tests gives (see
card_of): property names upper case (a group's KIND and MEMBER lines, Apple's
X-ADDRESSBOOKSERVER-KIND and -MEMBER in 3.0, under KIND and MEMBER); text values unescaped; N and ADR as lists of their
components; dates as "YYYY-MM-DD"; the photo as its bytes in hex. Exits non-zero when a file
does not parse or the server refuses a card.
"""
import base64
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

TEXT = ("UID", "FN", "NICKNAME", "TITLE", "ROLE", "NOTE", "GENDER", "SORT-STRING")
LISTS = ("EMAIL", "TEL", "URL")


def iso_date(value):
    """"1999-12-31" of "19991231", "1999-12-31" or a date-time; the value itself otherwise."""
    m = re.match(r"^(\d{4})-?(\d{2})-?(\d{2})", value)
    return "%s-%s-%s" % m.groups() if m else value


def photo_hex(value):
    if isinstance(value, bytes):
        return value.hex()
    head, comma, data = value.partition(",")
    if head.startswith("data:") and head.endswith(";base64") and comma:
        return base64.b64decode(data, validate=True).hex()
    return base64.b64decode(value, validate=True).hex()


def card_of(pairs):
    """The common form of a card given as (NAME, value) pairs, a value being a text, a list of
    components (N, ADR, ORG, CATEGORIES) or bytes (PHOTO); SORT-AS stands for the parameter of N,
its values joined by ','."""
    card = {"EMAIL": [], "TEL": [], "URL": [], "ADR": []}
    for name, value in pairs:
        if name in TEXT:
            card[name] = value
        elif name in LISTS:
            card[name].append(value)
        elif name == "ADR":
            card["ADR"].append(list(value))
        elif name in ("N", "ORG", "CATEGORIES"):
            card[name] = list(value)
        elif name in ("BDAY", "ANNIVERSARY", "X-ANNIVERSARY"):
            card["ANNIVERSARY" if name != "BDAY" else "BDAY"] = iso_date(value)
        elif name == "PHOTO":
            card["PHOTO"] = photo_hex(value)
        elif name in ("X-MS-ASSISTANT", "X-MS-MANAGER", "X-MS-SPOUSE", "FBURL"):
            card[name] = value
        elif name in ("KIND", "X-ADDRESSBOOKSERVER-KIND"):
            card["KIND"] = value
        elif name in ("MEMBER", "X-ADDRESSBOOKSERVER-MEMBER"):
            card.setdefault("MEMBER", []).append(value)
        elif name == "SORT-AS":
            card[name] = value
    return card


def caret_decoded(value):
    """A parameter value with the caret escapes of RFC 6868 (^^, ^' and ^n) decoded: vobject
    keeps them as they stand."""
    return re.sub(r"\^([\^'n])", lambda m: {"^": "^", "'": '"', "n": "\n"}[m.group(1)], value)


def vobject_pairs(component):
    import vobject

    pairs = []
    for line in component.getChildren():
        name = line.name.upper()
        value = line.value
        if name == "N":
            value = [value.family, value.given, value.additional, value.prefix, value.suffix]
            if "SORT-AS" in line.params:
                pairs.append(("SORT-AS", caret_decoded(",".join(line.params["SORT-AS"]))))
        elif name == "ADR":
            value = [value.box, value.extended, value.street, value.city, value.region, value.code, value.country]
        if isinstance(value, list):
            value = [" ".join(v) if isinstance(v, list) else v for v in value]
        if name in ("N", "ADR", "ORG", "CATEGORIES") and not isinstance(value, list):
            value = [value]
        if name in ("ORG",) and isinstance(line.value, list):
            value = list(line.value)
        pairs.append((name, value))
    del vobject
    return pairs


def read_vobject_text(data):
    import vobject

    return [card_of(vobject_pairs(c)) for c in vobject.readComponents(data, validate=True)]


def read_vobject(path):
    with open(path, "rb") as f:
        return read_vobject_text(f.read().decode("utf-8"))


def read_evolution(path):
    import gi

    gi.require_version("EBookContacts", "1.2")
    from gi.repository import EBookContacts

    from readback import vcard_texts

    cards = []
    for text in vcard_texts(path):
        pairs = []
        for attribute in EBookContacts.VCard.new_from_string(text).get_attributes():
            name = attribute.get_name().upper()
            if name == "PHOTO":
                if attribute.get_param("ENCODING"):
                    # Inline bytes: as Evolution's EContact decodes them.
                    from readback import evolution_photo

                    contact = EBookContacts.Contact.new_from_vcard(text)
                    pairs.append((name, bytes.fromhex(evolution_photo(contact)["hex"])))
                else:
                    pairs.append((name, attribute.get_values()[0]))
                continue
            values = attribute.get_values()
            pairs.append((name, values if name in ("N", "ADR", "ORG", "CATEGORIES") else ",".join(values)))
        cards.append(card_of(pairs))
    return cards


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Radicale without authentication takes the user of a Basic header at its word; its rights let
# that user reach only its own collections.
LOGIN = {"Authorization": "Basic " + base64.b64encode(b"pelimoor:x").decode()}


def request(port, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.request(method, path, body=body, headers={**LOGIN, **(headers or {})})
    response = connection.getresponse()
    data = response.read()
    connection.close()
    return response.status, data


MKCOL = """<?xml version="1.0" encoding="utf-8"?>
<D:mkcol xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:carddav">
  <D:set><D:prop>
    <D:resourcetype><D:collection/><C:addressbook/></D:resourcetype>
    <D:displayname>Pelimoor test</D:displayname>
  </D:prop></D:set>
</D:mkcol>"""


def read_radicale(path):
    with open(path, "rb") as f:
        data = f.read().decode("utf-8")
    cards = [c + "END:VCARD\r\n" for c in data.split("END:VCARD\r\n") if c.strip()]
    folder = tempfile.mkdtemp(prefix="pelimoor-radicale-")
    port = free_port()
    config = os.path.join(folder, "config")
    with open(config, "w") as f:
        f.write(
            "[server]\nhosts = 127.0.0.1:%d\n[auth]\ntype = none\n[rights]\ntype = owner_only\n"
            "[storage]\nfilesystem_folder = %s\n[logging]\nlevel = warning\n" % (port, os.path.join(folder, "storage"))
        )
    server = subprocess.Popen(
        [sys.executable, "-m", "radicale", "--config", config],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                request(port, "OPTIONS", "/")
                break
            except OSError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("radicale did not start: %s" % server.stderr.read().decode(errors="replace"))
                time.sleep(0.05)
        book = "/pelimoor/contacts/"
        status, said = request(port, "MKCOL", book, MKCOL, {"Content-Type": "application/xml"})
        if status != 201:
            raise RuntimeError("MKCOL: %d %s" % (status, said[:400]))
        for i, card in enumerate(cards):
            status, said = request(
                port, "PUT", "%scard%d.vcf" % (book, i), card.encode("utf-8"), {"Content-Type": "text/vcard"}
            )
            if status not in (200, 201, 204):
                raise RuntimeError("PUT of card %d: %d %s\n%s" % (i, status, said[:400], card[:400]))
        status, body = request(port, "GET", book)
        if status != 200:
            raise RuntimeError("GET: %d" % status)
        got = read_vobject_text(body.decode("utf-8"))
        # The collection comes back in the server's order: the cards' order by their UIDs.
        order = {c["UID"]: i for i, c in enumerate(read_vobject_text(data))}
        return sorted(got, key=lambda c: order.get(c.get("UID"), len(order)))
    finally:
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    mode, path = sys.argv[1], sys.argv[2]
    readers = {"vobject": read_vobject, "evolution": read_evolution, "radicale": read_radicale}
    if mode not in readers:
        sys.exit("unknown mode " + mode)
    json.dump(readers[mode](path), sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
