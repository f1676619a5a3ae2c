"""tavori-sandbox: run the local payment service, or act on an order of a
running one from another terminal (trigger, refund)."""

from __future__ import annotations

import argparse
import signal
import sys
import threading
import urllib.error
import urllib.request
from pathlib import Path

from .faults import ANSWER_FAULTS
from .replay import ReplayError, replay
from .server import Sandbox
from .store import Account, Store


def account(text: str) -> Account:
    community, separator, sponsor = text.partition(":")
    if not separator or not community or not sponsor:
        raise argparse.ArgumentTypeError("expected COMMUNITY_KEY:SPONSOR_KEY")
    return Account(community, sponsor)


def positive(text: str) -> int:
    number = int(text)
    if number < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1")
    return number


def serve(arguments: argparse.Namespace) -> int:
    try:
        sandbox = Sandbox(host=arguments.host, port=arguments.port, db=arguments.db, accounts=arguments.account,
                          order_ttl=arguments.order_ttl, settle_delay=arguments.settle_delay,
                          callback_first_delay=arguments.retry_delay, workers=arguments.workers)
    except OSError as error:
        print(f"tavori-sandbox: cannot listen on {arguments.host}:{arguments.port}: {error.strerror or error}",
              file=sys.stderr)
        return 1
    # Without accounts of its own the sandbox serves its demo account, kept in
    # the database so that a restart keeps its keys and its orders.
    demo = None if arguments.account else sandbox.store.demo_account()
    apply_faults(sandbox, arguments)
    # Ctrl-C and SIGTERM (a service manager, a container stop) only ask it to
    # stop: the serving threads are then stopped in order, as a test's
    # sandbox is, instead of being interrupted wherever they are.
    stop_asked = threading.Event()
    for stopping in (signal.SIGINT, signal.SIGTERM):
        signal.signal(stopping, lambda signum, frame: stop_asked.set())
    sandbox.start()
    try:
        print(f"Tavori sandbox listening on {sandbox.url}", flush=True)
        announce(demo, arguments.auth_key_dir)
        print(f"Orders: {sandbox.url}/sandbox/orders  (Ctrl-C stops)", flush=True)
        stop_asked.wait()
    finally:
        sandbox.stop()
    print("Stopped.", flush=True)
    return 0


def apply_faults(sandbox: Sandbox, arguments: argparse.Namespace) -> None:
    """The faults asked for on the command line, for every order."""
    if arguments.drop_deliveries:
        sandbox.drop_deliveries(arguments.drop_deliveries)
    if arguments.duplicate_deliveries:
        sandbox.duplicate_deliveries(arguments.duplicate_deliveries)
    if arguments.out_of_order:
        sandbox.deliver_out_of_order()
    if arguments.delay_deliveries:
        sandbox.delay_deliveries(arguments.delay_deliveries)
    if arguments.wrong_signatures:
        sandbox.send_wrong_signatures(arguments.wrong_signatures)
    if arguments.fail_next:
        sandbox.fail_next_answers(arguments.fail_next, arguments.failure, arguments.slow_seconds)


def announce(demo: Account | None, auth_key_dir: str | None) -> None:
    if demo is not None:
        # Written before the keys are shown, so whoever reads them can also read the file.
        path = Path(auth_key_dir, "auth_key.py") if auth_key_dir else None
        if path is not None:
            path.write_text(f'COMMUNITY_KEY = "{demo.community_key}"\nSPONSOR_KEY = "{demo.sponsor_key}"\n')
        # The one time a sponsor key is shown: the developer needs it.
        print(f"Demo account: COMMUNITY_KEY={demo.community_key} SPONSOR_KEY={demo.sponsor_key}", flush=True)
        if path is not None:
            print(f"Wrote {path}", flush=True)


# What `trigger` can make happen, and the orders page's action for it.
TRIGGERS = {"paid": "pay", "decline": "decline", "settle": "settle", "refund": "refund", "expire": "expire"}


def trigger(arguments: argparse.Namespace) -> int:
    action = TRIGGERS[arguments.action]
    request = urllib.request.Request(f"{arguments.url}/sandbox/orders/{arguments.order_id}/{action}",
                                     b"", method="POST")
    try:
        urllib.request.urlopen(request, timeout=10).read()
    except urllib.error.HTTPError as error:
        print(f"{arguments.action} refused: HTTP {error.code}: {error.read().decode().strip()}", file=sys.stderr)
        return 1
    except urllib.error.URLError as error:
        print(f"no sandbox at {arguments.url}: {error.reason}", file=sys.stderr)
        return 1
    print(f"{arguments.order_id}: {arguments.action} done; its callback is on its way")
    return 0


