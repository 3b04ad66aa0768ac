"""The toviipc tool's server, client and shm-read commands, written with this package: the same
arguments, the same events (readable, or one JSON object per line with --json) and the same
exit statuses, so that scripts can use either."""

import argparse
import datetime
import json
import queue
import signal
import sys
import threading
import time

from . import Client, Error, NoBlockError, Server, SharedMemoryReader, __version__

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_PEER_GONE, EXIT_UNREACHABLE = 0, 1, 2, 3, 4
SHM_PREVIEW_BYTES = 256
MAX_STAY_SECONDS = 1e7  # about 115 days, as the tool: longer waits are surely a mistake
_MAX_UTF8_SEQUENCE_BYTES = 4
_SLICE_S = 0.1  # how often a waiting command looks whether it was interrupted
# Options that take a value; "--send X" is read as "--send=X", so that X may begin with "-".
_VALUE_OPTIONS = ("--send", "--send-hex", "--shm", "--info", "--stay")

_interrupted = False


def _interrupt(signum, frame):
    # Only a flag: the main thread may hold any lock when the signal comes.
    global _interrupted
    _interrupted = True


def _utf8_text(data, cut):
    """The data as text when it is valid UTF-8 (a character cut short at the end of cut data
    left out), else None."""
    for drop in range(_MAX_UTF8_SEQUENCE_BYTES if cut else 1):
        try:
            return data[: len(data) - drop].decode("utf-8")
        except UnicodeDecodeError:
            continue
    return None


def _readable_quote(text):
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append({"\n": "\\n", "\r": "\\r", "\t": "\\t"}.get(ch, "\\x%02x" % ord(ch)))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


class _Record:
    """One event line, built field by field in the order the tool prints them."""

    def __init__(self, name):
        self.name = name
        self.fields = []  # (key, value for JSON, readable text or "")
        self.data_readable = ""

    def client(self, client):
        self.fields.append(("client", client, _readable_quote(client)[1:-1]))
        return self

    def text(self, key, value):
        self.fields.append((key, value, "%s=%s" % (key, value)))
        return self

    def number(self, key, value):
        self.fields.append((key, value, "%s=%d" % (key, value)))
        return self

    def numbers(self, key, values):
        self.fields.append((key, list(values), "%s=%s" % (key, ",".join(map(str, values)))))
        return self

    def data(self, data, limit=None):
        shown = data if limit is None else data[:limit]
        cut = len(shown) < len(data)
        self.fields.append(("length", len(data), ""))
        if cut:
            self.fields.append(("shown", len(shown), ""))
        self.fields.append(("hex", shown.hex(), ""))
        self.data_readable = "%d bytes" % len(data)
        if cut:
            self.data_readable += " (first %d)" % len(shown)
        text = _utf8_text(shown, cut)
        if text is not None:
            self.fields.append(("text", text, ""))
            self.data_readable += " " + _readable_quote(text)
        else:
            self.data_readable += " hex " + shown.hex()
        return self


class _Printer:
    def __init__(self, as_json):
        self.as_json = as_json
        self.lock = threading.Lock()

    def print(self, record):
        if self.as_json:
            fields = {"event": record.name}
            fields.update((key, value) for key, value, _ in record.fields)
            line = json.dumps(fields, ensure_ascii=False, separators=(",", ":"))
        else:
            parts = [datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3], record.name]
            parts += [readable for _, _, readable in record.fields if readable]
            if record.data_readable:
                parts.append(record.data_readable)
            line = " ".join(parts)
        with self.lock:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()


def _run_server(args, printer):
    def on_message(client, data):
        printer.print(_Record("message").client(client).data(data))
        if args.echo:
            try:
                server.send_bytes(client, data)
                printer.print(_Record("sent").client(client).data(data))
            except Error:
                printer.print(_Record("send-failed").client(client).data(data))

    server = Server(
        on_message=on_message,
        on_connect=lambda client: printer.print(_Record("connect").client(client)),
        on_disconnect=lambda client: printer.print(_Record("disconnect").client(client)),
    )
    with server:
        try:
            server.start(args.name)
        except Error as error:
            sys.stderr.write("python -m toviipc server: %s\n" % error)
            return EXIT_UNREACHABLE
        printer.print(_Record("listening").text("pipe", args.name))
        while not _interrupted:
            time.sleep(_SLICE_S)
        server.stop()
        printer.print(_Record("stopped").text("pipe", args.name))
    return EXIT_OK


