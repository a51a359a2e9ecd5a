// Connections to the service's three loopback ports.
//
// The wire: every message and reply ends with '|'; the client sends UTF-8, the service replies
// in Latin-1. Replies come in the order of the commands, but other messages arrive among them
// whenever the service has them to send:
//
//   command port   "CurrentAttachedDevices=..." after "authOk" and when a tablet is plugged in or out
//   apps port      "BroadcastRegisteredChannel=NAME", "BroadcastUnRegisteredChannel=NAME",
//                  "ForwardDataToChannel SENDER DATA"
//   pressure port  PenData words ('|'-framed) and pen tokens (space-terminated)
//
// A Connection tells these apart: request() resolves with the reply to its own command (requests
// may be pipelined: replies are matched to them in order), and everything else is emitted as an
// "unsolicited" event and kept for the async iterators.
//
// Reading takes time in proportion to what arrives: each chunk is searched once when it arrives,
// and the chunks of a long message are joined once, when its '|' has come.

import { EventEmitter } from "node:events";
import { connect as netConnect, type Socket } from "node:net";
import {
  AuthorizationRefused, CommandFailed, ConnectionClosed, IncompleteMessage, NoReply, ServiceNotRunning,
} from "./errors.js";
import { type KeyFile, readKeyFile, writtenAt } from "./keyfile.js";
import { MAX_PEN_TOKEN, PEN_TOKEN, type PenEvent, parsePenToken, parsePenWord } from "./pen.js";
import { asSentBack, checkMessage, firstWord, quoteWord } from "./words.js";

export type PortKind = "command" | "pressure" | "apps";

/** One thing the service sent: kind "frame" ('|'-framed) or "token" (space-terminated, pressure port). */
export interface Message {
  kind: "frame" | "token";
  text: string;
}

const UNSOLICITED_PREFIXES: Record<PortKind, string[]> = {
  command: ["CurrentAttachedDevices="],
  apps: ["BroadcastRegisteredChannel=", "BroadcastUnRegisteredChannel=", "ForwardDataToChannel "],
  pressure: ["PenData."],
};
// Commands the service answers with no reply at all (the prefix test the service makes).
const NO_REPLY_COMMANDS: Record<PortKind, string[]> = { command: ["update"], pressure: ["stopTablet"], apps: [] };
const DEVICE_REPORT = "CurrentAttachedDevices=";
const BAR = 0x7c, BLANK = 0x20;

export const DEFAULT_TIMEOUT = 10_000;
/** Unsolicited messages kept for the iterators when nobody reads them (the newest). */
export const MAX_UNSOLICITED = 10_000;
const MAX_LATE_REPLIES = 1000;
/** The longest message taken from the service: its longest forward (16 MiB of data) with room to spare. */
export const DEFAULT_MAX_MESSAGE = 64 << 20;

export interface ConnectOptions {
  /** Milliseconds to wait for the connection and, by default, for every reply (10 s). */
  timeout?: number;
  /** Aborts connecting (and authorizing). */
  signal?: AbortSignal;
  /** Sends the key: always on the command port unless false; on the pressure and apps ports only when true. */
  authorize?: boolean;
  host?: string;
  /** The longest message accepted from the service (bytes); longer input closes the connection. */
  maxMessage?: number;
}

export interface WaitOptions {
  /** Milliseconds (default: the connection's timeout); Infinity waits as long as the connection lives. */
  timeout?: number;
  signal?: AbortSignal;
}

interface Pending {
  text: string;
  resolve(reply: string): void;
  reject(error: unknown): void;
  gaveUp: boolean;
  cleanup(): void;
}

interface Waiter {
  resolve(message: Message): void;
  reject(error: unknown): void;
}

/** Runs fn when the wait ends by time or by signal; returns the function that ends the watch. */
function watch(options: WaitOptions, fallback: number, onTimeout: () => void, onAbort: (reason: unknown) => void):
  () => void {
  const timeout = options.timeout ?? fallback;
  const timer = Number.isFinite(timeout) ? setTimeout(onTimeout, Math.max(0, timeout)) : undefined;
  const signal = options.signal;
  const abort = () => onAbort(signal!.reason);
  if (signal) {
    if (signal.aborted) queueMicrotask(abort);
    else signal.addEventListener("abort", abort, { once: true });
  }
  return () => {
    if (timer) clearTimeout(timer);
    signal?.removeEventListener("abort", abort);
  };
}

