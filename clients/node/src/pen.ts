// Pen events of the pressure port, as typed values.
//
// Two kinds of data arrive on the pressure port:
//  - '|'-framed words, broadcast to every client of the port: PenData.PROXIMITY_IN,
//    PenData.PROXIMITY_OUT, PenData.USE_TIP, PenData.USE_ERASER, PenData.USE_UNKNOWN_CURSOR;
//  - space-terminated tokens, only to the client that sent startTablet: a pressure value as four
//    or more digits, after a minus sign when the driver reports a negative one ("0300 ", "-0300 "),
//    a position "m<x>_<y> " (pen or drag move), a button "d<x>_<y> " (left button down) or
//    "u<x>_<y> " (up), in screen pixels.

/** The pen came near the tablet (near) or left it. */
export interface Proximity { type: "proximity"; near: boolean }
/** The end of the pen in use: "tip", "eraser" or "unknown" (another pointer). */
export interface Cursor { type: "cursor"; cursor: "tip" | "eraser" | "unknown" }
/** The pen's pressure changed (raw driver units; 0 = not touching; negative as the driver reports it). */
export interface Pressure { type: "pressure"; value: number }
/** The pen (or a drag) moved to the screen position x, y. */
export interface Position { type: "position"; x: number; y: number }
/** The left button went down (down) or up at the screen position x, y. */
export interface Button { type: "button"; down: boolean; x: number; y: number }

export type PenEvent = Proximity | Cursor | Pressure | Position | Button;

export const PEN_TOKEN = /^(-?\d{4,}|[dum]-?\d+_-?\d+)$/;
/** A pen token is short; longer text before a blank is no token. */
export const MAX_PEN_TOKEN = 32;
const PRESSURE = /^-?\d{4,}$/;
const POSITION = /^([dum])(-?\d+)_(-?\d+)$/;

const WORDS: Record<string, PenEvent> = {
  "PenData.PROXIMITY_IN": { type: "proximity", near: true },
  "PenData.PROXIMITY_OUT": { type: "proximity", near: false },
  "PenData.USE_TIP": { type: "cursor", cursor: "tip" },
  "PenData.USE_ERASER": { type: "cursor", cursor: "eraser" },
  "PenData.USE_UNKNOWN_CURSOR": { type: "cursor", cursor: "unknown" },
};

/** The event a '|'-framed PenData word stands for, or undefined for another frame. */
export function parsePenWord(frame: string): PenEvent | undefined {
  const event = Object.prototype.hasOwnProperty.call(WORDS, frame) ? WORDS[frame] : undefined;
  return event && { ...event };
}

/** The event a space-terminated token stands for, or undefined when it is no pen token. */
export function parsePenToken(token: string): PenEvent | undefined {
  if (PRESSURE.test(token)) return { type: "pressure", value: parseInt(token, 10) };
  const match = POSITION.exec(token);
  if (!match) return undefined;
  const x = parseInt(match[2], 10), y = parseInt(match[3], 10);
  if (match[1] === "m") return { type: "position", x, y };
  return { type: "button", down: match[1] === "d", x, y };
}
