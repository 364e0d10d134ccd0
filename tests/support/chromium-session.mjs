// Headless Chromium with the built extension, driven over the DevTools protocol on a
// pipe, its profile finding the native host through the host's manifest. Used by the
// browser test and the browser benchmark; firefox-session.mjs offers the same.
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { extensionUnderTest } from "./extension-under-test.mjs";

export async function startChromium({ extension, hostManifest, home, environment, onClosed }) {
  // The profile finds the host where Chromium reads a user's hosts.
  const profile = path.join(home, "profile");
  fs.mkdirSync(path.join(profile, "NativeMessagingHosts"), { recursive: true });
  fs.copyFileSync(hostManifest, path.join(profile, "NativeMessagingHosts", path.basename(hostManifest)));
  extension = extensionUnderTest(extension, home);
  const browser = spawn("chromium", [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--no-first-run", `--user-data-dir=${profile}`,
    `--load-extension=${extension}`, `--disable-extensions-except=${extension}`, "--remote-debugging-pipe",
    "about:blank"], { env: environment, stdio: ["ignore", "ignore", "pipe", "pipe", "pipe"], detached: true });
  const session = { log: "" };
  browser.stderr.on("data", (chunk) => { session.log += chunk; });
  browser.stdio[3].on("error", () => onClosed("the browser closed its end of the protocol"));
  browser.on("exit", (code, signal) => { session.log += `\n(the browser ended: ${code ?? signal})`; });

  // JSON messages, each ended by a NUL.
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
  const send = (method, params = {}, sessionId = undefined) => {
    const id = nextId++;
    browser.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + "\0");
    return new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
  };
  const targetCreated = (matches) => new Promise((resolve) => listeners.push((message) => {
    if (message.method === "Target.targetCreated" && matches(message.params.targetInfo)) resolve(message.params.targetInfo);
  }));
  const evaluate = async (sessionId, expression) => {
    const { result, exceptionDetails } = await send("Runtime.evaluate",
      { expression, awaitPromise: true, returnByValue: true }, sessionId);
    if (exceptionDetails) throw new Error(exceptionDetails.exception?.description ?? exceptionDetails.text);
    return result.value;
  };

  // The extension's service worker, attached, once its handlers are reachable.
  const worker = targetCreated((target) => target.type === "service_worker" && target.url.startsWith("chrome-extension://"));
  await send("Target.setDiscoverTargets", { discover: true });
  const workerTarget = await worker;
  session.extensionUrl = workerTarget.url;
  const { sessionId: inWorker } = await send("Target.attachToTarget", { targetId: workerTarget.targetId, flatten: true });
  while (!(await evaluate(inWorker, `typeof plumoShare === "object"`))) await new Promise((wait) => setTimeout(wait, 20));

  // `script` with `extension` (the worker's globals) and `api` (its `chrome`).
  session.inExtension = (script) => evaluate(inWorker, `((extension, api) => ${script})(globalThis, chrome)`);
  // A tab at `url`, opened by the extension and loaded: its id.
  session.openTab = async (url) => {
    const tabId = await session.inExtension(`(async () => {
      const tab = await api.tabs.create({ url: ${JSON.stringify(url)} });
      while ((await api.tabs.get(tab.id)).status !== "complete") await new Promise((wait) => setTimeout(wait, 20));
      return tab.id;
    })()`);
    const { targetInfos } = await send("Target.getTargets");
    const page = targetInfos.find((target) => target.type === "page" && target.url === url);
    ({ sessionId: session.inOpenTab } = await send("Target.attachToTarget", { targetId: page.targetId, flatten: true }));
    return tabId;
  };
  // `script`'s value in the tab openTab opened last.
  session.inPage = (script) => evaluate(session.inOpenTab, script);
  session.close = async () => {
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
  };
  return session;
}
