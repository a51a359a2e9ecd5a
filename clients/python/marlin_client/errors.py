"""Errors of the client library. Each message says what to check."""


class MarlinError(Exception):
    """Base of every error this library raises."""


class KeyFileError(MarlinError):
    """The key file is missing, unreadable or incomplete."""


class ServiceNotRunning(MarlinError, ConnectionRefusedError):
    """Nothing listens on the port the key file names."""


class AuthorizationRefused(MarlinError):
    """The service did not accept the key: the command port closed the connection
    instead of answering "authOk", or the pressure or apps port answered a failure."""


class ConnectionClosed(MarlinError, ConnectionError):
    """The service closed the connection."""


class NoReply(MarlinError, TimeoutError):
    """No reply (or no message) arrived within the time allowed."""


class IncompleteMessage(NoReply):
    """A message was still arriving when the time ran out. Its bytes stay with the
    connection: reading again (with a longer timeout) continues where this stopped."""


class CommandFailed(MarlinError):
    """The service answered a failure or syntax error; .reply holds its whole reply."""

    def __init__(self, message: str, reply: str):
        super().__init__(message)
        self.reply = reply


class DataNotSendable(MarlinError, ValueError):
    """The text would not arrive as given (the reason says why); nothing was sent."""