function seconds(ms: number): string {
  return `${(ms / 1000).toFixed(1)} s`;
}

/** A client of one port. Events: "unsolicited" (Message), "close". */
export class Connection extends EventEmitter {
  readonly port: number;
  readonly kind: PortKind;
  /** Default wait for replies and messages, in milliseconds. */
  timeout: number;
  readonly key?: KeyFile;
  closed = false;
  /** Replies that came after their request gave up (NoReply, aborted): never taken for a later request's. */
  readonly lateReplies: string[] = [];
  /** Unsolicited messages not yet taken by an iterator (the newest MAX_UNSOLICITED). */
  readonly unsolicited: Message[] = [];

  protected deviceReportsSeen = 0;
  private readonly socket: Socket;
  private readonly tokens: boolean;
  private readonly maxMessage: number;
  private chunks: Buffer[] = [];
  private length = 0; // bytes of the message still arriving
  private mayBeToken = true; // false once the current message's first blank (or length) ended no pen token
  private readonly pending: Pending[] = [];
  private readonly waiters: Waiter[] = [];
  private closeReason = "";

  /** Use connect(); this wraps a socket that is already connected. */
  constructor(socket: Socket, port: number, kind: PortKind, timeout: number, key?: KeyFile,
    maxMessage = DEFAULT_MAX_MESSAGE) {
    super();
    this.socket = socket;
    this.port = port;
    this.kind = kind;
    this.timeout = timeout;
    this.key = key;
    this.tokens = kind === "pressure";
    this.maxMessage = maxMessage;
    socket.setNoDelay(true);
    socket.on("data", (chunk: Buffer) => this.onData(chunk));
    socket.on("error", (e: Error) => this.ended(`the connection to port ${port} failed (${e.message})`));
    socket.on("close", () => this.ended(`the service closed the connection on port ${port}`));
  }

  // -- sending

  /** Sends one message ('|' is added). Text that would not arrive as given ('|', CR, LF, NUL) is
   * refused with DataNotSendable and nothing is sent. */
  send(text: string): void {
    checkMessage(text);
    this.sendRaw(Buffer.from(text + "|", "utf8"));
  }

  /** Sends bytes as they are. Returns false when they wait in memory (see drained()). */
  sendRaw(data: Uint8Array): boolean {
    if (this.closed) throw new ConnectionClosed(this.closeReason);
    return this.socket.write(data);
  }

  /** Resolves once everything sent has gone to the system. */
  drained(): Promise<void> {
    if (this.closed || this.socket.writableLength === 0) return Promise.resolve();
    return new Promise((resolve) => {
      const done = () => { this.socket.off("drain", done); this.off("close", done); resolve(); };
      this.socket.once("drain", done);
      this.once("close", done);
    });
  }

  /** False for the commands the service answers with no reply (stopTablet, update). */
  expectsReply(text: string): boolean {
    const word = firstWord(text);
    return !NO_REPLY_COMMANDS[this.kind].some((prefix) => word.startsWith(prefix));
  }

  /** Sends text and resolves with the reply to it, whatever else arrives on the way; requests may
   * be pipelined. A command the service never answers resolves undefined once sent. Rejects with
   * DataNotSendable (nothing sent), NoReply after the timeout (a reply that comes later goes to
   * lateReplies), the signal's reason when aborted, ConnectionClosed when the connection ends. */
  async request(text: string, options: WaitOptions = {}): Promise<string | undefined> {
    checkMessage(text);
    if (this.closed) throw new ConnectionClosed(this.closeReason);
    if (!this.expectsReply(text)) {
      this.send(text);
      return undefined;
    }
    options.signal?.throwIfAborted();
    return new Promise<string>((resolve, reject) => {
      const entry: Pending = { text, resolve, reject, gaveUp: false, cleanup: () => {} };
      const giveUp = (error: unknown) => {
        if (entry.gaveUp) return;
        entry.gaveUp = true; // stays in the queue: its reply is still due, and must not be taken for another
        entry.cleanup();
        reject(error);
      };
      entry.cleanup = watch(options, this.timeout,
        () => giveUp(new NoReply(`no reply to ${JSON.stringify(text.slice(0, 60))} within ` +
          `${seconds(options.timeout ?? this.timeout)} on port ${this.port}`)),
        (reason) => giveUp(reason));
      this.pending.push(entry);
      this.sendRaw(Buffer.from(text + "|", "utf8"));
    });
  }

