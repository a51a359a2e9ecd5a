"""Client library for MarlinCore's loopback protocol (Python standard library only).

    from marlin_client import find_key_file, read_key_file, connect

    key = read_key_file(find_key_file(prefix="build/demo-prefix"))
    with connect(key) as command:                  # authorized: "authOk" and the tablet report read
        print(command.request("getCoreVersion"))   # Success CoreVersion=2.06.0
        print(command.device_reports())            # ['CurrentAttachedDevices=']
    with connect(key, "pressure", authorize=True) as pen:  # the key keeps others off the stream
        pen.listen_tablet("Marlin Dock")
        pen.start_stream()
        for event in pen.events(timeout=5):        # Proximity, Cursor, Pressure, Position, Button
            print(event)

request() always returns the reply to its own command: device reports, channel
broadcasts, forwarded data and pen events that arrive in between go to the
connection's unsolicited queue, or to on_unsolicited when it is set. A command
the service never answers (stopTablet, update) is only sent: request() returns None.
Text that would not arrive as given is refused before anything is sent
(DataNotSendable, with the reason). The protocol itself is described in
docs/protocol.md.
"""

from .connection import (APPS, COMMAND, PRESSURE, AppsConnection, CommandConnection, Connection, Message,
                         PressureConnection, as_sent_back, connect, first_word, quote_word)
from .errors import (AuthorizationRefused, CommandFailed, ConnectionClosed, DataNotSendable, IncompleteMessage,
                     KeyFileError, MarlinError, NoReply, ServiceNotRunning)
from .keyfile import KeyFile, find_key_file, key_file_in_prefix, parse_key_file, read_key_file, wait_key_file
from .pen import Button, Cursor, PenEvent, Position, Pressure, Proximity, parse_pen_token, parse_pen_word

__all__ = [
    "APPS", "COMMAND", "PRESSURE", "AppsConnection", "CommandConnection", "Connection", "Message",
    "PressureConnection", "as_sent_back", "connect", "first_word", "quote_word", "AuthorizationRefused",
    "CommandFailed", "ConnectionClosed", "DataNotSendable", "IncompleteMessage", "KeyFileError", "MarlinError",
    "NoReply", "ServiceNotRunning", "KeyFile", "find_key_file", "key_file_in_prefix", "parse_key_file",
    "read_key_file", "wait_key_file", "Button", "Cursor", "PenEvent", "Position", "Pressure", "Proximity",
    "parse_pen_token", "parse_pen_word",
]
