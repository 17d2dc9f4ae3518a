#include "service/StatusPage.h"

namespace quorvane {

namespace {

// Texts from clients go into the page as text nodes only (textContent), never as markup.
constexpr const char* kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Server status</title>
<style>
  body { font: 16px/1.4 system-ui, sans-serif; margin: 0; padding: 1em; color: #222;
         background: #f6f6f4; max-width: 48em; }
  h1 { font-size: 1.4em; margin: 0 0 .2em; word-break: break-word; }
  #summary { color: #666; margin-bottom: 1em; }
  ul { list-style: none; margin: 0; padding: 0; }
  li.channel { margin: .3em 0; padding: .4em .6em; background: #fff; border-radius: 6px;
               box-shadow: 0 1px 2px rgba(0,0,0,.1); }
  .path { font-weight: 600; word-break: break-all; }
  .topic, .count, .idle { color: #666; font-size: .9em; }
  .topic { display: block; }
  li.user { padding: .1em 0 .1em 1em; word-break: break-word; }
  .status { color: #555; font-style: italic; margin-left: .4em; }
  .op::after { content: " \2605"; color: #b8860b; }
  #error { color: #a00; }
  @media (prefers-color-scheme: dark) {
    body { background: #1c1c1c; color: #ddd; }
    li.channel { background: #2a2a2a; }
    .topic, .count, .idle, #summary, .status { color: #aaa; }
  }
</style>
</head>
<body>
<h1 id="name">Server status</h1>
<div id="summary">Loading&hellip;</div>
<div id="error"></div>
<ul id="channels"></ul>
<script>
"use strict";
function el(tag, cls, text) {
  var node = document.createElement(tag);
  if (cls) node.className = cls;
  if (text !== undefined) node.textContent = text;
  return node;
}
function duration(s) {
  var d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  return (d ? d + "d " : "") + (d || h ? h + "h " : "") + m + "m";
}
function render(status) {
  document.getElementById("name").textContent = status.name || "Server status";
  document.title = status.name || "Server status";
  var users = 0, list = document.getElementById("channels");
  var items = [];
  status.channels.forEach(function (channel) {
    users += channel.memberCount;
    var item = el("li", "channel");
    item.style.marginLeft = Math.min(channel.depth, 8) + "em";
    item.appendChild(el("span", "path", channel.path));
    item.appendChild(el("span", "count",
        " " + (channel.protected ? "\uD83D\uDD12 " : "") + channel.memberCount +
        (channel.memberCount === 1 ? " user" : " users")));
    if (channel.topic) item.appendChild(el("span", "topic", channel.topic));
    if (channel.members) {
      var members = el("ul");
      channel.members.forEach(function (member) {
        var user = el("li", "user");
        var nick = el("span", "nick", member.nick);
        if (channel.operators.indexOf(member.id) >= 0) nick.classList.add("op");
        user.appendChild(nick);
        if (member.status.message) user.appendChild(el("span", "status", member.status.message));
        user.appendChild(el("span", "idle", " idle " + duration(member.idle)));
        members.appendChild(user);
      });
      item.appendChild(members);
    }
    items.push(item);
  });
  list.replaceChildren.apply(list, items);
  document.getElementById("summary").textContent = users + (users === 1 ? " user" : " users") +
      " online \u00B7 protocol " + status.protocol + " \u00B7 up " + duration(status.uptime);
  document.getElementById("error").textContent = "";
}
function refresh() {
  fetch("status.json", {cache: "no-store"})
    .then(function (response) { return response.json(); })
    .then(render)
    .catch(function (error) {
      document.getElementById("error").textContent = "Cannot reach the server: " + error;
    });
}
refresh();
setInterval(refresh, 5000);
</script>
</body>
</html>
)PAGE";

}  // namespace

const char* StatusPage::html() { return kPage; }

}  // namespace quorvane
