#!/usr/bin/python3
"""pelimoor-convert --upload against real CardDAV servers and against one that misbehaves.

Every server is started by the test on 127.0.0.1 on a free port and stopped by it; every wait is
bounded. Environment (set by CMake): PELIMOOR_CONVERT, PST_FIXTURE, REAL_FIXTURES (the folder of
real PST files; a missing file skips with one line, or fails when PELIMOOR_REQUIRE_REAL_FIXTURES
is set).
"""
import base64
import concurrent.futures
import glob
import hashlib
import http.client
import http.server
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ET

CONVERT = os.environ["PELIMOOR_CONVERT"]
PST_FIXTURE = os.environ["PST_FIXTURE"]
REAL = os.environ.get("REAL_FIXTURES", "")
REQUIRE_REAL = os.environ.get("PELIMOOR_REQUIRE_REAL_FIXTURES", "") not in ("", "0")
PASSWORD = "Pelimoor-t3st-p4ss"  # looked for in process lists, outputs and settings
DIGEST_REALM, DIGEST_NONCE = "Pelimoor test", "dcd98b7102dd2f0e8b11d0f600bfb0c093"
RUN_TIMEOUT = 120  # seconds for one converter run
DAV = "{DAV:}"
CARD = "{urn:ietf:params:xml:ns:carddav}"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, what, deadline=30):
    end = time.monotonic() + deadline
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            if process is not None and process.poll() is not None:
                raise RuntimeError("%s did not start: %s" % (what, process.stderr.read().decode(errors="replace")))
            if time.monotonic() > end:
                raise RuntimeError("%s did not start within %d s" % (what, deadline))
            time.sleep(0.05)


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def logical_lines(card):
    """A card's unfolded lines, sorted: the same card whatever order and folding a server keeps."""
    lines = []
    for line in card.replace("\r\n", "\n").split("\n"):
        if line[:1] in (" ", "\t") and lines:
            lines[-1] += line[1:]
        elif line:
            lines.append(line)
    return sorted(lines)


def split_cards(text):
    return [c[c.index("BEGIN:VCARD"):] + "END:VCARD\r\n" for c in text.split("END:VCARD\r\n") if "BEGIN:VCARD" in c]


def uid_of(card):
    m = re.search(r"^UID:(?:urn:uuid:)?(.*?)\r?$", card, re.M)
    return m.group(1) if m else None


def make_certificates(folder, name):
    """A CA of the test's own and a server certificate for `name` (an IP address or a DNS name)."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=60)

    ca_key, ca, key, csr, cert = (os.path.join(folder, n) for n in ("ca.key", "ca.pem", "srv.key", "srv.csr", "srv.pem"))
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    if not os.path.exists(ca):
        run("req", "-x509", *ec, "-keyout", ca_key, "-out", ca, "-days", "2", "-subj", "/CN=Pelimoor test CA")
    run("req", *ec, "-keyout", key, "-out", csr, "-subj", "/CN=" + name)
    ext = os.path.join(folder, "ext")
    with open(ext, "w") as f:
        kind = "IP" if re.match(r"^[0-9.]+$", name) else "DNS"
        f.write("subjectAltName=%s:%s\n" % (kind, name))
    run("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", cert, "-days", "2",
        "-extfile", ext)
    return ca, cert, key


class Dav:
    """A little WebDAV client of the test's own, to prepare books and read cards back."""

    def __init__(self, port, tls_ca=None, user=None):
        self.port, self.tls_ca, self.user = port, tls_ca, user

    def request(self, method, path, body=None, headers=None):
        if self.tls_ca:
            context = ssl.create_default_context(cafile=self.tls_ca)
            c = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=30, context=context)
        else:
            c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        h = dict(headers or {})
        if self.user:
            h["Authorization"] = "Basic " + base64.b64encode(("%s:%s" % (self.user, PASSWORD)).encode()).decode()
        c.request(method, path, body=body.encode() if isinstance(body, str) else body, headers=h)
        r = c.getresponse()
        data = r.read()
        etag = r.getheader("ETag")
        c.close()
        return r.status, data, etag

    def mkcol(self, path):
        body = ('<d:mkcol xmlns:d="DAV:" xmlns:c="urn:ietf:params:xml:ns:carddav"><d:set><d:prop><d:resourcetype>'
                '<d:collection/><c:addressbook/></d:resourcetype><d:displayname>Test</d:displayname></d:prop>'
                '</d:set></d:mkcol>')
        status, data, _ = self.request("MKCOL", path, body, {"Content-Type": "application/xml"})
        assert status == 201, (status, data)

    def cards(self, book):
        """Every card of `book` by UID, read with PROPFIND Depth 1 and REPORT addressbook-multiget."""
        status, data, _ = self.request("PROPFIND", book, '<d:propfind xmlns:d="DAV:"><d:prop><d:getetag/></d:prop>'
                                       '</d:propfind>', {"Depth": "1", "Content-Type": "application/xml"})
        assert status == 207, (status, data)
        hrefs = [e.text for e in ET.fromstring(data).iter(DAV + "href") if e.text.rstrip("/") != book.rstrip("/")]
        if not hrefs:
            return {}
        body = ('<c:addressbook-multiget xmlns:d="DAV:" xmlns:c="urn:ietf:params:xml:ns:carddav"><d:prop>'
                '<d:getetag/><c:address-data/></d:prop>' + "".join("<d:href>%s</d:href>" % h for h in hrefs) +
                '</c:addressbook-multiget>')
        status, data, _ = self.request("REPORT", book, body, {"Depth": "1", "Content-Type": "application/xml"})
        assert status == 207, (status, data)
        cards = {}
        for response in ET.fromstring(data).iter(DAV + "response"):
            href = response.find(DAV + "href").text
            for e in response.iter(CARD + "address-data"):
                cards[uid_of(e.text)] = (href, e.text)
        return cards


