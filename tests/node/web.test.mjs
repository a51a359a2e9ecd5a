// ./marlin web end to end: tools/demo starts the service with the stand-in driver and test dock
// and the bridge (tools/web/server.mjs); the bridge refuses cross-site and DNS-rebinding
// WebSockets, and headless Chromium, driven over its DevTools protocol, draws the replayed
// stroke and shows the reply to a typed command. The screenshot goes to build/web-console.png.

import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import { mkdtemp, rm, writeFile } from "node:fs/promises";
import { request } from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import { after, before, test } from "node:test";
import { WebSocket } from "../../tools/web/ws.mjs";
import { CLIENT, ROOT, withTimeout } from "./harness.mjs";

const mc = await import(CLIENT);
const BUILD = process.env.MARLIN_BUILD_DIR ?? join(ROOT, "build");
const SCREENSHOT = join(BUILD, "web-console.png");
let work, demo, page, key;

before(async () => {
  work = await mkdtemp(join(tmpdir(), "marlin-web-"));
  // A process group of its own: the demo passes a stop on to its whole group.
  demo = spawn("/usr/bin/python3", [join(ROOT, "tools", "demo"), "web", "--prefix", join(work, "prefix")],
    { detached: true, stdio: ["ignore", "pipe", "inherit"] });
  const lines = createInterface({ input: demo.stdout });
  page = await withTimeout(new Promise((resolve, reject) => {
    lines.on("line", (line) => {
      const found = /^web console: (\S+)$/.exec(line);
      if (found) resolve(new URL(found[1]));
    });
    demo.once("exit", (code) => reject(new Error(`./marlin web ended (${code}) before printing its address`)));
  }), 120_000, "the console's address");
  key = await mc.readKeyFile(mc.findKeyFile({ prefix: join(work, "prefix") }));
});

after(async () => {
  if (demo && demo.exitCode === null) {
    const exited = once(demo, "exit");
    process.kill(demo.pid, "SIGTERM");
    await withTimeout(exited, 60_000, "./marlin web stopping").catch(() => process.kill(-demo.pid, "SIGKILL"));
  }
  if (work) await rm(work, { recursive: true, force: true });
});

const token = () => new URLSearchParams(page.hash.slice(1)).get("token");

/** The bridge's answer to an upgrade: "open" (with the messages of the first second) or the HTTP status. */
function upgrade({ host = page.host, origin = page.origin, tokenValue = token() } = {}) {
  return new Promise((resolve) => {
    const ws = new WebSocket(`ws://${page.host}/ws?token=${encodeURIComponent(tokenValue)}`,
      { headers: { Host: host }, origin });
    const received = [];
    ws.on("message", (data) => received.push(String(data)));
    ws.on("open", () => setTimeout(() => { ws.close(); resolve({ status: "open", received }); }, 1000));
    ws.on("unexpected-response", (_, res) => { resolve({ status: res.statusCode }); ws.terminate(); });
    ws.on("error", (e) => resolve({ status: `error ${e.message}` }));
  });
}

function get(path, host) {
  return new Promise((resolve, reject) => {
    request({ host: "127.0.0.1", port: page.port, path, headers: { Host: host } }, (res) => {
      let body = "";
      res.on("data", (d) => { body += d; });
      res.on("end", () => resolve({ status: res.statusCode, body }));
    }).on("error", reject).end();
  });
}

test("another web site open in the browser cannot use the console's WebSocket", async () => {
  assert.equal((await upgrade({ origin: "http://evil.example" })).status, 403); // the token alone is not enough
  assert.equal((await upgrade({ tokenValue: "" })).status, 403);
  assert.equal((await upgrade({ tokenValue: token().slice(1) + "A" })).status, 403);
  const own = await upgrade();
  assert.equal(own.status, "open");
  assert.equal(JSON.parse(own.received[0]).version, "Success CoreVersion=2.06.0");
  const html = await get("/", page.host);
  assert.equal(html.status, 200);
  for (const text of [...own.received, html.body]) assert.ok(!text.includes(key.authKey), "the service's key went out");
});

test("a DNS-rebinding name for 127.0.0.1 gets neither the page nor the WebSocket", async () => {
  const rebound = `rebind.example:${page.port}`; // what a page of that name sends, Origin and Host alike
  assert.equal((await get("/", rebound)).status, 421);
  assert.equal((await upgrade({ host: rebound, origin: `http://${rebound}` })).status, 403);
  assert.equal((await upgrade({ host: `localhost:${page.port}`, origin: `http://localhost:${page.port}` })).status,
    "open");
});

// -- headless Chromium over the DevTools protocol

class DevTools {
  constructor(ws) {
    this.ws = ws;
    this.id = 0;
    this.pending = new Map();
    ws.on("message", (data) => {
      const message = JSON.parse(String(data));
      const waiting = this.pending.get(message.id);
      if (!waiting) return;
      this.pending.delete(message.id);
      if (message.error) waiting.reject(new Error(`${waiting.method}: ${message.error.message}`));
      else waiting.resolve(message.result);
    });
  }

