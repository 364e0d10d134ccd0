// The extension's menu handler in a context of its own, with the browser's API
// stood in for: what it sends for a selection the page reports, and for one it
// does not (Firefox reports none inside a text field; Chromium's test cannot
// read the page without a real click).
// node menu-handlers.mjs BACKGROUND_JS
import fs from "node:fs";
import vm from "node:vm";

const [background] = process.argv.slice(2);
const failures = [];

async function requestFor(info, pageSelection) {
  let clicked;
  let sent;
  const request = new Promise((resolve) => { sent = resolve; });
  const listener = (register) => ({ addListener: register });
  const chrome = {
    runtime: { onInstalled: listener(() => {}), getURL: (file) => file,
               sendNativeMessage: async (host, message) => { sent(message); return { status: "dismissed" }; } },
    contextMenus: { onClicked: listener((handler) => { clicked = handler; }) },
    action: { onClicked: listener(() => {}), setBadgeBackgroundColor: async () => {}, setBadgeText: async () => {},
              setTitle: async () => {} },
    i18n: { getMessage: (key) => key },
    notifications: { create: async () => {} },
    scripting: { executeScript: async () => [{ frameId: 0, result: pageSelection }] },
  };
  vm.runInNewContext(fs.readFileSync(background, "utf8"), { chrome, URL, btoa });
  clicked({ menuItemId: "share-to-plumo", frameId: 0, pageUrl: "https://example.com/", ...info },
                { id: 1, url: "https://example.com/", title: "A page" });
  return JSON.stringify((await request).items);
}

const cases = [
  { name: "a selection the page reports keeps its line breaks", pageSelection: "line one\nline two",
    info: { selectionText: "line one line two" },
    items: [{ text: "line one\nline two" }, { url: "https://example.com/" }] },
  { name: "a selection the page does not report is the menu's", pageSelection: "",
    info: { selectionText: "Typed words" }, items: [{ text: "Typed words" }, { url: "https://example.com/" }] },
];
for (const { name, pageSelection, info, items } of cases) {
  const sent = await requestFor(info, pageSelection);
  if (sent !== JSON.stringify(items)) failures.push(`${name}: sent ${sent}`);
}
console.error(failures.join("\n"));
process.exit(failures.length > 0 ? 1 : 0);
