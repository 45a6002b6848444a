// The selection resource of larkspire-mcp on a real headless desktop: a
// subscriber is told when the user selects text in the GTK fixture (a real
// drag, played by xdotool), and reading the resource gives that text.
import assert from 'node:assert/strict';
import { afterEach, test } from 'node:test';

import { ResourceUpdatedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';

import {
  callOk, checkSanitizers, close, connect, fixtureEntryEnv, setAccessibilityEnabled, sleep, startFixture, waitUntil,
  xdotool,
} from './harness.mjs';

const ENV = fixtureEntryEnv();
const FIRST_LINE = 'The quick brown fox jumps over the lazy dog.';

afterEach(checkSanitizers);

async function drag(from, to, steps = 8) {
  xdotool('mousemove', String(from[0]), String(from[1]));
  xdotool('mousedown', '1');
  for (let i = 1; i <= steps; i++) {
    xdotool('mousemove', String(Math.round(from[0] + ((to[0] - from[0]) * i) / steps)),
      String(Math.round(from[1] + ((to[1] - from[1]) * i) / steps)));
    await sleep(20);
  }
  xdotool('mouseup', '1');
}

test('a subscriber is told of a real drag selection and reads its text', async () => {
  setAccessibilityEnabled(true);
  const app = await startFixture({ title: 'Selection', env: ENV });
  const connection = await connect({ env: ENV });
  try {
    const { client } = connection;
    // Where the text view is, from the server's own observation.
    const observed = await callOk(client, 'observe_window', { appId: 'org.example.Fixture' });
    const view = observed.structuredContent.elements.find((e) => e.name === 'Text' && e.bounds);
    assert.ok(view, 'the text view is in the inventory');

    const updates = [];
    client.setNotificationHandler(ResourceUpdatedNotificationSchema, (n) => updates.push(n.params.uri));
    await client.subscribeResource({ uri: 'selection://current' });
    await waitUntil(async () => {
      const read = await client.readResource({ uri: 'selection://current' });
      return JSON.parse(read.contents[0].text).accessibility === true;
    }, { what: 'the observer to report its permission' });
    updates.length = 0;

    xdotool('windowactivate', '--sync', app.window);
    const y = Math.round(view.bounds.y + 10);
    const left = Math.round(view.bounds.x + 2);
    // A first click: GTK does one-time work on its first press.
    xdotool('mousemove', String(left + 40), String(y));
    xdotool('click', '1');
    await sleep(500);
    await drag([left, y], [left + 150, y]);

    await waitUntil(() => updates.length > 0, { timeout: 10000, what: 'notifications/resources/updated' });
    assert.ok(updates.every((uri) => uri === 'selection://current'));
    const selection = await waitUntil(async () => {
      const read = await client.readResource({ uri: 'selection://current' });
      assert.equal(read.contents[0].mimeType, 'application/json');
      return JSON.parse(read.contents[0].text).selection;
    }, { what: 'the selection in the resource' });
    assert.ok(selection.text.length >= 5, JSON.stringify(selection));
    assert.ok(FIRST_LINE.startsWith(selection.text), `${selection.text} is not the start of the first line`);
    assert.equal(selection.sourcePid, app.pid);
  } finally {
    await close(connection);
    app.stop();
  }
});
