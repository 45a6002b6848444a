// larkspire-mcp outside any desktop, driven by the official SDK client:
// the protocol handshake and tool list, and what the server does when its
// helpers misbehave (stand-ins from fakes/): hangs, failures, silence,
// expired sessions, an observer that keeps dying, and a server that is
// killed outright. Also the MCP Inspector's command-line mode.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { afterEach, test } from 'node:test';

import { LATEST_PROTOCOL_VERSION, ResourceUpdatedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';

import {
  FAKES, MCP, alive, checkSanitizers, close, connect, processesRunning, serverEnv, sleep, waitUntil,
} from './harness.mjs';

afterEach(checkSanitizers);

const fakeComputer = (mode, extra = {}) => ({
  LARKSPIRE_MCP_COMPUTER: path.join(FAKES, 'computer'), LARKSPIRE_FAKE: mode, ...extra,
});

test('the handshake negotiates the newest revision and the tools carry schemas and honest annotations', async () => {
  const connection = await connect();
  try {
    const { client } = connection;
    assert.equal(client.getServerVersion().name, 'larkspire-mcp');
    assert.equal(client.transport._protocolVersion ?? LATEST_PROTOCOL_VERSION, LATEST_PROTOCOL_VERSION);
    assert.deepEqual(client.getServerCapabilities().resources, { subscribe: true, listChanged: false });
    await client.ping();

    const { tools } = await client.listTools();
    const byName = Object.fromEntries(tools.map((t) => [t.name, t]));
    assert.deepEqual(Object.keys(byName).sort(), ['act', 'launch_application', 'list_applications',
      'observe_window', 'permission_status', 'request_permissions']);
    for (const t of tools) {
      assert.equal(t.inputSchema.type, 'object', t.name);
      assert.equal(typeof t.annotations.readOnlyHint, 'boolean', t.name);
    }
    const readOnly = tools.filter((t) => t.annotations.readOnlyHint).map((t) => t.name).sort();
    assert.deepEqual(readOnly, ['list_applications', 'observe_window', 'permission_status']);
    assert.equal(byName.act.annotations.destructiveHint, true);
    assert.deepEqual(byName.act.inputSchema.required, ['snapshotId', 'action']);
    assert.ok(byName.observe_window.outputSchema.properties.image);

    const { resources } = await client.listResources();
    assert.deepEqual(resources.map((r) => r.uri), ['selection://current']);
  } finally {
    await close(connection);
  }
});

test('an older revision the server does not speak is answered with its own', async () => {
  const child = spawn(MCP, [], { env: serverEnv(), stdio: ['pipe', 'pipe', 'ignore'] });
  let out = '';
  child.stdout.on('data', (chunk) => { out += chunk; });
  child.stdin.write(`${JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
    params: { protocolVersion: '2024-11-05', capabilities: {}, clientInfo: { name: 'old', version: '1' } } })}\n`);
  child.stdin.write('[{"jsonrpc":"2.0","id":2,"method":"ping"}]\n');
  child.stdin.write('not json\n');
  // The last message has no line feed: the end of input ends it.
  child.stdin.end(JSON.stringify({ jsonrpc: '2.0', id: 3, method: 'nope' }));
  const status = await new Promise((resolve) => child.on('exit', resolve));
  assert.equal(status, 0, 'the end of input ends the server cleanly');
  const [init, batch, garbage, unknown] = out.trim().split('\n').map((l) => JSON.parse(l));
  assert.equal(init.result.protocolVersion, LATEST_PROTOCOL_VERSION);
  assert.equal(batch.error.code, -32600);
  assert.equal(garbage.error.code, -32700);
  assert.equal(unknown.error.code, -32601);
  assert.equal(unknown.id, 3);
});

test('the end of input ends the server once its calls are answered, at once when the client is gone', async () => {
  const initialize = `${JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
    params: { protocolVersion: LATEST_PROTOCOL_VERSION, capabilities: {}, clientInfo: { name: 't', version: '1' } } })}\n`;
  const call = `${JSON.stringify({ jsonrpc: '2.0', id: 2, method: 'tools/call',
    params: { name: 'permission_status', arguments: {} } })}\n`;

  // Input closed right after a call: the call is still answered.
  const fail = spawn(MCP, [], { env: serverEnv(fakeComputer('fail', { LARKSPIRE_FAKE_CODE: 'COMPUTER_UNAVAILABLE' })),
    stdio: ['pipe', 'pipe', 'ignore'] });
  let out = '';
  fail.stdout.on('data', (chunk) => { out += chunk; });
  fail.stdin.end(initialize + call);
  assert.equal(await new Promise((resolve) => fail.on('exit', resolve)), 0);
  const answer = JSON.parse(out.trim().split('\n')[1]);
  assert.equal(answer.id, 2);
  assert.match(answer.result.content[0].text, /^COMPUTER_UNAVAILABLE: /);

  // Input and output closed while a helper hangs: nobody is left to answer.
  const hang = spawn(MCP, [], { env: serverEnv(fakeComputer('hang')), stdio: ['pipe', 'pipe', 'ignore'] });
  hang.stdin.write(initialize + call);
  const helper = await waitUntil(() => processesRunning('sleep 602').find((p) => p.ppid === hang.pid),
    { what: 'the hung helper' });
  const closed = Date.now();
  hang.stdout.destroy();
  hang.stdin.end();
  await new Promise((resolve) => hang.on('exit', resolve));
  assert.ok(Date.now() - closed < 5000, 'the server did not wait out the helper');
  assert.equal(alive(helper.pid), false);
});

test('a helper that hangs is ended within its budget and the call is a tool error', async () => {
  const connection = await connect({ env: fakeComputer('hang') });
  try {
    const started = Date.now();
    const result = await connection.client.callTool({ name: 'permission_status', arguments: {} });
    const took = (Date.now() - started) / 1000;
    assert.equal(result.isError, true);
    assert.match(result.content[0].text, /did not answer within 10 seconds and was ended/);
    assert.ok(took >= 9.5 && took < 20, `answered after ${took} s`);
    const left = processesRunning('sleep 602').filter((p) => p.ppid === connection.pid || alive(p.pid));
    assert.deepEqual(left, [], 'the hung helper is gone and reaped');
  } finally {
    await close(connection);
  }
});

test('a cancelled call ends its helper at once', async () => {
  const connection = await connect({ env: fakeComputer('hang') });
  try {
    const controller = new AbortController();
    const call = connection.client.callTool({ name: 'observe_window', arguments: { appId: 'x' } }, undefined,
      { signal: controller.signal });
    const helper = await waitUntil(() => processesRunning('sleep 602').find((p) => p.ppid === connection.pid),
      { what: 'the helper' });
    controller.abort('changed my mind');
    await assert.rejects(call);
    await waitUntil(() => !alive(helper.pid), { timeout: 3000, what: 'the helper to end after the cancellation' });
    // The server goes on serving.
    await connection.client.ping();
  } finally {
    await close(connection);
  }
});

test('failure codes and silent helpers become tool errors that say what to do next', async () => {
  for (const [code, advice] of [['COMPUTER_PERMISSION_REQUIRED', /request_permissions/],
    ['COMPUTER_TARGET_CHANGED', /observe_window again/], ['COMPUTER_SCREEN_LOCKED', /unlock/]]) {
    const connection = await connect({ env: fakeComputer('fail', { LARKSPIRE_FAKE_CODE: code }) });
    try {
      const result = await connection.client.callTool({ name: 'observe_window', arguments: { appId: 'x' } });
      assert.equal(result.isError, true);
      assert.ok(result.content[0].text.startsWith(`${code}: `), result.content[0].text);
      assert.match(result.content[0].text, advice);
      assert.match(result.content[0].text, /Nothing on the desktop was changed/);
    } finally {
      await close(connection);
    }
  }
  const connection = await connect({ env: fakeComputer('silent') });
  try {
    const result = await connection.client.callTool({ name: 'list_applications', arguments: {} });
    assert.equal(result.isError, true);
    assert.match(result.content[0].text, /ended without an answer \(exit status 3\)/);
    const bad = await connection.client.callTool({ name: 'observe_window', arguments: { appId: 7 } });
    assert.equal(bad.isError, true);
    assert.match(bad.content[0].text, /"appId" must be a string/);
    await assert.rejects(connection.client.callTool({ name: 'no_such_tool', arguments: {} }), /Unknown tool/);
  } finally {
    await close(connection);
  }
});

test('an act on an unknown or expired snapshot is refused with the reason', async () => {
  const connection = await connect({ env: fakeComputer('expire') });
  try {
    const { client } = connection;
    const unknown = await client.callTool({ name: 'act',
      arguments: { snapshotId: 'made-up', action: { type: 'press', key: 'Enter' } } });
    assert.equal(unknown.isError, true);
    assert.match(unknown.content[0].text, /^Unknown snapshot made-up/);

    const observed = await client.callTool({ name: 'observe_window', arguments: { appId: 'x' } });
    assert.equal(observed.isError, undefined);
    assert.equal(observed.structuredContent.snapshotId, 'fake-snapshot');
    // The session process ended right after its observation.
    const expired = await waitUntil(async () => {
      const r = await client.callTool({ name: 'act',
        arguments: { snapshotId: 'fake-snapshot', action: { type: 'press', key: 'Enter' } } });
      return /has expired/.test(r.content[0].text) && r;
    }, { what: 'the snapshot to expire' });
    assert.equal(expired.isError, true);
    assert.match(expired.content[0].text, /call observe_window again/);
  } finally {
    await close(connection);
  }
});

test('the selection observer is started on subscribe and started again with a back-off when it dies', async () => {
  const starts = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'larkspire-mcp-starts-')), 'starts');
  const connection = await connect({ env: {
    LARKSPIRE_MCP_OBSERVER: path.join(FAKES, 'observer'), LARKSPIRE_FAKE_OBSERVER: 'die', LARKSPIRE_FAKE_STARTS: starts,
  } });
  try {
    const { client } = connection;
    const updates = [];
    client.setNotificationHandler(ResourceUpdatedNotificationSchema, (n) => updates.push([Date.now(), n.params.uri]));
    const subscribed = Date.now();
    await client.subscribeResource({ uri: 'selection://current' });
    // Started at once, then after 1 s and 2 s more.
    await waitUntil(() => fs.existsSync(starts) && fs.readFileSync(starts, 'utf8').split('\n').length > 3,
      { timeout: 15000, what: 'three starts of the observer' });
    const third = Date.now() - subscribed;
    assert.ok(third >= 2900, `the third start came ${third} ms after the first: no back-off`);
    await waitUntil(() => updates.length >= 3, { what: 'an update per new selection' });
    assert.ok(updates.every(([, uri]) => uri === 'selection://current'));
    const read = await client.readResource({ uri: 'selection://current' });
    const contents = JSON.parse(read.contents[0].text);
    assert.equal(contents.accessibility, true);
    assert.match(contents.selection.text, /^selection \d+$/);
    assert.equal(contents.selection.sourcePid, 4242);
    await assert.rejects(client.readResource({ uri: 'selection://other' }), /not found/i);
  } finally {
    await close(connection);
  }
});