def _parse_info(parser, text):
    try:
        values = [int(part, 0) for part in text.split(",")]
    except ValueError:
        parser.error("--info takes five numbers: A,B,C,D,E")
    if len(values) != 5 or not all(0 <= v <= 0xFFFFFFFF for v in values):
        parser.error("--info takes five unsigned 32-bit numbers: A,B,C,D,E")
    return values


def _parse_hex(parser, text):
    digits = text.replace(" ", "")
    for ch in digits:
        if ch not in "0123456789abcdefABCDEF":
            parser.error("--send-hex: %r is not a hexadecimal digit (in %r)" % (ch, text))
    if len(digits) % 2:
        parser.error(
            "--send-hex: an odd number of hexadecimal digits (in %r); each byte takes two" % text
        )
    if not digits:
        parser.error("--send-hex needs at least one byte")
    return bytes.fromhex(digits)


def _seconds(text):
    """--stay's value: more than 0 and at most MAX_STAY_SECONDS, as the tool takes it."""
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("needs a number of seconds, not %r" % text) from None
    if not seconds > 0:
        raise argparse.ArgumentTypeError("needs a positive number of seconds, not %r" % text)
    if seconds > MAX_STAY_SECONDS:
        raise argparse.ArgumentTypeError(
            "may be at most %d seconds (about 115 days), not %r" % (MAX_STAY_SECONDS, text)
        )
    return seconds


class _Action(argparse.Action):
    """Keeps --send, --send-hex, --shm and --info in the order given."""

    def __call__(self, parser, namespace, value, option_string=None):
        actions = list(namespace.actions)
        if option_string == "--info":
            if not actions or actions[-1][0] != "shm":
                parser.error("--info must follow a --shm")
            actions[-1] = ("shm", actions[-1][1], _parse_info(parser, value))
        elif option_string == "--send-hex":
            actions.append(("bytes", _parse_hex(parser, value), None))
        elif not value:
            parser.error("%s needs a text of at least one byte" % option_string)
        elif option_string == "--send":
            actions.append(("text", value, None))
        else:
            actions.append(("shm", value.encode("utf-8"), [0, 0, 0, 0, 0]))
        namespace.actions = actions


def _read_lines(board):
    for line in sys.stdin:
        board.put(("line", line.rstrip("\r\n")))
    board.put(("input-end", None))


def _perform(client, printer, kind, data, info):
    try:
        if kind == "shm":
            client.write_shared_memory(data, info)
        elif kind == "text":
            client.send_text(data)
        else:
            client.send_bytes(data)
        ok = True
    except Error:
        ok = False
    payload = data.encode("utf-8") if isinstance(data, str) else data
    if kind == "shm":
        record = _Record("shm" if ok else "shm-failed").numbers("info", info)
    else:
        record = _Record("sent" if ok else "send-failed")
    printer.print(record.data(payload))
    return ok


def _disconnect_record(received):
    # A server sends a newcomer away before anything else when its id is taken.
    reason = (
        "the server went away or dropped this client"
        if received
        else "the server sent this client away at once: the id is taken"
    )
    return _Record("disconnect").text("reason", reason)


def _left_while_leaving(board):
    """True when the server's sending away came while the client said goodbye."""
    while True:
        try:
            what, _ = board.get_nowait()
        except queue.Empty:
            return False
        if what == "peer-gone":
            return True


