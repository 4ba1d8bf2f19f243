#!/usr/bin/python3
"""A real SMTP server on 127.0.0.1 for tests: accepts mail and appends one JSON line per message
to --out, written before the server answers 250 to the message, so a client that got its answer
can read the line at once.

Each line holds the envelope (mail_from, rcpt_tos), the parsed headers (subject decoded from its
encoded words, from, to, mime_version, content_type of the HTML part), the HTML text decoded
from its transfer encoding, whether any line ended in a bare LF, whether the session ran over TLS
and the login name when the client authenticated.

Modes: plain (no TLS offered), starttls (STARTTLS offered), ssl (TLS from the first byte), hang
(accepts connections and never says a word). With --user and --password the server requires
AUTH with exactly those credentials. --reject-rcpt ADDR answers 550 to that recipient.
--refuse-file PATH: while that file exists, MAIL FROM is answered "451" (the server refuses for
now). --stall SECONDS: the answer to each message's data comes that much later; --stall-marker
PATH is written when a stall begins, so a test can see a client waiting.
Runs until SIGTERM.
"""
import argparse
import warnings
import asyncio
import email
import email.header
import email.policy
import json
import logging
import os
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--mode", choices=["plain", "starttls", "ssl", "hang"], default="plain")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--user")
    p.add_argument("--password")
    p.add_argument("--reject-rcpt", action="append", default=[])
    p.add_argument("--refuse-file")
    p.add_argument("--stall", type=float, default=0)
    p.add_argument("--stall-marker")
    return p.parse_args()


def decoded_subject(raw):
    if raw is None:
        return None
    parts = email.header.decode_header(raw)
    return "".join(t.decode(c or "ascii") if isinstance(t, bytes) else t for t, c in parts)


class Handler:
    def __init__(self, out, reject, refuse_file, stall, stall_marker):
        self.out = out
        self.reject = set(reject)
        self.refuse_file = refuse_file
        self.stall = stall
        self.stall_marker = stall_marker

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.refuse_file and os.path.exists(self.refuse_file):
            return "451 4.3.2 service not available, try again later"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.reject:
            return "550 5.1.1 no such mailbox"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.stall > 0:
            if self.stall_marker:
                with open(self.stall_marker, "a", encoding="utf-8") as f:
                    f.write("stalled\n")
            await asyncio.sleep(self.stall)
        raw = envelope.original_content
        message = email.message_from_bytes(raw, policy=email.policy.compat32)
        html_part = None
        for part in message.walk():
            if part.get_content_type() == "text/html":
                html_part = part
                break
        html = None
        if html_part is not None:
            html = html_part.get_payload(decode=True).decode(html_part.get_content_charset() or "ascii")
        login = None
        if session.authenticated and isinstance(session.auth_data, LoginPassword):
            login = session.auth_data.login.decode()
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "subject": decoded_subject(message.get("Subject")),
            "from": message.get("From"),
            "to": message.get("To"),
            "mime_version": message.get("MIME-Version"),
            "has_date": message.get("Date") is not None,
            "content_type": html_part.get("Content-Type") if html_part is not None else None,
            "transfer_encoding": html_part.get("Content-Transfer-Encoding") if html_part is not None else None,
            "html": html,
            "bare_lf": any(raw[i] == 0x0A and (i == 0 or raw[i - 1] != 0x0D) for i in range(len(raw))),
            "tls": session.ssl is not None or server.transport.get_extra_info("ssl_object") is not None,
            "login": login,
        }
        with open(self.out, "a", encoding="utf-8") as f:
            f.write(json.dumps(record, ensure_ascii=False) + "\n")
            f.flush()
            os.fsync(f.fileno())
        return "250 Message accepted for delivery"


def tls_context(args):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    return context


async def hang(port):
    async def sit(reader, writer):
        await asyncio.sleep(3600)

    server = await asyncio.start_server(sit, "127.0.0.1", port)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    async with server:
        await stop.wait()


def main():
    warnings.simplefilter("ignore")
    logging.disable(logging.WARNING)
    args = parse_args()
    if args.mode == "hang":
        asyncio.run(hang(args.port))
        return
    kwargs = {}
    if args.mode == "starttls":
        kwargs["tls_context"] = tls_context(args)
    if args.mode == "ssl":
        kwargs["ssl_context"] = tls_context(args)
    if args.user is not None:
        expected = LoginPassword(args.user.encode(), (args.password or "").encode())

        def authenticator(server, session, envelope, mechanism, auth_data):
            return AuthResult(success=auth_data == expected, handled=False, auth_data=auth_data)

        kwargs["authenticator"] = authenticator
        kwargs["auth_required"] = True
        kwargs["auth_require_tls"] = args.mode != "plain"
    handler = Handler(args.out, args.reject_rcpt, args.refuse_file, args.stall, args.stall_marker)
    controller = Controller(handler, hostname="127.0.0.1", port=args.port, **kwargs)
    controller.start()
    done = asyncio.Event()
    loop = asyncio.new_event_loop()
    loop.add_signal_handler(signal.SIGTERM, done.set)
    loop.run_until_complete(done.wait())
    controller.stop()


if __name__ == "__main__":
    sys.exit(main())
