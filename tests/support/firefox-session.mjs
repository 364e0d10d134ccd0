// Headless Firefox with the built add-on (its folder) installed as a temporary add-on, driven over
// WebDriver BiDi (a WebSocket: `ws` from browser/'s lockfile, as Debian 12's Node has
// none), the user's folder finding the native host through the host's manifest. The add-on's background page is reached from a tab of
// the add-on's own, which is closed after each use so that it never runs twice.
import { spawn } from "node:child_process";
import { randomUUID } from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import WebSocket from "../../browser/node_modules/ws/wrapper.mjs";
import { extensionUnderTest } from "./extension-under-test.mjs";

export async function startFirefox({ extension, hostManifest, addonId, home, environment, onClosed }) {
  fs.mkdirSync(path.join(home, ".mozilla", "native-messaging-hosts"), { recursive: true });
  fs.copyFileSync(hostManifest, path.join(home, ".mozilla", "native-messaging-hosts", path.basename(hostManifest)));
  // The add-on's internal host name is fixed here, so that its pages can be opened.
  const uuid = randomUUID();
  const profile = path.join(home, "firefox-profile");
  fs.mkdirSync(profile, { recursive: true });
  fs.writeFileSync(path.join(profile, "user.js"), [
    `user_pref("extensions.webextensions.uuids", ${JSON.stringify(JSON.stringify({ [addonId]: uuid }))});`,
    `user_pref("browser.shell.checkDefaultBrowser", false);`,
    `user_pref("datareporting.policy.dataSubmissionEnabled", false);`,
    `user_pref("app.update.enabled", false);`,
  ].join("\n"));
  const browser = spawn("firefox-esr", ["--headless", "--no-remote", "--profile", profile, "--remote-debugging-port=0", "--remote-allow-system-access",
                                        "about:blank"], { env: { ...environment, HOME: home }, detached: true,
                                                          stdio: ["ignore", "ignore", "pipe"] });
  const session = { log: "" };
  const listening = new Promise((resolve) => browser.stderr.on("data", (chunk) => {
    session.log += chunk;
    const found = /WebDriver BiDi listening on (ws:\/\/\S+)/.exec(session.log);
    if (found) resolve(found[1]);
  }));
  browser.on("exit", (code, signal) => {
    session.log += `\n(the browser ended: ${code ?? signal})`;
    onClosed("the browser ended");
  });
  const socket = new WebSocket(`${await listening}/session`);
  await new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });
  let nextId = 1;
  const pending = new Map();
  socket.onmessage = ({ data }) => {
    const message = JSON.parse(data);
    if (!pending.has(message.id)) return;
    const { resolve, reject } = pending.get(message.id);
    pending.delete(message.id);
    message.type === "error" ? reject(new Error(`${message.error}: ${message.message}`)) : resolve(message.result);
  };
  const send = (method, params = {}) => {
    const id = nextId++;
    socket.send(JSON.stringify({ id, method, params }));
    return new Promise((resolve, reject) => pending.set(id, { resolve, reject }));
  };
  await send("session.new", { capabilities: {} });
  await send("webExtension.install", { extensionData: { type: "path", path: extensionUnderTest(extension, home) } });

  // A script's promised value in a new tab at `url`, handed over as JSON; the tab is closed after.
  const inTab = async (url, script) => {
    const { context } = await send("browsingContext.create", { type: "tab" });
    try {
      await send("browsingContext.navigate", { context, url, wait: "complete" });
      const { result, exceptionDetails } = await send("script.evaluate", {
        expression: `(async () => JSON.stringify(await (${script})))()`, target: { context }, awaitPromise: true });
      if (exceptionDetails) throw new Error(exceptionDetails.text);
      return JSON.parse(result.value ?? "null");
    } finally {
      await send("browsingContext.close", { context });
    }
  };
  // `script` with `extension` (the background's globals) and `api` (its `browser`).
  session.inExtension = (script) => inTab(`moz-extension://${uuid}/_generated_background_page.html`,
    `browser.runtime.getBackgroundPage().then((extension) => ((extension, api) => ${script})(extension, extension.browser))`);
  // A tab at `url` that stays open, opened by the add-on (which sees no other tab's
  // address without the "tabs" permission): its id in the add-on's terms.
  session.openTab = async (url) => {
    const tabId = await session.inExtension(`api.tabs.create({ url: ${JSON.stringify(url)} }).then(async (tab) => {
      while ((await api.tabs.get(tab.id)).status !== "complete") await new Promise((wait) => setTimeout(wait, 20));
      return tab.id;
    })`);
    // Firefox calls the new tab's first blank page complete too: the page is loaded once the driver sees it.
    let page;
    while (!(page = (await send("browsingContext.getTree", {})).contexts.find((context) => context.url === url))) {
      await new Promise((wait) => setTimeout(wait, 20));
    }
    session.pageContext = page.context;
    await session.inPage(`new Promise((loaded) => (document.readyState === "complete" ? loaded(true) : addEventListener("load", () => loaded(true))))`);
    return tabId;
  };
  session.inPage = async (script) => {
    const { result } = await send("script.evaluate", { expression: `JSON.stringify(${script})`,
                                                       target: { context: session.pageContext }, awaitPromise: true });
    return JSON.parse(result.value);
  };
  session.close = async () => {
    browser.removeAllListeners("exit");
    const ended = browser.exitCode === null && browser.signalCode === null
      ? new Promise((resolve) => browser.once("exit", resolve)) : Promise.resolve();
    try {
      await Promise.race([send("browser.close"), new Promise((resolve) => setTimeout(resolve, 5000))]);
    } catch {
      // Gone already.
    }
    socket.close();
    try {
      process.kill(-browser.pid, "SIGKILL");
    } catch {
      // The whole group ended already.
    }
    await ended;
  };
  return session;
}
