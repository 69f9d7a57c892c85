// Checks GitHub Actions workflows with GitHub's own parser, bundled into
// CommonJS by check.sh, and then with this project's own rules for their
// structure (below). Every file given must pass. With --faulty every file
// must instead be rejected, with the error its first lines name ("# The
// parser must say: ..." or "# The check must say: ..."), so that a file
// rejected for some other reason does not pass for the fault it was written
// to show. Run from the checkout's top: a call of ./.github/workflows/X.yml
// is read from there.
//
//   node check_workflows.js PARSER.cjs [--faulty] FILE...
//
// Plain CommonJS for Node 18 (Debian 12's) and later.
"use strict";
const fs = require("fs");
const path = require("path");

const kExpectation = /^# The (?:parser|check) must say: (.+)$/m;

// The workflows a job calls, read from this checkout; the parser checks the
// call's with: and secrets: against them only when it can read them.
const kCalledWorkflows = {
  async getFileContent(reference) {
    if (reference.repository) throw new Error(`${reference.owner}/${reference.repository}: not this checkout`);
    return { name: reference.path, content: fs.readFileSync(reference.path, "utf8") };
  },
};

// The messages for one file: the parser's, schema and conversion together
// (the schema finds unknown keys and unclosed expressions, the conversion
// jobs that need a job that does not exist and inputs a called workflow
// does not declare), then, where it found nothing, this project's rules.
async function ErrorsOf(parser, file) {
  const content = fs.readFileSync(file, "utf8");
  const parsed = parser.parseWorkflow({ name: file, content }, new parser.NoOperationTraceWriter());
  if (parsed.value && parsed.context.errors.count === 0) {
    await parser.convertWorkflowTemplate(parsed.context, parsed.value, kCalledWorkflows,
                                         { fetchReusableWorkflowDepth: 1 });
  }
  const errors = parsed.context.errors.getErrors().map((error) => error.message);
  if (errors.length > 0 || !parsed.value) return errors;
  return FaultsOfStructure(Plain(JSON.parse(JSON.stringify(parsed.value)))).map((fault) => `${file}: ${fault}`);
}

// The parser's tokens, serialised, as plain values: mappings as objects,
// sequences as arrays, expressions as their "${{ ... }}" text.
function Plain(value) {
  if (value === null || typeof value !== "object") return value;
  if (Array.isArray(value.seq)) return value.seq.map(Plain);
  if (Array.isArray(value.map)) return Object.fromEntries(value.map.map((item) => [item.Key, Plain(item.Value)]));
  return "${{ " + value.expr + " }}";
}

// Every text in a plain value, with where it is: ["jobs.build.if", "..."].
function* TextsOf(value, where) {
  if (typeof value === "string") {
    yield [where, value];
  } else if (value && typeof value === "object") {
    for (const [key, item] of Object.entries(value)) {
      yield* TextsOf(item, Array.isArray(value) ? `${where}[${key}]` : where ? `${where}.${key}` : key);
    }
  }
}

// An expression's text without its string literals ('it''s'), which a
// text mixing literal words and expressions becomes (format('...', x)); ""
// for a text that is no expression.
function CodeOf(text) {
  return text.startsWith("${{ ") ? text.replace(/'(?:[^']|'')*'/g, "''") : "";
}

// What GitHub accepts but this project's workflows must not do, one message
// each: mistakes that GitHub shows only when a run starts, or never.
function FaultsOfStructure(workflow) {
  const jobs = workflow.jobs || {};
  return [...FaultsOfJobs(jobs), ...FaultsOfPublish(jobs), ...FaultsOfSecrets(workflow),
          ...FaultsOfCalled(workflow), ...FaultsOfWindowsJobs(jobs)];
}

