// Finding and reading the key file the service writes at every start.
//
// The service writes "marlinAuth.key" into the user's roaming application-data folder under
// "Orvex": XML with the three ports and a fresh key. Under Wine that folder is
// drive_c/users/<user>/AppData/Roaming/Orvex/ inside the prefix.

import { existsSync, readdirSync, statSync } from "node:fs";
import { readFile, stat } from "node:fs/promises";
import { join } from "node:path";
import { KeyFileError } from "./errors.js";

export const KEY_FILE_NAME = "marlinAuth.key";
const FIELDS = ["commandPort", "pressurePort", "airAppsPort", "authKey"] as const;

export interface KeyFile {
  commandPort: number;
  pressurePort: number;
  appsPort: number;
  authKey: string;
  text: string;
  /** Where it was read from; "" when parsed from text. */
  path: string;
  /** When the file was last written (ms since the epoch); 0 when unknown. */
  mtime: number;
}

function pad(n: number): string {
  return String(n).padStart(2, "0");
}

/** The time a key file was written, for messages ("2026-12-07 13:04:14"), or "unknown". */
export function writtenAt(key: Pick<KeyFile, "mtime">): string {
  if (!key.mtime) return "unknown";
  const d = new Date(key.mtime);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
    `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

/** The key file's fields, or undefined while the file is incomplete (the service is still writing it). */
export function parseKeyFile(text: string, path = "", mtime = 0): KeyFile | undefined {
  const fields: Record<string, string> = {};
  for (const name of FIELDS) {
    const match = new RegExp(`<${name}>(.*?)</${name}>`).exec(text);
    if (!match) return undefined;
    fields[name] = match[1];
  }
  if (!text.trimEnd().endsWith("</root>")) return undefined;
  const ports = FIELDS.slice(0, 3).map((name) => (/^\d+$/.test(fields[name]) ? Number(fields[name]) : NaN));
  if (ports.some(Number.isNaN)) return undefined;
  return { commandPort: ports[0], pressurePort: ports[1], appsPort: ports[2], authKey: fields.authKey, text, path, mtime };
}

/** The key file's path inside a Wine prefix (it need not exist yet). */
export function keyFileInPrefix(prefix: string): string {
  const users = join(prefix, "drive_c", "users");
  let profiles: string[] = [];
  try {
    profiles = readdirSync(users).sort();
  } catch {
    return join(users, "*", "AppData", "Roaming", "Orvex", KEY_FILE_NAME);
  }
  for (const user of profiles) {
    const candidate = join(users, user, "AppData", "Roaming", "Orvex", KEY_FILE_NAME);
    if (existsSync(candidate)) return candidate;
  }
  const user = profiles.filter((u) => u !== "Public")[0] ?? "*";
  return join(users, user, "AppData", "Roaming", "Orvex", KEY_FILE_NAME);
}

export interface FindOptions {
  /** The key file itself. */
  path?: string;
  /** The Wine prefix the service runs in. */
  prefix?: string;
  /** Default: process.env ($MARLIN_KEY_FILE, $WINEPREFIX). */
  env?: Record<string, string | undefined>;
  /** Prefixes to look in last. */
  defaultPrefixes?: string[];
}

/** The key file to use: path if given; else the one in prefix; else $MARLIN_KEY_FILE; else the one
 * in $WINEPREFIX; else the first of defaultPrefixes that has one. KeyFileError names every place
 * looked at when none is found. */
export function findKeyFile(options: FindOptions = {}): string {
  const env = options.env ?? process.env;
  if (options.path) return options.path;
  if (env.MARLIN_KEY_FILE && !options.prefix) return env.MARLIN_KEY_FILE;
  const prefixes = options.prefix ? [options.prefix]
    : [...(env.WINEPREFIX ? [env.WINEPREFIX] : []), ...(options.defaultPrefixes ?? [])];
  const looked: string[] = [];
  for (const prefix of prefixes) {
    const found = keyFileInPrefix(prefix);
    try {
      if (statSync(found).isFile()) return found;
    } catch {
      // not there
    }
    looked.push(found);
  }
  throw new KeyFileError(`no key file (looked at ${looked.join(", ") || "no prefix given"}): is the service ` +
    "running in that prefix? It writes the file at every start; pass its path, or the Wine prefix the service runs in");
}

/** Reads and parses the key file; KeyFileError says what is wrong with it. */
export async function readKeyFile(path: string): Promise<KeyFile> {
  let text: string, mtime: number;
  try {
    text = (await readFile(path)).toString("utf8");
    mtime = (await stat(path)).mtimeMs;
  } catch (e) {
    const why = (e as NodeJS.ErrnoException).code === "ENOENT" ? "no such file" : String((e as Error).message);
    throw new KeyFileError(`cannot read the key file ${path}: ${why} (is the service running? It writes the ` +
      "file at every start)");
  }
  const key = parseKeyFile(text, path, mtime);
  if (!key) {
    throw new KeyFileError(`the key file ${path} (written ${writtenAt({ mtime })}) is incomplete: it should hold ` +
      "commandPort, pressurePort, airAppsPort and authKey");
  }
  return key;
}

/** Waits until a complete key file written at or after newerThan (ms) exists; undefined after timeout ms. */
export async function waitKeyFile(path: string, timeout: number, newerThan = 0): Promise<KeyFile | undefined> {
  const deadline = Date.now() + timeout;
  for (;;) {
    try {
      const key = await readKeyFile(path);
      if (key.mtime >= newerThan) return key;
    } catch {
      // not yet
    }
    if (Date.now() >= deadline) return undefined;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}
