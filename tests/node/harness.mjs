// The real service for the Node suites, started by tests/node/service_host.py (the end-to-end
// harness's prefix and service, the stand-in tablet driver and the test dock).
//
//   const service = await startService();   // { keyFile, prefix, dockTitle, call(op), stop() }
//   await service.call({ op: "replay", script: "in\npacket 1 0 10800 6750 300\n" });
//
// Every wait is bounded.

import { spawn } from "node:child_process";
import { createInterface } from "node:readline";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

export const ROOT = join(dirname(fileURLToPath(import.meta.url)), "..", "..");
export const CLIENT = join(ROOT, "clients", "node", "dist", "index.js");

export function withTimeout(promise, ms, what) {
  let timer;
  return Promise.race([promise, new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: nothing within ${ms / 1000} s`)), ms);
  })]).finally(() => clearTimeout(timer));
}

export async function startService() {
  const child = spawn("/usr/bin/python3", [join(ROOT, "tests", "node", "service_host.py")],
    { stdio: ["pipe", "pipe", "inherit"] });
  const lines = createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const next = async (what) => {
    const { value, done } = await withTimeout(lines.next(), 120_000, what);
    if (done) throw new Error(`the service host ended (${what})`);
    return JSON.parse(value);
  };
  const exited = new Promise((resolve) => child.once("exit", resolve));
  const started = await next("starting the service");
  let queue = Promise.resolve();
  const call = (request) => {
    const result = queue.then(() => {
      child.stdin.write(JSON.stringify(request) + "\n");
      return next(request.op);
    });
    queue = result.catch(() => {});
    return result;
  };
  return {
    ...started,
    call,
    async stop() {
      if (child.exitCode !== null) return null;
      const { code } = await call({ op: "stop" }).catch(() => ({ code: null }));
      child.stdin.end();
      await withTimeout(exited, 60_000, "the service host ending");
      return code;
    },
  };
}
