// Shares a page, a selection, a link and two images from headless Chromium or Firefox
// through the built extension and the native host found through its manifest, and
// checks each inbox entry byte for byte and the reply that reached the extension.
// node browser-share.mjs chromium EXTENSION_DIR HOST_MANIFEST EXTENSION_ID APP_GROUP
// node browser-share.mjs firefox EXTENSION_DIR HOST_MANIFEST ADDON_ID APP_GROUP
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { startChromium } from "../support/chromium-session.mjs";
import { startFirefox } from "../support/firefox-session.mjs";

const [browserName, extension, hostManifest, extensionId, appGroup] = process.argv.slice(2);
const home = fs.mkdtempSync(path.join(os.tmpdir(), `plumo-${browserName}-`));
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

const environment = { ...process.env, HOME: home, XDG_DATA_HOME: path.join(home, "data"),
                      XDG_CONFIG_HOME: path.join(home, "config"), LANGUAGE: "en", LANG: "C.UTF-8" };
delete environment.DISPLAY;
delete environment.WAYLAND_DISPLAY;
let step = "starting the browser with the extension";
const giveUp = setTimeout(() => finish(`timed out while ${step}`), 40000);
let browser;
async function finish(failure) {
  clearTimeout(giveUp);
  if (failure) failures.push(failure);
  await browser?.close();
  server.close();
  fs.rmSync(home, { recursive: true, force: true, maxRetries: 5 });
  if (failures.length > 0) {
    console.error(failures.join("\n"));
    console.error("--- browser and host:\n" + (browser?.log ?? "").slice(-4000));
  }
  process.exit(failures.length > 0 ? 1 : 0);
}

function inboxEntry(reply) {
  const folder = path.join(inbox, String(reply.id));
  if (!fs.existsSync(path.join(folder, "payload.json"))) return { payload: {}, folder };
  return { payload: JSON.parse(fs.readFileSync(path.join(folder, "payload.json"), "utf8")), folder };
}

try {
  const onClosed = (why) => finish(why);
  browser = browserName === "chromium"
    ? await startChromium({ extension, hostManifest, home, environment, onClosed })
    : await startFirefox({ extension, hostManifest, addonId: extensionId, home, environment, onClosed });
  if (browserName === "chromium") {
    expect(browser.extensionUrl === `chrome-extension://${extensionId}/background.js`,
           `the extension's id comes from its key: ${browser.extensionUrl}`);
  }

  // A real tab, opened by the extension and loaded; its selection made in the page.
  step = "opening the page";
  const tabId = await browser.openTab(page);
  step = "selecting in the page";
  const selected = await browser.inPage(`(() => {
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
    // The very handler of a click on the menu, with what the browser passes it.
    step = `sharing the ${name}`;
    const reply = await browser.inExtension(`extension.plumoShare.onMenuClick(
      { menuItemId: "share-to-plumo", frameId: 0, editable: false, pageUrl: ${JSON.stringify(page)},
        ...${JSON.stringify(info)} },
      { id: ${tabId}, url: ${JSON.stringify(page)}, title: ${JSON.stringify(title)} })`);
    expect(reply?.status === "published" && reply.handedOff === false && reply.message === "Saved. Open Plumo to finish.",
           `${name}: the reply reaches the extension, in its language: ${JSON.stringify(reply)}`);
    const { payload, folder } = inboxEntry(reply);
    expect(payload.message === message, `${name}: message ${JSON.stringify(payload.message)}`);
    expect(JSON.stringify(payload.files) === JSON.stringify(files), `${name}: files ${JSON.stringify(payload.files)}`);
    for (const file of files) {
      expect(fs.readFileSync(path.join(folder, file)).equals(picture), `${name}: ${file} holds the image's bytes`);
    }
  }
  const badge = await browser.inExtension(`api.action.getBadgeText({ tabId: ${tabId} })`);
  expect(badge === "✓", `the badge tells the outcome: ${JSON.stringify(badge)}`);
  expect(fs.readdirSync(inbox).filter((entry) => !entry.startsWith(".")).length === cases.length,
         "one inbox entry per share");
  await finish();
} catch (error) {
  await finish(String(error?.stack ?? error));
}
