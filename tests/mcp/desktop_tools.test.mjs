// larkspire-mcp on a real headless desktop (run inside scripts/desktop),
// driven by the official SDK client: applications are listed and launched,
// the GTK fixture is observed (picture and inventory), and acts click a
// button, type into an entry and are refused on a used snapshot. The
// fixture's state file shows what really happened in the application.
import assert from 'node:assert/strict';
import { afterEach, before, test } from 'node:test';

import {
  alive, callOk, checkSanitizers, close, connect, fixtureEntryEnv, pngSize, processesRunning, setAccessibilityEnabled,
  startFixture, waitUntil,
} from './harness.mjs';

const APP_ID = 'org.example.Fixture';
const ENV = fixtureEntryEnv();

before(() => setAccessibilityEnabled(true));
afterEach(checkSanitizers);

async function observe(client) {
  const result = await callOk(client, 'observe_window', { appId: APP_ID });
  return { result, data: result.structuredContent };
}

const refOf = (data, name) => {
  const element = data.elements.find((e) => e.name === name);
  assert.ok(element, `no element named ${name} in ${data.elements.map((e) => e.name).join(', ')}`);
  return element.ref;
};

test('applications are listed and launched, and the launched one is observed as a picture and an inventory',
  async () => {
    const connection = await connect({ env: ENV });
    let launchedPid;
    try {
      const { client } = connection;
      const permissions = await callOk(client, 'permission_status');
      assert.deepEqual(permissions.structuredContent, { accessibility: true, screenRecording: true });

      const installed = await callOk(client, 'list_applications', { query: 'fixture' });
      const entry = installed.structuredContent.apps.find((a) => a.appId === APP_ID);
      assert.deepEqual(entry, { appId: APP_ID, name: 'Fixture', running: false });
      assert.deepEqual(JSON.parse(installed.content[0].text), installed.structuredContent);

      const launched = await callOk(client, 'launch_application', { appId: APP_ID });
      assert.equal(launched.structuredContent.appId, APP_ID);
      assert.equal(launched.structuredContent.running, true);
      launchedPid = launched.structuredContent.pid;
      const running = await callOk(client, 'list_applications');
      assert.ok(running.structuredContent.apps.some((a) => a.appId === APP_ID && a.pid === launchedPid));

      const { result, data } = await observe(client);
      const [image, text] = result.content;
      assert.equal(image.type, 'image');
      assert.equal(image.mimeType, 'image/png');
      const [width, height] = pngSize(Buffer.from(image.data, 'base64'));
      assert.deepEqual([width, height], [data.image.width, data.image.height]);
      assert.equal(data.image.data, undefined, 'the picture travels once, as the image block');
      assert.deepEqual(JSON.parse(text.text), data);
      assert.equal(data.pid, launchedPid);
      assert.match(data.snapshotId, /^[0-9A-Fa-f-]{36}$/);
      const button = data.elements.find((e) => e.name === 'Press me');
      assert.equal(button.role, 'AXButton');
      assert.ok(button.actions.includes('AXPress'));
      assert.ok(button.bounds.width > 0);
      assert.ok(data.windows.length >= 1);
    } finally {
      await close(connection);
      if (launchedPid) {
        process.kill(launchedPid, 'SIGTERM');
        await waitUntil(() => !alive(launchedPid), { what: 'the launched fixture to end' });
      }
    }
  });

test('acts click a button and type into an entry; a second act on one snapshot is refused', async () => {
  const app = await startFixture({ env: ENV });
  const connection = await connect({ env: ENV });
  try {
    const { client } = connection;
    let { data } = await observe(client);
    assert.equal(data.pid, app.pid);
    const first = data.snapshotId;
    const pressed = await callOk(client, 'act', { snapshotId: first, action: { type: 'click', ref: refOf(data, 'Press me') } });
    assert.deepEqual(pressed.structuredContent, { completed: true });
    await waitUntil(() => app.state().pressed === 1, { what: 'the press in the application' });

    const again = await client.callTool({ name: 'act', arguments: { snapshotId: first,
      action: { type: 'click', ref: refOf(data, 'Press me') } } });
    assert.equal(again.isError, true);
    assert.match(again.content[0].text, /already acted on.*observe_window again/);
    assert.equal(app.state().pressed, 1, 'the refused act did nothing');

    // A real click puts the caret into the entry; then text is typed there.
    ({ data } = await observe(client));
    await callOk(client, 'act', { snapshotId: data.snapshotId, action: { type: 'click', ref: refOf(data, 'Name') } });
    // Letters the keyboard map lacks too: they are bound for the typing.
    const text = 'Héllo MCP 42 – Grüße, 日本';
    ({ data } = await observe(client));
    await callOk(client, 'act', { snapshotId: data.snapshotId, action: { type: 'type', text } });
    await waitUntil(() => app.state().name === text, { what: 'the typed text in the entry' })
      .catch((error) => { throw new Error(`${error.message}: ${JSON.stringify(app.state())}`); });

    // Each act's session process has ended: only kept observations remain.
    await waitUntil(() => processesRunning('larkspire-computer').filter((p) => p.ppid === connection.pid).length === 0,
      { what: 'the act sessions to end' });
  } finally {
    await close(connection);
    app.stop();
  }
});

test('a window that changed since its observation is refused and nothing is done', async () => {
  const app = await startFixture({ env: ENV });
  const connection = await connect({ env: ENV });
  try {
    const { client } = connection;
    const { data } = await observe(client);
    app.stop();
    await waitUntil(() => processesRunning('fixture_app').every((p) => p.pid !== app.pid), { what: 'the fixture to end' });
    const result = await client.callTool({ name: 'act', arguments: { snapshotId: data.snapshotId,
      action: { type: 'click', ref: refOf(data, 'Press me') } } });
    assert.equal(result.isError, true);
    assert.match(result.content[0].text, /^COMPUTER_TARGET_CHANGED: .*observe_window again/);
  } finally {
    await close(connection);
  }
});