def convert(args, cwd, env_extra=None, watch_password=False):
    """Runs pelimoor-convert; returns (exit status, stdout, stderr, whether the password showed in
    any process's command line while it ran)."""
    env = dict(os.environ)
    env.update(env_extra or {})
    process = subprocess.Popen([CONVERT, *args], cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, start_new_session=True)
    seen = False
    if watch_password:
        end = time.monotonic() + RUN_TIMEOUT
        while process.poll() is None and time.monotonic() < end:
            for path in glob.glob("/proc/[0-9]*/cmdline"):
                try:
                    with open(path, "rb") as f:
                        seen |= PASSWORD.encode() in f.read()
                except OSError:
                    pass
            time.sleep(0.02)
    out, err = process.communicate(timeout=RUN_TIMEOUT)
    return process.returncode, out.decode(), err.decode(), seen


def own_cards(files, version, folder, merge=False):
    """The converter's own vCard of `files` (the --format vcf output), by UID."""
    out = tempfile.mkdtemp(dir=folder)
    args = (["--merge"] if merge else []) + ["--format", "vcf", "--vcard", version, "--out", out, *files]
    status, stdout, stderr, _ = convert(args, folder)
    assert status == 0, stderr
    with open(os.path.join(stdout.strip(), "contacts.vcf"), encoding="utf-8", newline="") as f:
        return {uid_of(c): c for c in split_cards(f.read())}


def counts(stderr):
    m = re.search(r"(\d+) added, (\d+) already there, (\d+) updated, (\d+) refused, (\d+) not sent", stderr)
    assert m, stderr
    return tuple(int(x) for x in m.groups())


def report_rows(folder):
    with open(os.path.join(folder, "upload-report.csv"), encoding="utf-8-sig") as f:
        import csv
        rows = list(csv.reader(f))
    assert rows[0] == ["UID", "Name", "Outcome", "Status", "Message"], rows[0]
    return rows[1:]