test('no helper outlives the server, whether it is told to end or killed outright', async () => {
  for (const signal of ['SIGTERM', 'SIGKILL']) {
    const starts = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'larkspire-mcp-starts-')), 'starts');
    const connection = await connect({ env: {
      ...fakeComputer('hang'),
      LARKSPIRE_MCP_OBSERVER: path.join(FAKES, 'observer'), LARKSPIRE_FAKE_OBSERVER: 'stay',
      LARKSPIRE_FAKE_STARTS: starts,
    } });
    try {
      const { client, pid } = connection;
      await client.subscribeResource({ uri: 'selection://current' });
      const pending = client.callTool({ name: 'list_applications', arguments: {} }).catch(() => null);
      const helpers = await waitUntil(() => {
        const found = processesRunning('sleep 60').filter((p) => p.ppid === pid);
        return found.length === 2 && found;
      }, { what: 'a hung helper and an observer' });
      process.kill(pid, signal);
      await waitUntil(() => helpers.every((h) => !alive(h.pid)), { timeout: 5000, what: `helpers gone after ${signal}` });
      await pending;
    } finally {
      await close(connection);
    }
  }
});

test("the MCP Inspector's command-line mode lists the tools", () => {
  const inspector = path.join(path.dirname(new URL(import.meta.url).pathname), 'node_modules', '.bin',
    'mcp-inspector');
  const r = spawnSync(inspector, ['--cli', MCP, '--method', 'tools/list'],
    { env: serverEnv(), encoding: 'utf8', timeout: 120000 });
  assert.equal(r.status, 0, r.stderr);
  const listed = JSON.parse(r.stdout.slice(r.stdout.indexOf('{')));
  assert.ok(listed.tools.some((t) => t.name === 'observe_window'), r.stdout);
});