  /** The reply to a request that must succeed: CommandFailed for "Failure ..." and "SyntaxError ...". */
  async requestSuccess(text: string, options: WaitOptions = {}): Promise<string> {
    const reply = (await this.request(text, options)) ?? "";
    if (reply.startsWith("Failure") || reply.startsWith("SyntaxError")) {
      throw new CommandFailed(`${firstWord(text)} failed: ${reply}`, reply);
    }
    return reply;
  }

  // -- unsolicited messages

  isUnsolicited(message: Message): boolean {
    return message.kind === "token" || UNSOLICITED_PREFIXES[this.kind].some((p) => message.text.startsWith(p));
  }

  /** The next unsolicited message (the oldest kept). Rejects with NoReply after the timeout
   * (IncompleteMessage when one was still arriving), ConnectionClosed at the end. */
  nextUnsolicited(options: WaitOptions = {}): Promise<Message> {
    const kept = this.unsolicited.shift();
    if (kept) return Promise.resolve(kept);
    if (this.closed) return Promise.reject(new ConnectionClosed(this.closeReason));
    options.signal?.throwIfAborted();
    return new Promise<Message>((resolve, reject) => {
      const stop = (error: unknown) => {
        const at = this.waiters.indexOf(waiter);
        if (at >= 0) this.waiters.splice(at, 1);
        cleanup();
        reject(error);
      };
      const waiter: Waiter = { resolve: (m) => { cleanup(); resolve(m); }, reject: stop };
      const cleanup = watch(options, this.timeout, () => stop(this.timedOut()), stop);
      this.waiters.push(waiter);
    });
  }

  /** Unsolicited messages as they arrive; ends when none comes within the timeout or the
   * connection closes. A message still arriving when the time runs out throws IncompleteMessage
   * (iterate again to go on reading it). */
  async *messages(options: WaitOptions = {}): AsyncGenerator<Message, void, undefined> {
    for (;;) {
      let message: Message;
      try {
        message = await this.nextUnsolicited(options);
      } catch (e) {
        if (e instanceof IncompleteMessage) throw e;
        if (e instanceof NoReply || e instanceof ConnectionClosed) return;
        throw e;
      }
      yield message;
    }
  }

  /** Stops reading: what the service sends waits (in the system, then in the service's queue for
   * this client, which holds back further input and refuses forwards past its limit). */
  pause(): void {
    this.socket.pause();
  }

  /** Reads again after pause(). */
  resume(): void {
    this.socket.resume();
  }

  /** Closes the connection; pending requests reject with ConnectionClosed. */
  close(): Promise<void> {
    if (this.socket.destroyed) {
      this.ended("the connection was closed here");
      return Promise.resolve();
    }
    return new Promise((resolve) => {
      this.socket.once("close", () => resolve());
      this.ended("the connection was closed here");
      this.socket.destroy();
    });
  }

  // -- reading

  private timedOut(): NoReply {
    if (this.length) {
      return new IncompleteMessage(`a message from the service on port ${this.port} was still arriving ` +
        `(${this.length} bytes so far); read again to go on with it`);
    }
    return new NoReply(`no data from the service on port ${this.port}`);
  }

  private text(piece: Buffer): string {
    if (!this.chunks.length) return piece.toString("latin1");
    return Buffer.concat([...this.chunks, piece], this.length + piece.length).toString("latin1");
  }

  private startNext(): void {
    this.chunks = [];
    this.length = 0;
    this.mayBeToken = true;
  }

  private keep(piece: Buffer): void {
    if (!piece.length) return;
    this.chunks.push(piece);
    this.length += piece.length;
    if (this.length > this.maxMessage) {
      this.ended(`a message on port ${this.port} grew past ${this.maxMessage} bytes without its '|'; ` +
        "the connection was closed");
      this.socket.destroy();
    }
  }

  private onData(chunk: Buffer): void {
    let start = 0;
    while (start < chunk.length && !this.closed) {
      if (this.tokens && this.mayBeToken) {
        // Only the message's first blank can end a token, and a token is short.
        const room = MAX_PEN_TOKEN + 1 - this.length;
        const limit = Math.min(chunk.length, start + Math.max(room, 0));
        let at = start;
        while (at < limit && chunk[at] !== BLANK && chunk[at] !== BAR) at++;
        if (at === chunk.length) { // undecided yet
          this.keep(chunk.subarray(start));
          return;
        }
        if (at < limit && chunk[at] === BLANK) {
          const text = this.text(chunk.subarray(start, at));
          if (PEN_TOKEN.test(text)) {
            this.startNext();
            start = at + 1;
            this.dispatch({ kind: "token", text });
            continue;
          }
        }
        this.mayBeToken = false;
      }
      const end = chunk.indexOf(BAR, start);
      if (end < 0) {
        this.keep(chunk.subarray(start));
        return;
      }
      const text = this.text(chunk.subarray(start, end));
      this.startNext();
      start = end + 1;
      this.dispatch({ kind: "frame", text });
    }
  }