def replay_file(arguments: argparse.Namespace) -> int:
    if arguments.account:
        sponsor_key, signer = arguments.account[0].sponsor_key, f"account {arguments.account[0].community_key}"
    elif not Path(arguments.db).is_file():
        print(f"tavori-sandbox replay: no sandbox database at {arguments.db}: give the sandbox's --db, or the "
              "shop's keys with --account", file=sys.stderr)
        return 2
    else:  # the demo account of the sandbox the dev shop's keys came from
        store = Store(arguments.db)
        try:
            demo = store.demo_account()
        finally:
            store.close()
        sponsor_key, signer = demo.sponsor_key, f"the demo account {demo.community_key} of {arguments.db}"
    print(f"replaying {arguments.file} to {arguments.to}, signed with the sponsor key of {signer}", file=sys.stderr)
    try:
        refused = replay(Path(arguments.file), arguments.to, sponsor_key, print,
                         off_this_machine=arguments.to_another_host)
    except ReplayError as error:
        print(f"tavori-sandbox replay: {error}", file=sys.stderr)
        return 2
    if refused:
        print(f"{refused} not taken by {arguments.to}", file=sys.stderr)
    return 1 if refused else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="tavori-sandbox", description=__doc__)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000, help="0 picks a free port")
    parser.add_argument("--db", default="tavori-sandbox.sqlite3", help="SQLite file, or :memory:")
    parser.add_argument("--account", type=account, action="append", default=[],
                        metavar="COMMUNITY_KEY:SPONSOR_KEY", help="an account (repeatable)")
    parser.add_argument("--workers", type=positive, default=8, help="connections served at once")
    parser.add_argument("--auth-key-dir", help="write the demo account's auth_key.py into this directory")
    parser.add_argument("--order-ttl", type=float, default=900.0, help="seconds an order may wait for payment")
    parser.add_argument("--settle-delay", type=float, default=0.0, help="seconds from payment to settlement")
    parser.add_argument("--retry-delay", type=float, default=1.0,
                        help="seconds before the first callback retry; doubled for each next one")
    faults = parser.add_argument_group("faults on demand, for every order")
    faults.add_argument("--drop-deliveries", type=positive, metavar="N", help="never send the next N callbacks")
    faults.add_argument("--duplicate-deliveries", type=positive, metavar="N", help="send each callback N times")
    faults.add_argument("--out-of-order", action="store_true",
                        help="send an order's newest callback first (settled before paid)")
    faults.add_argument("--delay-deliveries", type=float, metavar="SECONDS",
                        help="wait this long before a callback's first attempt")
    faults.add_argument("--wrong-signatures", type=positive, metavar="N",
                        help="sign the next N delivery attempts with a wrong key")
    faults.add_argument("--fail-next", type=positive, metavar="N", help="answer the next N API requests wrongly")
    faults.add_argument("--failure", choices=ANSWER_FAULTS, default="503",
                        help="how --fail-next answers (default 503)")
    faults.add_argument("--slow-seconds", type=float, default=15.0,
                        help="how late a 'slow' answer comes (default 15)")
    commands = parser.add_subparsers(dest="command")
    trigger_parser = commands.add_parser("trigger", help="pay, decline, settle, refund or expire an order of a "
                                                         "running sandbox")
    trigger_parser.add_argument("order_id")
    trigger_parser.add_argument("action", choices=TRIGGERS)
    refund_parser = commands.add_parser("refund", help="refund a paid order of a running sandbox (trigger ID refund)")
    refund_parser.add_argument("order_id")
    refund_parser.set_defaults(action="refund")
    for acting in (trigger_parser, refund_parser):
        acting.add_argument("--url", default="http://127.0.0.1:8000", help="the running sandbox")
    replay_parser = commands.add_parser("replay", help="post recorded callbacks (manage.py "
                                                       "tavori_pay_export_callbacks) to a notify URL")
    replay_parser.add_argument("file")
    replay_parser.add_argument("--to", required=True, metavar="NOTIFY_URL", help="the dev shop's notify URL")
    replay_parser.add_argument("--db", default="tavori-sandbox.sqlite3",
                               help="the sandbox's database, whose demo account signs (default tavori-sandbox.sqlite3)")
    replay_parser.add_argument("--account", type=account, action="append", default=[],
                               metavar="COMMUNITY_KEY:SPONSOR_KEY", help="sign with this account's key instead")
    replay_parser.add_argument("--to-another-host", action="store_true",
                               help="allow a notify URL that is not on this machine (localhost or a loopback address)")
    arguments = parser.parse_args(argv)
    if arguments.command == "replay":
        return replay_file(arguments)
    return trigger(arguments) if arguments.command in ("trigger", "refund") else serve(arguments)


if __name__ == "__main__":
    sys.exit(main())
