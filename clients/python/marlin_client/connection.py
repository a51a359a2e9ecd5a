"""Connections to the service's three loopback ports.

The wire: every message and reply ends with '|'; the client sends UTF-8, the
service replies in Latin-1. Replies come in the order of the commands, but
other messages arrive among them whenever the service has them to send:

  command port  "CurrentAttachedDevices=..." after "authOk" and when a tablet
                is plugged in or out
  apps port     "BroadcastRegisteredChannel=NAME", "BroadcastUnRegisteredChannel=NAME",
                "ForwardDataToChannel SENDER DATA"
  pressure port PenData words ('|'-framed) and pen tokens (space-terminated)

A Connection tells these apart, so request() returns the reply to its own
command, and everything else goes to the unsolicited queue or callback.

Thread use: a Connection may be shared by two threads (one sending requests,
one calling pump() to see unsolicited messages while idle); every read takes
its lock. Nothing here starts a thread.
"""

import collections
import socket
import threading
import time
from typing import Callable, Deque, Iterator, List, NamedTuple, Optional

from . import pen
from .errors import AuthorizationRefused, ConnectionClosed, NoReply, ServiceNotRunning
from .keyfile import KeyFile, read_key_file

COMMAND, PRESSURE, APPS = "command", "pressure", "apps"
UNSOLICITED_PREFIXES = {
    COMMAND: ("CurrentAttachedDevices=",),
    APPS: ("BroadcastRegisteredChannel=", "BroadcastUnRegisteredChannel=", "ForwardDataToChannel "),
    PRESSURE: ("PenData.",),
}
# Commands that the service answers with no reply at all (the prefix test the
# service makes): stopTablet on the pressure port, update on the command port.
NO_REPLY_COMMANDS = {COMMAND: ("update",), PRESSURE: ("stopTablet",), APPS: ()}
DEFAULT_TIMEOUT = 10.0
MAX_UNSOLICITED = 10000  # the queue keeps the newest ones when nobody reads it


class Message(NamedTuple):
    """One thing the service sent: kind "frame" ('|'-framed) or "token" (space-terminated, pressure port)."""
    kind: str
    text: str


