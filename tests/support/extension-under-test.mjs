// A copy of a built extension whose background also hands its click handlers to the
// tests (globalThis.plumoShare): the shipped one has no such hook.
import fs from "node:fs";
import path from "node:path";

export function extensionUnderTest(extension, home) {
  const copy = path.join(home, "extension-under-test");
  fs.cpSync(extension, copy, { recursive: true });
  fs.appendFileSync(path.join(copy, "background.js"), "\nglobalThis.plumoShare = { onMenuClick, onActionClick };\n");
  return copy;
}
