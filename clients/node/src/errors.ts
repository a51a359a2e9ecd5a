// Errors of the client library. Each message says what to check.

/** Base of every error this library raises. */
export class MarlinError extends Error {
  constructor(message: string) {
    super(message);
    this.name = new.target.name;
  }
}

/** The key file is missing, unreadable or incomplete. */
export class KeyFileError extends MarlinError {}

/** Nothing listens on the port the key file names. */
export class ServiceNotRunning extends MarlinError {}

/** The service did not accept the key: the command port closed the connection instead of
 * answering "authOk", or the pressure or apps port answered a failure. */
export class AuthorizationRefused extends MarlinError {}

/** The service closed the connection (or it was closed here). */
export class ConnectionClosed extends MarlinError {}

/** No reply (or no message) arrived within the time allowed, or the wait was aborted. */
export class NoReply extends MarlinError {}

/** A message was still arriving when the time ran out; its bytes stay with the connection. */
export class IncompleteMessage extends NoReply {}

/** The service answered a failure or syntax error where the call needs success; `reply` holds
 * the whole reply and `detail` its text between the first word and " - " (the service's reason). */
export class CommandFailed extends MarlinError {
  readonly reply: string;
  readonly detail: string;
  constructor(message: string, reply: string) {
    super(message);
    this.reply = reply;
    this.detail = failureDetail(reply);
  }
}

/** The text would not arrive as given (the message says why); nothing was sent. */
export class DataNotSendable extends MarlinError {}

/** "Failure Unable to find window! - Success" -> "Unable to find window!". */
export function failureDetail(reply: string): string {
  const blank = reply.indexOf(" ");
  if (blank < 0) return "";
  const rest = reply.slice(blank + 1);
  const dash = rest.lastIndexOf(" - ");
  return dash < 0 ? rest : rest.slice(0, dash);
}
