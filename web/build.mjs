// Builds the page into one folder, dist/, that any static web server (or
// the broker's own http_dir) can serve: the script bundled with mqtt.js and
// minified, the other files copied, and the service worker told which files
// are the page's and which version they are.
import { build } from "esbuild";
import { createHash } from "node:crypto";
import { copyFileSync, mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { gzipSync } from "node:zlib";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const src = join(here, "src");
const out = process.argv[2] || join(here, "dist");
const statics = ["index.html", "style.css", "manifest.webmanifest", "icon.svg"];

rmSync(out, { recursive: true, force: true });
mkdirSync(out, { recursive: true });
await build({
  entryPoints: [join(src, "app.js")],
  outfile: join(out, "app.js"),
  bundle: true,
  minify: true,
  // A classic script, not a module: a module needs a JavaScript MIME type,
  // which the broker's own HTTP listener does not send.
  format: "iife",
  target: ["es2020"],
  legalComments: "none",
  logLevel: "warning",
});
for (const f of statics) copyFileSync(join(src, f), join(out, f));
const files = ["./", ...statics, "app.js"];
const hash = createHash("sha256");
for (const f of files.slice(1)) hash.update(readFileSync(join(out, f)));
const version = hash.digest("hex").slice(0, 12);
writeFileSync(
  join(out, "sw.js"),
  readFileSync(join(src, "sw.js"), "utf8").replace("__VERSION__", version).replace("__FILES__", JSON.stringify(files)),
);
let total = 0;
for (const f of [...files.slice(1), "sw.js"]) total += gzipSync(readFileSync(join(out, f))).length;
console.log(`${out}: version ${version}, ${(total / 1024).toFixed(1)} KiB gzipped`);
