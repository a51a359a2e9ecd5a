// What travels as sent: the service removes CR and LF, a '|' ends the message, a NUL byte
// spoils it, quotes group words and vanish, and replies narrow every character outside
// Latin-1 to '?'. These checks refuse, before anything is sent, text that would not arrive.

import { DataNotSendable } from "./errors.js";

const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

function short(text: string): string {
  return text.length <= 60 ? text : text.slice(0, 57) + "...";
}

/** Throws DataNotSendable for a message that would not arrive as given ('|', CR, LF, NUL,
 * text that is no valid Unicode). */
export function checkMessage(text: string): void {
  const refusals: Array<[string, string]> = [["|", "'|' ends a message"], ["\r", "the service removes CR"],
    ["\n", "the service removes LF"], ["\0", "a NUL byte spoils the message"]];
  for (const [ch, why] of refusals) {
    if (text.includes(ch)) throw new DataNotSendable(`cannot send ${JSON.stringify(short(text))}: ${why}`);
  }
  if (LONE_SURROGATE.test(text)) {
    throw new DataNotSendable(`cannot send ${JSON.stringify(short(text))}: it is not valid Unicode text`);
  }
}

export interface QuoteOptions {
  /** What the word is, for the message ("a channel name"). */
  what?: string;
  /** Refuse characters outside Latin-1, which replies and forwards turn into '?'. */
  latin1?: boolean;
  /** Allow an empty word (sent as ""). */
  empty?: boolean;
}

/** word as one word of a message, quoted when it holds a blank or a quote, so that the service's
 * splitter gives it back as it is; DataNotSendable with the reason when it cannot arrive as given. */
export function quoteWord(word: string, options: QuoteOptions = {}): string {
  const what = options.what ?? "a word";
  checkMessage(word);
  if (!word && !options.empty) throw new DataNotSendable(`${what} cannot be empty`);
  if (word.includes('"') && word.includes("'")) {
    throw new DataNotSendable(`${what} cannot hold both quote kinds (" and '): ${JSON.stringify(short(word))}`);
  }
  if (options.latin1 && /[^\u0000-\u00ff]/.test(word)) {
    throw new DataNotSendable(`${what} outside Latin-1 would come back as '?': ${JSON.stringify(short(word))} ` +
      "(carry such text encoded, e.g. base64 in one word)");
  }
  if (word && !/[ "']/.test(word)) return word;
  return word.includes('"') ? `'${word}'` : `"${word}"`;
}

/** The command word of a message as the service's splitter makes it (quotes group and vanish). */
export function firstWord(text: string): string {
  let word = "";
  let quote: string | null = null;
  for (const ch of text) {
    if (quote !== null) {
      if (ch === quote) quote = null;
      else word += ch;
    } else if (ch === " ") {
      break;
    } else if (ch === '"' || ch === "'") {
      quote = ch;
    } else {
      word += ch;
    }
  }
  return word;
}

/** text as the service's replies give it back: every UTF-16 code unit above U+00FF becomes '?'. */
export function asSentBack(text: string): string {
  return text.replace(/[^\u0000-\u00ff]/g, "?");
}
