// Shares a page, a selection, a link and two images from headless Chromium through
// the built extension and the native host found through its manifest, and checks
// each inbox entry byte for byte and the reply that reached the extension.
// node chromium-share.mjs EXTENSION_DIR HOST_MANIFEST EXTENSION_ID APP_GROUP
import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";

const [extension, hostManifest, extensionId, appGroup] = process.argv.slice(2);
const home = fs.mkdtempSync(path.join(os.tmpdir(), "plumo-chromium-"));
const inbox = path.join(home, "data", "group-containers", appGroup, "PlumoShare", "inbox");
const failures = [];
const expect = (condition, what) => condition || failures.push(what);

// A page with a selection, a link and an image, and the image itself: 96 KiB, sent in
// several pieces of the extension's encoding.
const picture = Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
                               Buffer.from(Array.from({ length: 96 * 1024 }, (_, index) => (index * 131 + 7) % 256))]);
const title = "A page – to share";
const server = http.createServer((request, response) => {
  if (request.url === "/shot.png") {
    response.writeHead(200, { "content-type": "image/png", "access-control-allow-origin": "*" });
    return response.end(picture);
  }
  response.writeHead(200, { "content-type": "text/html; charset=utf-8" });
  response.end(`<!doctype html><title>${title}</title><p id="chosen">Chosen words, ü</p>` +
               `<a href="https://example.com/linked?a=1&amp;b=2">a link</a><img src="/shot.png">`);
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const page = `http://127.0.0.1:${server.address().port}/`;

// The profile finds the host where Chromium reads a user's hosts.
const profile = path.join(home, "profile");
fs.mkdirSync(path.join(profile, "NativeMessagingHosts"), { recursive: true });
fs.copyFileSync(hostManifest, path.join(profile, "NativeMessagingHosts", path.basename(hostManifest)));

const environment = { ...process.env, HOME: home, XDG_DATA_HOME: path.join(home, "data"),
                      XDG_CONFIG_HOME: path.join(home, "config"), LANGUAGE: "en", LANG: "C.UTF-8" };
delete environment.DISPLAY;
delete environment.WAYLAND_DISPLAY;
const browser = spawn("chromium", [
  "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--disable-background-networking",
  "--disable-component-update", "--disable-sync", "--no-first-run", `--user-data-dir=${profile}`,
  `--load-extension=${extension}`, `--disable-extensions-except=${extension}`, "--remote-debugging-pipe",
  "about:blank"], { env: environment, stdio: ["ignore", "ignore", "pipe", "pipe", "pipe"], detached: true });
let browserLog = "";
browser.stderr.on("data", (chunk) => { browserLog += chunk; });
browser.stdio[3].on("error", () => finish("the browser closed its end of the protocol"));
browser.on("exit", (code, signal) => { browserLog += `\n(the browser ended: ${code ?? signal})`; });
let step = "starting the browser";
const giveUp = setTimeout(() => finish(`timed out while ${step}`), 40000);

// The DevTools protocol over the pipe: JSON messages, each ended by a NUL.
let nextId = 1;
const pending = new Map();
const listeners = [];
let received = "";
browser.stdio[4].on("data", (chunk) => {
  received += chunk;
  let end;
  while ((end = received.indexOf("\0")) >= 0) {
    const message = JSON.parse(received.slice(0, end));
    received = received.slice(end + 1);
    if (message.id && pending.has(message.id)) {
      const { resolve, reject } = pending.get(message.id);
      pending.delete(message.id);
      message.error ? reject(new Error(JSON.stringify(message.error))) : resolve(message.result);
    } else {
      listeners.forEach((listen) => listen(message));
    }
  }
});
function send(method, params = {}, sessionId = undefined) {
  const id = nextId++;
  browser.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + "\0");
  return new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
}
function targetCreated(matches) {
  return new Promise((resolve) => listeners.push((message) => {
    if (message.method === "Target.targetCreated" && matches(message.params.targetInfo)) resolve(message.params.targetInfo);
  }));
}
async function evaluate(sessionId, expression) {
  const { result, exceptionDetails } = await send("Runtime.evaluate",
    { expression, awaitPromise: true, returnByValue: true }, sessionId);
  if (exceptionDetails) throw new Error(exceptionDetails.exception?.description ?? exceptionDetails.text);
  return result.value;
}

async function finish(failure) {
  clearTimeout(giveUp);
  if (failure) failures.push(failure);
  try {
    await Promise.race([send("Browser.close"), new Promise((resolve) => setTimeout(resolve, 5000))]);
  } catch {
    // Gone already.
  }
  // The browser's helpers (its crash reporter, a renderer) write to the profile until they end too.
  const ended = browser.exitCode === null && browser.signalCode === null
    ? new Promise((resolve) => browser.once("exit", resolve)) : Promise.resolve();
  try {
    process.kill(-browser.pid, "SIGKILL");
  } catch {
    // The whole group ended already.
  }
  await ended;
  server.close();
  fs.rmSync(home, { recursive: true, force: true, maxRetries: 5 });
  if (failures.length > 0) {
    console.error(failures.join("\n"));
    console.error("--- browser and host:\n" + browserLog.slice(-4000));
  }
  process.exit(failures.length > 0 ? 1 : 0);
}

function inboxEntry(reply) {
  const folder = path.join(inbox, String(reply.id));
  if (!fs.existsSync(path.join(folder, "payload.json"))) return { payload: {}, folder };
  return { payload: JSON.parse(fs.readFileSync(path.join(folder, "payload.json"), "utf8")), folder };
}

try {
  step = "waiting for the extension's service worker";
  const worker = targetCreated((target) => target.type === "service_worker" &&
                                           target.url.startsWith("chrome-extension://"));
  await send("Target.setDiscoverTargets", { discover: true });
  const workerTarget = await worker;
  expect(workerTarget.url === `chrome-extension://${extensionId}/background.js`,
         `the extension's id comes from its key: ${workerTarget.url}`);
  const { sessionId: inWorker } = await send("Target.attachToTarget", { targetId: workerTarget.targetId, flatten: true });
  while (!(await evaluate(inWorker, `typeof plumoShare === "object"`))) await new Promise((wait) => setTimeout(wait, 20));

  // A real tab, opened by the extension and loaded; its selection made in the page.
  step = "opening the page";
  const tabId = await evaluate(inWorker, `(async () => {
    const tab = await chrome.tabs.create({ url: ${JSON.stringify(page)} });
    while ((await chrome.tabs.get(tab.id)).status !== "complete") await new Promise((wait) => setTimeout(wait, 20));
    return tab.id;
  })()`);
  step = "selecting in the page";
  const { targetInfos } = await send("Target.getTargets");
  const pageTarget = targetInfos.find((target) => target.type === "page" && target.url === page);
  const { sessionId: inPage } = await send("Target.attachToTarget", { targetId: pageTarget.targetId, flatten: true });
  const selected = await evaluate(inPage, `(() => {
    getSelection().selectAllChildren(document.getElementById("chosen"));
    return String(getSelection());
  })()`);

  const data = `data:image/png;base64,${picture.toString("base64")}`;
  const cases = [
    { name: "page", info: {}, message: `${page}\n\n${title}`, files: [] },
    { name: "selection", info: { selectionText: selected }, message: `${selected}\n\n${page}`, files: [] },
    { name: "link", info: { linkUrl: "https://example.com/linked?a=1&b=2" },
      message: "https://example.com/linked?a=1&b=2", files: [] },
    { name: "data image", info: { mediaType: "image", srcUrl: data }, message: page, files: ["1-image.png"] },
    { name: "served image", info: { mediaType: "image", srcUrl: `${page}shot.png` }, message: page, files: ["1-shot.png"] },
  ];
  for (const { name, info, message, files } of cases) {
    // The very handler of a click on the menu, with what Chromium passes it.
    step = `sharing the ${name}`;
    const reply = await evaluate(inWorker, `plumoShare.onMenuClick(
      { menuItemId: "share-to-plumo", frameId: 0, editable: false, pageUrl: ${JSON.stringify(page)},
        ...${JSON.stringify(info)} },
      { id: ${tabId}, url: ${JSON.stringify(page)}, title: ${JSON.stringify(title)} })`);
    expect(reply?.status === "published" && reply.handedOff === false,
           `${name}: the reply reaches the extension: ${JSON.stringify(reply)}`);
    const { payload, folder } = inboxEntry(reply);
    expect(payload.message === message, `${name}: message ${JSON.stringify(payload.message)}`);
    expect(JSON.stringify(payload.files) === JSON.stringify(files), `${name}: files ${JSON.stringify(payload.files)}`);
    for (const file of files) {
      expect(fs.readFileSync(path.join(folder, file)).equals(picture), `${name}: ${file} holds the image's bytes`);
    }
  }
  const badge = await evaluate(inWorker, `chrome.action.getBadgeText({ tabId: ${tabId} })`);
  expect(badge === "✓", `the badge tells the outcome: ${JSON.stringify(badge)}`);
  expect(fs.readdirSync(inbox).filter((entry) => !entry.startsWith(".")).length === cases.length,
         "one inbox entry per share");
  await finish();
} catch (error) {
  await finish(String(error?.stack ?? error));
}