  private dispatch(message: Message): void {
    if (this.isUnsolicited(message)) {
      this.deliver(message);
      return;
    }
    const entry = this.pending.shift();
    if (!entry) {
      this.deliver(message); // a reply nobody asked for
    } else if (entry.gaveUp) {
      this.lateReplies.push(message.text);
      if (this.lateReplies.length > MAX_LATE_REPLIES) this.lateReplies.shift();
    } else {
      entry.cleanup();
      entry.resolve(message.text);
    }
  }

  protected deliver(message: Message): void {
    if (this.kind === "command" && message.text.startsWith(DEVICE_REPORT)) this.deviceReportsSeen++;
    this.emit("unsolicited", message);
    const waiter = this.waiters.shift();
    if (waiter) {
      waiter.resolve(message);
      return;
    }
    this.unsolicited.push(message);
    if (this.unsolicited.length > MAX_UNSOLICITED) this.unsolicited.shift();
  }

  private ended(reason: string): void {
    if (this.closed) return;
    this.closed = true;
    this.closeReason = reason;
    const error = () => new ConnectionClosed(reason);
    for (const entry of this.pending.splice(0)) {
      if (!entry.gaveUp) {
        entry.cleanup();
        entry.reject(error());
      }
    }
    for (const waiter of this.waiters.splice(0)) waiter.reject(error());
    this.emit("close");
  }
}

/** The command port: authorize() first; only one client at a time holds the authorization. */
export class CommandConnection extends Connection {
  /** Sends "auth KEY"; resolves "authOk" once the attached-tablet report that the service sends right
   * behind it has come too (see deviceReports()). AuthorizationRefused when the service closes the
   * connection instead (a wrong key, or another client holds the authorization). */
  async authorize(key: string, options: WaitOptions = {}): Promise<string> {
    const deadline = Date.now() + (options.timeout ?? this.timeout);
    const seen = this.deviceReportsSeen;
    let reply: string | undefined;
    try {
      reply = await this.request("auth " + key, options);
    } catch (e) {
      if (e instanceof ConnectionClosed) throw new AuthorizationRefused(await refused(this.port, this.key, key));
      throw e;
    }
    if (reply === "authOk" && this.deviceReportsSeen === seen) {
      await new Promise<void>((resolve) => {
        const done = () => { clearTimeout(timer); this.off("unsolicited", check); this.off("close", done); resolve(); };
        const check = () => { if (this.deviceReportsSeen !== seen) done(); };
        const timer = setTimeout(done, Math.max(0, deadline - Date.now())); // it comes later, as any report does
        this.on("unsolicited", check);
        this.on("close", done);
      });
    }
    return reply ?? "";
  }

  /** Takes the attached-tablet reports ("CurrentAttachedDevices=...") received so far. */
  deviceReports(): string[] {
    const reports: string[] = [];
    const rest = this.unsolicited.filter((m) => {
      if (!m.text.startsWith(DEVICE_REPORT)) return true;
      reports.push(m.text);
      return false;
    });
    this.unsolicited.splice(0, this.unsolicited.length, ...rest);
    return reports;
  }
}

// The pressure and apps ports take the command port's key optionally: an authorized pressure
// client's pen stream cannot be taken by one without it, and an authorized widget's channel
// name cannot be taken by one without it.
async function authorizeOptional(conn: Connection, key: string, options: WaitOptions): Promise<string> {
  const reply = (await conn.request("auth " + key, options)) ?? "";
  if (reply !== "authOk") throw new AuthorizationRefused(refusedOptional(conn, key, reply));
  return reply;
}

/** The pressure port: tablet commands and pen events. Open to every local process; authorize()
 * with the key keeps the pen stream from being taken by others. */
export class PressureConnection extends Connection {
  authorized = false;
  /** Messages met by events() that are no pen events (replies nobody asked for). */
  readonly otherMessages: Message[] = [];

