// The extension's handlers in a context of their own, with the browser's API stood
// in for: what a click sends (a selection the page reports, and one it does not:
// Firefox reports none inside a text field; Chromium's test cannot read the page
// without a real click), and how the outcome is told.
// node menu-handlers.mjs BACKGROUND_JS
import fs from "node:fs";
import vm from "node:vm";

const [background] = process.argv.slice(2);
const failures = [];
const expect = (condition, what) => condition || failures.push(what);

// One click on the menu in a fresh extension; `answer` stands for the host (a reply,
// or the error the browser throws), `navigate` for the tab going on to another page meanwhile.
async function click(info, { pageSelection = "", answer = { status: "dismissed" }, navigate = false,
                             page = "https://example.com/", fetch = async () => { throw new TypeError("NetworkError"); },
                             permissions = undefined, button = false } = {}) {
  let clicked;
  let buttonClicked;
  let request;
  const notifications = [];
  const badges = [];
  const updated = [];
  const listener = (register) => ({ addListener: register, removeListener: () => {} });
  const chrome = {
    runtime: {
      onInstalled: listener(() => {}), getURL: (file) => file,
      sendNativeMessage: async (host, message) => {
        request = message;
        if (navigate) updated.forEach((listen) => listen(1, { status: "loading" }));
        if (answer instanceof Error) throw answer;
        return answer;
      },
    },
    contextMenus: { onClicked: listener((handler) => { clicked = handler; }) },
    tabs: { onUpdated: listener((handler) => updated.push(handler)) },
    action: { onClicked: listener((handler) => { buttonClicked = handler; }), setBadgeBackgroundColor: async () => {},
              setBadgeText: async (badge) => badges.push(badge), setTitle: async () => {} },
    i18n: { getMessage: (key, substitutions) => (key === "language" ? "de" : [key, ...(substitutions ?? [])].join(":")) },
    notifications: { create: async (id, options) => notifications.push({ id, message: options.message }) },
    scripting: { executeScript: async () => [{ frameId: 0, result: pageSelection }] },
    permissions,
  };
  vm.runInNewContext(fs.readFileSync(background, "utf8"), { chrome, URL, btoa, fetch });
  const tab = { id: 1, url: page, title: "A page" };
  await (button ? buttonClicked(tab) : clicked({ menuItemId: "share-to-plumo", frameId: 0, pageUrl: page, ...info }, tab));
  // The handler is not awaited by the browser: let its last steps run.
  await new Promise((resolve) => setTimeout(resolve, 0));
  return { request, notifications, badges };
}

const sent = [
  { name: "a selection the page reports keeps its line breaks", pageSelection: "line one\nline two",
    info: { selectionText: "line one line two" },
    items: [{ text: "line one\nline two" }, { url: "https://example.com/" }] },
  { name: "a selection the page does not report is the menu's", pageSelection: "",
    info: { selectionText: "Typed words" }, items: [{ text: "Typed words" }, { url: "https://example.com/" }] },
];
for (const { name, pageSelection, info, items } of sent) {
  const { request } = await click(info, { pageSelection });
  expect(JSON.stringify(request.items) === JSON.stringify(items), `${name}: sent ${JSON.stringify(request.items)}`);
  expect(request.language === "de", `${name}: the request names the extension's language: ${request.language}`);
}

const told = [
  { name: "a share no application opened is told in the host's words",
    answer: { status: "published", handedOff: false, message: "Gespeichert. Öffne Plumo." },
    message: "Gespeichert. Öffne Plumo.", badge: "✓" },
  { name: "a failure is told with the host's reason",
    answer: { status: "failed", category: "tooLarge", message: "Teile weniger." }, message: "notShared:Teile weniger.",
    badge: "!" },
  { name: "a missing host is told as not installed",
    answer: new Error("Specified native messaging host not found."), message: "hostMissing:Specified native messaging host not found.",
    badge: "!" },
  { name: "a host that ended is not told as not installed",
    answer: new Error("Native host has exited."), message: "hostFailed:Native host has exited.", badge: "!" },
  { name: "a local page is shared without its location, and the user is told",
    answer: { status: "published", handedOff: true }, page: "file:///home/someone/notes.html",
    message: "shared locationLeftOut", badge: "✓", items: [{ text: "A page" }] },
  { name: "a tab that went on to another page gets no badge", navigate: true,
    answer: { status: "published", handedOff: true }, message: "shared" },
  { name: "an image the extension cannot read is shared as its link, and the user is told",
    info: { mediaType: "image", srcUrl: "https://images.example.net/a.png" },
    answer: { status: "published", handedOff: true }, message: "shared imageAsLink", badge: "✓",
    items: [{ url: "https://images.example.net/a.png" }, { url: "https://example.com/" }] },
  { name: "an image over the limit is shared as its link without being read",
    info: { mediaType: "image", srcUrl: "https://example.com/big.png" },
    fetch: async () => ({ ok: true, headers: new Headers({ "content-length": String(12 * 1024 * 1024 + 1) }),
                          body: { cancel: () => {} }, blob: async () => { throw new Error("read whole"); } }),
    answer: { status: "published", handedOff: true }, message: "shared imageTooLarge:12 MiB", badge: "✓",
    items: [{ url: "https://example.com/big.png" }, { url: "https://example.com/" }] },
  { name: "the toolbar button on the browser's own page sends nothing, and the user is told", button: true,
    page: "chrome://settings/", message: "notShared:pageNotShareable", badge: "!" },
];
for (const { name, info = {}, answer, page, navigate, fetch, button, message, badge, items } of told) {
  const outcome = await click(info, { answer, page, navigate, fetch, button });
  expect(JSON.stringify(outcome.notifications) === JSON.stringify([{ id: "plumo-share-outcome", message }]),
         `${name}: notified ${JSON.stringify(outcome.notifications)}`);
  expect(JSON.stringify(outcome.badges.map((set) => set.text)) === JSON.stringify(badge ? [badge] : []),
         `${name}: badges ${JSON.stringify(outcome.badges)}`);
  if (button) expect(outcome.request === undefined, `${name}: sent ${JSON.stringify(outcome.request)}`);
  if (items) expect(JSON.stringify(outcome.request.items) === JSON.stringify(items), `${name}: sent ${JSON.stringify(outcome.request.items)}`);
}
// The user is asked to let the extension read an image's site (by host: Firefox matches no pattern with a port), not a data: URL.
const asked = [];
const permissions = { request: async ({ origins }) => { asked.push(...origins); return true; } };
for (const srcUrl of ["https://images.example.net:8443/a.png", "data:image/png;base64,AA=="]) {
  await click({ mediaType: "image", srcUrl }, { permissions });
}
expect(JSON.stringify(asked) === JSON.stringify(["https://images.example.net/*"]), `asked for ${JSON.stringify(asked)}`);
console.error(failures.join("\n"));
process.exit(failures.length > 0 ? 1 : 0);
