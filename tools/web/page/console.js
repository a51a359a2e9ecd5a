// The console page: draws the pen stream, shows the service's state and sends commands, all
// through the bridge's WebSocket (tools/web/server.mjs). The token comes from the address's
// fragment, which the browser never sends in a request.
"use strict";

const $ = (id) => document.getElementById(id);
const canvas = $("canvas");
const ink = canvas.getContext("2d");
const COLOURS = { tip: "#1f4e99", eraser: "#d0463b", unknown: "#7a7f8a" };
const pen = { near: false, cursor: "tip", pressure: 0, last: null };
const received = []; // the pen events drawn, for whoever inspects the page
window.marlinConsole = { received };

function width(pressure) {
  return 1 + 23 * Math.min(pressure, 1023) / 1023;
}

function draw(event) {
  received.push(event);
  switch (event.type) {
    case "proximity":
      pen.near = event.near;
      if (!event.near) pen.last = null;
      $("proximity").textContent = event.near ? "pen near" : "pen away";
      $("proximity").className = "badge " + (event.near ? "near" : "away");
      canvas.classList.toggle("near", event.near);
      break;
    case "cursor":
      pen.cursor = event.cursor;
      $("cursor").textContent = event.cursor;
      $("cursor").className = "badge " + event.cursor;
      break;
    case "pressure":
      pen.pressure = event.value;
      if (event.value <= 0) pen.last = null;
      $("pressure").textContent = "pressure " + event.value;
      break;
    case "position":
      if (pen.last && pen.pressure > 0) {
        ink.strokeStyle = COLOURS[pen.cursor] || COLOURS.unknown;
        ink.lineWidth = width(pen.pressure);
        ink.lineCap = "round";
        ink.beginPath();
        ink.moveTo(pen.last.x, pen.last.y);
        ink.lineTo(event.x, event.y);
        ink.stroke();
      }
      pen.last = { x: event.x, y: event.y };
      $("position").textContent = event.x + ", " + event.y;
      break;
    case "button":
      $("position").textContent = "button " + (event.down ? "down" : "up") + " at " + event.x + ", " + event.y;
      break;
  }
}

function showChannels(channels) {
  const list = $("channels");
  list.replaceChildren(...channels.map((name) => Object.assign(document.createElement("li"), { textContent: name })));
  if (!channels.length) list.append(Object.assign(document.createElement("li"), { textContent: "(none announced yet)" }));
}

function addLine(text, className) {
  const item = Object.assign(document.createElement("li"), { textContent: text, className: className || "" });
  $("replies").append(item);
  item.scrollIntoView({ block: "nearest" });
}

const token = new URLSearchParams(location.hash.slice(1)).get("token") || "";
const socket = new WebSocket("ws://" + location.host + "/ws?token=" + encodeURIComponent(token));
let nextId = 1;

socket.addEventListener("open", () => {
  $("link").textContent = "online";
  $("link").className = "badge online";
});
socket.addEventListener("close", () => {
  $("link").textContent = "offline";
  $("link").className = "badge";
});
socket.addEventListener("message", (e) => {
  const message = JSON.parse(e.data);
  switch (message.type) {
    case "hello":
      $("version").textContent = message.version;
      $("devices").textContent = message.devices;
      showChannels(message.channels);
      message.pen.forEach(draw);
      if (!message.hooked.startsWith("Success")) addLine("the dock was not hooked: " + message.hooked, "error");
      break;
    case "pen":
      message.events.forEach(draw);
      break;
    case "devices":
      $("devices").textContent = message.report;
      break;
    case "channels":
      showChannels(message.channels);
      break;
    case "reply":
      if (message.error) addLine(message.error, "error");
      else addLine(message.reply === null ? "(no reply to this command)" : message.reply);
      break;
    case "replay":
      $("replay").disabled = message.state === "started";
      if (message.state === "done" && message.code !== 0) addLine("the stroke was not replayed (" + message.code + ")", "error");
      break;
    case "service":
      addLine("the service closed its connection", "error");
      break;
  }
});

$("command").addEventListener("submit", (e) => {
  e.preventDefault();
  const text = $("text").value;
  if (!text || socket.readyState !== WebSocket.OPEN) return;
  addLine("> " + text, "sent");
  socket.send(JSON.stringify({ type: "command", id: nextId++, text }));
  $("text").value = "";
});
$("replay").addEventListener("click", () => {
  if (socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify({ type: "replay" }));
});
$("clear").addEventListener("click", () => {
  ink.clearRect(0, 0, canvas.width, canvas.height);
  pen.last = null;
});