  /** Sends "auth KEY"; resolves "authOk". AuthorizationRefused when the port answers anything else
   * (the connection stays usable without the key). */
  async authorize(key: string, options: WaitOptions = {}): Promise<string> {
    const reply = await authorizeOptional(this, key, options);
    this.authorized = true;
    return reply;
  }

  /** Hooks the dock window with this title (an AIR content window, class "ApolloRuntimeContentWindow"). */
  async listenTablet(windowTitle: string, options?: WaitOptions): Promise<string> {
    return (await this.request(`listenTablet ${quoteWord(windowTitle, { what: "a window title", empty: true })} unused`,
      options)) ?? "";
  }

  async stopListenTablet(windowTitle: string, options?: WaitOptions): Promise<string> {
    return (await this.request(
      `stopListenTablet ${quoteWord(windowTitle, { what: "a window title", empty: true })} unused`, options)) ?? "";
  }

  /** Makes this client the one that receives pressure values and positions (the reply is an empty
   * frame). CommandFailed with the service's reply when it refuses (an authorized client holds the stream). */
  async startStream(options?: WaitOptions): Promise<void> {
    const reply = (await this.request("startTablet", options)) ?? "";
    if (reply !== "") throw new CommandFailed(`startTablet was refused: ${reply}`, reply);
  }

  /** Stops the stream (the service sends no reply to this). */
  stopStream(): void {
    this.send("stopTablet");
  }

  async driverVersion(options?: WaitOptions): Promise<string> {
    return (await this.request("getDriverVersion", options)) ?? "";
  }

  /** Pen events as they arrive; ends when none comes within the timeout (Infinity: never) or the
   * connection closes. */
  async *events(options: WaitOptions = {}): AsyncGenerator<PenEvent, void, undefined> {
    for await (const message of this.messages(options)) {
      const event = message.kind === "token" ? parsePenToken(message.text) : parsePenWord(message.text);
      if (event) yield event;
      else {
        this.otherMessages.push(message);
        if (this.otherMessages.length > MAX_LATE_REPLIES) this.otherMessages.shift();
      }
    }
  }
}

/** The apps port: named channels between dock applications. Open to every local process; after
 * authorize() this client's channel name cannot be taken by an unauthorized one. */
export class AppsConnection extends Connection {
  authorized = false;
  channel?: string;

  async authorize(key: string, options: WaitOptions = {}): Promise<string> {
    const reply = await authorizeOptional(this, key, options);
    this.authorized = true;
    return reply;
  }

  /** Registers this client's channel (one per client; registering again replaces it) and resolves
   * with the reply: "Success ChannelRegistered=true", or a SyntaxError saying why the service
   * refused the name. An empty name, or one outside Latin-1, is refused here (DataNotSendable). */
  async registerChannel(name: string, options?: WaitOptions): Promise<string> {
    const reply = (await this.request(`registerChannel ${quoteWord(name, { what: "a channel name", latin1: true })}`,
      options)) ?? "";
    if (reply === "Success ChannelRegistered=true") this.channel = name;
    return reply;
  }

  /** Forwards data to the channel target; true when the service forwarded it, false for
   * "DataSentToChannelError=TAG" (no channel here, an unknown target, or a target that is not
   * reading). CommandFailed for a SyntaxError or Failure reply, DataNotSendable for data that
   * would not arrive as given (carry such data encoded, e.g. base64: one word). */
  async sendToChannel(target: string, data: string, tag = "t", options?: WaitOptions): Promise<boolean> {
    const text = `sendDataToChannel ${quoteWord(target, { what: "a channel name", latin1: true })} ` +
      `${quoteWord(data, { what: "data", latin1: true, empty: true })} ${quoteWord(tag, { what: "a tag" })}`;
    const reply = (await this.request(text, options)) ?? "";
    const echoed = asSentBack(tag); // the reply narrows the tag as it narrows everything
    if (reply === "Success DataSentToChannel=" + echoed) return true;
    if (reply === "Success DataSentToChannelError=" + echoed) return false;
    throw new CommandFailed(`sendDataToChannel was not handled: ${reply}`, reply);
  }

  /** Channel messages as they arrive (broadcasts and forwarded data); see messages(). */
  received(options: WaitOptions = {}): AsyncGenerator<Message, void, undefined> {
    return this.messages(options);
  }
}

