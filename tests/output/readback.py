"""Independent readers of the converter's output, for the output tests.

    readback.py csv FILE        {"header": [...], "rows": [[...], ...]}      (Python's csv module)
    readback.py vcard FILE      [{"N": [...], "FN": "...", ...}, ...]       (python3-vobject)
    readback.py evolution FILE  [{"N": ["last;first;middle"], ...}, ...]   (Evolution's EVCard)
    readback.py evolution-photos FILE  [{"names": [...], "photo": {"mime": M, "hex": H} or null}, ...]
    readback.py html FILE...    [{"file": NAME, "entries": [[label, value], ...]}, ...]
    readback.py html-photos FILE...  the same with "images": [{"alt": ..., "mime": M, "hex": H}, ...]
                                (each <img> a data URI, its base64 decoded strictly)

Prints JSON on standard output; exits non-zero when a file does not parse.
"""
import base64
import csv
import ctypes
import html.parser
import io
import json
import os
import sys


def read_csv(path):
    with open(path, encoding="utf-8-sig", newline="") as f:
        rows = list(csv.reader(f, strict=True))
    return {"header": rows[0] if rows else [], "rows": rows[1:]}


def split_components(value):
    """vCard 2.1 compound value: ';' separates components, '\\' escapes ';' and itself."""
    parts, current, i = [], "", 0
    while i < len(value):
        c = value[i]
        if c == "\\" and i + 1 < len(value) and value[i + 1] in ";\\":
            current += value[i + 1]
            i += 2
            continue
        if c == ";":
            parts.append(current)
            current = ""
        else:
            current += c
        i += 1
    parts.append(current)
    return parts


def read_vcard(path):
    """Lines, parameters and quoted-printable through vobject's parser; values by the 2.1 rules
    (vobject's own value decoding follows 3.0, where commas separate values)."""
    from vobject import base

    with open(path, "rb") as f:
        data = f.read().decode("utf-8")
    # The records open with "BEGIN: VCARD" (a blank after the colon), which vobject refuses.
    data = data.replace("BEGIN: VCARD\r\n", "BEGIN:VCARD\r\n")
    cards, card = [], None
    for text, n in base.getLogicalLines(io.StringIO(data, newline=""), allowQP=True):
        line = base.textLineToContentLine(text, n)
        if line.name == "BEGIN":
            card = {}
        elif line.name == "END":
            cards.append(card)
            card = None
        elif card is None:
            raise ValueError("line %d outside a card" % n)
        elif line.name != "VERSION":
            name = ";".join([line.name] + list(line.singletonparams))
            parts = split_components(line.value)
            card.setdefault(name, []).append(parts if line.name in ("N", "ORG", "ADR") else ";".join(parts))
    if card is not None:
        raise ValueError("a card is not closed")
    return cards


def read_evolution(path):
    """Each card through Evolution's own parser (EVCard of libebook-contacts, via GObject
    introspection); an attribute's values joined by ';', parameters left out."""
    import gi

    gi.require_version("EBookContacts", "1.2")
    from gi.repository import EBookContacts

    with open(path, "rb") as f:
        data = f.read().decode("utf-8")
    cards = []
    for text in data.split("END:VCARD\r\n"):
        if not text.strip():
            continue
        card = {}
        for attribute in EBookContacts.VCard.new_from_string(text + "END:VCARD\r\n").get_attributes():
            if attribute.get_name() != "VERSION":
                card.setdefault(attribute.get_name(), []).append(";".join(attribute.get_values()))
        cards.append(card)
    return cards


def evolution_photo(contact):
    """The photo of an EContact as Evolution decodes it. e_contact_get() hands out an
    EContactPhoto, which introspection passes as a bare pointer: its inlined bytes are read
    through the struct's C layout."""

    class Inlined(ctypes.Structure):
        _fields_ = [("mime_type", ctypes.c_char_p), ("length", ctypes.c_size_t), ("data", ctypes.c_void_p)]

    class Photo(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("inlined", Inlined)]

    from gi.repository import EBookContacts

    address = contact.get(EBookContacts.ContactField.PHOTO)
    if not address:
        return None
    photo = Photo.from_address(address)
    if photo.type != int(EBookContacts.ContactPhotoType.INLINED):
        raise ValueError("the photo is not inlined")
    data = ctypes.string_at(photo.inlined.data, photo.inlined.length)
    return {"mime": photo.inlined.mime_type.decode(), "hex": data.hex()}


def vcard_texts(path):
    """Each card of a UTF-8 vCard file as its own text, END:VCARD and its CRLF included."""
    with open(path, "rb") as f:
        data = f.read().decode("utf-8")
    return [text + "END:VCARD\r\n" for text in data.split("END:VCARD\r\n") if text.strip()]


def read_evolution_photos(path):
    """Each card through Evolution's EContact: its attribute names and its photo."""
    import gi

    gi.require_version("EBookContacts", "1.2")
    from gi.repository import EBookContacts

    cards = []
    for text in vcard_texts(path):
        contact = EBookContacts.Contact.new_from_vcard(text)
        names = [a.get_name() for a in EBookContacts.VCard.get_attributes(contact)]
        cards.append({"names": names, "photo": evolution_photo(contact)})
    return cards


def data_uri_image(attrs):
    """An <img> whose src is "data:MIME;base64,DATA": its alt text, MIME type and bytes."""
    head, comma, data = attrs.get("src", "").partition(",")
    if not head.startswith("data:") or not head.endswith(";base64") or not comma:
        raise ValueError("not a base64 data URI: %r" % head)
    return {"alt": attrs.get("alt"), "mime": head[5:-7], "hex": base64.b64decode(data, validate=True).hex()}


class Entries(html.parser.HTMLParser):
    """Collects (bold label, following text) pairs; <br> ends a value."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.entries = []
        self.in_label = False
        self.tags = []
        self.images = []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        if tag == "img":
            self.images.append(data_uri_image(dict(attrs)))
        if tag == "b":
            self.in_label = True
            self.entries.append(["", ""])

    def handle_endtag(self, tag):
        if tag == "b":
            self.in_label = False

    def handle_data(self, data):
        if not self.entries:
            raise ValueError("text before the first label: %r" % data)
        self.entries[-1][0 if self.in_label else 1] += data


def read_html(paths, allowed=("b", "br")):
    out = []
    for path in paths:
        with open(path, encoding="utf-8-sig", newline="") as f:
            parser = Entries()
            parser.feed(f.read())
            parser.close()
        unexpected = [t for t in parser.tags if t not in allowed]
        if unexpected:
            raise ValueError("%s: unexpected elements %r" % (path, unexpected))
        page = {"file": os.path.basename(path), "entries": parser.entries}
        if "img" in allowed:
            page["images"] = parser.images
        out.append(page)
    return out


def main():
    mode, paths = sys.argv[1], sys.argv[2:]
    if mode == "csv":
        result = read_csv(paths[0])
    elif mode == "vcard":
        result = read_vcard(paths[0])
    elif mode == "evolution":
        result = read_evolution(paths[0])
    elif mode == "evolution-photos":
        result = read_evolution_photos(paths[0])
    elif mode == "html":
        result = read_html(paths)
    elif mode == "html-photos":
        result = read_html(paths, ("b", "br", "img"))
    else:
        sys.exit("unknown mode " + mode)
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
