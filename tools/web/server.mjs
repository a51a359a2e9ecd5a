#!/usr/bin/env node
// The live web console's bridge: a small web server on 127.0.0.1 that serves the page (page/)
// and relays between the browser, over a WebSocket, and the service, through the Node client
// library (command, pressure and apps ports).
//
//   node tools/web/server.mjs --key-file PATH --dock-title TITLE [--port N] [--max-buffer BYTES]
//
// Standard output carries lines for the program that started it (tools/demo): "ready URL" once
// the service is connected and the dock hooked, "replay" when a page asks for the stand-in
// stroke; it answers "replayed CODE" on standard input. Notes for people go to standard error.
//
// Who may use it: only the page it served. It listens on 127.0.0.1 only; the page's address
// carries a fresh random token (in the fragment, so it never goes out in a request line or a
// Referer), and a WebSocket upgrade is refused unless it names the token, comes from the page's
// own origin (another site open in the same browser sends its own Origin) and is addressed to
// 127.0.0.1 or localhost by Host (a DNS-rebinding name resolving here sends its own name).
// The service's key never leaves this process. What waits for one browser is bounded; a browser
// that does not read is closed.

import { randomBytes, timingSafeEqual } from "node:crypto";
import { readFileSync } from "node:fs";
import { createServer } from "node:http";
import { dirname, join } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";
import { parseArgs } from "node:util";
import { WebSocketServer } from "./ws.mjs";

const HERE = dirname(fileURLToPath(import.meta.url));
const mc = await import(join(HERE, "..", "..", "clients", "node", "dist", "index.js"));

const { values: args } = parseArgs({ options: {
  "key-file": { type: "string" }, "dock-title": { type: "string" }, port: { type: "string", default: "0" },
  "max-buffer": { type: "string", default: String(1 << 20) } } });
const MAX_BUFFER = Number(args["max-buffer"]); // bytes waiting for one browser before it is closed
const MAX_BROWSERS = 8;
const MAX_COMMANDS_WAITING = 16; // per browser
const MAX_PEN_HISTORY = 10_000; // events a page opened later gets, to draw what came before
const CHANNEL = "marlin-web-console";
const REFUSED_WORDS = ["auth", "exit", "update"]; // the bridge's own session: its key, its connection, the service

const note = (text) => process.stderr.write(`web: ${text}\n`);
if (!args["key-file"] || !args["dock-title"]) {
  note("usage: server.mjs --key-file PATH --dock-title TITLE [--port N] [--max-buffer BYTES]");
  process.exit(2);
}

const PAGE = Object.fromEntries([["/", "index.html", "text/html"], ["/console.js", "console.js", "text/javascript"],
  ["/console.css", "console.css", "text/css"]].map(([path, file, type]) =>
  [path, { body: readFileSync(join(HERE, "page", file)), type: `${type}; charset=utf-8` }]));
const token = randomBytes(24).toString("base64url");

// -- the service

const key = await mc.readKeyFile(args["key-file"]);
const command = await mc.connect(key);
const pen = await mc.connect(key, "pressure", { authorize: true });
const apps = await mc.connect(key, "apps", { authorize: true });
const state = { version: await command.request("getCoreVersion"), devices: command.deviceReports().at(-1) ?? "",
  channels: new Set(), hooked: await pen.listenTablet(args["dock-title"]), pen: [] };
await pen.startStream();
await apps.registerChannel(CHANNEL);

command.on("unsolicited", (m) => {
  if (!m.text.startsWith("CurrentAttachedDevices=")) return;
  state.devices = m.text;
  command.deviceReports(); // taken here; the library keeps no copy
  broadcast({ type: "devices", report: m.text });
});
apps.on("unsolicited", (m) => {
  const [, change, name] = /^Broadcast(Registered|UnRegistered)Channel=(.*)$/.exec(m.text) ?? [];
  apps.unsolicited.length = 0; // seen here
  if (!change) return;
  if (change === "Registered") state.channels.add(name);
  else state.channels.delete(name);
  broadcast({ type: "channels", channels: [...state.channels], change: change.toLowerCase(), name });
});
let stopping = false;
for (const conn of [command, pen, apps]) {
  conn.on("close", () => {
    if (stopping) return;
    note(`the service closed the ${conn.kind} port; stopping`);
    broadcast({ type: "service", state: "closed" });
    setTimeout(() => process.exit(1), 200);
  });
}

let batch = null; // pen events go out together, once per turn of the event loop
(async () => {
  for await (const event of pen.events({ timeout: Infinity })) {
    state.pen.push(event);
    if (state.pen.length > MAX_PEN_HISTORY) state.pen.splice(0, state.pen.length - MAX_PEN_HISTORY);
    if (!batch) {
      batch = [];
      setImmediate(() => {
        broadcast({ type: "pen", events: batch });
        batch = null;
      });
    }
    batch.push(event);
  }
})();

// -- the stroke player (tools/demo)

let replaying = false;
createInterface({ input: process.stdin }).on("line", (line) => {
  const match = /^replayed (-?\d+)$/.exec(line.trim());
  if (!match) return;
  replaying = false;
  broadcast({ type: "replay", state: "done", code: Number(match[1]) });
});

// -- browsers

const browsers = new Set();

