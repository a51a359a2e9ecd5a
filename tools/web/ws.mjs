// The ws package as this folder's lock file installs it, for the bridge and its tests.
export { WebSocket, WebSocketServer } from "ws";
