// Client library for MarlinCore's loopback protocol (no runtime dependencies).
// The protocol itself is described in docs/protocol.md of the MarlinCore repository.

export {
  AppsConnection, CommandConnection, Connection, DEFAULT_MAX_MESSAGE, DEFAULT_TIMEOUT, MAX_UNSOLICITED, PressureConnection,
  connect,
} from "./connection.js";
export type { ConnectOptions, Message, PortKind, WaitOptions } from "./connection.js";
export {
  AuthorizationRefused, CommandFailed, ConnectionClosed, DataNotSendable, IncompleteMessage, KeyFileError, MarlinError,
  NoReply, ServiceNotRunning, failureDetail,
} from "./errors.js";
export { KEY_FILE_NAME, findKeyFile, keyFileInPrefix, parseKeyFile, readKeyFile, waitKeyFile, writtenAt } from "./keyfile.js";
export type { FindOptions, KeyFile } from "./keyfile.js";
export { parsePenToken, parsePenWord } from "./pen.js";
export type { Button, Cursor, PenEvent, Position, Pressure, Proximity } from "./pen.js";
export { asSentBack, checkMessage, firstWord, quoteWord } from "./words.js";
export type { QuoteOptions } from "./words.js";