function notListening(port: number, key?: KeyFile): string {
  if (!key) return `nothing listens on port ${port}: is the service running?`;
  return `nothing listens on port ${port}, which the key file ${key.path || "given"} (written ${writtenAt(key)}) ` +
    "names: the service is not running and the file is left from an earlier start (the service rewrites it at " +
    "every start)";
}

async function refused(port: number, key: KeyFile | undefined, sent: string): Promise<string> {
  const fromFile = !!key && !!key.path && sent === key.authKey;
  let source = "the key given";
  if (fromFile) {
    try {
      const now = await readKeyFile(key!.path);
      if (now.authKey !== key!.authKey) {
        return `authorization refused: the key file ${key!.path} was rewritten at ${writtenAt(now)} (the service ` +
          "restarted); read it again";
      }
    } catch {
      // reported as below
    }
    source = `the key from ${key!.path} (written ${writtenAt(key!)})`;
  }
  return `authorization refused on command port ${port}. Either another client holds the command port (only one ` +
    "at a time: that client has to close its connection first; the pressure and apps ports need no key), or " +
    `${source} is not this service's key${fromFile ? " (a stale file, or one from another Wine prefix)" : ""}`;
}

function refusedOptional(conn: Connection, sent: string, reply: string): string {
  if (!reply.startsWith("Failure")) return `the ${conn.kind} port on ${conn.port} takes no key (it answered ${JSON.stringify(reply)})`;
  const key = conn.key;
  const source = key && key.path && sent === key.authKey ? `the key from ${key.path} (written ${writtenAt(key)})`
    : "the key given";
  return `the ${conn.kind} port on ${conn.port} refused ${source}: it is not this service's key (${reply}); the ` +
    "connection still works without it";
}

function openSocket(host: string, port: number, options: ConnectOptions, timeout: number, key?: KeyFile):
  Promise<Socket> {
  options.signal?.throwIfAborted();
  return new Promise((resolve, reject) => {
    const socket = netConnect({ host, port });
    const fail = (error: unknown) => {
      stop();
      socket.destroy();
      reject(error);
    };
    const stop = watch({ timeout, signal: options.signal }, timeout,
      () => fail(new ServiceNotRunning(`port ${port} did not accept within ${seconds(timeout)}: is the service busy ` +
        "or stopped?")),
      (reason) => fail(reason));
    socket.once("connect", () => {
      stop();
      socket.removeAllListeners("error");
      resolve(socket);
    });
    socket.once("error", (e: NodeJS.ErrnoException) => {
      fail(e.code === "ECONNREFUSED" ? new ServiceNotRunning(notListening(port, key))
        : new ServiceNotRunning(`cannot connect to port ${port}: ${e.message}`));
    });
  });
}

/** A connection to one of the service's ports named in the key file. The command port is
 * authorized (the "authOk" reply and the attached-tablet report read) unless authorize is false;
 * the pressure and apps ports, where the key is optional, only when authorize is true. */
export function connect(key: KeyFile, kind?: "command", options?: ConnectOptions): Promise<CommandConnection>;
export function connect(key: KeyFile, kind: "pressure", options?: ConnectOptions): Promise<PressureConnection>;
export function connect(key: KeyFile, kind: "apps", options?: ConnectOptions): Promise<AppsConnection>;
export function connect(key: KeyFile, kind?: PortKind, options?: ConnectOptions): Promise<Connection>;
export async function connect(key: KeyFile, kind: PortKind = "command", options: ConnectOptions = {}):
  Promise<Connection> {
  const timeout = options.timeout ?? DEFAULT_TIMEOUT;
  const host = options.host ?? "127.0.0.1";
  const port = { command: key.commandPort, pressure: key.pressurePort, apps: key.appsPort }[kind];
  if (port === undefined) throw new TypeError(`unknown port kind ${JSON.stringify(kind)} (command, pressure or apps)`);
  const socket = await openSocket(host, port, options, timeout, key);
  const made = { command: CommandConnection, pressure: PressureConnection, apps: AppsConnection }[kind];
  const conn = new made(socket, port, kind, timeout, key, options.maxMessage);
  if (options.authorize || (options.authorize === undefined && kind === "command")) {
    try {
      const reply = await conn.authorize(key.authKey, { timeout, signal: options.signal });
      if (reply !== "authOk") {
        throw new AuthorizationRefused(`the command port answered ${JSON.stringify(reply)} to the key instead of authOk`);
      }
    } catch (e) {
      await conn.close();
      throw e;
    }
  }
  return conn;
}
