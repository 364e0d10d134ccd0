// A right-clicked image from headless Chromium to the inbox: the time from the menu
// handler's call (what a click runs) to the reply, which comes once the share is
// published. Images of 1 and 10 MiB, served by the page's own origin.
// node chromium_image.mjs BUILD_DIR RUNS
import { randomBytes } from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { startChromium } from "../tests/support/chromium-session.mjs";

const [build, runs] = [path.resolve(process.argv[2]), Number(process.argv[3] ?? 15)];
const manifests = path.join(build, "share", "plumo-share", "native-messaging-hosts", "chromium");
const hostManifest = path.join(manifests, fs.readdirSync(manifests)[0]);
const home = fs.mkdtempSync(path.join(build, "plumo-bench-chromium-"));

const MIB = 1024 * 1024;
const png = (size) => Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
                                     randomBytes(size - 8)]);
const images = { "/1.png": png(MIB), "/10.png": png(10 * MIB) };
const server = http.createServer((request, response) => {
  const image = images[request.url];
  // Readable by the extension, as an image of the page's own origin is to the browsers that share images.
  response.writeHead(200, { "content-type": image ? "image/png" : "text/html", "access-control-allow-origin": "*" });
  response.end(image ?? "<!doctype html><title>images</title>");
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const page = `http://127.0.0.1:${server.address().port}/`;

const environment = { ...process.env, HOME: home, XDG_DATA_HOME: path.join(home, "data"),
                      XDG_CONFIG_HOME: path.join(home, "config"), LANG: "C.UTF-8" };
delete environment.DISPLAY;
delete environment.WAYLAND_DISPLAY;
const browser = await startChromium({ extension: path.join(build, "browser", "chromium"), hostManifest, home,
                                      environment, onClosed: (why) => { throw new Error(why); } });

const inboxes = () => {
  const stores = path.join(home, "data", "group-containers");
  return (fs.existsSync(stores) ? fs.readdirSync(stores) : []).map((group) => path.join(stores, group, "PlumoShare", "inbox"));
};

// The files of the one share in the inbox, which is emptied.
function takeInbox() {
  const files = [];
  for (const inbox of inboxes()) {
    for (const entry of fs.readdirSync(inbox).filter((name) => !name.startsWith("."))) {
      files.push(...JSON.parse(fs.readFileSync(path.join(inbox, entry, "payload.json"), "utf8")).files);
      fs.rmSync(path.join(inbox, entry), { recursive: true });
    }
  }
  return files;
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
try {
  const tabId = await browser.openTab(page);
  const share = (image) => browser.inExtension(`(async () => {
    const started = performance.now();
    const reply = await extension.plumoShare.onMenuClick(
      { menuItemId: "share-to-plumo", frameId: 0, pageUrl: ${JSON.stringify(page)}, mediaType: "image",
        srcUrl: ${JSON.stringify(page + image.slice(1))} },
      { id: ${tabId}, url: ${JSON.stringify(page)}, title: "images" });
    return { reply, elapsed: performance.now() - started };
  })()`);
  const rows = [];
  for (const image of Object.keys(images)) {
    await share(image);  // the first share of a user makes the store
    takeInbox();
    const samples = [];
    for (let run = 0; run < runs; ++run) {
      const { reply, elapsed } = await share(image);
      const files = takeInbox();
      if (reply?.status !== "published" || files.length !== 1) {
        throw new Error(`${image} was not shared as a file: ${JSON.stringify(reply)}, files ${files}`);
      }
      samples.push(elapsed);
    }
    rows.push([`Chromium, a ${image.slice(1, -4)} MiB image from the click to the inbox`, median(samples)]);
  }
  console.log(`Headless Chromium: medians of ${runs} shares, the menu handler's call to its reply`);
  for (const [name, elapsed] of rows) console.log(`${name.padEnd(60)}${elapsed.toFixed(1).padStart(9)}ms`);
} finally {
  await browser.close();
  server.close();
  fs.rmSync(home, { recursive: true, force: true, maxRetries: 5 });
}