  send(method, params = {}) {
    const id = ++this.id;
    this.ws.send(JSON.stringify({ id, method, params }));
    return withTimeout(new Promise((resolve, reject) => this.pending.set(id, { resolve, reject, method })),
      30_000, method);
  }

  async evaluate(expression) {
    const { result, exceptionDetails } = await this.send("Runtime.evaluate",
      { expression, returnByValue: true, awaitPromise: true });
    if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.text}`);
    return result.value;
  }

  async until(expression, what, timeout = 20_000) {
    const deadline = Date.now() + timeout;
    for (;;) {
      const value = await this.evaluate(expression).catch((e) => { this.last = e; }); // the page may still load
      if (value) return value;
      if (Date.now() > deadline) throw new Error(`the page never showed ${what} (${this.last?.message ?? "no error"})`);
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  }

  async click(selector) {
    const { x, y } = await this.evaluate(`(() => { const r = document.querySelector(${JSON.stringify(selector)})
      .getBoundingClientRect(); return { x: r.x + r.width / 2, y: r.y + r.height / 2 }; })()`);
    for (const type of ["mousePressed", "mouseReleased"]) {
      await this.send("Input.dispatchMouseEvent", { type, x, y, button: "left", clickCount: 1 });
    }
  }
}

async function chromium(url, profile) {
  const browser = spawn("/usr/bin/chromium", ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
    "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
    `--user-data-dir=${profile}`, "--remote-debugging-port=0", "--window-size=1200,760", "--hide-scrollbars", url],
  { stdio: ["ignore", "ignore", "pipe"] });
  const endpoint = await withTimeout(new Promise((resolve, reject) => {
    let text = "";
    browser.stderr.on("data", (d) => {
      text += d;
      const found = /DevTools listening on ws:\/\/([^/\s]+)\//.exec(text);
      if (found) resolve(found[1]);
    });
    browser.once("exit", (code) => reject(new Error(`chromium ended (${code}): ${text}`)));
  }), 60_000, "chromium's DevTools endpoint");
  const targets = await (await fetch(`http://${endpoint}/json/list`)).json();
  const target = targets.find((t) => t.type === "page");
  const ws = new WebSocket(target.webSocketDebuggerUrl, { perMessageDeflate: false });
  await once(ws, "open");
  return { browser, tools: new DevTools(ws) };
}

test("Chromium draws the replayed stroke and shows the reply to a typed command", async () => {
  const profile = join(work, "chromium-profile");
  const { browser, tools } = await chromium(page.href, profile);
  try {
    await tools.until(`document.getElementById("link").textContent === "online" &&
      document.getElementById("version").textContent`, "the service's version");
    assert.equal(await tools.evaluate(`document.getElementById("version").textContent`), "Success CoreVersion=2.06.0");

    // Ink along the stroke's path, where there was none before.
    const inkAt = `(points) => { const c = document.getElementById("canvas").getContext("2d");
      return points.map(([x, y]) => c.getImageData(x - 1, y - 1, 3, 3).data.some((v, i) => i % 4 === 3 && v > 0)); }`;
    await tools.click("#replay");
    await tools.until(`window.marlinConsole.received.some((e) => e.type === "proximity" && !e.near)`,
      "the end of the stroke");
    const path = await tools.evaluate(`window.marlinConsole.received.filter((e) => e.type === "position")
      .map((e) => [e.x, e.y])`);
    assert.ok(path.length >= 60, `only ${path.length} positions came`);
    const xs = path.map(([x]) => x);
    assert.ok(Math.min(...xs) < 200 && Math.max(...xs) > 1000, `the stroke spans ${Math.min(...xs)}..${Math.max(...xs)}`);
    const samples = path.filter((_, i) => i % 5 === 0);
    const inked = await tools.evaluate(`(${inkAt})(${JSON.stringify(samples)})`);
    assert.ok(inked.every(Boolean), `no ink at ${samples.filter((_, i) => !inked[i]).join(" ")}`);
    assert.deepEqual(await tools.evaluate(`(${inkAt})([[640, 60], [60, 960], [1220, 960]])`), [false, false, false]);

    // A command typed into the box, and its reply.
    await tools.evaluate(`document.getElementById("text").focus()`);
    await tools.send("Input.insertText", { text: "getCoreVersion" });
    for (const type of ["keyDown", "keyUp"]) {
      await tools.send("Input.dispatchKeyEvent", { type, key: "Enter", code: "Enter", windowsVirtualKeyCode: 13,
        ...(type === "keyDown" ? { text: "\r" } : {}) });
    }
    await tools.until(`[...document.querySelectorAll("#replies li")].map((li) => li.textContent)
      .join("\\n").includes("> getCoreVersion\\nSuccess CoreVersion=2.06.0")`, "the typed command's reply");

    const { data } = await tools.send("Page.captureScreenshot", { format: "png" });
    await writeFile(SCREENSHOT, Buffer.from(data, "base64"));
    console.log(`screenshot: ${SCREENSHOT}`);
  } finally {
    const exited = once(browser, "exit");
    browser.kill("SIGTERM");
    await withTimeout(exited, 15_000, "chromium ending").catch(() => browser.kill("SIGKILL"));
  }
});