def _run_client(args, printer):
    board = queue.Queue()
    received = []

    def on_message(data):
        received.append(True)
        printer.print(_Record("message").data(data))

    client = Client(on_message=on_message, on_disconnect=lambda: board.put(("peer-gone", None)))
    with client:
        try:
            client.connect(args.name, args.id)
        except Error as error:
            sys.stderr.write("python -m toviipc client: %s\n" % error)
            return EXIT_UNREACHABLE
        printer.print(_Record("connected").client(args.id).text("pipe", args.name))
        status = EXIT_OK
        for kind, data, info in args.actions:
            if not _perform(client, printer, kind, data, info):
                status = EXIT_FAILED
        threading.Thread(target=_read_lines, args=(board,), daemon=True).start()
        deadline = None if args.stay is None else time.monotonic() + args.stay
        while not _interrupted:
            wait = _SLICE_S if deadline is None else min(_SLICE_S, deadline - time.monotonic())
            if wait <= 0:
                break
            try:
                what, line = board.get(timeout=wait)
            except queue.Empty:
                continue
            if what == "peer-gone":
                printer.print(_disconnect_record(received))
                return EXIT_PEER_GONE
            if what == "input-end" and args.stay is None:
                break
            if what == "line" and line and not args.actions:
                if not _perform(client, printer, "text", line, None):
                    status = EXIT_FAILED
        client.disconnect()
        if _left_while_leaving(board):
            printer.print(_disconnect_record(received))
            return EXIT_PEER_GONE
        printer.print(_Record("leave").client(args.id))
    return status


def _print_newest(reader, printer):
    write = reader.read()
    if write is None:
        printer.print(_Record("empty").numbers("info", reader.peek().info))
    else:
        record = _Record("shm").number("slot", write.slot).numbers("info", write.info)
        printer.print(record.data(write.data, SHM_PREVIEW_BYTES))


def _run_shm_read(args, printer):
    try:
        reader = SharedMemoryReader(args.name)
    except NoBlockError as error:
        sys.stderr.write("python -m toviipc shm-read: %s\n" % error)
        return EXIT_UNREACHABLE
    with reader:
        try:
            seen = reader.peek()
            _print_newest(reader, printer)
            while args.follow and not _interrupted:
                changed = reader.wait(seen, timeout=_SLICE_S)
                if changed is not None:
                    seen = changed
                    _print_newest(reader, printer)
        except Error as error:
            sys.stderr.write("python -m toviipc shm-read: %s\n" % error)
            return EXIT_FAILED
    return EXIT_OK


class _Parser(argparse.ArgumentParser):
    """Bad arguments make one line on standard error, as the tool's do."""

    def error(self, message):
        sys.stderr.write("%s: %s (see %s --help)\n" % (self.prog, message, self.prog))
        sys.exit(EXIT_USAGE)


def _parser():
    parser = _Parser(
        prog="python -m toviipc",
        description="The toviipc tool's server, client and shm-read commands, in Python.",
    )
    parser.add_argument("--version", action="version", version="python -m toviipc " + __version__)
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    server = commands.add_parser("server", help="listen on a pipe and print its events")
    server.add_argument("name", metavar="NAME")
    server.add_argument("--echo", action="store_true", help="send every message back as bytes")
    client = commands.add_parser("client", help="connect, send, and print what arrives")
    client.add_argument("name", metavar="NAME")
    client.add_argument("id", metavar="ID")
    for option, meta in (("--send", "TEXT"), ("--send-hex", "HEX"), ("--shm", "TEXT")):
        client.add_argument(option, metavar=meta, action=_Action, dest="unused")
    client.add_argument("--info", metavar="A,B,C,D,E", action=_Action, dest="unused")
    client.add_argument("--stay", metavar="SECONDS", type=_seconds)
    client.set_defaults(actions=[])
    shm = commands.add_parser("shm-read", help="print the newest write of a shared-memory block")
    shm.add_argument("name", metavar="NAME")
    shm.add_argument("--follow", action="store_true", help="then print each new write")
    for sub in (server, client, shm):
        sub.add_argument("--json", action="store_true", help="one JSON object per line")
    return parser


def _joined(argv):
    """argv with each value option joined to its value ("--send=-5"), up to "--"."""
    out = []
    arguments = iter(argv)
    for argument in arguments:
        if argument == "--":
            out.append(argument)
            out.extend(arguments)
        elif argument in _VALUE_OPTIONS:
            out.append(argument + "=" + next(arguments, ""))
        else:
            out.append(argument)
    return out


def main(argv):
    try:
        args = _parser().parse_args(_joined(argv))
    except SystemExit as exit:
        return EXIT_USAGE if exit.code else EXIT_OK
    signal.signal(signal.SIGINT, _interrupt)
    signal.signal(signal.SIGTERM, _interrupt)
    printer = _Printer(args.json)
    run = {"server": _run_server, "client": _run_client, "shm-read": _run_shm_read}[args.command]
    return run(args, printer)