class Connection:
    """A client of one port (COMMAND, PRESSURE or APPS)."""

    def __init__(self, port: int, kind: str = COMMAND, timeout: float = DEFAULT_TIMEOUT,
                 host: str = "127.0.0.1", key: Optional[KeyFile] = None):
        self.port = port
        self.kind = kind
        self.timeout = timeout
        self.key = key
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        except ConnectionRefusedError:
            raise ServiceNotRunning(_not_listening(port, key)) from None
        except socket.timeout:
            raise ServiceNotRunning("port %d did not accept within %.0f s: is the service busy or stopped?"
                                    % (port, timeout)) from None
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._buffer = b""
        self._lock = threading.RLock()
        self._owed = 0  # replies still due to requests that gave up waiting
        self.closed = False
        self.unsolicited: Deque[Message] = collections.deque(maxlen=MAX_UNSOLICITED)
        self.on_unsolicited: Optional[Callable[[Message], None]] = None
        self.late_replies: List[str] = []  # replies that came after their request gave up

    # -- sending
    def send(self, text: str) -> None:
        """Sends one message ('|' is added). A '|' inside text would split it, so it is refused."""
        if "|" in text:
            raise ValueError("a message cannot hold '|' (the delimiter): %r" % text)
        self.send_raw(text.encode("utf-8") + b"|")

    def send_raw(self, data: bytes) -> None:
        try:
            self.sock.sendall(data)
        except OSError as e:
            self.closed = True
            raise ConnectionClosed("the service closed the connection on port %d (%s)" % (self.port, e)) from None

    # -- reading
    def _fill(self, deadline: float) -> None:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise NoReply("no data from the service on port %d" % self.port)
        self.sock.settimeout(remaining)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            raise NoReply("no data from the service on port %d" % self.port) from None
        except (ConnectionResetError, ConnectionAbortedError):
            data = b""
        if not data:
            self.closed = True
            raise ConnectionClosed("the service closed the connection on port %d" % self.port)
        self._buffer += data

    def _cut(self, tokens: bool) -> Optional[Message]:
        """Takes one complete message off the buffer, or None; pen tokens count as messages when tokens is set."""
        for i, byte in enumerate(self._buffer):
            if byte == 0x7C:  # '|'
                frame, self._buffer = self._buffer[:i], self._buffer[i + 1:]
                return Message("frame", frame.decode("latin-1"))
            if tokens and byte == 0x20 and pen.PEN_TOKEN.match(self._buffer[:i].decode("latin-1")):
                token, self._buffer = self._buffer[:i], self._buffer[i + 1:]
                return Message("token", token.decode("latin-1"))
        return None

    def read_message(self, timeout: Optional[float] = None, tokens: Optional[bool] = None) -> Message:
        """The next message of any kind. Raises NoReply after timeout, ConnectionClosed at the end.
        Space-terminated pen tokens are messages of their own on the pressure port (or when tokens is set)."""
        if tokens is None:
            tokens = self.kind == PRESSURE
        with self._lock:
            deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            while True:
                message = self._cut(tokens)
                if message is not None:
                    return message
                self._fill(deadline)

    def read_frame(self, timeout: Optional[float] = None) -> str:
        """The next '|'-framed message, whatever it is (skips nothing)."""
        with self._lock:
            deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            while b"|" not in self._buffer:
                self._fill(deadline)
            frame, _, self._buffer = self._buffer.partition(b"|")
            return frame.decode("latin-1")

    def skip_frames(self, count: int, timeout: Optional[float] = None) -> None:
        """Reads until count more '|'-framed messages have come and drops them, without
        decoding: for a reader that only counts the replies to pipelined commands."""
        with self._lock:
            deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            while True:
                seen = self._buffer.count(b"|")
                if seen >= count:
                    for _ in range(count):
                        self._buffer = self._buffer.partition(b"|")[2]
                    return
                count -= seen
                self._buffer = self._buffer[self._buffer.rfind(b"|") + 1:] if seen else self._buffer
                self._fill(deadline)

    def is_unsolicited(self, message: Message) -> bool:
        return message.kind == "token" or message.text.startswith(UNSOLICITED_PREFIXES.get(self.kind, ()))

    def _deliver(self, message: Message) -> None:
        if self.on_unsolicited is not None:
            self.on_unsolicited(message)
        else:
            self.unsolicited.append(message)

    def _sort(self, message: Message) -> Optional[str]:
        """The text of message when it is the reply now due; anything else is handed on here."""
        if self.is_unsolicited(message):
            self._deliver(message)
        elif self._owed:
            self._owed -= 1
            self.late_replies.append(message.text)
        else:
            return message.text
        return None

    def _next_reply(self, deadline: float) -> str:
        while True:
            reply = self._sort(self.read_message(max(0.0, deadline - time.monotonic())))
            if reply is not None:
                return reply

    def expects_reply(self, text: str) -> bool:
        word = text.split(" ", 1)[0]
        return not word.startswith(NO_REPLY_COMMANDS.get(self.kind, ()))

    def request(self, text: str, timeout: Optional[float] = None) -> str:
        """Sends text and returns the reply to it; messages that are no reply go to
        on_unsolicited (or the unsolicited queue) on the way.

        Raises NoReply when none came in time (a reply that comes later is then
        kept in late_replies, never taken for the next request's) and
        ConnectionClosed when the service closed the connection.
        """
        with self._lock:
            self.send(text)
            deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            try:
                return self._next_reply(deadline)
            except NoReply:
                self._owed += 1
                raise NoReply("no reply to %r within %.1f s on port %d" % (
                    text, self.timeout if timeout is None else timeout, self.port)) from None

    def pump(self, timeout: float = 0.0) -> int:
        """Reads what has arrived (waiting up to timeout for the first message) and hands
        unsolicited messages on; returns how many there were. For idle clients that
        want to see broadcasts. Raises ConnectionClosed at the end of the stream."""
        count = 0
        with self._lock:
            wait = timeout
            while True:
                try:
                    message = self.read_message(wait)
                except NoReply:
                    return count
                wait = 0.0001
                if self._sort(message) is not None:
                    self._deliver(message)  # a reply nobody asked for
                count += 1

    def next_unsolicited(self, timeout: Optional[float] = None) -> Message:
        """The oldest unsolicited message, reading until one arrives (on_unsolicited must be unset)."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        with self._lock:
            while not self.unsolicited:
                self.pump(max(0.0, deadline - time.monotonic()))
                if not self.unsolicited and time.monotonic() >= deadline:
                    raise NoReply("no message from the service on port %d" % self.port)
            return self.unsolicited.popleft()

    def wait_closed(self, timeout: float = 10.0) -> bool:
        """True when the service closes the connection within timeout (what arrives is dropped)."""
        deadline = time.monotonic() + timeout
        with self._lock:
            try:
                while True:
                    self._buffer = b""
                    self._fill(deadline)
            except ConnectionClosed:
                return True
            except (NoReply, OSError):
                return False

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass
        self.closed = True

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class CommandConnection(Connection):
    """The command port: authorize() first; only one client at a time holds the authorization."""

    def __init__(self, port: int, timeout: float = DEFAULT_TIMEOUT, key: Optional[KeyFile] = None, **kw):
        super().__init__(port, COMMAND, timeout, key=key, **kw)

    def authorize(self, key: str, timeout: Optional[float] = None) -> str:
        """Sends "auth KEY"; returns "authOk". Raises AuthorizationRefused when the service closes
        the connection instead (a wrong key, or another client holds the authorization)."""
        try:
            return self.request("auth " + key, timeout)
        except ConnectionClosed:
            raise AuthorizationRefused(_refused(self.port, self.key)) from None

    def device_reports(self) -> List[str]:
        """Takes the attached-tablet reports ("CurrentAttachedDevices=...") received so far."""
        with self._lock:
            reports = [m.text for m in self.unsolicited if m.text.startswith("CurrentAttachedDevices=")]
            rest = [m for m in self.unsolicited if not m.text.startswith("CurrentAttachedDevices=")]
            self.unsolicited.clear()
            self.unsolicited.extend(rest)
            return reports


class PressureConnection(Connection):
    """The pressure port: tablet commands and pen events. Open to every local process."""

    def __init__(self, port: int, timeout: float = DEFAULT_TIMEOUT, key: Optional[KeyFile] = None, **kw):
        super().__init__(port, PRESSURE, timeout, key=key, **kw)

    def listen_tablet(self, window_title: str) -> str:
        """Hooks the dock window with this title (class "ApolloRuntimeContentWindow")."""
        return self.request("listenTablet %s unused" % _quote(window_title))

    def stop_listen_tablet(self, window_title: str) -> str:
        return self.request("stopListenTablet %s unused" % _quote(window_title))

    def start_stream(self) -> None:
        """Makes this client the one that receives pressure values and positions (the reply is an empty frame)."""
        reply = self.request("startTablet")
        if reply != "":
            raise NoReply("startTablet answered %r instead of an empty frame" % reply)

    def stop_stream(self) -> None:
        """Stops the stream (the service sends no reply to this)."""
        self.send("stopTablet")

    def driver_version(self) -> str:
        return self.request("getDriverVersion")

    def events(self, timeout: Optional[float] = None) -> Iterator[pen.PenEvent]:
        """Pen events as they arrive; ends when none comes within timeout (None: the
        connection's timeout) or the connection closes. Replies met on the way are
        kept in the unsolicited queue."""
        while True:
            try:
                message = self.read_message(timeout)
            except (NoReply, ConnectionClosed):
                return
            event = (pen.parse_pen_token(message.text) if message.kind == "token"
                     else pen.parse_pen_word(message.text))
            if event is None:
                self.unsolicited.append(message)
            else:
                yield event


class AppsConnection(Connection):
    """The apps port: named channels between dock applications. Open to every local process."""

    def __init__(self, port: int, timeout: float = DEFAULT_TIMEOUT, key: Optional[KeyFile] = None, **kw):
        super().__init__(port, APPS, timeout, key=key, **kw)
        self.channel: Optional[str] = None

    def register_channel(self, name: str) -> str:
        """Registers this client's channel (one per client; registering again replaces it)."""
        reply = self.request("registerChannel %s" % _quote(name))
        if reply == "Success ChannelRegistered=true":
            self.channel = name
        return reply

    def send_to_channel(self, target: str, data: str, tag: str = "t") -> bool:
        """Forwards data to the channel target; True when the service forwarded it
        ("DataSentToChannel=TAG"), False for "DataSentToChannelError=TAG"."""
        reply = self.request("sendDataToChannel %s %s %s" % (_quote(target), _quote(data), _quote(tag)))
        return reply == "Success DataSentToChannel=" + tag

    def received(self, timeout: Optional[float] = None) -> Iterator[Message]:
        """Channel messages as they arrive (broadcasts and forwarded data); ends after timeout."""
        while True:
            try:
                yield self.next_unsolicited(timeout)
            except (NoReply, ConnectionClosed):
                return


def _quote(word: str) -> str:
    """One word for the service's splitter: blanks and quotes grouped by the other quote character."""
    if word and " " not in word and '"' not in word and "'" not in word:
        return word
    if '"' not in word:
        return '"%s"' % word
    if "'" not in word:
        return "'%s'" % word
    raise ValueError("a word cannot hold both quote characters: %r" % word)


def _not_listening(port: int, key: Optional[KeyFile]) -> str:
    if key is None:
        return "nothing listens on port %d: is the service running?" % port
    return ("nothing listens on port %d, which the key file %s (written %s) names: the service is not running "
            "and the file is left from an earlier start. Start it with './marlin serve', or name the running "
            "service's prefix with --prefix" % (port, key.path or "given", key.written()))


def _refused(port: int, key: Optional[KeyFile]) -> str:
    if key is not None and key.path:
        try:
            now = read_key_file(key.path)
            if now.auth_key != key.auth_key:
                return ("authorization refused: the key file %s was rewritten at %s (the service restarted); "
                        "read it again" % (key.path, now.written()))
        except Exception:
            pass
        source = "the key from %s (written %s)" % (key.path, key.written())
    else:
        source = "the key given"
    return ("authorization refused on command port %d. Either another client holds the command port "
            "(only one at a time: close it, e.g. the demo's console client, or use the pressure and apps ports, "
            "which need no key), or %s is not this service's key (a stale file, or one from another prefix)"
            % (port, source))


def connect(key: KeyFile, kind: str = COMMAND, timeout: float = DEFAULT_TIMEOUT, authorize: bool = True):
    """A connection to one of the service's ports named in the key file; the command port
    is authorized (the "authOk" reply read) unless authorize is False."""
    if kind == COMMAND:
        conn = CommandConnection(key.command_port, timeout, key=key)
        if authorize:
            try:
                reply = conn.authorize(key.auth_key)
            except BaseException:
                conn.close()
                raise
            if reply != "authOk":
                conn.close()
                raise AuthorizationRefused("the command port answered %r to the key instead of authOk" % reply)
        return conn
    if kind == PRESSURE:
        return PressureConnection(key.pressure_port, timeout, key=key)
    if kind == APPS:
        return AppsConnection(key.apps_port, timeout, key=key)
    raise ValueError("unknown port kind %r (command, pressure or apps)" % kind)
