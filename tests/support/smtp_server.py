#!/usr/bin/python3
"""A local SMTP server for tests (aiosmtpd on 127.0.0.1).

Prints "PORT <n>" on standard output once it listens, saves every received message into the
folder given by --dir (msg-<n>.eml with the raw data, msg-<n>.meta with the envelope), and
ends when its standard input closes or on SIGTERM.
"""
import argparse
import asyncio
import email
import email.policy
import hashlib
import hmac
import logging
import os
import signal
import socket
import ssl
import subprocess
import sys
import time
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def make_certificate(folder):
    """A test CA (smtp-ca.pem, for the client to trust or not) and the server's certificate
    for 127.0.0.1 and localhost, signed by it."""
    ca, ca_key = os.path.join(folder, "smtp-ca.pem"), os.path.join(folder, "smtp-ca-key.pem")
    cert = os.path.join(folder, "smtp-cert.pem")
    key = os.path.join(folder, "smtp-key.pem")
    new_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
    for args in (["-subj", "/CN=Velmora test CA", "-keyout", ca_key, "-out", ca],
                 ["-subj", "/CN=localhost", "-CA", ca, "-CAkey", ca_key,
                  "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                  "-addext", "basicConstraints=CA:FALSE", "-keyout", key, "-out", cert]):
        subprocess.run(["openssl", "req", "-x509"] + new_key + args,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    return ctx


def one_line(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


class Recorder:
    def __init__(self, folder, user, password, refuse, cram, unusable):
        self.folder = folder
        self.user = user
        self.password = password
        self.refuse = refuse
        self.count = 0
        if cram:
            # Offered in addition to LOGIN and PLAIN; the name becomes "CRAM-MD5".
            self.auth_CRAM__MD5 = self._cram_md5
        if unusable:
            # Mechanisms that need more than a user name and a password: a client that
            # picks one is refused.
            self.auth_GSSAPI = self._unusable("GSSAPI")
            self.auth_NTLM = self._unusable("NTLM")

    def note_auth(self, mechanism):
        """Every login attempt leaves a line in auth.log, so a test can tell none was made."""
        with open(os.path.join(self.folder, "auth.log"), "a") as f:
            f.write(mechanism + "\n")

    def _unusable(self, name):
        async def refuse(server, args):
            self.note_auth(name)
            server.session.mechanism_used = name
            return AuthResult(success=False, handled=False)
        return refuse

    def check(self, login, password):
        if self.refuse:
            return False
        return login == self.user.encode() and password == self.password.encode()

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        self.note_auth(mechanism)
        ok = isinstance(auth_data, LoginPassword) and self.check(auth_data.login, auth_data.password)
        session.mechanism_used = mechanism
        # handled=False: the server itself answers 535 to a refused login.
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    async def _cram_md5(self, server, args):
        challenge = "<%s@127.0.0.1>" % os.urandom(8).hex()
        self.note_auth("CRAM-MD5")
        answer = await server.challenge_auth(challenge)
        if not isinstance(answer, bytes):
            return AuthResult(success=False, handled=False)
        login, _, digest = answer.partition(b" ")
        expected = hmac.new(self.password.encode(), challenge.encode(), hashlib.md5).hexdigest()
        ok = not self.refuse and login == self.user.encode() and digest == expected.encode()
        server.session.mechanism_used = "CRAM-MD5"
        return AuthResult(success=ok, handled=False, auth_data=LoginPassword(login, b""))

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("unknown"):
            # Two lines, as many relays answer: a client shows them as one.
            return "550-5.1.1 No such user here\r\n550 5.1.1 Mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "msg-%d" % self.count)
        meta = ["mail_from: " + (envelope.mail_from or "")]
        meta += ["rcpt: " + r for r in envelope.rcpt_tos]
        implicit_tls = server.transport.get_extra_info("sslcontext") is not None
        meta.append("tls: %d" % (1 if session.ssl is not None or implicit_tls else 0))
        ssl_object = server.transport.get_extra_info("ssl_object")
        meta.append("tls_version: " + (ssl_object.version() if ssl_object else ""))
        meta.append("auth: " + getattr(session, "mechanism_used", ""))
        auth_data = session.auth_data
        login = auth_data.login if isinstance(auth_data, LoginPassword) else b""
        meta.append("login: " + login.decode("utf-8", "replace"))
        meta.append("peer: %s" % (session.peer[1] if session.peer else ""))
        try:
            parsed = email.message_from_bytes(envelope.original_content or envelope.content,
                                              policy=email.policy.default)
            for name in ("Subject", "From", "To"):
                meta.append("%s: %s" % (name.lower(), one_line(str(parsed.get(name, "")))))
            # Without the line end that closes the message.
            body = parsed.get_content()
            if body.endswith("\r\n"):
                body = body[:-2]
            elif body.endswith("\n"):
                body = body[:-1]
            meta.append("body: " + one_line(body))
        except Exception as error:  # a malformed message is the test's finding, not a crash
            meta.append("parse_error: " + one_line(repr(error)))
        # The data first, the envelope last and by rename: a reader that sees the .meta file
        # finds the whole message.
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".tmp", "w") as f:
            f.write("\n".join(meta) + "\n")
        os.replace(base + ".tmp", base + ".meta")
        return "250 OK"


class DroppingSMTP(SMTP):
    """Accepts DATA, reads one line of the message and ends the connection."""

    async def smtp_DATA(self, arg):
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        await self._reader.readline()
        self.transport.close()


def main():
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--refuse-auth", action="store_true")
    p.add_argument("--cram-md5", action="store_true")
    p.add_argument("--unusable-mechanisms", action="store_true")
    p.add_argument("--auth-required", action="store_true")
    p.add_argument("--only-mechanism", default="")
    p.add_argument("--auth-after-tls", action="store_true",
                   help="offer AUTH only once STARTTLS has run")
    p.add_argument("--accept-delay", type=float, default=0,
                   help="take no connection for this many seconds after start: the kernel "
                        "drops connection attempts, so a client's SYN is lost until then")
    p.add_argument("--drop-in-data", action="store_true",
                   help="close the connection after the first line of a message's data")
    a = p.parse_args()

    ctx = make_certificate(a.dir) if a.tls != "none" else None
    offer_auth = bool(a.user) or a.refuse_auth
    recorder = Recorder(a.dir, a.user, a.password, a.refuse_auth, a.cram_md5,
                        a.unusable_mechanisms)

    def factory():
        kwargs = dict(hostname="localhost", ident="test SMTP")
        if a.tls == "starttls":
            kwargs["tls_context"] = ctx
        if offer_auth:
            kwargs.update(authenticator=recorder.authenticator,
                          auth_require_tls=a.auth_after_tls,
                          auth_required=a.auth_required)
            if a.only_mechanism:
                kwargs["auth_exclude_mechanism"] = [
                    m for m in ("LOGIN", "PLAIN") if m != a.only_mechanism]
        else:
            kwargs.update(auth_exclude_mechanism=["LOGIN", "PLAIN"])
        return (DroppingSMTP if a.drop_in_data else SMTP)(recorder, **kwargs)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", a.port))
    filler = None
    if a.accept_delay > 0:
        # A queue of one, taken by a connection of our own: nothing else gets in.
        listener.listen(0)
        filler = socket.create_connection(listener.getsockname())
    else:
        listener.listen(100)
    port = listener.getsockname()[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    if filler is not None:
        time.sleep(a.accept_delay)
        filler.close()
    server = loop.run_until_complete(loop.create_server(
        factory, sock=listener, ssl=ctx if a.tls == "implicit" else None))

    def on_stdin():
        try:
            data = os.read(sys.stdin.fileno(), 4096)
        except OSError:
            data = b""
        if not data:
            loop.stop()

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.run_forever()
    server.close()


if __name__ == "__main__":
    main()
