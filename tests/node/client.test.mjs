// The Node client library (clients/node) against the real service under Wine: the key handshake
// and its refusals, pipelined requests, commands without a reply, the pen stream from the
// stand-in driver and test dock, channels with a 16 MiB forward and back-pressure refusals, and
// bad input refused before anything is sent.

import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtemp, readFile, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { pathToFileURL } from "node:url";
import { CLIENT, ROOT, startService, withTimeout } from "./harness.mjs";

const mc = await import(CLIENT);
let service, key;

before(async () => {
  service = await startService();
  key = await mc.readKeyFile(mc.findKeyFile({ prefix: service.prefix }));
});
after(() => service?.stop());

async function events(pen, count, timeout = 10_000) {
  const got = [];
  for await (const event of pen.events({ timeout })) {
    got.push(event);
    if (got.length === count) break;
  }
  return got;
}

test("the key file leads to the service; refusals say what to check", async () => {
  assert.equal(key.path, service.keyFile);
  await assert.rejects(mc.readKeyFile(join(service.prefix, "none.key")), mc.KeyFileError);
  assert.throws(() => mc.findKeyFile({ prefix: join(service.prefix, "none") }), /no key file \(looked at .*none/);

  const dock = await mc.connect(key);
  try {
    assert.deepEqual(dock.deviceReports(), ["CurrentAttachedDevices="]); // the report that follows authOk
    await assert.rejects(mc.connect(key), (e) => e instanceof mc.AuthorizationRefused &&
      /another client holds the command port/.test(e.message) && e.message.includes(key.path));
  } finally {
    await dock.close();
  }
  const stranger = await mc.connect(key, "pressure");
  await assert.rejects(stranger.authorize("{00000000-0000-0000-0000-000000000000}"),
    (e) => e instanceof mc.AuthorizationRefused && /the key given/.test(e.message));
  assert.match(await stranger.driverVersion(), /^Success DriverVersion=/); // still usable without it
  await stranger.close();
});

test("pipelined requests each get their own reply; a command without one does not wait", async () => {
  const dock = await mc.connect(key);
  try {
    const texts = Array.from({ length: 300 }, (_, i) => ["getCoreVersion", "platform", "bogus"][i % 3]);
    const replies = await Promise.all(texts.map((t) => dock.request(t)));
    replies.forEach((reply, i) => assert.equal(reply, { getCoreVersion: "Success CoreVersion=2.06.0",
      platform: "Success WIN32", bogus: "SyntaxError Unknown command - Success" }[texts[i]]));
    await assert.rejects(dock.requestSuccess("bogus"), (e) => e instanceof mc.CommandFailed &&
      e.detail === "Unknown command" && e.reply === "SyntaxError Unknown command - Success");

    // A request that gave up leaves its reply to nobody else.
    dock.pause();
    await assert.rejects(dock.request("getCommonUserDir", { timeout: 100 }), mc.NoReply);
    dock.resume();
    await assert.rejects(dock.request("createUUID", { signal: AbortSignal.abort() }), { name: "AbortError" });
    assert.equal(await dock.request("getCoreVersion"), "Success CoreVersion=2.06.0");
    assert.deepEqual(dock.lateReplies, ["Success CommonUserDir=C:\\ProgramData\\Orvex\\"]);
  } finally {
    await dock.close();
  }
  const pen = await mc.connect(key, "pressure");
  assert.equal(await pen.request("stopTablet"), undefined);
  assert.match(await pen.request("getDriverVersion"), /^Success DriverVersion=/);
  await pen.close();
});

test("pen events from the stand-in driver arrive typed, negative pressure included", async () => {
  const pen = await mc.connect(key, "pressure", { authorize: true });
  const watcher = await mc.connect(key, "pressure");
  try {
    assert.equal((await service.call({ op: "message", message: 0x8003, wparam: 640, lparam: 512 })).code, 0);
    assert.equal(await pen.listenTablet(service.dockTitle), "Success ");
    await pen.startStream();
    await assert.rejects(watcher.startStream(), (e) => e instanceof mc.CommandFailed &&
      e.detail === "The pen stream is held by an authorized client");
    assert.equal((await service.call({ op: "wintabctl", args: ["wait-context", "10000"] })).code, 0);
    // The pen presses where the middle of the screen maps; a drag move there pairs the two points.
    await service.call({ op: "replay", script: "in\npacket 1 0 10800 6750 0\npacket 1 0 10800 6750 300\n" });
    assert.deepEqual(await events(pen, 3), [{ type: "proximity", near: true }, { type: "cursor", cursor: "tip" },
      { type: "pressure", value: 300 }]);
    await service.call({ op: "message", message: 0x200, wparam: 1, post: true }); // WM_MOUSEMOVE, MK_LBUTTON
    await service.call({ op: "replay", script: "packet 1 0 21600 0 512\npacket 1 0 21600 0 -300\n" +
      "packet 2 16 21600 0 -300\nout\n" });
    assert.deepEqual(await events(pen, 5), [{ type: "pressure", value: 512 }, { type: "position", x: 1280, y: 1024 },
      { type: "pressure", value: -300 }, { type: "cursor", cursor: "eraser" },
      { type: "proximity", near: false }]);
    await service.call({ op: "message", message: 0x201, wparam: 1, post: true }); // WM_LBUTTONDOWN
    await service.call({ op: "message", message: 0x202, post: true });
    assert.deepEqual(await events(pen, 2), [{ type: "button", down: true, x: 640, y: 512 },
      { type: "button", down: false, x: 640, y: 512 }]);
    // The other client hears the words only.
    assert.deepEqual((await events(watcher, 5, 1000)).map((e) => e.type),
      ["proximity", "cursor", "cursor", "proximity"]);
    assert.equal(await pen.stopListenTablet(service.dockTitle), "Success ");
  } finally {
    await Promise.all([pen.close(), watcher.close()]);
  }
});

test("channels: broadcasts, a 16 MiB forward, refusals while the reader does not read", async () => {
  const dock = await mc.connect(key, "apps");
  const widget = await mc.connect(key, "apps", { timeout: 60_000 });
  try {
    assert.equal(await dock.registerChannel("dock"), "Success ChannelRegistered=true");
    assert.equal(await widget.registerChannel("widget"), "Success ChannelRegistered=true");
    const [broadcast] = await take(dock.received(), 1);
    assert.equal(broadcast.text, "BroadcastRegisteredChannel=widget");

    const data = Buffer.alloc((16 << 20) - 1024, "QUJD").toString("latin1"); // one word of base64 letters
    const sent = widget.sendToChannel("dock", data, "big");
    const started = performance.now();
    const forward = await dock.nextUnsolicited({ timeout: 30_000 });
    console.log(`16 MiB forward read in ${((performance.now() - started) / 1000).toFixed(2)} s`);
    assert.equal(await sent, true);
    assert.equal(forward.text.length, "ForwardDataToChannel widget ".length + data.length);
    assert.ok(forward.text === "ForwardDataToChannel widget " + data);
    assert.equal(await widget.sendToChannel("nobody", "tick"), false);

    // A reader that stops reading: once its queue is full, forwards to it are refused.
    dock.pause();
    const chunk = "x".repeat(4 << 20);
    const answers = [];
    for (let i = 0; i < 12 && !answers.includes(false); i++) answers.push(await widget.sendToChannel("dock", chunk, `c${i}`));
    assert.ok(answers.includes(false), `every forward was taken: ${answers}`);
    dock.resume();
    const delivered = await take(dock.received({ timeout: 10_000 }), answers.filter(Boolean).length);
    assert.ok(delivered.every((m) => m.text === "ForwardDataToChannel widget " + chunk));
    assert.equal(await widget.sendToChannel("dock", "after"), true); // the reader kept its channel
    assert.equal((await dock.nextUnsolicited()).text, "ForwardDataToChannel widget after");
  } finally {
    await Promise.all([dock.close(), widget.close()]);
  }
});

async function take(iterator, count) {
  const got = [];
  if (count === 0) return got;
  for await (const message of iterator) {
    got.push(message);
    if (got.length === count) break;
  }
  return got;
}

test("text that would not arrive as given is refused before anything is sent", async () => {
  const widget = await mc.connect(key, "apps", { authorize: true });
  try {
    for (const [call, reason] of [
      [() => widget.registerChannel(""), /cannot be empty/],
      [() => widget.registerChannel("\u6f22"), /outside Latin-1/],
      [() => widget.sendToChannel("x", "a", ""), /cannot be empty/],
      [() => widget.sendToChannel("x", "5\u20ac"), /outside Latin-1/],
      [() => widget.sendToChannel("x", "a\nb"), /LF/],
      [() => widget.sendToChannel("x", "a|b"), /'\|' ends/],
      [() => widget.sendToChannel("x", "a\0b"), /NUL/],
      [() => widget.sendToChannel("x", "it's \"q\""), /both quote kinds/],
      [() => widget.request("x\ud800"), /not valid Unicode/]]) {
      await assert.rejects(call(), (e) => e instanceof mc.DataNotSendable && reason.test(e.message));
    }
    assert.equal(await widget.registerChannel("clock"), "Success ChannelRegistered=true");
    assert.equal(await widget.sendToChannel("clock", "tick 'tock'", "t\u20ac"), true); // the tag comes back narrowed
    assert.equal((await widget.nextUnsolicited()).text, "ForwardDataToChannel clock tick 'tock'");
    assert.ok(!(await service.call({ op: "waitLog", text: "a|b", timeout: 0.2 })).found);
  } finally {
    await widget.close();
  }
});

test("the README's example prints the version and five pen events", async () => {
  const example = async (path) => {
    const readme = await readFile(path, "utf8");
    const start = readme.indexOf("```js\n") + 6;
    return readme.slice(start, readme.indexOf("```", start));
  };
  const code = await example(join(ROOT, "clients", "node", "README.md"));
  assert.equal(await example(join(ROOT, "README.md")), code, "the two READMEs show the same example");
  const runnable = code
    .replace('"marlin-client"', JSON.stringify(pathToFileURL(CLIENT).href))
    .replace('"Marlin Pen Demo"', JSON.stringify(service.dockTitle));
  const dir = await mkdtemp(join(tmpdir(), "marlin-node-example-"));
  try {
    await writeFile(join(dir, "example.mjs"), runnable);
    const child = spawn(process.execPath, [join(dir, "example.mjs")], {
      env: { ...process.env, MARLIN_KEY_FILE: key.path }, stdio: ["ignore", "pipe", "inherit"] });
    let out = "";
    const version = new Promise((resolve) => child.stdout.on("data", (d) => {
      out += d;
      if (out.includes("\n")) resolve();
    }));
    const exited = new Promise((resolve) => child.once("exit", resolve));
    await withTimeout(version, 20_000, "the example's version line");
    await service.call({ op: "wintabctl", args: ["wait-context", "10000"] });
    await service.call({ op: "replay", script: "in\npacket 1 0 10800 6750 200\npacket 1 0 10800 6750 400\nout\n" });
    assert.equal(await withTimeout(exited, 20_000, "the example's end"), 0);
    const lines = out.trimEnd().split("\n");
    assert.equal(lines[0], "Success CoreVersion=2.06.0");
    // Words and tokens are two streams of the service: their order between each other may vary.
    assert.equal(lines.length, 6, out);
    for (const line of lines.slice(1)) assert.match(line, /^\{ type: '(proximity|cursor|pressure|position)', /);
    assert.ok(lines.includes("{ type: 'pressure', value: 200 }"), out);
  } finally {
    await rm(dir, { recursive: true, force: true });
  }
});

test("a key file left from a stopped service says so", async () => {
  assert.equal(await service.stop(), 0);
  await assert.rejects(mc.connect(key), (e) => e instanceof mc.ServiceNotRunning && /written .*earlier start/.test(e.message));
});