function send(ws, message) {
  const data = JSON.stringify(message);
  if (ws.bufferedAmount + data.length > MAX_BUFFER) {
    note(`closing a browser that does not read (${ws.bufferedAmount} bytes waiting for it)`);
    ws.terminate();
    return;
  }
  ws.send(data);
}

function broadcast(message) {
  for (const ws of browsers) send(ws, message);
}

function firstWordOf(text) {
  try {
    return mc.firstWord(text);
  } catch {
    return "";
  }
}

async function onCommand(ws, id, text) {
  const word = firstWordOf(text);
  if (REFUSED_WORDS.some((w) => word.startsWith(w))) {
    send(ws, { type: "reply", id, text, error: `the console does not send ${word}: it would end or hand over its ` +
      "own session with the service" });
    return;
  }
  if (ws.waiting >= MAX_COMMANDS_WAITING) {
    send(ws, { type: "reply", id, text, error: `${MAX_COMMANDS_WAITING} commands already wait for their replies` });
    return;
  }
  ws.waiting++;
  try {
    const reply = await command.request(text, { timeout: 30_000 });
    send(ws, { type: "reply", id, text, reply: reply ?? null });
  } catch (e) {
    send(ws, { type: "reply", id, text, error: `${e.name}: ${e.message}` });
  } finally {
    ws.waiting--;
  }
}

const wss = new WebSocketServer({ noServer: true, maxPayload: 64 * 1024 });
wss.on("connection", (ws) => {
  ws.waiting = 0;
  browsers.add(ws);
  ws.on("close", () => browsers.delete(ws));
  ws.on("error", () => ws.terminate());
  send(ws, { type: "hello", version: state.version, devices: state.devices, channels: [...state.channels],
    dockTitle: args["dock-title"], hooked: state.hooked, pen: state.pen, ownChannel: CHANNEL });
  ws.on("message", (data, binary) => {
    let message;
    try {
      message = binary ? null : JSON.parse(String(data));
    } catch {
      message = null;
    }
    if (message?.type === "command" && typeof message.text === "string") {
      onCommand(ws, message.id, message.text);
    } else if (message?.type === "replay") {
      if (!replaying) {
        replaying = true;
        process.stdout.write("replay\n");
      }
      broadcast({ type: "replay", state: "started" });
    } else {
      send(ws, { type: "error", error: "unknown message" });
    }
  });
});

let port = 0;
const allowedHosts = () => [`127.0.0.1:${port}`, `localhost:${port}`];
const hostAllowed = (host) => allowedHosts().includes(host ?? "");

function tokenMatches(given) {
  const a = Buffer.from(given ?? ""), b = Buffer.from(token);
  return a.length === b.length && timingSafeEqual(a, b);
}

const server = createServer((req, res) => {
  if (!hostAllowed(req.headers.host)) {
    res.writeHead(421, { "Content-Type": "text/plain" }).end("this console answers only to 127.0.0.1 and localhost\n");
    return;
  }
  const page = req.method === "GET" ? PAGE[new URL(req.url, "http://x").pathname] : undefined;
  if (!page) {
    res.writeHead(404, { "Content-Type": "text/plain" }).end("not found\n");
    return;
  }
  res.writeHead(200, {
    "Content-Type": page.type, "Cache-Control": "no-store", "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer", "X-Frame-Options": "DENY",
    "Content-Security-Policy": `default-src 'self'; connect-src ws://${req.headers.host}; frame-ancestors 'none'`,
  }).end(page.body);
});

server.on("upgrade", (req, socket, head) => {
  const refuse = (status, why) => {
    note(`refused a WebSocket (${why}; Host ${req.headers.host}, Origin ${req.headers.origin})`);
    socket.end(`HTTP/1.1 ${status}\r\nConnection: close\r\nContent-Type: text/plain\r\n` +
      `Content-Length: ${Buffer.byteLength(why) + 1}\r\n\r\n${why}\n`);
  };
  const url = new URL(req.url, "http://x");
  if (url.pathname !== "/ws") return refuse("404 Not Found", "no such endpoint");
  if (!hostAllowed(req.headers.host)) return refuse("403 Forbidden", "not addressed to 127.0.0.1 or localhost");
  if (req.headers.origin !== `http://${req.headers.host}`) return refuse("403 Forbidden", "not from this console's page");
  if (!tokenMatches(url.searchParams.get("token"))) return refuse("403 Forbidden", "wrong or missing token");
  if (browsers.size >= MAX_BROWSERS) return refuse("503 Service Unavailable", `${MAX_BROWSERS} pages are open already`);
  wss.handleUpgrade(req, socket, head, (ws) => wss.emit("connection", ws, req));
});

server.listen(Number(args.port), "127.0.0.1", () => {
  port = server.address().port;
  if (!state.hooked.startsWith("Success")) note(`the dock "${args["dock-title"]}" was not hooked: ${state.hooked}`);
  process.stdout.write(`ready http://127.0.0.1:${port}/#token=${token}\n`);
});

for (const signal of ["SIGINT", "SIGTERM"]) {
  process.on(signal, async () => {
    if (stopping) return;
    stopping = true;
    for (const ws of browsers) ws.close(1001, "the console stops");
    server.close();
    pen.stopStream();
    await Promise.allSettled([pen.stopListenTablet(args["dock-title"], { timeout: 3000 })]);
    await Promise.allSettled([command.close(), pen.close(), apps.close()]);
    process.exit(0);
  });
}