class Scratch(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pelimoor-upload-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.fixture = os.path.join(self.folder, "fixture.pst")
        subprocess.run([PST_FIXTURE, "--contacts", "12", "--photos", "3", "--seed", "7", self.fixture], check=True,
                       capture_output=True, timeout=60)

    def inputs(self):
        """Each set of files to upload, with a name: the fixture, the real files, a merge of two."""
        sets = [("fixture", [self.fixture], False)]
        for name in ("sample-contacts.pst", "dist-list.pst", "ansi-32bit.pst"):
            path = os.path.join(REAL, name)
            if os.path.isfile(path):
                sets.append((name, [path], False))
            elif REQUIRE_REAL:
                self.fail("real PST file %s not found in %s" % (name, REAL))
            else:
                print("real PST file %s not found in %s: left out" % (name, REAL), file=sys.stderr)
        second = os.path.join(self.folder, "second.pst")
        subprocess.run([PST_FIXTURE, "--contacts", "5", "--seed", "7", second], check=True, capture_output=True,
                       timeout=60)
        sets.append(("merged", [self.fixture, second], True))
        return sets


class RealServers(Scratch):
    """Radicale (htpasswd user, TLS with the test's own CA) and Xandikos, every input uploaded and
    read back; a second run adds nothing; --update after a change updates one card."""

    def start_radicale(self):
        ca, cert, key = make_certificates(self.folder, "127.0.0.1")
        users = os.path.join(self.folder, "users")
        subprocess.run(["htpasswd", "-i", "-c", "-m", users, "anna"], input=PASSWORD.encode(), check=True,
                       capture_output=True, timeout=30)
        port = free_port()
        config = os.path.join(self.folder, "radicale.conf")
        with open(config, "w") as f:
            f.write("[server]\nhosts = 127.0.0.1:%d\nssl = True\ncertificate = %s\nkey = %s\n"
                    "[auth]\ntype = htpasswd\nhtpasswd_filename = %s\nhtpasswd_encryption = md5\n"
                    "[rights]\ntype = owner_only\n[storage]\nfilesystem_folder = %s\n[logging]\nlevel = info\n"
                    % (port, cert, key, users, os.path.join(self.folder, "storage")))
        self.server_log = os.path.join(self.folder, "radicale.log")
        log = open(self.server_log, "wb")
        self.addCleanup(log.close)
        process = subprocess.Popen(["/usr/bin/python3", "-m", "radicale", "--config", config], stdout=log,
                                   stderr=log)
        self.addCleanup(stop, process)
        wait_for_port(port, process, "radicale")
        return Dav(port, ca, "anna"), "https://127.0.0.1:%d/" % port, ["--user", "anna"], {"PELIMOOR_CA_FILE": ca}

    def start_xandikos(self):
        port = free_port()
        self.server_log = os.path.join(self.folder, "xandikos.log")
        log = open(self.server_log, "wb")
        self.addCleanup(log.close)
        process = subprocess.Popen(["/usr/bin/python3", "/usr/bin/xandikos", "-d", os.path.join(self.folder, "x"),
                                    "--autocreate", "-l", "127.0.0.1", "-p", str(port)], stdout=log, stderr=log)
        self.addCleanup(stop, process)
        wait_for_port(port, process, "xandikos")
        return Dav(port), "http://127.0.0.1:%d/" % port, [], {}

    def run_server(self, start, version):
        dav, base, user_args, env = start()
        env = {**env, "PELIMOOR_PASSWORD": PASSWORD, "HOME": self.folder, "XDG_CONFIG_HOME": self.folder + "/cfg"}
        for number, (name, files, merge) in enumerate(self.inputs()):
            with self.subTest(input=name):
                book = "/%s/%s/" % ("anna" if user_args else "user", re.sub(r"[^a-z0-9]", "-", name))
                if not user_args:
                    dav.request("MKCOL", "/user/")
                dav.mkcol(book)
                url = base.rstrip("/") + book
                # The first upload to Radicale gives the server's address: its one book is found.
                given = base if number == 0 and user_args else url
                args = (["--merge"] if merge else []) + ["--upload", given, *user_args, "--out", self.folder, *files]
                status, out, err, seen = convert(args, self.folder, env, watch_password=True)
                self.assertFalse(seen, "the password showed in a process list")
                self.assertEqual(status, 0, err)
                self.assertEqual(out.strip(), url)
                own = own_cards(files, version, self.folder, merge)
                self.assertEqual(counts(err), (len(own), 0, 0, 0, 0), err)
                self.assertEqual(report_rows(self.folder), [])
                got = dav.cards(book)
                self.assertEqual(sorted(got), sorted(own))
                for uid, card in own.items():
                    self.assertEqual(logical_lines(got[uid][1]), logical_lines(card), uid)

                # A second run adds nothing and says so; every card is in the report as already there.
                status, out, err, _ = convert(args, self.folder, env)
                self.assertEqual(status, 0, err)
                self.assertEqual(counts(err), (0, len(own), 0, 0, 0), err)
                self.assertEqual(sorted(r[0] for r in report_rows(self.folder)), sorted(own))
                self.assertTrue(all(r[2] == "already there" and r[3] == "412" for r in report_rows(self.folder)))
                if not own:
                    continue

                # One card changed on the server: --update puts exactly that one back.
                uid = sorted(own)[0]
                href, text = got[uid]
                status, _, etag = dav.request("GET", href)
                changed = re.sub(r"^FN:(.*)$", r"FN:\1 (changed)", text, count=1, flags=re.M)
                status, data, _ = dav.request("PUT", href, changed, {"Content-Type": "text/vcard", "If-Match": etag})
                self.assertIn(status, (200, 201, 204), data)
                status, out, err, _ = convert(args + ["--update"], self.folder, env)
                self.assertEqual(status, 0, err)
                self.assertEqual(counts(err), (0, len(own) - 1, 1, 0, 0), err)
                updated = [r for r in report_rows(self.folder) if r[2] == "updated"]
                self.assertEqual([r[0] for r in updated], [uid])
                self.assertEqual(logical_lines(dav.cards(book)[uid][1]), logical_lines(own[uid]))
                with open(os.path.join(self.folder, "upload-report.csv")) as f:
                    report = f.read()
                for text_out in (out, err, report):
                    self.assertNotIn(PASSWORD, text_out)
        if user_args:
            # Now the server holds several books: they are listed and one must be chosen.
            status, _, err, _ = convert(["--upload", base, *user_args, self.fixture], self.folder, env)
            self.assertEqual(status, 2, err)
            self.assertIn("holds several address books", err)
            self.assertIn(base.rstrip("/") + "/anna/fixture/", err)
            # A wrong password is told before the scan, and nothing is sent.
            wrong = {**env, "PELIMOOR_PASSWORD": "not-" + PASSWORD}
            status, _, err, _ = convert(["--upload", base + "anna/fixture/", *user_args, self.fixture], self.folder,
                                        wrong)
            self.assertEqual(status, 6, err)
            self.assertIn("refused the user name or password", err)
            self.assertNotIn(PASSWORD, err)
        with open(self.server_log, "rb") as f:
            self.assertNotIn(PASSWORD.encode(), f.read())
        for root, _, names in os.walk(self.folder + "/cfg"):
            for n in names:
                with open(os.path.join(root, n), "rb") as f:
                    self.assertNotIn(PASSWORD.encode(), f.read(), n)

    def test_radicale_over_tls_with_a_user(self):
        self.run_server(self.start_radicale, "3.0")

    def test_xandikos(self):
        self.run_server(self.start_xandikos, "3.0")


class Misbehaving(http.server.BaseHTTPRequestHandler):
    """An address book at /book/ that answers as the test's row says; what it stores is real."""

    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def refused_credentials(self):
        """With the row's "auth": "digest", a request without a valid HTTP Digest answer (RFC 7616,
        MD5, qop auth, user anna and the test's password) is answered 401 with a challenge; true
        then."""
        if self.server.row.get("auth") != "digest":
            return False
        given = self.headers.get("Authorization", "")
        with self.server.lock:
            self.server.schemes.add(given.split(" ", 1)[0])
        fields = dict(re.findall(r'(\w+)="?([^",]*)"?', given[len("Digest "):])) if given.startswith("Digest ") else {}
        md5 = lambda text: hashlib.md5(text.encode()).hexdigest()
        if fields.get("username") == "anna" and fields.get("nonce") == DIGEST_NONCE and fields.get("uri") == self.path:
            ha1 = md5("anna:%s:%s" % (DIGEST_REALM, PASSWORD))
            ha2 = md5("%s:%s" % (self.command, self.path))
            expected = md5(":".join([ha1, DIGEST_NONCE, fields.get("nc", ""), fields.get("cnonce", ""), "auth", ha2]))
            if fields.get("qop") == "auth" and fields.get("response") == expected:
                return False
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        challenge = 'Digest realm="%s", nonce="%s", qop="auth", algorithm=MD5' % (DIGEST_REALM, DIGEST_NONCE)
        self.answer(401, b"Unauthorized", [("WWW-Authenticate", challenge)])
        return True

    def do_PROPFIND(self):
        if self.refused_credentials():
            return
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        size = "<c:max-resource-size>%d</c:max-resource-size>" % self.server.row["max"] if self.server.row.get("max") else ""
        body = ('<?xml version="1.0"?><d:multistatus xmlns:d="DAV:" xmlns:c="urn:ietf:params:xml:ns:carddav">'
                '<d:response><d:href>/book/</d:href><d:propstat><d:prop><d:resourcetype><d:collection/>'
                '<c:addressbook/></d:resourcetype><d:displayname>Book</d:displayname>%s</d:prop>'
                '<d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response></d:multistatus>' % size).encode()
        self.answer(207, body, [("Content-Type", "application/xml")])

    def do_PUT(self):
        if self.refused_credentials():
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        server = self.server
        with server.lock:
            server.puts += 1
            n = server.puts
            server.authorizations.add(self.headers.get("Authorization"))
        how = server.row["how"]
        if how == "slow":
            time.sleep(10)
            return self.answer(201)
        if how == "stop":
            time.sleep(0.3)  # the test interrupts the run between answers
        if how == "redirect":
            return self.answer(307, headers=[("Location", "http://127.0.0.2:%d%s" % (server.other_port, self.path))])
        if how in ("429", "503") and n <= server.row.get("times", 1):
            return self.answer(int(how), b"slow down", [("Retry-After", "1")])
        if how == "500 then fine" and n <= server.row.get("times", 1):
            return self.answer(500, b"Internal error")
        if how == "500" :
            return self.answer(500, b"Internal error")
        if how == "413" and len(body) > server.row["limit"]:
            return self.answer(413, b"Card too large")
        if server.row.get("max") and len(body) > server.row["max"]:
            return self.answer(413, b"Card too large")
        with server.lock:
            if self.path in server.stored and self.headers.get("If-None-Match") == "*":
                return self.answer(412)
            server.stored[self.path] = body
        self.answer(201)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that gave up on a slow answer closed the connection: expected

    def __init__(self, row, tls=None):
        super().__init__(("127.0.0.1", 0), Misbehaving)
        self.row, self.lock, self.puts, self.stored, self.authorizations = row, threading.Lock(), 0, {}, set()
        self.schemes = set()  # of the Authorization headers that came, with "auth"
        self.other_port = 0
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self.socket = context.wrap_socket(self.socket, server_side=True)


class Elsewhere(http.server.BaseHTTPRequestHandler):
    """The other host a redirect points to: it records whatever reaches it."""

    def log_message(self, *args):
        pass

    def do_PUT(self):
        self.server.reached.append(self.headers.get("Authorization"))
        self.send_response(201)
        self.send_header("Content-Length", "0")
        self.end_headers()


class MisbehavingServer(Scratch):
    """Each row: how the server misbehaves, then how the run must end: the exit status, the counts
    (added, already there, updated, refused, not sent; None: any), a status and words that every
    refused or unsent card's report row holds, and a sentence on standard error."""

    # n: the fixture's cards, p: those with a photo.
    ROWS = [
        # how,            extra,              exit, counts (n, p),                     status, words,            stderr
        ("429",           {"times": 3},       0, lambda n, p: (n, 0, 0, 0, 0),         None,  None,             None),
        ("503",           {"times": 3},       0, lambda n, p: (n, 0, 0, 0, 0),         None,  None,             None),
        ("500 then fine", {"times": 2},       0, lambda n, p: (n, 0, 0, 0, 0),         None,  None,             None),
        ("500",           {"contacts": 4},    5, lambda n, p: (0, 0, 0, n, 0),         "500", "after 4 tries",  None),
        ("413",           {"limit": 4000},    5, lambda n, p: (n - p, 0, 0, p, 0),     "413", "Card too large", None),
        # Two photos made smaller to fit; the third card's notes alone are larger than the limit.
        ("fit",           {"max": 12000},     5, lambda n, p: (n - 1, 0, 0, 1, 0),     "413", "Card too large",
         "2 photo(s) made smaller"),
        ("redirect",      {},                 5, lambda n, p: (0, 0, 0, n, 0),         "307", "not followed",   None),
        ("slow",          {"timeout": "3",
                           "contacts": 4},    5, lambda n, p: (0, 0, 0, n, 0),         "",    "No answer",      None),
        ("other name",    {},                 6, None,                                 None,  None,             "certificate"),
        # A server set up for HTTP Digest: answered in that scheme, the password itself never sent.
        ("digest",        {"auth": "digest"}, 0, lambda n, p: (n, 0, 0, 0, 0),         None,  None,             None),
        ("digest, wrong", {"auth": "digest",
                           "password": "not-" + PASSWORD},
                                              6, None,                                 None,  None,
         "refused the user name or password"),
    ]

    def test_each_misbehaviour_ends_as_it_should(self):
        # The rows run side by side, each with its own server and folder: most of a row's time is
        # the converter waiting out retries, timeouts and Retry-After.
        with concurrent.futures.ThreadPoolExecutor(len(self.ROWS)) as pool:
            runs = [(how, pool.submit(self.run_row, how, dict(extra, how=how), exit_status, expected, status, words,
                                      said)) for how, extra, exit_status, expected, status, words, said in self.ROWS]
            for how, run in runs:
                with self.subTest(how=how):
                    run.result(timeout=2 * RUN_TIMEOUT)

    def run_row(self, how, row, exit_status, expected, status, words, said):
        folder = tempfile.mkdtemp(dir=self.folder)
        fixture = self.fixture
        if "contacts" in row:  # one round of requests, for rows whose every card waits out all its tries
            fixture = os.path.join(folder, "fixture.pst")
            subprocess.run([PST_FIXTURE, "--contacts", str(row["contacts"]), "--photos", "3", "--seed", "7", fixture],
                           check=True, capture_output=True, timeout=60)
        tls = None
        env = {"PELIMOOR_PASSWORD": row.get("password", PASSWORD)}
        if how == "other name":
            ca, cert, key = make_certificates(folder, "other.example")
            tls = (cert, key)
            env["PELIMOOR_CA_FILE"] = ca
        server = Server(row, tls)
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        elsewhere = None
        try:
            if how == "redirect":
                elsewhere = http.server.HTTPServer(("127.0.0.2", 0), Elsewhere)
                elsewhere.reached = []
                server.other_port = elsewhere.server_address[1]
                threading.Thread(target=elsewhere.serve_forever, daemon=True).start()
            if "timeout" in row:
                env["PELIMOOR_UPLOAD_TIMEOUT"] = row["timeout"]
            url = "%s://127.0.0.1:%d/book/" % ("https" if tls else "http", server.server_address[1])
            started = time.monotonic()
            code, out, err, _ = convert(["--upload", url, "--user", "anna", "--out", folder, fixture],
                                        folder, env)
            self.assertEqual(code, exit_status, err)
            self.assertNotIn(PASSWORD, out + err)
            if said:
                self.assertIn(said, err)
            if how in ("429", "503"):
                self.assertGreaterEqual(time.monotonic() - started, 1.0, "Retry-After was not waited out")
            if expected is None:
                self.assertEqual(server.stored, {})
                return
            own = own_cards([fixture], "3.0", folder)
            photos = sum(1 for c in own.values() if "PHOTO" in c)
            self.assertEqual(photos, 3)
            self.assertEqual(counts(err), expected(len(own), photos), err)
            rows = report_rows(folder)
            # Nothing reported as added that is not there: every card the report leaves out is stored.
            reported = {r[0] for r in rows}
            stored = {uid_of(body.decode()) for body in server.stored.values()}
            self.assertEqual(set(own) - reported, stored)
            for r in rows:
                if status is not None:
                    self.assertEqual(r[3], status, r)
                if words:
                    self.assertIn(words, r[4])
            if elsewhere is not None:
                self.assertEqual(elsewhere.reached, [], "a redirect to another host was followed")
            if "auth" in row:
                self.assertEqual(server.schemes, {"", "Digest"})  # asked first, then answered: never Basic
        finally:
            server.shutdown()
            server.server_close()
            if elsewhere is not None:
                elsewhere.shutdown()
                elsewhere.server_close()


class Stop(Scratch):
    """SIGINT stops the upload: the cards under way are finished, no more are sent, and what was
    uploaded stays and is counted."""

    def test_interrupt_keeps_the_finished_cards(self):
        server = Server({"how": "stop"})
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            url = "http://127.0.0.1:%d/book/" % server.server_address[1]
            process = subprocess.Popen([CONVERT, "--upload", url, "--out", self.folder, self.fixture], cwd=self.folder,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
            end = time.monotonic() + 60
            while len(server.stored) < 4 and time.monotonic() < end and process.poll() is None:
                time.sleep(0.01)
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=RUN_TIMEOUT)
            err = err.decode()
            self.assertEqual(process.returncode, 5, err)
            added, there, updated, refused, not_sent = counts(err)
            self.assertEqual((there, updated, refused), (0, 0, 0), err)
            self.assertEqual(added, len(server.stored), err)
            self.assertGreater(not_sent, 0, err)
            self.assertIn("stopped; the %d card(s) uploaded stay on the server" % added, err)
            rows = report_rows(self.folder)
            self.assertEqual(len(rows), not_sent)
            self.assertTrue(all(r[2] == "not sent" for r in rows), rows)
        finally:
            server.shutdown()
            server.server_close()

    def test_killed_upload_leaves_no_report(self):
        """Killed at any moment, the run leaves no upload-report.csv: at most a temporary file whose
        name says it is not finished."""
        for after in (0, 1, 6):  # cards the server has stored when the converter is killed
            with self.subTest(after=after):
                out = os.path.join(self.folder, "out-%d" % after)
                os.mkdir(out)
                server = Server({"how": "stop"})
                threading.Thread(target=server.serve_forever, daemon=True).start()
                try:
                    url = "http://127.0.0.1:%d/book/" % server.server_address[1]
                    process = subprocess.Popen([CONVERT, "--upload", url, "--out", out, self.fixture], cwd=out,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                               start_new_session=True)
                    end = time.monotonic() + 60
                    while (server.puts == 0 or len(server.stored) < after) and time.monotonic() < end \
                            and process.poll() is None:
                        time.sleep(0.01)
                    self.assertIsNone(process.poll(), "the upload ended before it was killed")
                    process.kill()
                    process.wait(timeout=RUN_TIMEOUT)
                    self.assertEqual(process.returncode, -signal.SIGKILL)
                    self.assertEqual([n for n in os.listdir(out) if not n.startswith("upload-report.csv.tmp-")], [])
                finally:
                    server.shutdown()
                    server.server_close()


class Usage(Scratch):
    """What the converter refuses before it sends anything."""

    ROWS = [
        # arguments (URL first),                          exit, words on standard error
        (["http://dav.example.org/"],                        2, "Plain http:// to dav.example.org"),
        (["ftp://127.0.0.1/"],                               2, "not an http:// or https:// address"),
        (["https://127.0.0.1:1/", "--password", "x"],        2, "never given on the command line"),
        (["http://127.0.0.1:%(dead)d/"],                     6, "cannot be reached"),
        # the report's folder is checked before the server is asked (the dead port is never tried)
        (["http://127.0.0.1:%(dead)d/", "--out", "%(folder)s/missing"], 3, "missing: No such file or directory"),
        (["http://127.0.0.1:%(dead)d/", "--out", "%(fixture)s"], 3, "Not a directory"),
        (["http://127.0.0.1:%(dead)d/", "--out", "%(folder)s"], 6, "cannot be reached"),
    ]

    def test_rows(self):
        dead = free_port()
        for args, exit_status, words in self.ROWS:
            with self.subTest(args=args):
                args = [a % {"dead": dead, "folder": self.folder, "fixture": self.fixture} for a in args]
                code, _, err, _ = convert(["--upload", *args, self.fixture], self.folder, {"PELIMOOR_PASSWORD": "x"})
                self.assertEqual(code, exit_status, err)
                self.assertIn(words, err)

    def test_no_password_without_a_terminal(self):
        env = dict(os.environ)
        env.pop("PELIMOOR_PASSWORD", None)
        process = subprocess.run([CONVERT, "--upload", "https://127.0.0.1:1/", "--user", "anna", self.fixture],
                                 env=env, capture_output=True, timeout=RUN_TIMEOUT, start_new_session=True)
        self.assertEqual(process.returncode, 2)
        self.assertIn(b"PELIMOOR_PASSWORD", process.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
