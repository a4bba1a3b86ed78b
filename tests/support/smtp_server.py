#!/usr/bin/python3
"""A local SMTP server for tests (aiosmtpd on 127.0.0.1).

Prints "PORT <n>" on standard output once it listens, saves every received message into the
folder given by --dir (msg-<n>.eml with the raw data, msg-<n>.meta with the envelope), and
ends when its standard input closes or on SIGTERM.
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import os
import signal
import ssl
import subprocess
import sys
import threading

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def make_certificate(folder):
    cert = os.path.join(folder, "smtp-cert.pem")
    key = os.path.join(folder, "smtp-key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    return ctx


class Recorder:
    def __init__(self, folder, user, password, refuse, cram):
        self.folder = folder
        self.user = user
        self.password = password
        self.refuse = refuse
        self.count = 0
        if cram:
            # Offered in addition to LOGIN and PLAIN; the name becomes "CRAM-MD5".
            self.auth_CRAM__MD5 = self._cram_md5

    def check(self, login, password):
        if self.refuse:
            return False
        return login == self.user.encode() and password == self.password.encode()

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        ok = isinstance(auth_data, LoginPassword) and self.check(auth_data.login, auth_data.password)
        session.mechanism_used = mechanism
        return AuthResult(success=ok, auth_data=auth_data)

    async def _cram_md5(self, server, args):
        challenge = "<%s@127.0.0.1>" % os.urandom(8).hex()
        answer = await server.challenge_auth(challenge)
        if not isinstance(answer, bytes):
            return AuthResult(success=False)
        login, _, digest = answer.partition(b" ")
        expected = hmac.new(self.password.encode(), challenge.encode(), hashlib.md5).hexdigest()
        ok = not self.refuse and login == self.user.encode() and digest == expected.encode()
        server.session.mechanism_used = "CRAM-MD5"
        return AuthResult(success=ok, auth_data=LoginPassword(login, b""))

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, "msg-%d" % self.count)
        meta = ["mail_from: " + (envelope.mail_from or "")]
        meta += ["rcpt: " + r for r in envelope.rcpt_tos]
        meta.append("tls: %d" % (1 if session.ssl is not None else 0))
        meta.append("auth: " + getattr(session, "mechanism_used", ""))
        auth_data = session.auth_data
        login = auth_data.login if isinstance(auth_data, LoginPassword) else b""
        meta.append("login: " + login.decode("utf-8", "replace"))
        # The data first, the envelope last and by rename: a reader that sees the .meta file
        # finds the whole message.
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".tmp", "w") as f:
            f.write("\n".join(meta) + "\n")
        os.replace(base + ".tmp", base + ".meta")
        return "250 OK"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none")
    p.add_argument("--user", default="")
    p.add_argument("--password", default="")
    p.add_argument("--refuse-auth", action="store_true")
    p.add_argument("--cram-md5", action="store_true")
    p.add_argument("--auth-required", action="store_true")
    a = p.parse_args()

    ctx = make_certificate(a.dir) if a.tls != "none" else None
    offer_auth = bool(a.user) or a.refuse_auth
    recorder = Recorder(a.dir, a.user, a.password, a.refuse_auth, a.cram_md5)

    def factory():
        kwargs = dict(hostname="localhost", ident="test SMTP")
        if a.tls == "starttls":
            kwargs["tls_context"] = ctx
        if offer_auth:
            kwargs.update(authenticator=recorder.authenticator, auth_require_tls=False,
                          auth_required=a.auth_required)
        else:
            kwargs.update(auth_exclude_mechanism=["LOGIN", "PLAIN"])
        return SMTP(recorder, **kwargs)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(loop.create_server(
        factory, host="127.0.0.1", port=a.port, ssl=ctx if a.tls == "implicit" else None))
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        finally:
            loop.call_soon_threadsafe(loop.stop)

    threading.Thread(target=watch_stdin, daemon=True).start()
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.run_forever()
    server.close()


if __name__ == "__main__":
    main()
