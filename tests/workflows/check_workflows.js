// Checks GitHub Actions workflows with GitHub's own parser, bundled into
// CommonJS by check.sh. Every file given must parse and convert without an
// error. With --faulty every file must instead be rejected, with the error
// its first line names ("# The parser must say: ..."), so that a file
// rejected for some other reason does not pass for the fault it was written
// to show.
//
//   node check_workflows.js PARSER.cjs [--faulty] FILE...
//
// Plain CommonJS for Node 18 (Debian 12's) and later.
"use strict";
const fs = require("fs");
const path = require("path");

const kExpectation = /^# The parser must say: (.+)$/m;

// The parser's messages for one file, schema and conversion together: the
// schema finds unknown keys and unclosed expressions, the conversion jobs
// that need a job that does not exist.
async function ErrorsOf(parser, file) {
  const content = fs.readFileSync(file, "utf8");
  const parsed = parser.parseWorkflow({ name: file, content }, new parser.NoOperationTraceWriter());
  if (parsed.value && parsed.context.errors.count === 0) {
    await parser.convertWorkflowTemplate(parsed.context, parsed.value);
  }
  return parsed.context.errors.getErrors().map((error) => error.message);
}

// One line on a file that should be accepted, or null when it is.
function FaultOfSound(file, errors) {
  return errors.length === 0 ? null : `${file}: rejected:\n  ${errors.join("\n  ")}`;
}

// One line on a file that should be rejected, or null when it is, as it says.
function FaultOfFaulty(file, errors) {
  const expectation = kExpectation.exec(fs.readFileSync(file, "utf8"));
  if (!expectation) return `${file}: no "# The parser must say:" line`;
  if (errors.length === 0) return `${file}: accepted, but should fail with: ${expectation[1]}`;
  if (!errors.some((error) => error.includes(expectation[1]))) {
    return `${file}: rejected, but not with "${expectation[1]}":\n  ${errors.join("\n  ")}`;
  }
  return null;
}

async function Main(argv) {
  const [bundle, ...rest] = argv;
  const faulty = rest[0] === "--faulty";
  const files = faulty ? rest.slice(1) : rest;
  if (!bundle || files.length === 0) {
    console.error("usage: node check_workflows.js PARSER.cjs [--faulty] FILE...");
    return 2;
  }
  const parser = require(path.resolve(bundle));
  let failures = 0;
  for (const file of files) {
    const errors = await ErrorsOf(parser, file);
    const fault = faulty ? FaultOfFaulty(file, errors) : FaultOfSound(file, errors);
    if (fault) failures++;
    console.log(fault ? `FAILED ${fault}` : `ok ${file}${faulty ? `: rejected: ${errors[0]}` : ""}`);
  }
  return failures === 0 ? 0 : 1;
}

Main(process.argv.slice(2)).then(
  (status) => { process.exitCode = status; },
  (error) => { console.error(error && error.stack ? error.stack : error); process.exitCode = 1; });
