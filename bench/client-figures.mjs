// The Node client library's figures against a running service (bench_85_client_libraries.py
// starts it): a 16 MiB channel forward read (the request's bytes written as they are) and sent
// with sendToChannel, each timed until the reader has the whole message, and COUNT pipelined
// getCoreVersion requests, all written before the first reply is read.
//
//   node bench/client-figures.mjs KEY_FILE COUNT ROUNDS   -> one JSON line of seconds per round

import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const mc = await import(join(dirname(fileURLToPath(import.meta.url)), "..", "clients", "node", "dist", "index.js"));
const [keyFile, count, rounds] = [process.argv[2], Number(process.argv[3]), Number(process.argv[4])];
const key = await mc.readKeyFile(keyFile);
const DATA = "A".repeat((16 << 20) - 64); // the longest data one apps-port message carries, as one word

const read = [], both = [];
const payload = Buffer.from(`sendDataToChannel bench-dock ${DATA} r|`, "latin1");
const dock = await mc.connect(key, "apps", { timeout: 60_000 });
const widget = await mc.connect(key, "apps", { timeout: 60_000 });
await dock.registerChannel("bench-dock");
await widget.registerChannel("bench-widget");
await dock.nextUnsolicited(); // the widget's broadcast
const sendRaw = async () => {
  widget.sendRaw(payload); // the reply comes as one nobody asked for
  return (await widget.nextUnsolicited({ timeout: 60_000 })).text === "Success DataSentToChannel=r";
};
for (let i = 0; i < rounds; i++) {
  for (const [times, send] of [[read, sendRaw], [both, () => widget.sendToChannel("bench-dock", DATA, "r")]]) {
    const started = performance.now();
    const sent = send();
    const message = await dock.nextUnsolicited({ timeout: 60_000 });
    times.push((performance.now() - started) / 1000);
    if (!(await sent) || message.text.length !== "ForwardDataToChannel bench-widget ".length + DATA.length) {
      throw new Error("the forward did not arrive whole");
    }
  }
}
await Promise.all([dock.close(), widget.close()]);

const pipelined = [];
const command = await mc.connect(key, "command", { timeout: 120_000 });
for (let i = 0; i < rounds; i++) {
  const started = performance.now();
  const replies = await Promise.all(Array.from({ length: count }, () => command.request("getCoreVersion")));
  pipelined.push((performance.now() - started) / 1000);
  if (replies.some((r) => r !== "Success CoreVersion=2.06.0")) throw new Error("a reply was not the version");
}
await command.close();
console.log(JSON.stringify({ read, both, pipelined }));