// Each job states its own permissions, contents: read, and only publish
// gets contents: write; so no workflow a job calls asks for more than the
// job grants, which would fail the run at its start. A job that needs a job
// with an if: of its own says !cancelled() in its if:, else that job's skip
// skips it, and every job after it, silently.
function FaultsOfJobs(jobs) {
  const faults = [];
  for (const [id, job] of Object.entries(jobs)) {
    const wanted = id === "publish" ? "write" : "read";
    const granted = job.permissions;
    const alone = granted && typeof granted === "object" && Object.keys(granted).join() === "contents";
    if (!alone || granted.contents !== wanted) {
      faults.push(`job '${id}' must state its own permissions, contents: ${wanted} alone`);
    }
    for (const need of [].concat(job.needs || [])) {
      if (jobs[need] && jobs[need].if !== undefined && !/!\s*cancelled\(\)/.test(String(job.if))) {
        faults.push(`job '${id}' needs '${need}', which its if: may skip: its own if: must say !cancelled()`);
      }
    }
  }
  return faults;
}

// publish needs every other job, so that it publishes nothing unproved.
function FaultsOfPublish(jobs) {
  if (!jobs.publish) return [];
  const needs = [].concat(jobs.publish.needs || []);
  return Object.keys(jobs).filter((id) => id !== "publish" && !needs.includes(id))
      .map((id) => `job 'publish' does not need '${id}': it could publish what '${id}' did not prove`);
}

// The secrets (but GITHUB_TOKEN) are named in one step's env alone: no other
// step sees them, not even emptied, nor a workflow the job calls.
function FaultsOfSecrets(workflow) {
  const faults = [];
  const steps = new Set();
  for (const [where, text] of TextsOf(workflow, "")) {
    if (!/\bsecrets\b(?!\.GITHUB_TOKEN\b)/.test(CodeOf(text))) continue;
    const step = /^(jobs\.[^.]+\.steps\[\d+\])\.env\./.exec(where);
    if (step) steps.add(step[1]);
    else faults.push(`${where} names a secret: only one step's env may`);
  }
  if (steps.size > 1) {
    faults.push(`secrets are named in more than one step (${[...steps].join(", ")}): only one may`);
  }
  for (const [id, job] of Object.entries(workflow.jobs || {})) {
    if (job.secrets !== undefined) {
      faults.push(`job '${id}' passes secrets to the workflow it calls: no step there may see them`);
    }
  }
  return faults;
}

// A workflow that can be called branches on inputs: inside a call,
// github.event_name (and $GITHUB_EVENT_NAME) is the caller's event.
function FaultsOfCalled(workflow) {
  const on = workflow.on;
  const events = typeof on === "string" ? [on] : Array.isArray(on) ? on : Object.keys(on || {});
  if (!events.includes("workflow_call")) return [];
  return [...TextsOf(workflow.jobs, "jobs")].filter(([, text]) => /github[._]event_name/i.test(text))
      .map(([where]) => `${where}: a workflow that can be called must branch on inputs, not github.event_name`);
}

// A job on Windows runs each step of its own with one call of the job's
// program, which scripts/test.sh runs under Wine: logic written into a step
// would run for the first time on GitHub.
const kJobProgram =
    /^(?:\$\{\{ format\(')?python \S*\btests[\\/]workflows[\\/]windows_job\.py(?: [\w.:\\/{}-]+)*(?:', [\w., ]+\) \}\})?$/;

function FaultsOfWindowsJobs(jobs) {
  const faults = [];
  for (const [id, job] of Object.entries(jobs)) {
    const machines = [...TextsOf({ on: job["runs-on"], strategy: job.strategy }, "")];
    if (!machines.some(([, text]) => /windows/i.test(text))) continue;
    (job.steps || []).forEach((step, i) => {
      if (step.run !== undefined && !kJobProgram.test(String(step.run).trim())) {
        faults.push(`jobs.${id}.steps[${i}] is not one call of tests/workflows/windows_job.py: its logic would first run on GitHub`);
      }
    });
  }
  return faults;
}

// One line on a file that should be accepted, or null when it is.
function FaultOfSound(file, errors) {
  return errors.length === 0 ? null : `${file}: rejected:\n  ${errors.join("\n  ")}`;
}

// One line on a file that should be rejected, or null when it is, as it says.
function FaultOfFaulty(file, errors) {
  const expectation = kExpectation.exec(fs.readFileSync(file, "utf8"));
  if (!expectation) return `${file}: no "# The parser must say:" or "# The check must say:" line`;
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
