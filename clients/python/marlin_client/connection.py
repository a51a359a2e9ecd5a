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

What does not travel as sent: the service removes CR and LF, a '|' ends the
message, a NUL byte spoils it, quotes group words and vanish, and replies
narrow every character outside Latin-1 to '?'. send() refuses CR, LF, '|' and
NUL; quote_word() builds one word that arrives as given or says why it cannot.

Reading takes time in proportion to what arrives: the buffer is a bytearray
and a scan never looks at the same bytes twice.

Thread use: a Connection may be shared by two threads (one sending requests,
one calling pump() to see unsolicited messages while idle); every read takes
its lock. Nothing here starts a thread.
"""

import collections
import re
import socket
import threading
import time
from typing import Callable, Deque, Iterator, List, NamedTuple, Optional

from . import pen
from .errors import (AuthorizationRefused, CommandFailed, ConnectionClosed, DataNotSendable, IncompleteMessage,
                     NoReply, ServiceNotRunning)
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
DEVICE_REPORT = "CurrentAttachedDevices="
DEFAULT_TIMEOUT = 10.0
MAX_UNSOLICITED = 10000  # the queue keeps the newest ones when nobody reads it
SMALL_READ, LARGE_READ = 1 << 16, 1 << 20  # recv sizes: everyday replies, a long message on its way
_PEN_TOKEN = re.compile(pen.PEN_TOKEN.pattern.encode("ascii"))


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
        self._buffer = bytearray()
        self._scan = 0  # bytes at the buffer's front already known to hold no '|'
        self._blank_scan = 0  # the same for the blank that may end a pen token
        self._may_be_token = True  # false once the current message's first blank ended no pen token
        self._device_reports_seen = 0
        self._lock = threading.RLock()
        self._owed = 0  # replies still due to requests that gave up waiting
        self.closed = False
        self.unsolicited: Deque[Message] = collections.deque(maxlen=MAX_UNSOLICITED)
        self.on_unsolicited: Optional[Callable[[Message], None]] = None
        self.late_replies: List[str] = []  # replies that came after their request gave up

    # -- sending
    def send(self, text: str) -> None:
        """Sends one message ('|' is added). Text that would not arrive as given ('|', CR,
        LF, NUL) is refused with DataNotSendable and nothing is sent."""
        _check_message(text)
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
            raise self._timed_out()
        self.sock.settimeout(remaining)
        try:
            data = self.sock.recv(LARGE_READ if len(self._buffer) >= LARGE_READ else SMALL_READ)
        except socket.timeout:
            raise self._timed_out() from None
        except (ConnectionResetError, ConnectionAbortedError):
            data = b""
        if not data:
            self.closed = True
            raise ConnectionClosed("the service closed the connection on port %d" % self.port)
        self._buffer += data

    def _timed_out(self) -> NoReply:
        if self._buffer:
            return IncompleteMessage("a message from the service on port %d was still arriving (%d bytes so far); "
                                     "read again to go on with it" % (self.port, len(self._buffer)))
        return NoReply("no data from the service on port %d" % self.port)

    def _take(self, length: int, kind: str) -> Message:
        """The first length bytes as a message; the delimiter after them is dropped."""
        text = self._buffer[:length].decode("latin-1")
        self._drop(length + 1)
        return Message(kind, text)

    def _drop(self, length: int) -> None:
        del self._buffer[:length]  # cheap at the front of a bytearray
        self._scan = self._blank_scan = 0
        self._may_be_token = True

    def _cut(self, tokens: bool) -> Optional[Message]:
        """Takes one complete message off the buffer, or None; pen tokens count as messages when tokens is set.
        Only bytes that arrived since the last call are searched."""
        buffer = self._buffer
        end = buffer.find(b"|", self._scan)
        limit = len(buffer) if end < 0 else end
        if tokens and self._may_be_token:
            # Only the first blank can end a token: a token holds no blank.
            blank = buffer.find(b" ", self._blank_scan, limit)
            if blank < 0:
                self._blank_scan = limit
            elif _PEN_TOKEN.fullmatch(buffer, 0, blank):
                return self._take(blank, "token")
            else:
                self._may_be_token = False
        if end < 0:
            self._scan = limit
            return None
        return self._take(end, "frame")

    def read_message(self, timeout: Optional[float] = None, tokens: Optional[bool] = None) -> Message:
        """The next message of any kind. Raises NoReply after timeout (IncompleteMessage when one
        was still arriving), ConnectionClosed at the end. Space-terminated pen tokens are messages
        of their own on the pressure port (or when tokens is set)."""
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
        return self.read_message(timeout, tokens=False).text

    def skip_frames(self, count: int, timeout: Optional[float] = None) -> None:
        """Reads until count more '|'-framed messages have come and drops them, without
        decoding: for a reader that only counts the replies to pipelined commands."""
        with self._lock:
            deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            while count > 0:
                buffer = self._buffer
                seen = buffer.count(b"|", self._scan)
                if seen >= count:
                    end = self._scan - 1
                    for _ in range(count):
                        end = buffer.find(b"|", end + 1)
                    self._drop(end + 1)
                    return
                if seen:
                    self._drop(buffer.rfind(b"|") + 1)
                    count -= seen
                self._scan = len(buffer)
                self._fill(deadline)

    def is_unsolicited(self, message: Message) -> bool:
        return message.kind == "token" or message.text.startswith(UNSOLICITED_PREFIXES.get(self.kind, ()))

    def _deliver(self, message: Message) -> None:
        if message.text.startswith(DEVICE_REPORT) and self.kind == COMMAND:
            self._device_reports_seen += 1
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
        """False for the commands the service answers with no reply (stopTablet, update)."""
        return not first_word(text).startswith(NO_REPLY_COMMANDS.get(self.kind, ()))

    def request(self, text: str, timeout: Optional[float] = None) -> Optional[str]:
        """Sends text and returns the reply to it; messages that are no reply go to
        on_unsolicited (or the unsolicited queue) on the way. A command the service
        never answers (expects_reply() is false) is only sent, and None returned.

        Raises NoReply when none came in time (a reply that comes later is then
        kept in late_replies, never taken for the next request's) and
        ConnectionClosed when the service closed the connection.
        """
        with self._lock:
            self.send(text)
            if not self.expects_reply(text):
                return None
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
        """The oldest unsolicited message, reading until one arrives (on_unsolicited must be unset).
        Raises NoReply when none came in time, IncompleteMessage when one was still arriving."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        with self._lock:
            while not self.unsolicited:
                self.pump(max(0.0, deadline - time.monotonic()))
                if not self.unsolicited and time.monotonic() >= deadline:
                    if self._buffer:
                        raise self._timed_out()
                    raise NoReply("no message from the service on port %d" % self.port)
            return self.unsolicited.popleft()

    def wait_closed(self, timeout: float = 10.0) -> bool:
        """True when the service closes the connection within timeout (what arrives is dropped)."""
        deadline = time.monotonic() + timeout
        with self._lock:
            try:
                while True:
                    self._buffer.clear()
                    self._scan = self._blank_scan = 0
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
        """Sends "auth KEY"; returns "authOk" once the attached-tablet report that the service
        sends right behind it has come too (see device_reports()). Raises AuthorizationRefused
        when the service closes the connection instead (a wrong key, or another client holds
        the authorization)."""
        with self._lock:
            deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
            seen = self._device_reports_seen
            try:
                reply = self.request("auth " + key, timeout)
            except ConnectionClosed:
                raise AuthorizationRefused(_refused(self.port, self.key, key)) from None
            if reply == "authOk":
                try:
                    while self._device_reports_seen == seen:
                        message = self.read_message(max(0.0, deadline - time.monotonic()))
                        if self._sort(message) is not None:
                            self._deliver(message)  # a reply nobody asked for
                except NoReply:
                    pass  # it comes later, as any report does
            return reply

    def device_reports(self) -> List[str]:
        """Takes the attached-tablet reports ("CurrentAttachedDevices=...") received so far,
        including those already waiting on the socket."""
        with self._lock:
            try:
                self.pump(0.0)
            except ConnectionClosed:
                pass
            reports = [m.text for m in self.unsolicited if m.text.startswith(DEVICE_REPORT)]
            rest = [m for m in self.unsolicited if not m.text.startswith(DEVICE_REPORT)]
            self.unsolicited.clear()
            self.unsolicited.extend(rest)
            return reports


class _OptionalKey:
    """The pressure and apps ports take the command port's key optionally: an authorized
    pressure client's pen stream cannot be taken by one without it, and an authorized
    widget's channel name cannot be taken by one without it."""

    authorized = False

    def authorize(self, key: str, timeout: Optional[float] = None) -> str:
        """Sends "auth KEY"; returns "authOk". Raises AuthorizationRefused when the port
        answers anything else (the connection stays usable without the key)."""
        reply = self.request("auth " + key, timeout)
        if reply != "authOk":
            raise AuthorizationRefused(_refused_optional(self, key, reply))
        self.authorized = True
        return reply


class PressureConnection(_OptionalKey, Connection):
    """The pressure port: tablet commands and pen events. Open to every local process;
    authorize() with the key keeps the pen stream from being taken by others."""

    def __init__(self, port: int, timeout: float = DEFAULT_TIMEOUT, key: Optional[KeyFile] = None, **kw):
        super().__init__(port, PRESSURE, timeout, key=key, **kw)

    def listen_tablet(self, window_title: str) -> str:
        """Hooks the dock window with this title (an AIR content window, class
        "ApolloRuntimeContentWindow": windows of other classes are not found)."""
        return self.request("listenTablet %s unused" % quote_word(window_title, "a window title", empty=True))

    def stop_listen_tablet(self, window_title: str) -> str:
        return self.request("stopListenTablet %s unused" % quote_word(window_title, "a window title", empty=True))

    def start_stream(self) -> None:
        """Makes this client the one that receives pressure values and positions (the reply is
        an empty frame). Raises CommandFailed with the service's reply when it refuses (the
        stream is held by an authorized client)."""
        reply = self.request("startTablet")
        if reply != "":
            raise CommandFailed("startTablet was refused: %s" % reply, reply)

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


class AppsConnection(_OptionalKey, Connection):
    """The apps port: named channels between dock applications. Open to every local process;
    after authorize() this client's channel name cannot be taken by an unauthorized one."""

    def __init__(self, port: int, timeout: float = DEFAULT_TIMEOUT, key: Optional[KeyFile] = None, **kw):
        super().__init__(port, APPS, timeout, key=key, **kw)
        self.channel: Optional[str] = None

    def register_channel(self, name: str) -> str:
        """Registers this client's channel (one per client; registering again replaces it) and
        returns the reply: "Success ChannelRegistered=true", or a SyntaxError saying why the
        service refused the name (held by another client; blank or control characters; too
        long). An empty name, or one outside Latin-1, is refused here (DataNotSendable)."""
        reply = self.request("registerChannel %s" % quote_word(name, "a channel name", latin1=True))
        if reply == "Success ChannelRegistered=true":
            self.channel = name
        return reply

    def send_to_channel(self, target: str, data: str, tag: str = "t") -> bool:
        """Forwards data to the channel target; True when the service forwarded it
        ("DataSentToChannel=TAG"), False for "DataSentToChannelError=TAG" (this client has
        no channel, the target is unknown, or the target is not reading). Raises
        CommandFailed for a SyntaxError or Failure reply, DataNotSendable for data that
        would not arrive as given (carry such data encoded, e.g. base64: one word)."""
        reply = self.request("sendDataToChannel %s %s %s" % (
            quote_word(target, "a channel name", latin1=True), quote_word(data, "data", latin1=True, empty=True),
            quote_word(tag, "a tag")))
        echoed = as_sent_back(tag)  # the reply narrows the tag as it narrows everything
        if reply == "Success DataSentToChannel=" + echoed:
            return True
        if reply == "Success DataSentToChannelError=" + echoed:
            return False
        raise CommandFailed("sendDataToChannel was not handled: %s" % reply, reply)

    def received(self, timeout: Optional[float] = None) -> Iterator[Message]:
        """Channel messages as they arrive (broadcasts and forwarded data); ends when none
        comes within timeout or the connection closes. A message still arriving when the
        time runs out raises IncompleteMessage (call received() again to go on reading it)."""
        while True:
            try:
                yield self.next_unsolicited(timeout)
            except IncompleteMessage:
                raise
            except (NoReply, ConnectionClosed):
                return


def first_word(text: str) -> str:
    """The command word of a message as the service's splitter makes it (quotes group and vanish)."""
    word, quote = [], None
    for ch in text:
        if quote is not None:
            if ch == quote:
                quote = None
            else:
                word.append(ch)
        elif ch == " ":
            break
        elif ch in "\"'":
            quote = ch
        else:
            word.append(ch)
    return "".join(word)


def as_sent_back(text: str) -> str:
    """text as the service's replies give it back: every UTF-16 code unit above U+00FF
    becomes '?' (a character beyond U+FFFF is two of them)."""
    return "".join(ch if ord(ch) <= 0xFF else "??" if ord(ch) > 0xFFFF else "?" for ch in text)


def _check_message(text: str) -> None:
    for ch, why in (("|", "'|' ends a message"), ("\r", "the service removes CR"),
                    ("\n", "the service removes LF"), ("\0", "a NUL byte spoils the message")):
        if ch in text:
            raise DataNotSendable("cannot send %r: %s" % (_short(text), why))
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise DataNotSendable("cannot send %r: it is not valid Unicode text" % _short(text)) from None


def quote_word(word: str, what: str = "a word", latin1: bool = False, empty: bool = False) -> str:
    """word as one word of a message, quoted when it holds a blank or a quote, so that the
    service's splitter gives it back as it is. Raises DataNotSendable with the reason when
    it cannot arrive as given: '|', CR, LF or NUL; both quote kinds; empty where the
    splitter would drop it (empty=False); with latin1, a character outside Latin-1, which
    the service's replies and forwards turn into '?'."""
    _check_message(word)
    if not word and not empty:
        raise DataNotSendable("%s cannot be empty" % what)
    if '"' in word and "'" in word:
        raise DataNotSendable("%s cannot hold both quote kinds (\" and '): %r" % (what, _short(word)))
    if latin1 and any(ord(ch) > 0xFF for ch in word):
        raise DataNotSendable("%s outside Latin-1 would come back as '?': %r (carry such text encoded, "
                              "e.g. base64 in one word)" % (what, _short(word)))
    if word and " " not in word and '"' not in word and "'" not in word:
        return word
    return "'%s'" % word if '"' in word else '"%s"' % word


def _short(text: str) -> str:
    return text if len(text) <= 60 else text[:57] + "..."


def _not_listening(port: int, key: Optional[KeyFile]) -> str:
    if key is None:
        return "nothing listens on port %d: is the service running?" % port
    return ("nothing listens on port %d, which the key file %s (written %s) names: the service is not running "
            "and the file is left from an earlier start (the service rewrites it at every start)"
            % (port, key.path or "given", key.written()))


def _refused(port: int, key: Optional[KeyFile], sent: str) -> str:
    from_file = key is not None and bool(key.path) and sent == key.auth_key
    if from_file:
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
            "(only one at a time: that client has to close its connection first; the pressure and apps ports "
            "need no key), or %s is not this service's key%s"
            % (port, source, " (a stale file, or one from another Wine prefix)" if from_file else ""))


