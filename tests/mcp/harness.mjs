// Shared helpers of the larkspire-mcp tests: the official MCP SDK client
// over stdio, started against the built server, and the desktop tools the
// desktop tests use (GTK fixture application, xdotool).
//
// Paths come from the environment ctest sets (mcp/CMakeLists.txt):
// LARKSPIRE_MCP, LARKSPIRE_BUILD, LARKSPIRE_FIXTURES, LARKSPIRE_SOURCE.
// By hand:
//   LARKSPIRE_BUILD=build scripts/desktop node --test tests/mcp/desktop_tools.test.mjs
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const here = path.dirname(fileURLToPath(import.meta.url));
export const SOURCE = process.env.LARKSPIRE_SOURCE || path.resolve(here, '..', '..');
export const BUILD = path.resolve(process.env.LARKSPIRE_BUILD || path.join(SOURCE, 'build'));
export const MCP = process.env.LARKSPIRE_MCP || path.join(BUILD, 'larkspire-mcp');
export const FIXTURES = process.env.LARKSPIRE_FIXTURES || path.join(BUILD, 'tests', 'e2e', 'fixtures');
export const FAKES = path.join(here, 'fakes');

// Sanitizer reports of the server and its helpers land here; checkSanitizers
// fails a test after which one is found.
export const SANITIZER_LOGS = fs.mkdtempSync(path.join(os.tmpdir(), 'larkspire-mcp-sanitizer-'));

export function sanitizerReports() {
  const reports = [];
  for (const name of fs.readdirSync(SANITIZER_LOGS).sort()) {
    const file = path.join(SANITIZER_LOGS, name);
    reports.push(`--- ${name}\n${fs.readFileSync(file, 'utf8')}`);
    fs.unlinkSync(file);
  }
  return reports;
}

export function checkSanitizers() {
  const reports = sanitizerReports();
  if (reports.length) throw new Error(`sanitizer report:\n${reports.join('\n')}`);
}

export function serverEnv(extra = {}) {
  const env = { ...process.env };
  env.ASAN_OPTIONS = [env.ASAN_OPTIONS, `log_path=${SANITIZER_LOGS}/asan`, 'detect_leaks=0'].filter(Boolean).join(':');
  env.UBSAN_OPTIONS = [env.UBSAN_OPTIONS, `log_path=${SANITIZER_LOGS}/ubsan`, 'print_stacktrace=1']
    .filter(Boolean).join(':');
  return { ...env, ...extra };
}

// The fixture application as the installed application "org.example.Fixture".
export function fixtureEntryEnv() {
  const dataHome = fs.mkdtempSync(path.join(os.tmpdir(), 'larkspire-mcp-data-'));
  return {
    XDG_DATA_DIRS: path.join(SOURCE, 'tests', 'e2e'),
    XDG_DATA_HOME: dataHome,
    PATH: `${FIXTURES}:${process.env.PATH}`,
  };
}

// A connected SDK client on a fresh larkspire-mcp. Returns { client,
// transport, stderr() } ; close with close(connection).
export async function connect({ env = {}, command = MCP, args = [] } = {}) {
  const transport = new StdioClientTransport({ command, args, env: serverEnv(env), stderr: 'pipe' });
  let stderr = '';
  transport.stderr.on('data', (chunk) => { stderr += chunk.toString(); });
  const client = new Client({ name: 'larkspire-tests', version: '1.0.0' });
  await client.connect(transport);
  return { client, transport, pid: transport.pid, stderr: () => stderr };
}

export async function close(connection) {
  await connection.client.close();
}

export async function waitUntil(predicate, { timeout = 20000, interval = 50, what = 'condition' } = {}) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`${what} not met within ${timeout} ms`);
    await new Promise((resolve) => setTimeout(resolve, interval));
  }
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Whether a process exists and is not a zombie.
export function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
  } catch {
    return false;
  }
}

// Processes (pid, ppid, state, command line) whose command line holds text.
export function processesRunning(text) {
  const found = [];
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const cmdline = fs.readFileSync(`/proc/${name}/cmdline`, 'utf8').split('\0').join(' ');
      if (!cmdline.includes(text)) continue;
      const stat = fs.readFileSync(`/proc/${name}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      found.push({ pid: Number(name), state: fields[0], ppid: Number(fields[1]), cmdline });
    } catch {
      // gone meanwhile
    }
  }
  return found;
}

// (width, height) of PNG bytes.
export function pngSize(buffer) {
  const signature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  if (!buffer.subarray(0, 8).equals(signature) || buffer.toString('latin1', 12, 16) !== 'IHDR') {
    throw new Error('not a PNG');
  }
  return [buffer.readUInt32BE(16), buffer.readUInt32BE(20)];
}

export function xdotool(...args) {
  const r = spawnSync('xdotool', args, { stdio: ['ignore', 'pipe', 'ignore'] });
  if (r.status !== 0) throw new Error(`xdotool ${args.join(' ')} failed`);
  return r.stdout.toString();
}

export function setAccessibilityEnabled(enabled = true) {
  const r = spawnSync('dbus-send', ['--session', '--print-reply', '--dest=org.a11y.Bus', '/org/a11y/bus',
    'org.freedesktop.DBus.Properties.Set', 'string:org.a11y.Status', 'string:IsEnabled',
    `variant:boolean:${enabled}`], { stdio: 'ignore' });
  if (r.status !== 0) throw new Error('cannot set org.a11y.Status.IsEnabled');
}

// The GTK fixture application with a state file: { pid, window, state(), stop() }.
export async function startFixture({ title = 'MCP fixture', env = {} } = {}) {
  const statePath = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'larkspire-mcp-fixture-')), 'state.json');
  const child = spawn(path.join(FIXTURES, 'fixture_app'), ['--title', title, '--state-file', statePath],
    { stdio: 'ignore', env: serverEnv(env) });
  const window = await waitUntil(() => {
    const r = spawnSync('xdotool', ['search', '--onlyvisible', '--pid', String(child.pid)]);
    const ids = r.stdout.toString().split(/\s+/).filter(Boolean);
    return ids[0];
  }, { what: 'a window of the fixture' });
  await waitUntil(() => fs.existsSync(statePath), { what: "the fixture's state file" });
  return {
    pid: child.pid,
    window,
    state: () => JSON.parse(fs.readFileSync(statePath, 'utf8')),
    stop: () => { child.kill('SIGTERM'); },
  };
}

// The structured content of a successful tool call (fails on a tool error).
export async function callOk(client, name, args = {}) {
  const result = await client.callTool({ name, arguments: args });
  if (result.isError) throw new Error(`${name} failed: ${result.content?.[0]?.text}`);
  return result;
}