def _refused_optional(conn: Connection, sent: str, reply: str) -> str:
    if not reply.startswith("Failure"):
        return "the %s port on %d takes no key (it answered %r)" % (conn.kind, conn.port, reply)
    key = conn.key
    if key is not None and key.path and sent == key.auth_key:
        source = "the key from %s (written %s)" % (key.path, key.written())
    else:
        source = "the key given"
    return ("the %s port on %d refused %s: it is not this service's key (%s); the connection still works "
            "without it" % (conn.kind, conn.port, source, reply))


def connect(key: KeyFile, kind: str = COMMAND, timeout: float = DEFAULT_TIMEOUT, authorize: Optional[bool] = None):
    """A connection to one of the service's ports named in the key file. The command port is
    authorized (the "authOk" reply and the attached-tablet report read) unless authorize is
    False; the pressure and apps ports, where the key is optional, only when authorize is True."""
    if kind == COMMAND:
        conn = CommandConnection(key.command_port, timeout, key=key)
    elif kind == PRESSURE:
        conn = PressureConnection(key.pressure_port, timeout, key=key)
    elif kind == APPS:
        conn = AppsConnection(key.apps_port, timeout, key=key)
    else:
        raise ValueError("unknown port kind %r (command, pressure or apps)" % kind)
    if authorize or (authorize is None and kind == COMMAND):
        try:
            reply = conn.authorize(key.auth_key)
        except BaseException:
            conn.close()
            raise
        if reply != "authOk":
            conn.close()
            raise AuthorizationRefused("the command port answered %r to the key instead of authOk" % reply)
    return conn
